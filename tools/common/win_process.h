// Other programs run from a test, the benchmark or the stress program: a
// program of the build folder started with its output in a file, that file
// read while it is still being written, and a clock to time them by. Plain
// Win32, like the rest of tools/common.
#pragma once

#include <windows.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace win_process {

// The folder of this program, with a trailing separator.
inline std::wstring ExeDir() {
    wchar_t buf[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
    const std::wstring p(buf, n);
    return p.substr(0, p.find_last_of(L"\\/") + 1);
}

// Milliseconds from a high-resolution clock.
inline double NowMs() {
    static const LARGE_INTEGER freq = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) * 1000.0 / static_cast<double>(freq.QuadPart);
}

// The whole content of a file that others may be writing; empty when it cannot be opened.
inline std::string ReadFileText(const std::wstring& Path) {
    HANDLE h = CreateFileW(Path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return {};
    std::string s;
    char buf[4096];
    DWORD n = 0;
    while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) s.append(buf, n);
    CloseHandle(h);
    return s;
}

namespace detail {

// The children still running, so that a run given up on can end them all.
struct TChildren {
    std::mutex Lock;
    std::vector<HANDLE> Processes;
};
inline TChildren& Children() {
    static TChildren c;
    return c;
}

}  // namespace detail

// A Windows program without a console window, ended by the destructor.
class TChild {
public:
    TChild() = default;
    ~TChild() { End(0); }
    TChild(const TChild&) = delete;
    TChild& operator=(const TChild&) = delete;

    // Output: a file that receives stdout and stderr, or empty for none.
    bool Start(const std::wstring& CommandLine, const std::wstring& Output) {
        std::vector<wchar_t> cmd(CommandLine.begin(), CommandLine.end());
        cmd.push_back(0);
        STARTUPINFOW si{};
        si.cb = sizeof si;
        HANDLE out = nullptr;
        if (!Output.empty()) {
            SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
            out = CreateFileW(Output.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              &sa, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (out == INVALID_HANDLE_VALUE) return false;
            si.dwFlags = STARTF_USESTDHANDLES;
            si.hStdOutput = si.hStdError = out;
        }
        const bool ok = CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, out != nullptr, CREATE_NO_WINDOW, nullptr,
                                       nullptr, &si, &pi_) != FALSE;
        if (out) CloseHandle(out);
        if (!ok) return false;
        auto& c = detail::Children();
        std::lock_guard<std::mutex> g(c.Lock);
        c.Processes.push_back(pi_.hProcess);
        return true;
    }

    HANDLE Process() const { return pi_.hProcess; }
    DWORD Id() const { return pi_.dwProcessId; }
    bool Running() const { return pi_.hProcess && WaitForSingleObject(pi_.hProcess, 0) == WAIT_TIMEOUT; }

    // Waits for the program to end by itself; kills it after Ms. Its exit code.
    DWORD End(DWORD Ms) {
        if (!pi_.hProcess) return 0;
        if (WaitForSingleObject(pi_.hProcess, Ms) != WAIT_OBJECT_0) {
            TerminateProcess(pi_.hProcess, 1);
            WaitForSingleObject(pi_.hProcess, 5000);
        }
        DWORD code = 0;
        GetExitCodeProcess(pi_.hProcess, &code);
        {
            // Out of the list before the handle closes: EndChildren must not
            // reach a handle value the system may have handed out again.
            auto& c = detail::Children();
            std::lock_guard<std::mutex> g(c.Lock);
            c.Processes.erase(std::remove(c.Processes.begin(), c.Processes.end(), pi_.hProcess), c.Processes.end());
        }
        CloseHandle(pi_.hProcess);
        CloseHandle(pi_.hThread);
        pi_ = {};
        return code;
    }

private:
    PROCESS_INFORMATION pi_{};
};

// Kills every child still running (a watchdog's last act).
inline void EndChildren() {
    auto& c = detail::Children();
    std::lock_guard<std::mutex> g(c.Lock);
    for (HANDLE h : c.Processes) TerminateProcess(h, 1);
}

}  // namespace win_process
