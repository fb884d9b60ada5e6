// GetPNPDeviceString call after call against the simulated Plug-and-Play
// device on the cable, and beside it the same line work done with bare Win32
// calls: what the library keeps beyond the bare calls is ours, the rest is
// Wine's (its heap per pending WaitCommEvent that ended, above all).
//
// The handshake's fixed pauses are shortened through the library's Win32
// table so that many calls fit the budget; the device still tells the
// enumerator's signature (DTR well before RTS) from a plain power-up.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <functional>
#include <memory>

#include "stress.h"
#include "stress_support.h"
#include "tests/support/simulator.h"
#include "tests/support/win32_guard.h"
#include "tools/common/serial_line.h"

using namespace stress;
using serial_test::TPtyPair;
using serial_test::TSimulator;

namespace {

// What the simulated device sends: revision 1.00, then its id.
const std::wstring kId = std::wstring(L"(\x01\x24") + L"NRS0001)";
// The handshake's 200 ms pauses become this. The device takes DTR and RTS
// rising 50 ms apart or more as the signature: the rest is room for a busy
// machine, where it may still now and then see them late.
constexpr DWORD kPauseMs = 100;
// Each wait for DSR or for a byte, as long as the library's.
constexpr DWORD kStepMs = 200;

VOID WINAPI ShortPause(DWORD Ms) { ::Sleep(std::min(Ms, kPauseMs)); }

struct TRow {
    const char* Name;
    bool Cable;             // false: a plain pair, without modem lines
    const wchar_t* Device;  // nrsim's arguments; none: no device
    bool Answers;           // false: no DSR
    int Full, Short;        // calls
};

const TRow kRows[] = {
    {"device answers", true, L"--mode pnp --char-ms 1", true, 300, 8},
    {"no DSR", true, L"--mode pnp-nodsr", false, 75, 3},
    // Waits there end by themselves: many more of them, each kept by Wine.
    {"plain pair, no modem lines", false, nullptr, false, 75, 3},
};

// ---- the same line work with bare Win32 calls

std::atomic<long long> gBarePendingWaits{0};

template <class F> bool Within(DWORD Ms, F Test) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (Test()) return true;
        if (GetTickCount() - start >= Ms) return false;
        Sleep(1);
    }
}

DWORD ModemStatus(HANDLE h) {
    DWORD s = 0;
    GetCommModemStatus(h, &s);
    return s;
}

DWORD Queued(HANDLE h) {
    DWORD errors = 0;
    COMSTAT cs{};
    ClearCommError(h, &errors, &cs);
    return cs.cbInQue;
}

// A line set and the lines looked at after it, as the library traces them.
void Drive(HANDLE h, DWORD Function) {
    EscapeCommFunction(h, Function);
    ModemStatus(h);
}

// A port opened and configured as the library opens one, with an event-wait
// thread keeping a WaitCommEvent pending and a message thread it posts to.
class TBarePort {
public:
    explicit TBarePort(std::uint32_t Port) : h_(serial_line::Open(Port, FILE_FLAG_OVERLAPPED)) {
        DWORD errors = 0;
        ClearCommError(h_, &errors, nullptr);
        SetupComm(h_, 8192, 8192);
        COMMTIMEOUTS t{};
        t.WriteTotalTimeoutMultiplier = 100;
        SetCommTimeouts(h_, &t);
        SetUtilityLine();
        Remask();
        read_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        threads_[0] = CreateThread(nullptr, 0, &Messages, nullptr, 0, &msgId_);
        threads_[1] = CreateThread(nullptr, 0, &Events, this, 0, nullptr);
        WaitForSingleObject(started_, 1000);
    }
    ~TBarePort() {
        // The event-wait thread first: it may still post to the other.
        SetEvent(stop_);
        WaitForSingleObject(threads_[1], 5000);
        PostThreadMessageW(msgId_, WM_QUIT, 0, 0);
        WaitForSingleObject(threads_[0], 5000);
        for (HANDLE x : {threads_[0], threads_[1], stop_, started_, read_.hEvent, h_}) CloseHandle(x);
    }
    TBarePort(const TBarePort&) = delete;
    TBarePort& operator=(const TBarePort&) = delete;

    HANDLE Handle() const { return h_; }
    void SetUtilityLine() const { serial_line::Set(h_, 57600, 8, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE); }
    // A new event mask, the empty one first: it ends the pending wait.
    void Remask() const {
        SetCommMask(h_, 0);
        SetCommMask(h_, EV_RXCHAR);
    }
    bool ReadByte(char& b) {
        DWORD n = 0;
        std::memset(&read_, 0, offsetof(OVERLAPPED, hEvent));
        if (!ReadFile(h_, &b, 1, &n, &read_) && GetLastError() == ERROR_IO_PENDING)
            GetOverlappedResult(h_, &read_, &n, TRUE);
        return n == 1;
    }

private:
    static DWORD WINAPI Messages(void*) {
        MSG m;
        while (GetMessageW(&m, nullptr, 0, 0) > 0) {
        }
        return 0;
    }
    static DWORD WINAPI Events(void* Self) {
        static_cast<TBarePort*>(Self)->Wait();
        return 0;
    }
    void Wait() {
        OVERLAPPED o{};
        o.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        const HANDLE ends[2] = {o.hEvent, stop_};
        bool pending = false;
        while (WaitForSingleObject(stop_, 0) == WAIT_TIMEOUT) {
            DWORD mask = 0, n = 0;
            std::memset(&o, 0, offsetof(OVERLAPPED, hEvent));
            pending = !WaitCommEvent(h_, &mask, &o) && GetLastError() == ERROR_IO_PENDING;
            SetEvent(started_);
            if (!pending) {
                Sleep(1);  // bytes nobody reads yet report at once
            } else {
                ++gBarePendingWaits;
                if (WaitForMultipleObjects(2, ends, FALSE, INFINITE) != WAIT_OBJECT_0) break;
                pending = !GetOverlappedResult(h_, &o, &n, FALSE) && GetLastError() == ERROR_IO_INCOMPLETE;
            }
            if (mask)
                while (!PostThreadMessageW(msgId_, WM_APP, mask, 0)) Sleep(1);
        }
        // The empty mask ends a wait still pending, as the library's close does.
        SetCommMask(h_, 0);
        if (pending) WaitForSingleObject(o.hEvent, 5000);
        CloseHandle(o.hEvent);
    }

    HANDLE h_;
    OVERLAPPED read_{};
    HANDLE stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE started_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE threads_[2] = {};
    DWORD msgId_ = 0;
};

// DTR on, RTS off, and DSR awaited.
bool BareDsr(HANDLE h) {
    PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    CancelIo(h);
    Drive(h, SETDTR);
    Drive(h, CLRRTS);
    return Within(kStepMs, [&] { return (ModemStatus(h) & MS_DSR_ON) != 0; });
}

// A call on a closed port with a device that answers the first power-up.
std::wstring BareIdentify(std::uint32_t Port) {
    TBarePort p(Port);
    const HANDLE h = p.Handle();
    if (!BareDsr(h)) return {};
    p.SetUtilityLine();
    serial_line::Set(h, 1200, 7, DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE);
    p.Remask();
    Drive(h, CLRDTR);
    Drive(h, CLRRTS);
    Sleep(kPauseMs);
    Drive(h, SETDTR);
    Sleep(kPauseMs);
    PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR);
    Drive(h, SETRTS);
    std::wstring s;
    char b = 0;
    while (b != ')' && Within(kStepMs, [&] { return Queued(h) > 0; }) && p.ReadByte(b))
        s += static_cast<wchar_t>(static_cast<unsigned char>(b));
    p.SetUtilityLine();
    p.Remask();
    return s;
}

// ---- measuring

struct TRun {
    TProcessUse Before, After;
    double Waits = 0;  // pending waits per call
    double Seconds = 0;
    int Good = 0;
    double PerCall(long long TProcessUse::*Field, int n) const {
        return static_cast<double>(After.*Field - Before.*Field) / n;
    }
};

// n calls, after a few that settle what Wine and the library make once.
TRun Measure(int n, const std::function<long long()>& Waits, const std::function<bool()>& Call) {
    for (int i = 0; i < Reps(5, 2); ++i) Call();
    Pump(20);
    TRun r;
    r.Before = ProcessUse();
    const long long w0 = Waits();
    const double t0 = NowMs();
    for (int i = 0; i < n; ++i) r.Good += Call();
    r.Seconds = (NowMs() - t0) / 1000;
    r.Waits = static_cast<double>(Waits() - w0) / n;
    // The worker threads of the last close end on their own.
    PumpUntil(
        [&] {
            r.After = ProcessUse();
            return r.After.Threads <= r.Before.Threads && r.After.Handles <= r.Before.Handles;
        },
        3000);
    return r;
}

// The heap per call is mostly Wine's per pending wait, and how many waits a
// call has depends on timing: the two sides are compared with their waits
// evened out at Wine's cost per wait.
void Report(const std::string& Row, int n, const TRun& lib, const TRun& bare, double PerWait) {
    auto what = [&](const char* s) { return Row + ": " + s; };
    stress::Line(
        "  %s: %d calls each: library %.1f s, %.2f pending waits per call; bare %.1f s, %.2f; Wine keeps %.0f B "
        "per pending wait that ended (bare Win32)",
        Row.c_str(), n, lib.Seconds, lib.Waits, bare.Seconds, bare.Waits, PerWait);
    // Now and then a busy machine hides a power-up from the device.
    AtLeast(what("library calls with the outcome expected").c_str(), 100.0 * lib.Good / n, 90, "%");
    AtLeast(what("bare calls with the outcome expected").c_str(), 100.0 * bare.Good / n, 90, "%");
    const double libHeap = lib.PerCall(&TProcessUse::HeapBytes, n), bareHeap = bare.PerCall(&TProcessUse::HeapBytes, n);
    Reference(what("heap gained per call, library").c_str(), libHeap, "B");
    Reference(what("heap gained per call, bare Win32").c_str(), bareHeap, "B");
    // Bare calls that seem to give heap back saw something else end meanwhile.
    const double bareBeyondWaits = std::max(bareHeap - bare.Waits * PerWait, 0.0);
    AtMost(what("heap gained per call beyond bare Win32, waits evened out").c_str(),
           libHeap - lib.Waits * PerWait - bareBeyondWaits, 64, "B");
    AtMost(what("own allocations gained per call").c_str(), lib.PerCall(&TProcessUse::CrtLiveBytes, n), 1, "B");
    AtMost(what("handles gained").c_str(), lib.After.Handles - lib.Before.Handles, 0, "");
    AtMost(what("threads gained").c_str(), lib.After.Threads - lib.Before.Threads, 0, "");
}

// The library's calls, then the bare ones, on the row's line.
void Row(const TRow& row) {
    TPtyPair pair(row.Cable);
    if (!PairReady(pair, row.Name)) return;
    std::unique_ptr<TSimulator> device;
    if (row.Device) device = std::make_unique<TSimulator>(pair.PortB(), row.Device);
    if (pair.HasModemLines() != row.Cable || (device && !device->Ready())) {
        All((std::string(row.Name) + ": the line and the device as the row asks").c_str(), 0, 1);
        if (device) Detail("%s", device->Error().c_str());
        return;
    }
    const double perWait = std::max(WineCostPerWait(pair.PortA(), Reps(1000, 100)), 0.0);
    const int n = Reps(row.Full, row.Short);
    const std::wstring want = row.Answers ? kId : L"";
    TStressComm com;
    UseUtilityLine(com);
    com.SetComPortNo(static_cast<std::uint16_t>(pair.PortA()));
    int noDevice = 0;
    com.OnFatalError = [&](fw::TObject*, std::uint32_t, std::uint32_t, const std::wstring&, bool& raise) {
        ++noDevice;
        raise = false;
    };
    const TCountPendingWaits counting;
    const TRun lib = Measure(
        n, [] { return PendingWaits(); },
        [&] {
            const int before = noDevice;
            return com.GetPNPDeviceString() == want && noDevice == before + !row.Answers;
        });
    // The failed handshake leaves the port open; its worker threads end
    // before the bare calls are counted, and what they free with them.
    const auto workers = com.Threads();
    com.SetActive(false);
    WaitThreadsEnd(workers, 5000);
    // Without DSR the port stays open from call to call, as the library leaves it.
    std::unique_ptr<TBarePort> open = row.Answers ? nullptr : std::make_unique<TBarePort>(pair.PortA());
    const TRun bare = Measure(
        n, [] { return gBarePendingWaits.load(); },
        [&] { return row.Answers ? BareIdentify(pair.PortA()) == kId : !BareDsr(open->Handle()); });
    Report(row.Name, n, lib, bare, perWait);
}

void Pnp() {
    // The library's event-wait thread writes debug output when stopped
    // mid-wait; the first write opens a mutex kept for the process's life.
    OutputDebugStringW(L"");
    const test_support::TWin32Guard guard;
    nr::Win32.Sleep = &ShortPause;
    for (const TRow& row : kRows) Row(row);
}

}  // namespace

STRESS_SECTION(pnp, "Plug-and-Play identification call after call: no growth beyond bare Win32", Pnp, 360, 60);
