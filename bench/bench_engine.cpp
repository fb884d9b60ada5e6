// The port engine on a pseudo-terminal pair under Wine: receive latency and
// throughput next to bare Win32 loops on the same pty, the CPU an idle open
// port costs, and heap allocations per receive event.
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <thread>

#include "bench.h"
#include "tests/support/engine_components.h"
#include "tests/support/fake_serial.h"
#include "tests/support/pty_pair.h"

using namespace nr;
using namespace serial_test;
using bench::Line;
using bench::NowMs;

namespace {

std::atomic<long> gWaits{0};
std::atomic<long> gLocalAllocs{0};
decltype(&::WaitCommEvent) gRealWait = nullptr;
decltype(&::LocalAlloc) gRealLocalAlloc = nullptr;

BOOL WINAPI CountingWait(HANDLE h, LPDWORD m, LPOVERLAPPED o) {
    ++gWaits;
    return gRealWait(h, m, o);
}

HLOCAL WINAPI CountingLocalAlloc(UINT f, SIZE_T n) {
    ++gLocalAllocs;
    return gRealLocalAlloc(f, n);
}

// Counts the engine's driver waits and buffer allocations while it lives.
struct TCounting {
    TTableGuard guard;
    TCounting() {
        gRealWait = nr::Win32.WaitCommEvent;
        gRealLocalAlloc = nr::Win32.LocalAlloc;
        nr::Win32.WaitCommEvent = &CountingWait;
        nr::Win32.LocalAlloc = &CountingLocalAlloc;
    }
};

std::unique_ptr<TTestComm> MakeComm(std::uint32_t port, bool useMainThread) {
    auto com = std::make_unique<TTestComm>(nullptr, port);
    com->SetBaudRate(57600);
    com->SetStreamProtocol(spNone);
    com->SetUseMainThread(useMainThread);
    return com;
}

void CloseComm(std::unique_ptr<TTestComm>& com) {
    auto ts = com->Threads();
    com.reset();
    WaitThreads(ts);
}

HANDLE OpenRaw(std::uint32_t port) {
    const std::wstring name = L"\\\\?\\COM" + std::to_wstring(port);
    HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return h;
    COMMTIMEOUTS t{};
    SetCommTimeouts(h, &t);
    SetCommMask(h, EV_RXCHAR);
    return h;
}

// A bare receiver: overlapped WaitCommEvent, then ReadFile of what is queued.
class TBareWaitLoop {
public:
    explicit TBareWaitLoop(HANDLE h) : h_(h) {
        stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        got_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        thread_ = std::thread([this] { Run(); });
    }
    ~TBareWaitLoop() {
        SetEvent(stop_);
        SetCommMask(h_, 0);
        thread_.join();
        CloseHandle(stop_);
        CloseHandle(got_);
    }
    HANDLE Got() const { return got_; }
    double GotAt() const { return gotAt_; }
    std::uint64_t Bytes() const { return bytes_; }

private:
    void Run() {
        OVERLAPPED w{}, r{};
        w.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        r.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        std::vector<char> buf(1 << 16);
        for (;;) {
            DWORD mask = 0, n = 0;
            ResetEvent(w.hEvent);
            if (!WaitCommEvent(h_, &mask, &w)) {
                if (GetLastError() != ERROR_IO_PENDING) break;
                HANDLE hs[2] = {w.hEvent, stop_};
                DWORD r;
                // The same guard as the engine's against a wait Wine forgets.
                while ((r = WaitForMultipleObjects(2, hs, FALSE, 500)) == WAIT_TIMEOUT) CancelIo(h_);
                if (r != WAIT_OBJECT_0) {
                    CancelIo(h_);
                    WaitForSingleObject(w.hEvent, 2000);
                    break;
                }
                if (!GetOverlappedResult(h_, &w, &n, FALSE)) mask = 0;
            }
            if (!(mask & EV_RXCHAR)) continue;
            DWORD errors = 0;
            COMSTAT cs{};
            ClearCommError(h_, &errors, &cs);
            DWORD left = cs.cbInQue;
            while (left > 0) {
                const DWORD chunk = std::min<DWORD>(left, static_cast<DWORD>(buf.size()));
                if (!ReadFile(h_, buf.data(), chunk, &n, &r) &&
                    (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(h_, &r, &n, TRUE)))
                    break;
                left -= n;
                bytes_ += n;
            }
            gotAt_ = NowMs();
            SetEvent(got_);
        }
        CloseHandle(w.hEvent);
        CloseHandle(r.hEvent);
    }
    HANDLE h_;
    HANDLE stop_, got_;
    std::atomic<double> gotAt_{0};
    std::atomic<std::uint64_t> bytes_{0};
    std::thread thread_;
};

void PrintLatency(const char* what, const std::vector<double>& v) {
    Line("  %-44s median %6.3f ms   p99 %6.3f ms   (%u trips)", what, bench::Median(v), bench::Percentile(v, 99),
         static_cast<unsigned>(v.size()));
}

// One-byte trips: the peer writes, the receiving side notes the time.
template <class Wait> void Trips(TPeerPort& peer, int n, const Wait& waitFor, std::vector<double>& v) {
    v.reserve(v.size() + n);  // before any counting starts
    for (int i = -20; i < n; ++i) {  // the first few warm up
        const double t0 = NowMs();
        if (!peer.Write("\x55", 1)) break;
        const double t1 = waitFor();
        if (t1 < 0) break;
        if (i >= 0) v.push_back(t1 - t0);
    }
}

std::vector<double> ComponentTrips(TPtyPair& pair, bool useMainThread, int n, double* allocsPerEvent = nullptr) {
    auto com = MakeComm(pair.PortA(), useMainThread);
    HANDLE got = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    double gotAt = 0;
    long events = 0;
    com->OnAfterReceive = [&](TObject*, void*, std::uint32_t) {
        gotAt = NowMs();
        ++events;
        SetEvent(got);
    };
    com->SetActive(true);
    TPeerPort peer(pair.PortB());
    std::vector<double> v;
    if (com->Active() && peer.IsOpen()) {
        v.reserve(n);
        const std::int64_t a0 = bench::Allocations();
        const long e0 = events;
        Trips(peer, n, [&]() -> double {
            const bool ok = useMainThread ? PumpUntil([&got] { return WaitForSingleObject(got, 0) == WAIT_OBJECT_0; }, 2000)
                                          : WaitForSingleObject(got, 2000) == WAIT_OBJECT_0;
            return ok ? gotAt : -1;
        }, v);
        if (allocsPerEvent && events > e0)
            *allocsPerEvent = static_cast<double>(bench::Allocations() - a0) / static_cast<double>(events - e0);
    }
    CloseComm(com);
    CloseHandle(got);
    return v;
}

void Latency() {
    TPtyPair pair;
    if (!pair.Ready()) return Line("  skipped: %s", pair.Error().c_str());
    const int n = 1000;
    PrintLatency("component, UseMainThread true (UI thread)", ComponentTrips(pair, true, n));
    PrintLatency("component, UseMainThread false (message thread)", ComponentTrips(pair, false, n));
    {
        HANDLE a = OpenRaw(pair.PortA());
        TPeerPort peer(pair.PortB());
        std::vector<double> v;
        {
            TBareWaitLoop loop(a);
            Trips(peer, n, [&]() -> double {
                return WaitForSingleObject(loop.Got(), 2000) == WAIT_OBJECT_0 ? loop.GotAt() : -1;
            }, v);
        }
        CloseHandle(a);
        PrintLatency("bare WaitCommEvent + ReadFile loop", v);
    }
}

// 64 MB from the peer in 64 KB writes; the clock runs until the last byte is in.
template <class Done> double Burst(TPeerPort& peer, std::uint64_t total, const Done& done) {
    const double t0 = NowMs();
    std::atomic<bool> ok{true};
    std::thread writer([&] {
        std::string chunk(1 << 16, '\x5A');
        for (std::uint64_t off = 0; off < total && ok; off += chunk.size()) ok = peer.Write(chunk);
    });
    const bool all = done();
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
    // NR_BENCH_MB shortens the burst for a quick look.
    char mb[16] = {};
    const std::uint64_t total = (GetEnvironmentVariableA("NR_BENCH_MB", mb, sizeof mb) ? std::atoi(mb) : 64) * (1ull << 20);
    Line("  burst of %llu MB", static_cast<unsigned long long>(total >> 20));
    for (bool useMain : {true, false}) {
        auto com = MakeComm(pair.PortA(), useMain);
        std::atomic<std::uint64_t> bytes{0};
        std::atomic<long> events{0};
        std::atomic<std::uint32_t> maxBlock{0};
        com->OnAfterReceive = [&](TObject*, void*, std::uint32_t n) {
            bytes += n;
            ++events;
            if (n > maxBlock) maxBlock = n;
        };
        com->SetActive(true);
        TPeerPort peer(pair.PortB());
        const double mbs = Burst(peer, total, [&] {
            if (PumpUntil([&] { return bytes >= total; }, 300000)) return true;
            // Stuck: tell where the bytes are.
            DWORD e = 0;
            COMSTAT cs{};
            ClearCommError(peer.Handle(), &e, &cs);
            Line("  stuck after %llu bytes: %u queued for the component, %u in the peer's output queue",
                 static_cast<unsigned long long>(bytes.load()), com->ReadyForRead(), static_cast<unsigned>(cs.cbOutQue));
            return false;
        });
        Line("  component, UseMainThread %-5s  %7.2f MB/s   %ld events, %.0f bytes/event, largest %u",
             useMain ? "true" : "false", mbs, events.load(), events ? double(bytes) / double(events) : 0.0,
             maxBlock.load());
        CloseComm(com);
    }
    {
        HANDLE a = OpenRaw(pair.PortA());
        TPeerPort peer(pair.PortB());
        double mbs;
        long events = 0;
        {
            TBareWaitLoop loop(a);
            mbs = Burst(peer, total, [&] {
                while (loop.Bytes() < total) {
                    if (WaitForSingleObject(loop.Got(), 10000) != WAIT_OBJECT_0) return false;
                    ++events;
                }
                return true;
            });
        }
        CloseHandle(a);
        Line("  bare WaitCommEvent + ReadFile loop     %7.2f MB/s   %ld events", mbs, events);
    }
    {
        HANDLE a = OpenRaw(pair.PortA());
        TPeerPort peer(pair.PortB());
        const double mbs = Burst(peer, total, [&] {
            OVERLAPPED r{};
            r.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            std::vector<char> buf(1 << 16);
            std::uint64_t got = 0;
            while (got < total) {
                DWORD n = 0;
                if (!ReadFile(a, buf.data(), static_cast<DWORD>(buf.size()), &n, &r) &&
                    (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(a, &r, &n, TRUE)))
                    break;
                got += n;
            }
            CloseHandle(r.hEvent);
            return got >= total;
        });
        CloseHandle(a);
        Line("  bare ReadFile loop (64 KB reads)       %7.2f MB/s", mbs);
    }
}

void Idle() {
    TPtyPair pair;
    if (!pair.Ready()) return Line("  skipped: %s", pair.Error().c_str());
    auto measure = [](DWORD ms, double& proc, double& server) {
        const double c0 = bench::ProcessCpuMs(), s0 = bench::WineServerCpuMs();
        PumpUntil([] { return false; }, ms);
        proc = bench::ProcessCpuMs() - c0;
        const double s1 = bench::WineServerCpuMs();
        server = (s0 >= 0 && s1 >= 0) ? s1 - s0 : -1;
    };
    double proc, server;
    measure(3000, proc, server);
    Line("  closed, 3 s of message loop:   process %6.0f ms CPU (%5.2f %%), wineserver %6.0f ms (%5.2f %%)", proc,
         proc / 30.0, server, server / 30.0);
    TCounting counting;
    auto com = MakeComm(pair.PortA(), true);
    com->SetActive(true);
    gWaits = 0;
    measure(10000, proc, server);
    const long waits = gWaits;
    Line("  open and idle, 10 s:           process %6.0f ms CPU (%5.2f %%), wineserver %6.0f ms (%5.2f %%)", proc,
         proc / 100.0, server, server / 100.0);
    Line("  driver waits that ended without an event: %ld (%.0f a second)", waits, waits / 10.0);
    CloseComm(com);
}

void Allocs() {
    TPtyPair pair;
    if (!pair.Ready()) return Line("  skipped: %s", pair.Error().c_str());
    for (bool useMain : {true, false}) {
        TCounting counting;
        gLocalAllocs = 0;
        double perEvent = -1;
        ComponentTrips(pair, useMain, 1000, &perEvent);
        Line("  UseMainThread %-5s: %.4f operator new per receive event; LocalAlloc %ld in the whole run (open included)",
             useMain ? "true" : "false", perEvent, gLocalAllocs.load());
    }
}

}  // namespace

BENCH_SECTION(engine_1_latency, "receive latency, peer write to OnAfterReceive", Latency);
BENCH_SECTION(engine_2_throughput, "receive throughput of a 64 MB burst", Throughput);
BENCH_SECTION(engine_3_idle, "CPU cost of an open idle port", Idle);
BENCH_SECTION(engine_4_alloc, "heap allocations per receive event", Allocs);
