// Unplugging the line (killing socat, as pulling a USB adapter does) while
// the port idles, while a flood arrives and while a SendData write is in
// flight; in both threading modes, on the null-modem cable and on a plain
// pty pair. The close must be reported once, nothing may hang, and another
// port must open afterwards.
#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "stress.h"
#include "stress_support.h"

using namespace stress;
using serial_test::TPeerPort;
using serial_test::TPtyPair;

namespace {

enum TState { stIdle, stFlood, stSending };
const char* const kStateNames[] = {"idle", "receiving a flood", "a 64 KB SendData in flight"};

constexpr DWORD kCloseLimitMs = 5000;
constexpr std::uint32_t kFloodSeen = 256 * 1024;  // received before the unplug

struct TOutcome {
    bool Reached = false;  // the state was there when the line went
    bool Closed = false;   // Active read false within kCloseLimitMs
    double CloseMs = 0;
    int Closes = 0;       // OnClose calls
    int ClosedNotes = 0;  // ncMediumClosed broadcasts
    bool ThreadsEnded = false;
    bool Reopened = false;
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

TOutcome Try(bool cable, bool mainThread, TState state, std::uint32_t sparePort, TPeerPort& sparePeer) {
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
    std::atomic<int> closes{0}, notes{0};
    std::atomic<std::uint32_t> received{0};
    com.OnClose = [&](fw::TObject*) { ++closes; };
    com.NotifyAdd([&](fw::TObject*, std::int32_t code) {
        if (code == nr::ncMediumClosed) ++notes;
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
    if (state == stIdle) {
        Pump(20);
        r.Reached = true;
    } else if (state == stFlood) {
        flood = std::make_unique<TFlood>(pair.PortB());
        r.Reached = flood->Running() && PumpUntil([&] { return received >= kFloodSeen; }, 10000);
    } else {
        // The line takes the first block whole (nobody reads the other
        // end); the second stays with the driver.
        const std::string block(65536, 's');
        com.SendData(block.data(), static_cast<std::uint32_t>(block.size()));
        Pump(100);
        com.SendData(block.data(), static_cast<std::uint32_t>(block.size()));
        r.Reached = PumpUntil([&] { return com.NotYetSend() > 0; }, 1000);
    }
    const double t0 = NowMs();
    pair.Unplug();
    r.Closed = PumpUntil([&] { return !com.Active(); }, kCloseLimitMs);
    r.CloseMs = NowMs() - t0;
    Pump(300);  // a second report would come now
    r.ThreadsEnded = WaitThreadsEnd(threads, 10000);
    flood.reset();
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
    TPtyPair spare;
    if (!PairReady(spare, "the reopen")) return;
    TPeerPort sparePeer(spare.PortB());
    const int reps = Reps(27, 1);
    for (bool cable : {true, false}) {
        double slowest = 0;
        for (TState state : {stIdle, stFlood, stSending}) {
            int good = 0, total = 0;
            for (bool mainThread : {true, false}) {
                for (int i = 0; i < reps; ++i) {
                    const TOutcome r = Try(cable, mainThread, state, spare.PortA(), sparePeer);
                    ++total;
                    slowest = std::max(slowest, r.CloseMs);
                    const bool ok =
                        r.Reached && r.Closed && r.Closes == 1 && r.ClosedNotes == 1 && r.ThreadsEnded && r.Reopened;
                    if (ok) {
                        ++good;
                        continue;
                    }
                    Detail(
                        "%s, UseMainThread %s, %s: state reached %d, closed %d after %.0f ms, OnClose %d, "
                        "ncMediumClosed %d, threads ended %d, reopened %d",
                        cable ? "cable" : "plain pair", mainThread ? "true" : "false", kStateNames[state], r.Reached,
                        r.Closed, r.CloseMs, r.Closes, r.ClosedNotes, r.ThreadsEnded, r.Reopened);
                }
            }
            const std::string what = std::string(cable ? "cable" : "plain pair") + ", " + kStateNames[state] +
                                     ": closed once, no hang, reopened";
            All(what.c_str(), good, total);
        }
        AtMost(cable ? "cable: slowest close after the unplug" : "plain pair: slowest close after the unplug", slowest,
               kCloseLimitMs, "ms");
    }
}

}  // namespace

STRESS_SECTION(unplug, "Unplug in each state, both threading modes, cable and plain pair", Unplug, 900, 90);
