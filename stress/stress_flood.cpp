// Floods both ways, checked byte for byte against a pattern: the peer
// writes as fast as the line goes while the component delivers; the
// component sends in SendData blocks while the peer reads. And the other
// extreme: bytes one at a time, each right behind the last delivery.
#include <atomic>
#include <string>
#include <thread>

#include "stress.h"
#include "stress_support.h"

using namespace stress;
using serial_test::TPeerPort;
using serial_test::TPtyPair;

namespace {

constexpr std::uint32_t kMB = 1u << 20;

void FloodIn(TPtyPair& pair, bool useMain, std::uint32_t total) {
    TStressComm com;
    UseUtilityLine(com);
    com.SetComPortNo(static_cast<std::uint16_t>(pair.PortA()));
    com.SetUseMainThread(useMain);
    const std::uint32_t seed = useMain ? 11 : 12;
    std::atomic<std::uint32_t> received{0}, exact{0};
    std::atomic<bool> inOrder{true};
    com.OnAfterReceive = [&](fw::TObject*, void* b, std::uint32_t n) {
        const auto* p = static_cast<const std::uint8_t*>(b);
        const std::uint32_t at = received;
        std::uint32_t same = 0;
        for (std::uint32_t i = 0; i < n && at + i < total; ++i) same += p[i] == Pattern(at + i, seed);
        if (same != n) inOrder = false;
        exact += same;
        received = at + n;
    };
    com.SetActive(true);
    TPeerPort peer(pair.PortB());
    if (!com.Active() || !peer.IsOpen()) {
        All("flood in: both ends open", 0, 1);
        return;
    }
    std::atomic<bool> wrote{false};
    std::thread writer([&] {
        std::string chunk(65536, '\0');
        bool ok = true;
        for (std::uint32_t off = 0; off < total && ok; off += chunk.size()) {
            for (std::uint32_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(Pattern(off + i, seed));
            ok = peer.Write(chunk);
        }
        wrote = ok;
    });
    const double t0 = NowMs();
    PumpUntil([&] { return received >= total || !inOrder; }, 20000 + total / 1000);
    const double s = (NowMs() - t0) / 1000;
    if (received < total) peer.Cancel();
    writer.join();
    Pump(100);  // anything beyond the end would come now
    const std::string mode = std::to_string(total / kMB) + " MB in, UseMainThread " + (useMain ? "true" : "false");
    All((mode + ": arrived byte for byte").c_str(), exact, total);
    All((mode + ": nothing more arrived").c_str(), received == total, 1);
    All((mode + ": TotalReceived").c_str(), com.TotalReceived(), total);
    Reference((mode + ": rate").c_str(), total / kMB / s, "MB/s");
    com.SetActive(false);
}

void FloodOut(TPtyPair& pair, bool useMain, std::uint32_t total) {
    TStressComm com;
    UseUtilityLine(com);
    com.SetComPortNo(static_cast<std::uint16_t>(pair.PortA()));
    com.SetUseMainThread(useMain);
    std::atomic<int> errors{0};
    com.OnCommError = [&](fw::TObject*, std::uint32_t, std::uint32_t sys, nr::TComStateFlags, bool&) {
        ++errors;
        if (errors == 1) Detail("OnCommError, system error %u", sys);
    };
    com.SetActive(true);
    TPeerPort peer(pair.PortB());
    if (!com.Active() || !peer.IsOpen()) {
        All("flood out: both ends open", 0, 1);
        return;
    }
    const std::uint32_t seed = useMain ? 21 : 22;
    std::atomic<std::uint32_t> exact{0}, got{0};
    std::thread reader([&] {
        std::uint32_t at = 0, same = 0;
        while (at < total) {
            const std::string s = peer.Read(std::min<std::uint32_t>(65536, total - at), 5000);
            if (s.empty()) break;
            for (std::size_t i = 0; i < s.size(); ++i) same += static_cast<std::uint8_t>(s[i]) == Pattern(at + i, seed);
            at += static_cast<std::uint32_t>(s.size());
        }
        got = at + static_cast<std::uint32_t>(peer.Read(1, 100).size());  // and nothing more
        exact = same;
    });
    const double t0 = NowMs();
    std::string block(65536, '\0');
    for (std::uint32_t off = 0; off < total; off += block.size()) {
        // The queue behind the write in flight is bounded: keep below it.
        PumpUntil([&] { return com.NotYetSend() < nr::TnrCustomComm::kSendQueueLimit / 2; }, 10000);
        for (std::uint32_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(Pattern(off + i, seed));
        com.SendData(block.data(), static_cast<std::uint32_t>(std::min<std::size_t>(block.size(), total - off)));
    }
    PumpUntil([&] { return got > 0 || exact > 0; }, 30000 + total / 1000);
    reader.join();
    const double s = (NowMs() - t0) / 1000;
    const std::string mode = std::to_string(total / kMB) + " MB out, UseMainThread " + (useMain ? "true" : "false");
    All((mode + ": arrived byte for byte").c_str(), exact, total);
    All((mode + ": nothing more arrived").c_str(), got == total, 1);
    All((mode + ": TotalSent").c_str(), com.TotalSent(), total);
    All((mode + ": no communication error").c_str(), errors == 0, 1);
    Reference((mode + ": rate").c_str(), total / kMB / s, "MB/s");
    com.SetActive(false);
}

// Bytes one at a time, each sent as soon as the one before is delivered: the
// event-wait thread starts its next wait just as the byte arrives.
void OneByOne(TPtyPair& pair, bool useMain, int n) {
    TStressComm com;
    UseUtilityLine(com);
    com.SetComPortNo(static_cast<std::uint16_t>(pair.PortA()));
    com.SetUseMainThread(useMain);
    const DWORD mainThread = GetCurrentThreadId();
    std::string got;
    std::atomic<int> received{0};
    com.OnAfterReceive = [&](fw::TObject*, void* b, std::uint32_t k) {
        got.append(static_cast<const char*>(b), k);
        received += static_cast<int>(k);
        // Wakes the waiting user-interface thread when the dispatch runs elsewhere.
        PostThreadMessageW(mainThread, WM_NULL, 0, 0);
    };
    com.SetActive(true);
    TPeerPort peer(pair.PortB());
    if (!com.Active() || !peer.IsOpen()) return void(All("one by one: both ends open", 0, 1));
    com.ClearDeviceInput();  // what an earlier try left in the line
    std::string sent;
    for (int i = 0; i < n; ++i) {
        const char b = static_cast<char>(Pattern(static_cast<std::uint64_t>(i), 31));
        peer.Write(&b, 1);
        sent += b;
        if (!PumpUntil([&] { return received > i; }, 3000)) {
            ExplainStall("byte", i, com);
            break;
        }
    }
    const auto threads = com.Threads();
    com.SetActive(false);
    WaitThreadsEnd(threads, 10000);
    std::size_t same = 0;
    while (same < got.size() && same < sent.size() && got[same] == sent[same]) ++same;
    const std::string mode = std::to_string(n) + " bytes one by one, UseMainThread " + (useMain ? "true" : "false");
    All((mode + ": delivered in order").c_str(), got.size() == same ? static_cast<long long>(same) : 0, n);
}

void Flood() {
    TPtyPair pair;
    if (!PairReady(pair, "the floods")) return;
    FloodIn(pair, true, Reps(64, 4) * kMB);
    FloodIn(pair, false, Reps(16, 2) * kMB);
    FloodOut(pair, true, Reps(10, 1) * kMB);
    FloodOut(pair, false, Reps(4, 1) * kMB);
    OneByOne(pair, true, Reps(10000, 30));
    OneByOne(pair, false, Reps(10000, 30));
}

}  // namespace

STRESS_SECTION(flood, "Content-checked floods both ways, and bytes one by one", Flood, 300, 90);
