// The port engine on a pseudo-terminal pair under Wine, next to bare Win32
// loops that use the same driver mechanism on the same line: receive latency
// and throughput, the cost of an open idle port, and what a receive event
// allocates. Cases are interleaved in rounds of random order, trips have
// random gaps, bursts are checked byte for byte.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <random>
#include <thread>

#include "bench.h"
#include "tests/support/engine_components.h"
#include "tests/support/pty_pair.h"
#include "tests/support/win32_guard.h"
#include "tools/common/serial_line.h"

using namespace nr;
using namespace serial_test;
using bench::Line;
using bench::NowMs;

namespace {

std::mt19937& Rng() {
    static std::mt19937 r(20261208);
    return r;
}

// ---- counting hooks in the engine's Win32 table

std::atomic<long> gWaits{0}, gQueries{0};
decltype(&::WaitCommEvent) gRealWait = nullptr;
decltype(&::ClearCommError) gRealQuery = nullptr;

BOOL WINAPI CountingWait(HANDLE h, LPDWORD m, LPOVERLAPPED o) {
    ++gWaits;
    return gRealWait(h, m, o);
}
BOOL WINAPI CountingQuery(HANDLE h, LPDWORD e, LPCOMSTAT s) {
    ++gQueries;
    return gRealQuery(h, e, s);
}

// Counts the engine's driver waits and queue queries (each dispatch starts with one) while it lives.
struct TCounting {
    test_support::TWin32Guard guard;
    TCounting() {
        gRealWait = nr::Win32.WaitCommEvent;
        gRealQuery = nr::Win32.ClearCommError;
        nr::Win32.WaitCommEvent = &CountingWait;
        nr::Win32.ClearCommError = &CountingQuery;
    }
};

// ---- the line's content: a pattern both sides can compute

inline std::uint8_t PatternByte(std::uint64_t i) { return static_cast<std::uint8_t>((i * 2654435761u) >> 13); }

// Checks a stream against the pattern, block by block.
struct TContent {
    std::uint64_t Pos = 0;
    std::uint64_t Bad = 0;
    void Take(const void* b, std::uint32_t n) {
        const auto* p = static_cast<const std::uint8_t*>(b);
        for (std::uint32_t k = 0; k < n; ++k)
            if (p[k] != PatternByte(Pos + k)) ++Bad;
        Pos += n;
    }
};

// ---- receivers of the same line

HANDLE OpenRaw(std::uint32_t port) {
    HANDLE h = serial_line::OpenSet(port, FILE_FLAG_OVERLAPPED, 57600, 8);
    if (h == INVALID_HANDLE_VALUE) return h;
    COMMTIMEOUTS t{};
    SetCommTimeouts(h, &t);
    SetCommMask(h, EV_RXCHAR);
    return h;
}

// Waits for an overlapped operation, or for stop; false on stop. The
// operation is ended (the closer resets the mask or cancels) and waited for
// before its record and event go: the driver writes them when it ends, and a
// closed event's handle value is soon another's.
bool AwaitPending(HANDLE h, OVERLAPPED& o, HANDLE stop) {
    HANDLE hs[2] = {o.hEvent, stop};
    if (WaitForMultipleObjects(2, hs, FALSE, INFINITE) == WAIT_OBJECT_0) return true;
    // A wait started after the closer emptied the mask is ended here.
    SetCommMask(h, 0);
    CancelIoEx(h, &o);
    if (WaitForSingleObject(o.hEvent, 5000) != WAIT_OBJECT_0) Line("  a bare loop's operation did not end");
    return false;
}

// What every receiver does with a block: note the time, check the content.
struct TSink {
    std::atomic<double> GotAt{0};
    std::atomic<std::uint64_t> Bytes{0};
    std::atomic<long> Blocks{0};
    TContent Content;
    HANDLE Got = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ~TSink() { CloseHandle(Got); }
    void Take(const void* b, std::uint32_t n) {
        GotAt = NowMs();
        Content.Take(b, n);
        Bytes += n;
        ++Blocks;
        SetEvent(Got);
    }
};

class TReceiver {
public:
    virtual ~TReceiver() = default;
    virtual bool Ready() const = 0;
    // Waits until the sink has Bytes bytes; false after ms without progress.
    virtual bool AwaitBytes(std::uint64_t n, DWORD ms) = 0;
    TSink Sink;
};

// The component: OnAfterReceive on the user-interface thread or on the message thread.
class TComponentReceiver : public TReceiver {
public:
    TComponentReceiver(std::uint32_t port, bool useMainThread) : main_(useMainThread) {
        com_ = std::make_unique<TTestComm>(nullptr, port);
        com_->SetBaudRate(57600);
        com_->SetByteSize(8);
        com_->SetStreamProtocol(spNone);
        com_->OnFatalError = [](TObject*, std::uint32_t, std::uint32_t, const std::wstring& m, bool& raise) {
            Line("  %s", fw::NarrowUtf8(m).c_str());
            raise = false;
        };
        com_->SetUseMainThread(useMainThread);
        com_->OnAfterReceive = [this](TObject*, void* b, std::uint32_t n) { Sink.Take(b, n); };
        com_->SetActive(true);
    }
    ~TComponentReceiver() override {
        auto ts = com_->Threads();
        com_.reset();
        WaitThreads(ts);
    }
    bool Ready() const override { return com_->Active(); }
    bool AwaitBytes(std::uint64_t n, DWORD ms) override {
        // The predicate captures one pointer, so the wait itself allocates nothing.
        struct {
            TSink* Sink;
            std::uint64_t Want, Seen;
        } w{&Sink, n, Sink.Bytes};
        for (;;) {
            const bool got = main_ ? PumpUntil([&w] { return w.Sink->Bytes >= w.Want || w.Sink->Bytes != w.Seen; }, ms)
                                   : WaitForSingleObject(Sink.Got, ms) == WAIT_OBJECT_0;
            if (Sink.Bytes >= n) return true;
            if (!got && Sink.Bytes == w.Seen) return false;
            w.Seen = Sink.Bytes;
        }
    }
    TTestComm& Com() { return *com_; }

private:
    bool main_;
    std::unique_ptr<TTestComm> com_;
};

// The port of a bare loop and the thread that runs it. Stopping ends the
// thread's pending operation (an emptied mask ends a wait, a cancel a read)
// and waits for the thread.
class TBareLine {
public:
    explicit TBareLine(std::uint32_t port) : h_(OpenRaw(port)), stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~TBareLine() {
        SetEvent(stop_);
        if (h_ != INVALID_HANDLE_VALUE) {
            SetCommMask(h_, 0);
            CancelIoEx(h_, nullptr);
        }
        if (thread_.joinable()) thread_.join();
        if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
        CloseHandle(stop_);
    }
    template <class F> void Run(F&& body) {
        if (h_ != INVALID_HANDLE_VALUE) thread_ = std::thread(std::forward<F>(body));
    }
    bool Ready() const { return h_ != INVALID_HANDLE_VALUE; }
    bool Stopping() const { return WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0; }
    HANDLE Handle() const { return h_; }
    // Waits for the operation; false on stop, once the operation has ended.
    bool Await(OVERLAPPED& o) const { return AwaitPending(h_, o, stop_); }

private:
    HANDLE h_;
    HANDLE stop_;
    std::thread thread_;
};

class TBareReceiver : public TReceiver {
public:
    explicit TBareReceiver(std::uint32_t port) : line_(port) {}
    bool Ready() const override { return line_.Ready(); }
    bool AwaitBytes(std::uint64_t n, DWORD ms) override {
        while (Sink.Bytes < n)
            if (WaitForSingleObject(Sink.Got, ms) != WAIT_OBJECT_0) return false;
        return true;
    }

protected:
    TBareLine line_;
};

// A bare thread: overlapped WaitCommEvent, then one ReadFile of what is queued.
class TBareWaitReceiver : public TBareReceiver {
public:
    explicit TBareWaitReceiver(std::uint32_t port) : TBareReceiver(port) {
        line_.Run([this] { Loop(); });
    }

private:
    void Loop() {
        const HANDLE h = line_.Handle();
        OVERLAPPED w{}, r{};
        w.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        r.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        std::vector<char> buf(1 << 16);
        for (;;) {
            DWORD mask = 0, n = 0;
            if (!WaitCommEvent(h, &mask, &w)) {
                if (GetLastError() != ERROR_IO_PENDING || !line_.Await(w)) break;
                if (!GetOverlappedResult(h, &w, &n, FALSE)) mask = 0;
            }
            if (line_.Stopping()) break;
            if (!(mask & EV_RXCHAR)) continue;
            DWORD errors = 0;
            COMSTAT cs{};
            ClearCommError(h, &errors, &cs);
            const DWORD want = std::min<DWORD>(cs.cbInQue, static_cast<DWORD>(buf.size()));
            if (want == 0) continue;
            if (!ReadFile(h, buf.data(), want, &n, &r) &&
                (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(h, &r, &n, TRUE)))
                break;
            if (n) Sink.Take(buf.data(), n);
        }
        CloseHandle(w.hEvent);
        CloseHandle(r.hEvent);
    }
};

// A bare thread that keeps a 64 KB ReadFile pending: the line's ceiling.
class TBareReadReceiver : public TBareReceiver {
public:
    explicit TBareReadReceiver(std::uint32_t port) : TBareReceiver(port) {
        line_.Run([this] { Loop(); });
    }

private:
    void Loop() {
        const HANDLE h = line_.Handle();
        OVERLAPPED r{};
        r.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        std::vector<char> buf(1 << 16);
        while (!line_.Stopping()) {
            DWORD n = 0;
            if (!ReadFile(h, buf.data(), static_cast<DWORD>(buf.size()), &n, &r) &&
                (GetLastError() != ERROR_IO_PENDING || !line_.Await(r) || !GetOverlappedResult(h, &r, &n, FALSE)))
                break;
            if (n) Sink.Take(buf.data(), n);
        }
        CloseHandle(r.hEvent);
    }
};

enum TKind { kUi, kMsg, kBareWait, kBareRead };
const char* const kKindName[] = {"component, UseMainThread true", "component, UseMainThread false",
                                 "bare WaitCommEvent + read queued", "bare pending ReadFile"};

std::unique_ptr<TReceiver> MakeReceiver(TKind k, std::uint32_t port) {
    switch (k) {
        case kUi: return std::make_unique<TComponentReceiver>(port, true);
        case kMsg: return std::make_unique<TComponentReceiver>(port, false);
        case kBareWait: return std::make_unique<TBareWaitReceiver>(port);
        default: return std::make_unique<TBareReadReceiver>(port);
    }
}

std::vector<TKind> Shuffled(std::vector<TKind> v) {
    std::shuffle(v.begin(), v.end(), Rng());
    return v;
}

double Ratio(double a, double b) { return b > 0 ? a / b : 0; }

void PrintSpread(const char* what, std::vector<double> v) {
    if (v.empty()) return;
    std::sort(v.begin(), v.end());
    Line("      %-40s median %5.2f  (rounds %5.2f .. %5.2f)", what, bench::Median(v), v.front(), v.back());
}

// ---- latency

// One-byte trips: a random gap, the peer writes the next pattern byte, the
// receiving side notes when its handler (or loop) had it.
bool Trips(TReceiver& rx, TPeerPort& peer, int n, double gapMin, double gapMax, std::uint64_t& pos,
           std::vector<double>& out) {
    std::uniform_real_distribution<double> gap(gapMin, gapMax);
    for (int i = 0; i < n; ++i) {
        bench::IdleFor(gap(Rng()));
        const std::uint8_t b = PatternByte(pos);
        const double t0 = NowMs();
        if (!peer.Write(&b, 1)) return false;
        if (!rx.AwaitBytes(pos + 1, 3000)) return false;
        out.push_back(rx.Sink.GotAt - t0);
        ++pos;
    }
    return true;
}

void Latency() {
    TPtyPair pair;
    if (!pair.Ready()) return Line("  skipped: %s", pair.Error().c_str());
    TPeerPort peer(pair.PortB());
    const int kRounds = 8, kTrips = 125, kIdleTrips = 2;
    const std::vector<TKind> kinds = {kUi, kMsg, kBareWait};
    std::vector<double> all[3], idle[3], ratio[3], idleRatio[3];
    std::uint64_t bad = 0, lost = 0;
    Line("  %d rounds; each: the three receivers in random order, %d trips with 0-4 ms gaps and %d after 1 s idle",
         kRounds, kTrips, kIdleTrips);
    for (int r = 0; r < kRounds; ++r) {
        std::vector<double> med(3), idleMed(3);
        for (TKind k : Shuffled(kinds)) {
            auto rx = MakeReceiver(k, pair.PortA());
            if (!rx->Ready()) return Line("  cannot open COM%u", pair.PortA());
            std::uint64_t pos = 0;
            std::vector<double> v, w;
            v.reserve(kTrips);
            Trips(*rx, peer, 10, 0, 4, pos, v);  // warm-up
            v.clear();
            if (!Trips(*rx, peer, kTrips, 0, 4, pos, v) || !Trips(*rx, peer, kIdleTrips, 1000, 1000, pos, w)) {
                ++lost;
                Line("  round %d, %s: trip %llu lost (%llu bytes came)", r + 1, kKindName[k],
                     static_cast<unsigned long long>(pos), static_cast<unsigned long long>(rx->Sink.Bytes.load()));
                return;
            }
            bad += rx->Sink.Content.Bad;
            med[k] = bench::Median(v);
            idleMed[k] = bench::Median(w);
            all[k].insert(all[k].end(), v.begin(), v.end());
            idle[k].insert(idle[k].end(), w.begin(), w.end());
        }
        for (TKind k : kinds) {
            ratio[k].push_back(Ratio(med[k], med[kBareWait]));
            idleRatio[k].push_back(Ratio(idleMed[k], idleMed[kBareWait]));
        }
    }
    for (TKind k : kinds) {
        Line("  %-34s median %6.3f ms  p99 %6.3f ms  after idle median %6.3f ms", kKindName[k], bench::Median(all[k]),
             bench::Percentile(all[k], 99), bench::Median(idle[k]));
        if (k == kBareWait) continue;
        PrintSpread("median / bare, per round", ratio[k]);
        Line("      %-40s %5.2f", "p99 / bare p99, all trips",
             Ratio(bench::Percentile(all[k], 99), bench::Percentile(all[kBareWait], 99)));
        PrintSpread("after-idle median / bare, per round", idleRatio[k]);
    }
    Line("  content: %llu wrong bytes, %llu rounds with a lost trip", static_cast<unsigned long long>(bad),
         static_cast<unsigned long long>(lost));
}

// ---- throughput

// The peer writes Total pattern bytes in 64 KB blocks; the clock runs until
// the last one is in.
double Burst(TReceiver& rx, TPeerPort& peer, std::uint64_t total) {
    std::atomic<bool> ok{true};
    const double t0 = NowMs();
    std::thread writer([&] {
        std::string chunk(1 << 16, '\0');
        for (std::uint64_t off = 0; off < total && ok; off += chunk.size()) {
            for (std::size_t k = 0; k < chunk.size(); ++k) chunk[k] = static_cast<char>(PatternByte(off + k));
            ok = peer.Write(chunk);
        }
    });
    const bool all = rx.AwaitBytes(total, 10000);
    const double t = NowMs() - t0;
    if (!all) {
        ok = false;
        peer.Cancel();  // the writer may be blocked on a full line
    }
    writer.join();
    return (all && ok) ? static_cast<double>(total) / (1024.0 * 1024.0) / (t / 1000.0) : -1;
}

void Throughput() {
    TPtyPair pair;
    if (!pair.Ready()) return Line("  skipped: %s", pair.Error().c_str());
    TPeerPort peer(pair.PortB());
    // NR_BENCH_MB shortens the burst for a quick look.
    char mb[16] = {};
    const std::uint64_t total =
        (GetEnvironmentVariableA("NR_BENCH_MB", mb, sizeof mb) ? std::atoi(mb) : 64) * (1ull << 20);
    const int kRounds = 3;
    const std::vector<TKind> kinds = {kUi, kMsg, kBareWait, kBareRead};
    std::vector<double> speed[4], ratio[4];
    std::uint64_t bad = 0, blocks[4] = {};
    Line("  %d rounds of a %llu MB burst per receiver, in random order; content checked byte for byte", kRounds,
         static_cast<unsigned long long>(total >> 20));
    for (int r = 0; r < kRounds; ++r) {
        double s[4] = {};
        for (TKind k : Shuffled(kinds)) {
            auto rx = MakeReceiver(k, pair.PortA());
            if (!rx->Ready()) return Line("  cannot open COM%u", pair.PortA());
            s[k] = Burst(*rx, peer, total);
            if (rx->Sink.Content.Pos != rx->Sink.Bytes || rx->Sink.Bytes != total) s[k] = -1;
            bad += rx->Sink.Content.Bad;
            blocks[k] += rx->Sink.Blocks;
            speed[k].push_back(s[k]);
        }
        for (TKind k : kinds) ratio[k].push_back(Ratio(s[k], s[kBareWait]));
    }
    for (TKind k : kinds) {
        Line("  %-34s median %7.2f MB/s (rounds %.2f .. %.2f), %.0f bytes a block", kKindName[k],
             bench::Median(speed[k]), *std::min_element(speed[k].begin(), speed[k].end()),
             *std::max_element(speed[k].begin(), speed[k].end()),
             blocks[k] ? static_cast<double>(total) * kRounds / static_cast<double>(blocks[k]) : 0.0);
        if (k != kBareWait) PrintSpread("speed / bare WaitCommEvent loop", ratio[k]);
    }
    Line("  content: %llu wrong bytes (a failed or short burst shows as -1 MB/s)",
         static_cast<unsigned long long>(bad));
}

// ---- idle

struct TCpu {
    double Proc = 0, Server = 0;
};

TCpu MeasureIdle(DWORD ms) {
    const double c0 = bench::ProcessCpuMs(), s0 = bench::WineServerCpuMs();
    bench::IdleFor(ms);
    TCpu c;
    c.Proc = bench::ProcessCpuMs() - c0;
    const double s1 = bench::WineServerCpuMs();
    c.Server = (s0 >= 0 && s1 >= 0) ? s1 - s0 : -1;
    return c;
}

// A thread that keeps one WaitCommEvent pending on the port, as a program
// waiting for bytes with the driver's own mechanism does.
class TBarePendingWait {
public:
    explicit TBarePendingWait(std::uint32_t port) : line_(port) {
        line_.Run([this] { Loop(); });
    }
    long Waits() const { return waits_; }

private:
    void Loop() {
        const HANDLE h = line_.Handle();
        OVERLAPPED w{};
        w.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        while (!line_.Stopping()) {
            DWORD mask = 0, n = 0;
            ++waits_;
            if (WaitCommEvent(h, &mask, &w)) continue;
            if (GetLastError() != ERROR_IO_PENDING || !line_.Await(w)) break;
            GetOverlappedResult(h, &w, &n, FALSE);
        }
        CloseHandle(w.hEvent);
    }
    std::atomic<long> waits_{0};
    TBareLine line_;  // last: its thread goes first
};

void PrintCpu(const char* what, const TCpu& c, double ms) {
    Line("  %-44s process %6.0f ms CPU (%5.2f %%), wineserver %6.0f ms (%5.2f %%)", what, c.Proc, c.Proc / ms * 100,
         c.Server, c.Server / ms * 100);
}

// Bytes nobody reads: a driver that reports them again at every wait must not
// cost a dispatch storm.
void UnreadBytes(TPtyPair& pair) {
    TCounting counting;
    auto com = std::make_unique<TTestComm>(nullptr, pair.PortA());
    com->SetBaudRate(57600);
    com->SetByteSize(8);
    com->SetActive(true);
    TPeerPort peer(pair.PortB());
    peer.Write("abc");
    bench::IdleFor(500);  // counted, and the reports settled
    gWaits = 0;
    gQueries = 0;
    bench::IdleFor(2000);
    Line("  3 bytes nobody reads, 2 s: driver waits started %ld, queue queries (dispatches) %ld", gWaits.load(),
         gQueries.load());
    auto ts = com->Threads();
    com.reset();
    WaitThreads(ts);
}

void Idle() {
    TPtyPair pair;
    if (!pair.Ready()) return Line("  skipped: %s", pair.Error().c_str());
    const DWORD kMs = 10000;
    PrintCpu("closed, 3 s in the message loop:", MeasureIdle(3000), 3000);
    std::vector<double> ratios;
    for (int round = 0; round < 2; ++round) {
        const bool componentFirst = Rng()() & 1;
        TCpu comp, bare;
        long waits = 0, queries = 0, dispatches = 0, bareWaits = 0;
        for (int step = 0; step < 2; ++step) {
            if ((step == 0) == componentFirst) {
                TCounting counting;
                long handled = 0;
                auto com = std::make_unique<TTestComm>(nullptr, pair.PortA());
                com->SetBaudRate(57600);
                com->SetByteSize(8);
                com->OnAfterReceive = [&](TObject*, void*, std::uint32_t) { ++handled; };
                com->SetActive(true);
                bench::IdleFor(200);  // settled
                gWaits = 0;
                gQueries = 0;
                comp = MeasureIdle(kMs);
                waits = gWaits;
                queries = gQueries;
                dispatches = handled;
                auto ts = com->Threads();
                com.reset();
                WaitThreads(ts);
            } else {
                TBarePendingWait w(pair.PortA());
                bench::IdleFor(200);
                const long w0 = w.Waits();
                bare = MeasureIdle(kMs);
                bareWaits = w.Waits() - w0;
            }
        }
        Line("  round %d:", round + 1);
        PrintCpu("component open and idle, handler attached, 10 s:", comp, kMs);
        Line("      driver waits started %ld, queue queries (dispatches) %ld, handler calls %ld", waits, queries,
             dispatches);
        PrintCpu("bare pending WaitCommEvent, 10 s:", bare, kMs);
        Line("      driver waits started %ld", bareWaits);
        const double total = comp.Proc + std::max(comp.Server, 0.0), baseline = bare.Proc + std::max(bare.Server, 0.0);
        ratios.push_back(Ratio(total, baseline));
    }
    PrintSpread("CPU (process + wineserver) / bare", ratios);
    UnreadBytes(pair);
}

// ---- heap blocks and kernel objects per receive event

void Allocs() {
    TPtyPair pair;
    if (!pair.Ready()) return Line("  skipped: %s", pair.Error().c_str());
    TPeerPort peer(pair.PortB());
    for (bool useMain : {true, false}) {
        TComponentReceiver rx(pair.PortA(), useMain);
        if (!rx.Ready()) return Line("  cannot open COM%u", pair.PortA());
        std::uint64_t pos = 0;
        std::vector<double> v;
        v.reserve(2000);
        Trips(rx, peer, 50, 0, 1, pos, v);  // steady state first
        const long blocks0 = rx.Sink.Blocks;
        const std::int64_t a0 = bench::Allocations(), k0 = bench::KernelObjectsCreated();
        Trips(rx, peer, 1000, 0, 1, pos, v);
        const double events = static_cast<double>(rx.Sink.Blocks - blocks0);
        Line("  UseMainThread %-5s: %.4f heap blocks and %.4f kernel objects created per receive event (%.0f events)",
             useMain ? "true" : "false", static_cast<double>(bench::Allocations() - a0) / events,
             static_cast<double>(bench::KernelObjectsCreated() - k0) / events, events);
    }
}

}  // namespace

BENCH_SECTION(engine_1_latency, "receive latency, peer write to OnAfterReceive", Latency);
BENCH_SECTION(engine_2_throughput, "receive throughput of a content-checked burst", Throughput);
BENCH_SECTION(engine_3_idle, "CPU cost of an open idle port", Idle);
BENCH_SECTION(engine_4_alloc, "heap blocks and kernel objects per receive event", Allocs);
