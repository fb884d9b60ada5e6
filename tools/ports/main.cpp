// nrports: lists the machine's serial ports (see ports.cpp; nrports -h).
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "comm/nrwin32di.h"
#include "ports.h"

namespace {

// A console shows the text as it is; a pipe or file gets UTF-8 lines ending
// in CR LF, as Windows' own tools write them.
void Print(DWORD Std, std::wstring s) {
    if (s.empty()) return;
    HANDLE h = GetStdHandle(Std);
    DWORD mode = 0, n = 0;
    if (GetConsoleMode(h, &mode)) {
        WriteConsoleW(h, s.c_str(), static_cast<DWORD>(s.size()), &n, nullptr);
        return;
    }
    for (size_t i = s.find(L'\n'); i != std::wstring::npos; i = s.find(L'\n', i + 2)) s.insert(i, 1, L'\r');
    std::string u(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, s.c_str(), static_cast<int>(s.size()), nullptr, 0,
                                                          nullptr, nullptr)),
                  '\0');
    WideCharToMultiByte(CP_UTF8, 0, s.c_str(), static_cast<int>(s.size()), u.data(), static_cast<int>(u.size()),
                        nullptr, nullptr);
    WriteFile(h, u.data(), static_cast<DWORD>(u.size()), &n, nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring out, err;
    const int rc = nrports::Run(std::vector<std::wstring>(argv + 1, argv + argc), out, err);
    Print(STD_OUTPUT_HANDLE, out);
    Print(STD_ERROR_HANDLE, err);
    nr::UnloadSetupApi();
    return rc;
}
