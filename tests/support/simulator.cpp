#include "simulator.h"

#include <atomic>
#include <vector>

namespace serial_test {

namespace {

std::wstring ExeDir() {
    wchar_t buf[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
    const std::wstring p(buf, n);
    return p.substr(0, p.find_last_of(L"\\/") + 1);
}

std::atomic<int> gRuns{0};

}  // namespace

TSimulator::TSimulator(std::uint32_t Port, const std::wstring& Args) {
    wchar_t tmp[MAX_PATH];
    GetTempPathW(MAX_PATH, tmp);
    log_ = std::wstring(tmp) + L"nrsim_" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++gRuns) +
           L".log";
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE out = CreateFileW(log_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) {
        error_ = "cannot create its log";
        return;
    }
    const std::wstring line = L"\"" + ExeDir() + L"nrsim.exe\" --port " + std::to_wstring(Port) + L" " + Args;
    std::vector<wchar_t> cmd(line.begin(), line.end());
    cmd.push_back(0);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = si.hStdError = out;
    const bool started =
        CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi_);
    CloseHandle(out);
    if (!started) {
        error_ = "cannot start nrsim.exe";
        return;
    }
    for (int i = 0; i < 1000 && !ready_; ++i) {
        const std::string s = Output();
        ready_ = s.find(" on COM") != std::string::npos;
        if (s.find("error") != std::string::npos || WaitForSingleObject(pi_.hProcess, 10) == WAIT_OBJECT_0) break;
    }
    if (!ready_) error_ = "the simulator did not start: " + Output();
}

TSimulator::~TSimulator() {
    if (pi_.hProcess) {
        TerminateProcess(pi_.hProcess, 1);
        WaitForSingleObject(pi_.hProcess, 5000);
        CloseHandle(pi_.hProcess);
        CloseHandle(pi_.hThread);
    }
    if (!log_.empty()) DeleteFileW(log_.c_str());
}

std::string TSimulator::Output() const {
    HANDLE h = CreateFileW(log_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return {};
    std::string s;
    char buf[4096];
    DWORD n = 0;
    while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) s.append(buf, n);
    CloseHandle(h);
    return s;
}

int TSimulator::Count(const std::string& Text) const {
    const std::string s = Output();
    int n = 0;
    for (size_t at = s.find(Text); at != std::string::npos; at = s.find(Text, at + Text.size())) ++n;
    return n;
}

bool TSimulator::WaitFor(const std::string& Text, DWORD Ms) const {
    const DWORD start = GetTickCount();
    do {
        if (Output().find(Text) != std::string::npos) return true;
        Sleep(10);
    } while (GetTickCount() - start < Ms);
    return false;
}

}  // namespace serial_test
