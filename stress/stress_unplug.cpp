// Unplugging the line (killing socat, as pulling a USB adapter does) in each
// state a port can be in: idle, receiving, sending, and inside each blocking
// call; in both threading modes, on the null-modem cable and, where the state
// needs no modem lines, on a plain pty pair. Every open must be closed once,
// nothing may hang, and another port must open afterwards.
#include <atomic>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "stress.h"
#include "stress_support.h"

using namespace stress;
using serial_test::TPeerPort;
using serial_test::TPtyPair;

namespace {

enum TState { stIdle, stFlood, stSending, stBlocking };

// A blocking call, made again and again until the line goes under it.
using TCall = std::function<void(TStressComm&)>;

struct TStateRow {
    const char* Name;
    TState Kind;
    bool NeedsLines;  // a plain pair has no modem lines to wait on
    TCall Call;
};

const TStateRow kStates[] = {
    {"idle", stIdle, false, nullptr},
    {"receiving a flood", stFlood, false, nullptr},
    {"a 1 MiB SendData in flight, more behind it", stSending, false, nullptr},
    {"inside WaitForBytes", stBlocking, false, [](TStressComm& c) { c.WaitForBytes(1u << 20, 5000); }},
    {"inside WaitForSignal", stBlocking, true, [](TStressComm& c) { c.WaitForSignal(nr::msRing, 5000); }},
    {"inside GetPNPDeviceString", stBlocking, true, [](TStressComm& c) { c.GetPNPDeviceString(); }},
    {"inside InitDeviceConnect", stBlocking, true, [](TStressComm& c) { c.InitDeviceConnect(); }},
};

constexpr DWORD kCloseLimitMs = 5000;
constexpr std::uint32_t kFloodSeen = 256 * 1024;  // received before the unplug

struct TOutcome {
    bool Reached = false;  // the state was there when the line went
    bool Closed = false;   // Active read false within kCloseLimitMs
    double CloseMs = 0;
    int Opens = 0;        // ncMediumOpened broadcasts (a handshake reopens)
    int Closes = 0;       // OnClose calls
    int ClosedNotes = 0;  // ncMediumClosed broadcasts
    bool ThreadsEnded = false;
    bool Reopened = false;
    bool Good() const {
        return Reached && Closed && Closes >= 1 && Closes == Opens && ClosedNotes == Closes && ThreadsEnded && Reopened;
    }
};

// A peer that writes a pattern until told to stop or the line goes.
class TFlood {
public:
    explicit TFlood(std::uint32_t port) : peer_(port) {
        if (!peer_.IsOpen()) return;
        thread_ = std::thread([this] {
            std::string chunk(16384, '\0');
            for (std::uint64_t at = 0; !stop_; at += chunk.size()) {
                for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(Pattern(at + i, 7));
                if (!peer_.Write(chunk)) break;
            }
            finished_ = true;
        });
    }
    ~TFlood() {
        stop_ = true;
        if (!thread_.joinable()) return;
        // A write blocked on a line nobody drains any more is ended from here.
        for (int i = 0; i < 100 && !finished_; ++i) {
            peer_.Cancel();
            Sleep(20);
        }
        thread_.join();
    }
    bool Running() const { return thread_.joinable(); }

private:
    TPeerPort peer_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

// Runs the row's call until the line goes under it; the unplug comes from
// another thread after a random pause. The state was reached when the port
// was gone by the time a call returned.
bool UnplugInsideCall(TStressComm& com, TPtyPair& pair, const TCall& call, DWORD pauseMs, double& unpluggedAt) {
    const double t0 = NowMs();
    unpluggedAt = t0 + pauseMs;
    std::thread unplug([&] {
        Sleep(pauseMs);
        pair.Unplug();
    });
    while (com.IsOpen() && NowMs() - t0 < 10000) call(com);
    const bool reached = !com.IsOpen();
    unplug.join();
    return reached;
}

TOutcome Try(bool cable, bool mainThread, const TStateRow& state, DWORD pauseMs, std::uint32_t sparePort,
             TPeerPort& sparePeer) {
    TOutcome r;
    TPtyPair pair(cable);
    if (!pair.Ready()) {
        Detail("no pty pair: %s", pair.Error().c_str());
        return r;
    }
    TStressComm com;
    UseUtilityLine(com);
    com.SetComPortNo(static_cast<std::uint16_t>(pair.PortA()));
    com.SetUseMainThread(mainThread);
    std::atomic<int> closes{0}, notes{0}, opens{0};
    std::atomic<std::uint32_t> received{0};
    com.OnClose = [&](fw::TObject*) { ++closes; };
    com.NotifyAdd([&](fw::TObject*, std::int32_t code) {
        if (code == nr::ncMediumClosed) ++notes;
        if (code == nr::ncMediumOpened) ++opens;
    });
    com.OnAfterReceive = [&](fw::TObject*, void*, std::uint32_t n) { received += n; };
    com.OnFatalError = [](fw::TObject*, std::uint32_t, std::uint32_t, const std::wstring&, bool& raise) {
        raise = false;
    };
    com.SetActive(true);
    if (!com.Active()) {
        Detail("COM%u did not open: %s", pair.PortA(), Narrow(com.LastOpenError()).c_str());
        return r;
    }
    const auto threads = com.Threads();
    std::unique_ptr<TFlood> flood;
    if (state.Kind == stIdle) {
        Pump(20);
        r.Reached = true;
    } else if (state.Kind == stFlood) {
        flood = std::make_unique<TFlood>(pair.PortB());
        r.Reached = flood->Running() && PumpUntil([&] { return received >= kFloodSeen; }, 10000);
    } else if (state.Kind == stSending) {
        // Nobody reads the other end: the line takes what the pty holds, the
        // rest of the block stays in flight, and the next one queues behind
        // it (which is what NotYetSend can see of it under Wine).
        const std::string block(1 << 20, 's');
        com.SendData(block.data(), static_cast<std::uint32_t>(block.size()));
        com.SendData(block.data(), 65536);
        r.Reached = PumpUntil([&] { return com.NotYetSend() > 0; }, 1000);
    }
    double t0 = NowMs();
    if (state.Kind == stBlocking)
        r.Reached = UnplugInsideCall(com, pair, state.Call, pauseMs, t0);
    else
        pair.Unplug();
    r.Closed = PumpUntil([&] { return !com.Active(); }, kCloseLimitMs);
    r.CloseMs = NowMs() - t0;
    Pump(300);  // a second report would come now
    r.ThreadsEnded = WaitThreadsEnd(com.Threads(), 10000) && WaitThreadsEnd(threads, 10000);
    flood.reset();
    r.Opens = opens;
    r.Closes = closes;
    r.ClosedNotes = notes;

    // Another port opens and carries bytes.
    com.SetComPortNo(static_cast<std::uint16_t>(sparePort));
    com.SetActive(true);
    if (com.Active()) {
        com.SendString("after the unplug");
        r.Reopened = sparePeer.Read(16, 2000) == "after the unplug";
        const auto more = com.Threads();
        com.SetActive(false);
        r.Reopened = WaitThreadsEnd(more, 10000) && r.Reopened;
    }
    return r;
}

void Unplug() {
    TPtyPair spare(true, SectionSeconds());  // the section outlasts a test's pair
    if (!PairReady(spare, "the reopen")) return;
    TPeerPort sparePeer(spare.PortB());
    // 22 rows of states, pairs and modes: 1,012 unplugs in the full form.
    const int reps = Reps(46, 1);
    std::mt19937 random(GetTickCount());
    int tries = 0;
    for (bool cable : {true, false}) {
        double slowest = 0;
        for (const TStateRow& state : kStates) {
            if (state.NeedsLines && !cable) continue;
            int good = 0, total = 0;
            for (bool mainThread : {true, false}) {
                for (int i = 0; i < reps; ++i) {
                    const DWORD pauseMs = std::uniform_int_distribution<DWORD>(0, 300)(random);
                    const TOutcome r = Try(cable, mainThread, state, pauseMs, spare.PortA(), sparePeer);
                    ++total;
                    slowest = std::max(slowest, r.CloseMs);
                    if (r.Good()) {
                        ++good;
                        continue;
                    }
                    Detail(
                        "%s, UseMainThread %s, %s, pause %lu ms: state reached %d, closed %d after %.0f ms, "
                        "opened %d, OnClose %d, ncMediumClosed %d, threads ended %d, reopened %d",
                        cable ? "cable" : "plain pair", mainThread ? "true" : "false", state.Name,
                        static_cast<unsigned long>(pauseMs), r.Reached, r.Closed, r.CloseMs, r.Opens, r.Closes,
                        r.ClosedNotes, r.ThreadsEnded, r.Reopened);
                }
            }
            tries += total;
            const std::string what = std::string(cable ? "cable" : "plain pair") + ", " + state.Name +
                                     ": each open closed once, no hang, reopened";
            All(what.c_str(), good, total);
        }
        AtMost(cable ? "cable: slowest close after the unplug" : "plain pair: slowest close after the unplug", slowest,
               kCloseLimitMs, "ms");
    }
    Reference("unplugs", tries, "");
}

}  // namespace

STRESS_SECTION(unplug, "Unplug in every state, both threading modes, cable and plain pair", Unplug, 1800, 90);
