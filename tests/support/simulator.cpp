#include "simulator.h"

#include <atomic>

namespace serial_test {

namespace {

std::atomic<int> gRuns{0};

}  // namespace

TSimulator::TSimulator(std::uint32_t Port, const std::wstring& Args) {
    wchar_t tmp[MAX_PATH];
    GetTempPathW(MAX_PATH, tmp);
    log_ = std::wstring(tmp) + L"nrsim_" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++gRuns) +
           L".log";
    const std::wstring line =
        L"\"" + win_process::ExeDir() + L"nrsim.exe\" --port " + std::to_wstring(Port) + L" " + Args;
    if (!child_.Start(line, log_)) {
        error_ = "cannot start nrsim.exe with its output in a log";
        return;
    }
    for (int i = 0; i < 1000 && !ready_; ++i) {
        const std::string s = Output();
        ready_ = s.find(" on COM") != std::string::npos;
        if (s.find("error") != std::string::npos || WaitForSingleObject(child_.Process(), 10) == WAIT_OBJECT_0) break;
    }
    if (!ready_) error_ = "the simulator did not start: " + Output();
}

TSimulator::~TSimulator() {
    child_.End(0);  // it holds the log open until then
    if (!log_.empty()) DeleteFileW(log_.c_str());
}

std::string TSimulator::Output() const { return win_process::ReadFileText(log_); }

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
