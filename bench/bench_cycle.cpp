// The utility's programming cycle against the simulated module on a pty pair:
// START to the success line through the window and its port component, next
// to the same exchange made with bare Win32 calls; and how long the program
// takes from its start to a window with the port list loaded.
#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "Unit2.h"
#include "bench.h"
#include "frames.h"
#include "framework/forms.h"
#include "tests/support/pty_pair.h"
#include "tests/support/simulator.h"
#include "tests/support/win32_guard.h"
#include "tools/common/serial_line.h"
#include "tools/common/win_window.h"

using bench::Line;
using bench::NowMs;

namespace {

constexpr int kCycles = 100;
constexpr int kIdleCycles = 30;
constexpr int kStarts = 10;

// Lists a COM port in the serial-port map while it lives, so that the window
// counts it among the machine's ports.
class TMapEntry {
public:
    explicit TMapEntry(std::uint32_t port) : name_(L"\\Device\\nrBench" + std::to_wstring(port)) {
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr, REG_OPTION_VOLATILE,
                            KEY_SET_VALUE, nullptr, &key_, nullptr) != ERROR_SUCCESS)
            return;
        const std::wstring value = L"COM" + std::to_wstring(port);
        RegSetValueExW(key_, name_.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    }
    ~TMapEntry() {
        if (!key_) return;
        RegDeleteValueW(key_, name_.c_str());
        RegCloseKey(key_);
    }

private:
    std::wstring name_;
    HKEY key_ = nullptr;
};

void Report(const char* what, const std::vector<double>& ms, int failed) {
    if (ms.empty()) {
        Line("  %-44s no completed cycle (%d failed)", what, failed);
        return;
    }
    Line("  %-44s median %.2f ms  p90 %.2f  min %.2f  max %.2f  (%u cycles, %d failed)", what, bench::Median(ms),
         bench::Percentile(ms, 90), bench::Percentile(ms, 0), bench::Percentile(ms, 100),
         static_cast<unsigned>(ms.size()), failed);
}

// ---- where a cycle's time goes: stamps taken in the library's Win32 table

struct TStamps {
    double FirstWrite = 0, SendDone = 0, WaitEnd = 0, Dispatch = 0, Handler = 0;
    void Clear() { *this = TStamps{}; }
};
TStamps gStamps;
DWORD gMainThread = 0;
decltype(&::WriteFile) gRealWriteFile = nullptr;
decltype(&::GetOverlappedResult) gRealResult = nullptr;
decltype(&::WaitForMultipleObjects) gRealWaitMany = nullptr;
decltype(&::ClearCommError) gRealQuery = nullptr;

bool OnMain() { return GetCurrentThreadId() == gMainThread; }

BOOL WINAPI StampWriteFile(HANDLE h, LPCVOID d, DWORD n, LPDWORD w, LPOVERLAPPED o) {
    if (OnMain() && gStamps.FirstWrite == 0) gStamps.FirstWrite = NowMs();
    const BOOL r = gRealWriteFile(h, d, n, w, o);
    if (OnMain() && gStamps.WaitEnd == 0) gStamps.SendDone = NowMs();
    return r;
}
BOOL WINAPI StampResult(HANDLE h, LPOVERLAPPED o, LPDWORD n, BOOL wait) {
    const BOOL r = gRealResult(h, o, n, wait);
    if (OnMain() && gStamps.FirstWrite != 0 && gStamps.WaitEnd == 0) gStamps.SendDone = NowMs();
    return r;
}
// The event-wait thread's wait for the driver (the only caller of this entry).
DWORD WINAPI StampWaitMany(DWORD c, const HANDLE* hs, BOOL all, DWORD ms) {
    const DWORD r = gRealWaitMany(c, hs, all, ms);
    if (gStamps.FirstWrite != 0 && gStamps.WaitEnd == 0) gStamps.WaitEnd = NowMs();
    return r;
}
BOOL WINAPI StampQuery(HANDLE h, LPDWORD e, LPCOMSTAT s) {
    if (OnMain() && gStamps.WaitEnd != 0 && gStamps.Dispatch == 0) gStamps.Dispatch = NowMs();
    return gRealQuery(h, e, s);
}

struct TStamping {
    test_support::TWin32Guard guard;
    TStamping() {
        gMainThread = GetCurrentThreadId();
        gRealWriteFile = nr::Win32.WriteFile;
        gRealResult = nr::Win32.GetOverlappedResult;
        gRealWaitMany = nr::Win32.WaitForMultipleObjects;
        gRealQuery = nr::Win32.ClearCommError;
        nr::Win32.WriteFile = &StampWriteFile;
        nr::Win32.GetOverlappedResult = &StampResult;
        nr::Win32.WaitForMultipleObjects = &StampWaitMany;
        nr::Win32.ClearCommError = &StampQuery;
    }
};

struct TParts {
    std::vector<double> Total, Window1, Send, WindowRest, Peer, HandOver, Dispatch, Window2, Engine;
};

void ReportParts(const TParts& p, int failed) {
    Report("window, START to \"Programming successfull! \"", p.Total, failed);
    Report("  window: START to the first byte written", p.Window1, 0);
    Report("  engine: the four sends", p.Send, 0);
    Report("  window: the rest of its START handler", p.WindowRest, 0);
    Report("  driver and module: last byte out to the wait's end", p.Peer, 0);
    Report("  engine: hand-over, from the later of wait end and START", p.HandOver, 0);
    Report("  engine: dispatch (queue, read) to OnAfterReceive", p.Dispatch, 0);
    Report("  window: receive handler to the success line", p.Window2, 0);
    Report("  engine share (sends + hand-over + dispatch)", p.Engine, 0);
}

// START pressed on the window (BM_CLICK on the button) until the log's last
// line is the success line. Idle: the program sits in its message loop for a
// second before each press, as a user's would; otherwise presses follow each
// other at once. The log is cleared (Clear Log) before each press, or grows
// by three lines a cycle: adding a line costs more the longer the log is.
void WindowCycles(std::uint32_t port, bool afterIdle, bool clearLog, int cycles) {
    TMapEntry listed(port);
    std::unique_ptr<TForm2> form(fw::CreateForm<TForm2>(fw::Application));
    form->nrComm1->SetComPortNo(static_cast<std::uint16_t>(port));
    form->Show();
    HWND start = form->Button1->Handle();
    auto& log = form->Log->Lines();
    TStamping stamping;
    TParts parts;
    int failed = 0, inARow = 0;
    const auto handler = form->nrComm1->OnAfterReceive;
    form->nrComm1->OnAfterReceive = [&](fw::TObject* c, void* b, std::uint32_t n) {
        gStamps.Handler = NowMs();
        handler(c, b, n);
    };
    for (int i = 0; i < cycles + 1; ++i) {
        if (clearLog) SendMessageW(form->Button3->Handle(), BM_CLICK, 0, 0);
        if (afterIdle) bench::IdleFor(1000);
        const int before = log.Count();
        gStamps.Clear();
        const double t0 = NowMs();
        SendMessageW(start, BM_CLICK, 0, 0);
        // The user-interface thread is the window's until its handler returns.
        const double pressed = NowMs();
        const bool done = fw::Application->ProcessMessagesUntil(
            [&] { return log.Count() >= before + 3 && log.Strings(log.Count() - 1) == L"Programming successfull! "; },
            7000);
        const double t1 = NowMs();
        if (!done) {
            ++failed;
            // Let a wait that timed out end before the next press.
            fw::Application->ProcessMessagesUntil([&] { return form->Enabled(); }, 7000);
            if (++inARow == 3) {
                Line("  three cycles in a row without an answer: the port stopped delivering, giving up");
                break;
            }
            continue;
        }
        inARow = 0;
        if (i == 0) continue;  // the first press also opens the port
        const TStamps& s = gStamps;
        parts.Total.push_back(t1 - t0);
        parts.Window1.push_back(s.FirstWrite - t0);
        parts.Send.push_back(s.SendDone - s.FirstWrite);
        parts.WindowRest.push_back(pressed - s.SendDone);
        parts.Peer.push_back(s.WaitEnd - s.SendDone);
        const double handOver = s.Dispatch - std::max(s.WaitEnd, pressed);
        parts.HandOver.push_back(handOver);
        parts.Dispatch.push_back(s.Handler - s.Dispatch);
        parts.Window2.push_back(t1 - s.Handler);
        parts.Engine.push_back((s.SendDone - s.FirstWrite) + handOver + (s.Handler - s.Dispatch));
    }
    Line("  %s, log %s:", afterIdle ? "after 1 s idle" : "back to back",
         clearLog ? "cleared before each START" : "growing");
    ReportParts(parts, failed);
    if (failed && log.Count() > 0) Line("  last log line: %s", fw::NarrowUtf8(log.Strings(log.Count() - 1)).c_str());
}

// The same bytes with plain calls: four one-byte writes, each waited for,
// then a read of the two-byte answer.
void BareCycles(std::uint32_t port) {
    HANDLE h = serial_line::OpenSet(port, FILE_FLAG_OVERLAPPED, 57600, 8);
    if (h == INVALID_HANDLE_VALUE) {
        Line("  bare Win32: cannot open COM%u (%lu)", port, GetLastError());
        return;
    }
    COMMTIMEOUTS t{};
    SetCommTimeouts(h, &t);
    PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
    OVERLAPPED o{};
    o.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto io = [&](bool write, void* buf, DWORD len) {
        o.Internal = o.InternalHigh = o.Offset = o.OffsetHigh = 0;
        ResetEvent(o.hEvent);
        DWORD n = 0;
        const BOOL ok = write ? WriteFile(h, buf, len, &n, &o) : ReadFile(h, buf, len, &n, &o);
        if (ok) return n == len;
        if (GetLastError() != ERROR_IO_PENDING) return false;
        if (WaitForSingleObject(o.hEvent, 6000) != WAIT_OBJECT_0) {
            CancelIo(h);
            GetOverlappedResult(h, &o, &n, TRUE);
            return false;
        }
        return GetOverlappedResult(h, &o, &n, FALSE) && n == len;
    };
    const auto frame = truck::RequestFrame(0);
    std::vector<double> ms;
    int failed = 0;
    for (int i = 0; i < kCycles; ++i) {
        const double t0 = NowMs();
        bool ok = true;
        for (std::uint8_t b : frame) ok = ok && io(true, &b, 1);
        std::uint8_t answer[2] = {};
        ok = ok && io(false, answer, 2) && truck::IsAck(answer, 2);
        const double t1 = NowMs();
        if (ok)
            ms.push_back(t1 - t0);
        else
            ++failed;
    }
    CloseHandle(o.hEvent);
    CloseHandle(h);
    Report("bare Win32, same frame and answer", ms, failed);
}

void Cycle() {
    serial_test::TPtyPair pair;
    if (!pair.Ready()) {
        Line("  skipped: %s", pair.Error().c_str());
        return;
    }
    serial_test::TSimulator module(pair.PortB(), L"--mode ack --seconds 600");
    if (!module.Ready()) {
        Line("  skipped: %s", module.Error().c_str());
        return;
    }
    Line("  window on COM%u, module on COM%u (nrsim --mode ack)", pair.PortA(), pair.PortB());
    WindowCycles(pair.PortA(), true, true, kIdleCycles);
    WindowCycles(pair.PortA(), false, true, kCycles);
    WindowCycles(pair.PortA(), false, false, kCycles);
    BareCycles(pair.PortA());
}

BOOL CALLBACK CloseVisible(HWND h, LPARAM p) {
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    if (pid == *reinterpret_cast<DWORD*>(p) && IsWindowVisible(h)) PostMessageW(h, WM_CLOSE, 0, 0);
    return TRUE;
}

void Startup() {
    const std::wstring exe = L"\"" + win_process::ExeDir() + L"Project2.exe\"";
    std::vector<double> ms;
    int failed = 0;
    for (int i = 0; i < kStarts; ++i) {
        win_process::TChild app;
        const double t0 = NowMs();
        if (!app.Start(exe, L"")) {
            ++failed;
            continue;
        }
        bool ready = false;
        while (!ready && NowMs() - t0 < 20000) {
            ready = win_window::MainWindow(app.Id()) != nullptr;
            if (!ready) Sleep(1);
        }
        const double t1 = NowMs();
        if (ready)
            ms.push_back(t1 - t0);
        else
            ++failed;
        // Close it as the user would; End kills it if it does not go.
        DWORD pid = app.Id();
        EnumWindows(&CloseVisible, reinterpret_cast<LPARAM>(&pid));
        app.End(10000);
    }
    if (ms.empty()) {
        Line("  no start completed (%d failed)", failed);
        return;
    }
    Line("  process start to window with port list     median %.1f ms  min %.1f  max %.1f  (%u starts, %d failed)",
         bench::Median(ms), bench::Percentile(ms, 0), bench::Percentile(ms, 100), static_cast<unsigned>(ms.size()),
         failed);
}

}  // namespace

BENCH_SECTION(cycle, "Programming cycle against the simulated module", Cycle);
BENCH_SECTION(startup, "Utility start-up to its window with the port list loaded", Startup);
