// Open/close cycles on a real line, each with an exchange as the utility
// makes one: what the process holds must stay flat.
//
// Wine keeps part of its own heap for every overlapped WaitCommEvent that
// went pending and then ended, whoever waits. That cost is measured with
// bare Win32 calls, and the library's figure is what its cycles add to the
// heap beyond it.
#include <atomic>
#include <memory>
#include <vector>

#include "framework/forms.h"
#include "stress.h"
#include "stress_support.h"

using namespace stress;
using serial_test::TPeerPort;
using serial_test::TPtyPair;

namespace {

using TControls = std::vector<std::shared_ptr<fw::TThreadControl>>;

// ---- references: bare Win32

// Heap kept per cycle of two threads with message queues, one posting to the other.
DWORD WINAPI Receiver(void*) {
    MSG m;
    GetMessageW(&m, nullptr, 0, 0);
    return 0;
}

DWORD WINAPI Sender(void* p) {
    MSG m;
    PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE);
    const DWORD to = *static_cast<DWORD*>(p);
    while (!PostThreadMessageW(to, WM_QUIT, 0, 0)) Sleep(1);
    return 0;
}

double ThreadPairCost(int cycles) {
    auto run = [](int n) {
        for (int i = 0; i < n; ++i) {
            DWORD id = 0;
            HANDLE r = CreateThread(nullptr, 0, &Receiver, nullptr, 0, &id);
            HANDLE s = CreateThread(nullptr, 0, &Sender, &id, 0, nullptr);
            HANDLE both[2] = {r, s};
            WaitForMultipleObjects(2, both, TRUE, 10000);
            CloseHandle(r);
            CloseHandle(s);
        }
    };
    run(20);
    const TProcessUse u0 = ProcessUse();
    run(cycles);
    const TProcessUse u1 = ProcessUse();
    return static_cast<double>(u1.HeapBytes - u0.HeapBytes) / cycles;
}

// ---- the library's cycles

struct TCycles {
    int Opened = 0;
    int Exchanged = 0;
};

// Opens, takes two bytes from the peer, closes; n times. The worker threads
// of each open end on their own and are waited for in batches.
TCycles Cycle(TStressComm& com, TPeerPort& peer, std::atomic<std::uint32_t>& received, int n) {
    TCycles c;
    TControls pending;
    for (int i = 0; i < n; ++i) {
        com.SetActive(true);
        if (com.Active()) ++c.Opened;
        const std::uint32_t before = received;
        peer.Write("\xAA\x0C", 2);
        if (PumpUntil([&] { return received >= before + 2; }, 5000)) ++c.Exchanged;
        for (auto& t : com.Threads()) pending.push_back(t);
        com.SetActive(false);
        if (pending.size() >= 64 || i + 1 == n) {
            if (!WaitThreadsEnd(pending, 15000)) Detail("worker threads still running 15 s after their close");
            pending.clear();
        }
    }
    return c;
}

void Cycles() {
    TPtyPair pair(true, SectionSeconds());  // the section outlasts a test's pair
    if (!PairReady(pair, "the cycles")) return;
    const double wineCost = WineCostPerWait(pair.PortA(), Reps(1000, 200));
    Reference("Wine: heap kept per pending WaitCommEvent that ended (bare Win32)", wineCost, "B");
    Reference("Wine: heap kept per pair of threads with message queues", ThreadPairCost(Reps(1000, 100)), "B");

    TPeerPort peer(pair.PortB());
    const int n = Reps(50000, 300);  // per mode: 100,000 in the full form
    const DWORD mainThread = GetCurrentThreadId();
    for (bool useMain : {true, false}) {
        TStressComm com;
        UseUtilityLine(com);
        com.SetComPortNo(static_cast<std::uint16_t>(pair.PortA()));
        com.SetUseMainThread(useMain);
        std::atomic<std::uint32_t> received{0};
        com.OnAfterReceive = [&](fw::TObject*, void*, std::uint32_t k) {
            received += k;
            // Wakes the waiting user-interface thread when the dispatch runs elsewhere.
            PostThreadMessageW(mainThread, WM_NULL, 0, 0);
        };
        TCountPendingWaits counting;
        Cycle(com, peer, received, 100);  // what Wine and the library make once settles first
        Pump(20);
        const TProcessUse u0 = ProcessUse();
        const long long waits0 = PendingWaits();
        const double t0 = NowMs();
        const TCycles c = Cycle(com, peer, received, n);
        const double seconds = (NowMs() - t0) / 1000;
        Pump(20);
        const TProcessUse u1 = ProcessUse();
        const long long waits = PendingWaits() - waits0;
        const double heapPerCycle = static_cast<double>(u1.HeapBytes - u0.HeapBytes) / n;
        const double beyondWine =
            wineCost < 0 ? heapPerCycle : (static_cast<double>(u1.HeapBytes - u0.HeapBytes) - waits * wineCost) / n;
        const std::string mode = useMain ? "UseMainThread true: " : "UseMainThread false: ";
        Line(
            "  %s%d cycles in %.1f s; handles %ld -> %ld, threads %ld -> %ld, heap %lld -> %lld B, "
            "%.2f pending waits per cycle",
            mode.c_str(), n, seconds, u0.Handles, u1.Handles, u0.Threads, u1.Threads, u0.HeapBytes, u1.HeapBytes,
            static_cast<double>(waits) / n);
        All((mode + "opens that succeeded").c_str(), c.Opened, n);
        All((mode + "exchanges that arrived").c_str(), c.Exchanged, n);
        AtMost((mode + "handles gained").c_str(), u1.Handles - u0.Handles, 0, "");
        AtMost((mode + "threads gained").c_str(), u1.Threads - u0.Threads, 0, "");
        AtMost((mode + "own allocations gained per cycle").c_str(),
               static_cast<double>(u1.CrtLiveBytes - u0.CrtLiveBytes) / n, 1, "B");
        Reference((mode + "heap gained per cycle, Wine's part included").c_str(), heapPerCycle, "B");
        AtMost((mode + "heap gained per cycle beyond Wine's per-wait cost").c_str(), beyondWine, 8, "B");
    }
}

}  // namespace

STRESS_SECTION(cycles, "Open/close cycles: handles, threads and memory stay flat", Cycles, 3600, 90);
