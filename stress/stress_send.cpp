// SendData behind a write that cannot drain (the peer reads nothing): the
// caller must never block, bytes beyond the queue limit are refused with
// ERROR_BUSY through OnCommError, and once the peer reads, everything taken
// arrives whole and in order.
#include <atomic>
#include <string>
#include <thread>

#include "stress.h"
#include "stress_support.h"

using namespace stress;
using serial_test::TPeerPort;
using serial_test::TPtyPair;

namespace {

constexpr std::uint32_t kBlock = 65536;
// The first block: more than the pty pair and socat between them can hold,
// so its write stays in flight however long filling the queue takes.
constexpr std::uint32_t kFirstBlock = 4u << 20;
// A call that waited for the write would take seconds (the write time-out);
// this leaves room for a busy machine.
constexpr double kCallLimitMs = 1000;

std::string Block(std::uint32_t index) {
    std::string b(index ? kBlock : kFirstBlock, '\0');
    for (std::uint32_t i = 0; i < b.size(); ++i) b[i] = static_cast<char>(Pattern(i, index + 100));
    return b;
}

struct TRound {
    double SlowestMs = 0;
    bool Stuck = false;          // the first block stayed with the driver
    std::uint32_t Accepted = 0;  // blocks taken
    int Refused = 0;             // blocks refused with ERROR_BUSY
    int OtherErrors = 0;
    bool RefusedAtLimit = false;  // the first refusal came where the limit says
    bool ArrivedInOrder = false;
};

TRound Round(TPtyPair& pair, bool useMain) {
    TRound r;
    TStressComm com;
    UseUtilityLine(com);
    com.SetComPortNo(static_cast<std::uint16_t>(pair.PortA()));
    com.SetUseMainThread(useMain);
    std::atomic<int> busy{0}, other{0};
    com.OnCommError = [&](fw::TObject*, std::uint32_t, std::uint32_t sys, nr::TComStateFlags, bool&) {
        if (sys == ERROR_BUSY)
            ++busy;
        else
            ++other;
    };
    com.SetActive(true);
    TPeerPort peer(pair.PortB());
    if (!com.Active() || !peer.IsOpen()) return r;
    const auto threads = com.Threads();

    // The first block fills the line; every later one waits behind it.
    std::string expected;
    const std::uint32_t fits = 1 + nr::TnrCustomComm::kSendQueueLimit / kBlock;
    const std::uint32_t tries = fits + 4;
    for (std::uint32_t i = 0; i < tries; ++i) {
        const std::string b = Block(i);
        const int before = busy;
        const double t0 = NowMs();
        com.SendData(b.data(), static_cast<std::uint32_t>(b.size()));
        r.SlowestMs = std::max(r.SlowestMs, NowMs() - t0);
        if (busy == before) {
            ++r.Accepted;
            expected += b;
        } else {
            ++r.Refused;
            if (r.Refused == 1) r.RefusedAtLimit = i == fits;
        }
        if (i == 0) Pump(100);  // the driver's moment to take what the line holds
        // Queued, not started: the first is still being written.
        if (i == 1) r.Stuck = com.NotYetSend() >= kBlock;
    }
    // A small send behind a full queue is refused as well.
    const int before = busy;
    const double t0 = NowMs();
    com.SendData("tail", 4);
    r.SlowestMs = std::max(r.SlowestMs, NowMs() - t0);
    r.Refused += busy > before;

    // The peer reads: the taken blocks come, in order, and nothing else.
    std::string got;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        got = peer.Read(static_cast<DWORD>(expected.size()), 3000);
        got += peer.Read(1, 200);  // and nothing more
        done = true;
    });
    PumpUntil([&] { return done.load(); }, 60000);
    if (!done) peer.Cancel();
    reader.join();
    r.ArrivedInOrder = got == expected;
    if (!r.ArrivedInOrder)
        Detail("%u bytes taken, %u arrived", static_cast<unsigned>(expected.size()), static_cast<unsigned>(got.size()));
    r.OtherErrors = other;
    com.SetActive(false);
    WaitThreadsEnd(threads, 10000);
    return r;
}

void Send() {
    TPtyPair pair;
    if (!PairReady(pair, "the stuck writes")) return;
    const int rounds = Reps(4, 1);  // each round fills the whole queue limit
    for (bool useMain : {true, false}) {
        double slowest = 0;
        int stuck = 0, atLimit = 0, inOrder = 0, clean = 0, refusedAll = 0;
        for (int i = 0; i < rounds; ++i) {
            const TRound r = Round(pair, useMain);
            slowest = std::max(slowest, r.SlowestMs);
            stuck += r.Stuck;
            atLimit += r.RefusedAtLimit;
            refusedAll += r.Refused == 5;  // 4 blocks and the tail
            inOrder += r.ArrivedInOrder;
            clean += r.OtherErrors == 0;
        }
        const std::string mode = useMain ? "UseMainThread true: " : "UseMainThread false: ";
        All((mode + "first block stayed with the driver").c_str(), stuck, rounds);
        AtMost((mode + "slowest SendData behind it").c_str(), slowest, kCallLimitMs, "ms");
        All((mode + "first refusal (ERROR_BUSY) right at the queue limit").c_str(), atLimit, rounds);
        All((mode + "everything beyond the limit refused").c_str(), refusedAll, rounds);
        All((mode + "what was taken arrived whole and in order").c_str(), inOrder, rounds);
        All((mode + "no other error reported").c_str(), clean, rounds);
    }
}

}  // namespace

STRESS_SECTION(send, "SendData behind a write that cannot drain", Send, 300, 90);
