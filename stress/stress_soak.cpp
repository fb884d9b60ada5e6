// The soak (stress_comm --soak [minutes]): the utility pressed against the
// simulated module for as long as asked, the module's mode changed now and
// then, the utility's adapter pulled and plugged in again, and beside it a
// port of this program's own that stays open and idle but for a flood now
// and then. One line a minute. At the end every press must have had the
// outcome of the module's mode, and nothing may have grown beyond what Wine
// itself keeps for the same exchanges (measured with bare Win32 calls).
#include <algorithm>
#include <atomic>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "stress.h"
#include "stress_app.h"
#include "tools/common/serial_line.h"

using namespace stress;
using serial_test::TPeerPort;
using serial_test::TPtyPair;

namespace {

struct TModeRow {
    const wchar_t* Mode;
    const wchar_t* Expected;
    int Weight;
};
// delay answers after 1.5 s, inside the utility's 5 s.
const TModeRow kModes[] = {
    {L"ack", kSuccess, 6}, {L"delay", kSuccess, 1}, {L"wrong", kWrongAck, 2}, {L"silent", kTimeout, 1}};

constexpr DWORD kEvents = EV_RXCHAR | EV_TXEMPTY | EV_CTS | EV_DSR | EV_RLSD | EV_RING;

// Request and answer with bare Win32 calls, the way the utility's port makes
// them: a WaitCommEvent always pending, ended by the writes' bytes leaving
// and by the answer's bytes, each followed by a read of what came.
class TBareExchange {
public:
    explicit TBareExchange(std::uint32_t port) : h_(serial_line::OpenSet(port, FILE_FLAG_OVERLAPPED, 57600, 8)) {
        COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 0};  // reads take what is there
        SetCommTimeouts(h_, &t);
        SetCommMask(h_, kEvents);
    }
    ~TBareExchange() {
        SetCommMask(h_, 0);  // ends the pending wait
        DWORD n = 0;
        if (armed_) GetOverlappedResult(h_, &wait_.o, &n, TRUE);
        CloseHandle(h_);
    }
    bool Ok() const { return h_ != INVALID_HANDLE_VALUE; }
    long long Pending() const { return pending_; }
    bool Exchange() {
        const std::uint8_t frame[4] = {0xAA, 0x55, 0x01, 0x00};
        DWORD n = 0, got = 0;
        // A byte per write, as the utility sends its frame.
        for (const std::uint8_t& b : frame)
            if (!Complete(WriteFile(h_, &b, 1, nullptr, &io_.o), io_, n)) return false;
        for (int turns = 0; got < 2 && turns < 20; ++turns) {
            Arm();
            if (armed_ && WaitForSingleObject(wait_.o.hEvent, 500) != WAIT_OBJECT_0) return false;
            if (armed_) GetOverlappedResult(h_, &wait_.o, &n, FALSE);
            armed_ = false;
            std::uint8_t b[2];
            if (Complete(ReadFile(h_, b, 2 - got, nullptr, &io_.o), io_, n)) got += n;
        }
        Arm();
        return got == 2;
    }

private:
    struct TIo {
        OVERLAPPED o{};
        TIo() { o.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
        ~TIo() { CloseHandle(o.hEvent); }
    };
    bool Complete(BOOL started, TIo& io, DWORD& n) {
        const bool pending = !started && GetLastError() == ERROR_IO_PENDING;
        pending_ += pending;
        return (started || pending) && GetOverlappedResult(h_, &io.o, &n, TRUE);
    }
    void Arm() {
        if (!armed_) armed_ = !WaitCommEvent(h_, &mask_, &wait_.o) && GetLastError() == ERROR_IO_PENDING;
        pending_ += armed_;
    }
    HANDLE h_;
    TIo io_, wait_;
    DWORD mask_ = 0;
    bool armed_ = false;
    long long pending_ = 0;
};

struct TWineCost {
    double PerExchange = -1;  // bytes, the larger of heap and private bytes
    double PerPending = -1;   // heap bytes per overlapped call that went pending
};

// Wine's bytes kept per request and answer: the larger of what its heaps
// keep (exact) and the private bytes (the utility's measure, in pages).
TWineCost WinePerExchange(std::uint32_t port, int n) {
    TWineCost c;
    TBareExchange x(port);
    if (!x.Ok()) return c;
    for (int i = 0; i < 50; ++i) x.Exchange();
    const TProcessUse before = ProcessUse();
    const long long waits = x.Pending();
    int made = 0;
    for (int i = 0; i < n; ++i) made += x.Exchange();
    const TProcessUse after = ProcessUse();
    if (made < n) Detail("bare Win32: %d of %d exchanges answered", made, n);
    if (!made) return c;
    const double heap = static_cast<double>(after.HeapBytes - before.HeapBytes);
    const double priv = static_cast<double>(after.PrivateBytes - before.PrivateBytes) / made;
    Reference("Wine: heap bytes per request and answer (bare Win32)", heap / made, "B");
    Reference("Wine: private bytes per request and answer (bare Win32)", priv, "B");
    Reference("Wine: overlapped calls that went pending per request and answer (bare Win32)",
              static_cast<double>(x.Pending() - waits) / made, "");
    c.PerExchange = std::max(heap / made, priv);
    if (x.Pending() > waits) c.PerPending = heap / static_cast<double>(x.Pending() - waits);
    return c;
}

// The same request and answer through the library, as the utility makes it
// (a byte per SendChar, the answer to OnAfterReceive): what it keeps beyond
// Wine's cost per overlapped call that went pending. Its heap bytes per exchange, Wine's part
// included.
double LibraryPerExchange(std::uint32_t port, int n, const TWineCost& wine) {
    TStressComm com;
    UseUtilityLine(com);
    com.SetComPortNo(static_cast<std::uint16_t>(port));
    std::atomic<std::uint32_t> received{0};
    com.OnAfterReceive = [&](fw::TObject*, void*, std::uint32_t k) { received += k; };
    TCountPendingWaits counting;
    com.SetActive(true);
    auto exchange = [&] {
        const std::uint32_t before = received;
        for (char b : {'\xAA', '\x55', '\x01', '\x00'}) com.SendChar(static_cast<unsigned char>(b));
        return PumpUntil([&] { return received >= before + 2; }, 2000);
    };
    for (int i = 0; i < 50; ++i) exchange();
    const TProcessUse u0 = ProcessUse();
    const long long w0 = PendingIo();
    int made = 0;
    for (int i = 0; i < n; ++i) made += exchange();
    const TProcessUse u1 = ProcessUse();
    const double waits = static_cast<double>(PendingIo() - w0);
    com.SetActive(false);
    All("the library: requests answered", made, n);
    const double heap = static_cast<double>(u1.HeapBytes - u0.HeapBytes) / std::max(made, 1);
    Reference("the library: heap bytes per request and answer, Wine's part included", heap, "B");
    Reference("the library: overlapped calls that went pending per request and answer", waits / std::max(made, 1), "");
    AtMost("the library: own allocations kept per request and answer",
           static_cast<double>(u1.CrtLiveBytes - u0.CrtLiveBytes) / std::max(made, 1), 1, "B");
    // What Wine keeps for the library's other calls (its threads' messages
    // and events): nothing of it is the library's, as the line above shows.
    if (wine.PerPending >= 0)
        Reference("the library: heap per request and answer beyond Wine's per pending call",
                  heap - waits * wine.PerPending / std::max(made, 1), "B");
    return heap;
}

// Wine keeps a handle for every Unix program a Windows program starts (the
// pty pair's scripts are such programs), whatever the caller closes.
double WineHandlesPerUnixStart(int n) {
    const long before = ProcessUse(GetCurrentProcess()).Handles;
    for (int i = 0; i < n; ++i) {
        wchar_t cmd[] = L"Z:\\bin\\true";
        STARTUPINFOW si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        if (!CreateProcessW(nullptr, cmd, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) continue;
        if (pi.hProcess) CloseHandle(pi.hProcess);
        if (pi.hThread) CloseHandle(pi.hThread);
    }
    Sleep(500);
    return static_cast<double>(ProcessUse(GetCurrentProcess()).Handles - before) / n;
}

// The pairs of the soak outlive it; a test's pair ends by itself sooner.
unsigned PairSeconds() { return SoakMinutes() * 60 + 900; }

// A port of this program's that stays open; a peer floods it now and then
// with bytes it checks.
class TIdlePort {
public:
    TIdlePort() : peer_(pair_.PortB()) {
        UseUtilityLine(com_);
        com_.SetComPortNo(static_cast<std::uint16_t>(pair_.PortA()));
        com_.SetUseMainThread(false);
        com_.OnAfterReceive = [this](fw::TObject*, void* data, std::uint32_t n) {
            const auto* b = static_cast<const std::uint8_t*>(data);
            for (std::uint32_t i = 0; i < n; ++i)
                if (b[i] != Pattern(received_ + i, seed_)) ++wrong_;
            received_ += n;
        };
        com_.SetActive(true);
    }
    bool Open() { return com_.Active(); }
    // Size bytes from the peer; true when all came, each in its place.
    bool Flood(std::uint32_t Size) {
        received_ = 0;
        wrong_ = 0;
        ++seed_;
        std::string block(Size, '\0');
        for (std::uint32_t i = 0; i < Size; ++i) block[i] = static_cast<char>(Pattern(i, seed_));
        std::thread writer([&] { peer_.Write(block); });
        const bool all = PumpUntil([&] { return received_ >= Size; }, 60000);
        if (!all) peer_.Cancel();
        writer.join();
        return all && received_ == Size && wrong_ == 0;
    }

private:
    TPtyPair pair_{true, PairSeconds()};
    TStressComm com_;
    TPeerPort peer_;
    std::atomic<std::uint64_t> received_{0};
    std::atomic<std::uint64_t> wrong_{0};
    std::atomic<std::uint32_t> seed_{0};
};

struct TTally {
    int Presses = 0, AsExpected = 0;
    int Unplugs = 0, Replugged = 0;
    int Floods = 0, FloodsExact = 0;
    int UnixStarts = 0;  // the unplug's kill and the new pair's script
};

struct TSample {
    TProcessUse App, Own;
    long long LogBytes = 0;
    TTally Tally;
};

long long LogBytes(HWND log) {
    DWORD_PTR n = 0;
    SendMessageTimeoutW(log, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &n);
    return static_cast<long long>(n) * static_cast<long long>(sizeof(wchar_t));
}

double Mb(long long b) { return static_cast<double>(b) / (1024.0 * 1024.0); }

class TSoak {
public:
    void Run();

private:
    bool Replug();
    void ChangeMode();
    TSample Sample() { return {ProcessUse(rig_.Process()), ProcessUse(), LogBytes(rig_.Log()), tally_}; }
    void MinuteLine(unsigned minute, const TSample& s);
    void Verdict(const TSample& from, const TSample& to, double winePerExchange, double wineHandlesPerStart);

    std::mt19937 random_{GetTickCount()};
    std::unique_ptr<TPtyPair> line_ = std::make_unique<TPtyPair>(true, PairSeconds());
    TUtilityRig rig_;
    const TModeRow* mode_ = &kModes[0];
    TTally tally_;
};

void TSoak::ChangeMode() {
    int total = 0;
    for (const auto& m : kModes) total += m.Weight;
    int pick = std::uniform_int_distribution<int>(0, total - 1)(random_);
    for (const auto& m : kModes)
        if ((pick -= m.Weight) < 0) {
            mode_ = &m;
            break;
        }
    rig_.StartModule(line_->PortB(), mode_->Mode);
}

// The adapter pulled and plugged in again: the same COM number, a new line.
bool TSoak::Replug() {
    const std::uint32_t port = line_->PortA();
    tally_.UnixStarts += 2;
    line_->Unplug();
    Pump(1500);  // the utility sees its port go
    line_.reset();
    line_ = std::make_unique<TPtyPair>(true, PairSeconds());
    if (!line_->Ready() || line_->PortA() != port) {
        Detail("the replugged line is COM%u, not COM%u: %s", line_->PortA(), port, line_->Error().c_str());
        return false;
    }
    return rig_.StartModule(line_->PortB(), mode_->Mode);
}

void TSoak::MinuteLine(unsigned minute, const TSample& s) {
    Line(
        "  minute %3u: presses %d (%d as expected), mode %ls, unplugs %d, floods %d (%d exact); utility: handles "
        "%ld, threads %ld, private %.2f MB, log %.0f KB; this program: handles %ld, threads %ld, private %.2f MB",
        minute, tally_.Presses, tally_.AsExpected, mode_->Mode, tally_.Unplugs, tally_.Floods, tally_.FloodsExact,
        s.App.Handles, s.App.Threads, Mb(s.App.PrivateBytes), static_cast<double>(s.LogBytes) / 1024, s.Own.Handles,
        s.Own.Threads, Mb(s.Own.PrivateBytes));
}

void TSoak::Run() {
    // First, while nothing else of this program opens or closes handles.
    const double wineHandles = WineHandlesPerUnixStart(20);
    Reference("Wine: handles kept per Unix program started (bare Win32)", wineHandles, "");
    TIdlePort idle;
    if (!PairReady(*line_, "the utility") || !idle.Open()) {
        All("the utility's line and an idle open port", 0, 1);
        return;
    }
    if (!rig_.StartModule(line_->PortB(), L"ack")) return;
    const TWineCost wine = WinePerExchange(line_->PortA(), 10000);
    const double libraryPerExchange = LibraryPerExchange(line_->PortA(), 5000, wine);
    const double winePerExchange = std::max(wine.PerExchange, libraryPerExchange);
    if (!rig_.Start(line_->PortA(), line_->PortB(), L"ack")) return;

    const double t0 = NowMs(), end = t0 + SoakMinutes() * 60000.0;
    auto after = [&](double lo, double hi) {
        return NowMs() + std::uniform_real_distribution<double>(lo, hi)(random_);
    };
    // The first flood and unplug come early, so that growth is judged from
    // the second or third minute on.
    double nextMode = after(20e3, 60e3), nextFlood = after(20e3, 40e3), nextUnplug = after(40e3, 80e3);
    unsigned minute = 0;
    TSample base{}, last{};
    bool settled = false;
    while (NowMs() < end) {
        std::wstring what;
        ++tally_.Presses;
        if (rig_.Press(mode_->Expected, what))
            ++tally_.AsExpected;
        else
            Detail("press %d, mode %ls: %s", tally_.Presses, mode_->Mode, Narrow(what).c_str());
        if (NowMs() >= t0 + (minute + 1) * 60000.0) {
            last = Sample();
            MinuteLine(++minute, last);
            // What Wine and the utility make once is made by the first
            // minute with an unplug and a flood behind it.
            if (!settled) base = last;
            settled = tally_.Unplugs && tally_.Floods;
        }
        if (NowMs() >= nextMode) {
            ChangeMode();
            nextMode = after(20e3, 60e3);
        }
        if (NowMs() >= nextFlood) {
            ++tally_.Floods;
            tally_.FloodsExact += idle.Flood(std::uniform_int_distribution<std::uint32_t>(64 << 10, 4 << 20)(random_));
            nextFlood = after(60e3, 180e3);
        }
        if (NowMs() >= nextUnplug) {
            ++tally_.Unplugs;
            tally_.Replugged += Replug();
            nextUnplug = after(90e3, 300e3);
        }
    }
    All("presses that ended with the outcome of the module's mode", tally_.AsExpected, tally_.Presses);
    if (tally_.Floods) All("floods to the idle port that arrived byte-exact", tally_.FloodsExact, tally_.Floods);
    if (tally_.Unplugs) All("unplugs after which the same COM port came back", tally_.Replugged, tally_.Unplugs);
    All("the idle port still open", idle.Open(), 1);
    if (settled && last.Tally.Presses > base.Tally.Presses)
        Verdict(base, last, winePerExchange, wineHandles);
    else
        Line("  (too short a run to judge growth: it needs a minute after the first unplug and flood)");
    All("Exit ends the utility with exit code 0", rig_.Exit(), 1);
}

void TSoak::Verdict(const TSample& from, const TSample& to, double winePerExchange, double wineHandlesPerStart) {
    const int presses = to.Tally.Presses - from.Tally.Presses;
    const int unixStarts = to.Tally.UnixStarts - from.Tally.UnixStarts;
    Line("  growth judged from the first settled minute: %d presses, %d unplugs", presses,
         to.Tally.Unplugs - from.Tally.Unplugs);
    AtMost("utility: handles gained", to.App.Handles - from.App.Handles, 0, "");
    AtMost("utility: threads gained", to.App.Threads - from.App.Threads, 0, "");
    // The log pane keeps its lines until cleared: its text is not growth.
    const double appPerPress =
        static_cast<double>(to.App.PrivateBytes - from.App.PrivateBytes - (to.LogBytes - from.LogBytes)) /
        std::max(presses, 1);
    Reference("utility: private bytes per press, the log's text aside", appPerPress, "B");
    // A press is the library's exchange and the window's own work (a timer,
    // the cursor, the window disabled and enabled, a log line): Wine keeps
    // heap for that too, bounded here at 128 bytes.
    AtMost("utility: private bytes per press beyond the library's exchange",
           appPerPress - std::max(winePerExchange, 0.0), 128, "B");
    AtMost("this program: handles gained beyond Wine's per Unix program",
           static_cast<double>(to.Own.Handles - from.Own.Handles) - unixStarts * std::max(wineHandlesPerStart, 0.0), 0,
           "");
    AtMost("this program: threads gained", to.Own.Threads - from.Own.Threads, 0, "");
    AtMost("this program: own allocations gained", static_cast<double>(to.Own.CrtLiveBytes - from.Own.CrtLiveBytes),
           64 * 1024, "B");
}

void Soak() { TSoak().Run(); }

}  // namespace

STRESS_SECTION(soak, "The utility for a long while: mode changes, unplugs, an idle port, floods", Soak, 0, 0);
