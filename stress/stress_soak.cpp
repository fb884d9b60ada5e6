// The soak (stress_comm --soak [minutes]): the utility pressed against the
// simulated module for as long as asked, the module's mode changed now and
// then, the utility's adapter pulled and plugged in again, and beside it a
// port of this program's own that stays open and idle but for a flood now
// and then. One line a minute. At the end every press must have had the
// outcome of the module's mode, and nothing may have grown beyond what Wine
// itself keeps for the same exchanges (measured with bare Win32 calls).
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

// Request and answer with bare Win32 calls, the way a port's event thread
// makes them: a WaitCommEvent always pending, ended by the write's last byte
// leaving and by the answer's bytes, each followed by a read of what came.
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
    bool Exchange() {
        const std::uint8_t frame[4] = {0xAA, 0x55, 0x01, 0x00};
        DWORD n = 0, got = 0;
        if (!Complete(WriteFile(h_, frame, 4, nullptr, &io_.o), io_, n)) return false;
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
        return (started || GetLastError() == ERROR_IO_PENDING) && GetOverlappedResult(h_, &io.o, &n, TRUE);
    }
    void Arm() {
        if (!armed_) armed_ = !WaitCommEvent(h_, &mask_, &wait_.o) && GetLastError() == ERROR_IO_PENDING;
    }
    HANDLE h_;
    TIo io_, wait_;
    DWORD mask_ = 0;
    bool armed_ = false;
};

// Wine's private bytes per request and answer.
double WinePerExchange(std::uint32_t port, int n) {
    TBareExchange x(port);
    if (!x.Ok()) return -1;
    for (int i = 0; i < 50; ++i) x.Exchange();
    const long long before = ProcessUse(GetCurrentProcess()).PrivateBytes;
    int made = 0;
    for (int i = 0; i < n; ++i) made += x.Exchange();
    const long long after = ProcessUse(GetCurrentProcess()).PrivateBytes;
    if (made < n) Detail("bare Win32: %d of %d exchanges answered", made, n);
    return made ? static_cast<double>(after - before) / made : -1;
}

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
    TPtyPair pair_{true};
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
};

struct TSample {
    TProcessUse App, Own;
    long long LogBytes = 0;
    int Presses = 0;
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
    TSample Sample() { return {ProcessUse(rig_.Process()), ProcessUse(), LogBytes(rig_.Log()), tally_.Presses}; }
    void MinuteLine(unsigned minute, const TSample& s);
    void Verdict(const TSample& from, const TSample& to, double winePerExchange);

    std::mt19937 random_{GetTickCount()};
    std::unique_ptr<TPtyPair> line_ = std::make_unique<TPtyPair>(true);
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
    line_->Unplug();
    Pump(1500);  // the utility sees its port go
    line_.reset();
    line_ = std::make_unique<TPtyPair>(true);
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
    TIdlePort idle;
    if (!PairReady(*line_, "the utility") || !idle.Open()) {
        All("the utility's line and an idle open port", 0, 1);
        return;
    }
    if (!rig_.StartModule(line_->PortB(), L"ack")) return;
    const double winePerExchange = WinePerExchange(line_->PortA(), 2000);
    Reference("Wine: private bytes per request and answer (bare Win32)", winePerExchange, "B");
    if (!rig_.Start(line_->PortA(), line_->PortB(), L"ack")) return;

    const double t0 = NowMs(), end = t0 + SoakMinutes() * 60000.0;
    auto after = [&](double lo, double hi) {
        return NowMs() + std::uniform_real_distribution<double>(lo, hi)(random_);
    };
    double nextMode = after(20e3, 60e3), nextFlood = after(60e3, 180e3), nextUnplug = after(90e3, 300e3);
    unsigned minute = 0;
    TSample base{}, last{};
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
            // The first minute settles what Wine and the utility make once.
            if (minute == 1) base = last;
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
    if (minute >= 2) Verdict(base, last, winePerExchange);
    All("Exit ends the utility with exit code 0", rig_.Exit(), 1);
}

void TSoak::Verdict(const TSample& from, const TSample& to, double winePerExchange) {
    const int presses = to.Presses - from.Presses;
    AtMost("utility: handles gained after the first minute", to.App.Handles - from.App.Handles, 0, "");
    AtMost("utility: threads gained after the first minute", to.App.Threads - from.App.Threads, 0, "");
    // The log pane keeps every line, as it should: its text is not growth.
    const double appPerPress =
        static_cast<double>(to.App.PrivateBytes - from.App.PrivateBytes - (to.LogBytes - from.LogBytes)) /
        std::max(presses, 1);
    Reference("utility: private bytes per press, the log's text aside", appPerPress, "B");
    AtMost("utility: private bytes per press beyond Wine's per exchange", appPerPress - std::max(winePerExchange, 0.0),
           64, "B");
    AtMost("this program: handles gained after the first minute", to.Own.Handles - from.Own.Handles, 0, "");
    AtMost("this program: threads gained after the first minute", to.Own.Threads - from.Own.Threads, 0, "");
    AtMost("this program: own allocations gained after the first minute",
           static_cast<double>(to.Own.CrtLiveBytes - from.Own.CrtLiveBytes), 64 * 1024, "B");
}

void Soak() { TSoak().Run(); }

}  // namespace

STRESS_SECTION(soak, "The utility for a long while: mode changes, unplugs, an idle port, floods", Soak, 0, 0);
