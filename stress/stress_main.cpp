#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <malloc.h>
#include <string>
#include <vector>

#include "framework/forms.h"
#include "stress.h"
#include "stress_support.h"

namespace {

// ---- the C runtime's allocator, counted: its entries in this program's
// import table, through which every library linked into it allocates

std::atomic<long long> gCrtAllocations{0};
std::atomic<long long> gCrtLiveBytes{0};
std::atomic<long long> gCrtLiveBlocks{0};

decltype(&::malloc) gRealMalloc = nullptr;
decltype(&::calloc) gRealCalloc = nullptr;
decltype(&::realloc) gRealRealloc = nullptr;
decltype(&::free) gRealFree = nullptr;

void Taken(void* p) {
    if (!p) return;
    ++gCrtAllocations;
    ++gCrtLiveBlocks;
    gCrtLiveBytes += static_cast<long long>(_msize(p));
}

void Given(void* p) {
    if (!p) return;
    --gCrtLiveBlocks;
    gCrtLiveBytes -= static_cast<long long>(_msize(p));
}

void* __cdecl CountingMalloc(size_t n) {
    void* p = gRealMalloc(n);
    Taken(p);
    return p;
}

void* __cdecl CountingCalloc(size_t n, size_t s) {
    void* p = gRealCalloc(n, s);
    Taken(p);
    return p;
}

void* __cdecl CountingRealloc(void* old, size_t n) {
    const long long before = old ? static_cast<long long>(_msize(old)) : 0;
    void* p = gRealRealloc(old, n);
    if (!old) {
        Taken(p);
    } else if (p) {
        gCrtLiveBytes += static_cast<long long>(_msize(p)) - before;
    } else if (n == 0) {
        --gCrtLiveBlocks;  // realloc(p, 0) freed it
        gCrtLiveBytes -= before;
    }
    return p;
}

void __cdecl CountingFree(void* p) {
    Given(p);
    gRealFree(p);
}

struct THook {
    const char* Dll;
    const char* Name;
    void** Real;
    void* Counting;
};

void HookImports(const THook* hooks, size_t count) {
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const auto& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); d->Name; ++d) {
        const char* dll = reinterpret_cast<char*>(base + d->Name);
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            const char* name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name;
            for (size_t i = 0; i < count; ++i) {
                const THook& h = hooks[i];
                if (lstrcmpiA(dll, h.Dll) != 0 || lstrcmpA(name, h.Name) != 0) continue;
                DWORD old = 0;
                VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old);
                *h.Real = reinterpret_cast<void*>(slots->u1.Function);
                slots->u1.Function = reinterpret_cast<ULONG_PTR>(h.Counting);
                VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
            }
        }
    }
}

// Blocks taken before the hook may be freed through it: the live figures
// are only ever compared with each other.
void CountCrtAllocations() {
    gRealMalloc = &::malloc;
    gRealCalloc = &::calloc;
    gRealRealloc = &::realloc;
    gRealFree = &::free;
#define NR_HOOK(Name, Fn) \
    { "msvcrt.dll", Name, reinterpret_cast<void**>(&gReal##Fn), reinterpret_cast<void*>(&Counting##Fn) }
    const THook hooks[] = {NR_HOOK("malloc", Malloc), NR_HOOK("calloc", Calloc), NR_HOOK("realloc", Realloc),
                           NR_HOOK("free", Free)};
#undef NR_HOOK
    HookImports(hooks, sizeof hooks / sizeof hooks[0]);
}

// ---- sections, figures, budgets

struct TSection {
    const char* Name;
    const char* Title;
    stress::TSectionFn Fn;
    unsigned FullSeconds;
    unsigned ShortSeconds;
};

std::vector<TSection>& Sections() {
    static std::vector<TSection> s;
    return s;
}

bool gShort = false;
unsigned gSoakMinutes = 0;
unsigned gBudget = 0;
int gMissed = 0;
int gFigures = 0;
int gDetails = 0;
constexpr int kDetailsPerSection = 6;

// The running section and when it must have ended; the watchdog ends the
// program when that passes.
std::atomic<ULONGLONG> gDeadline{0};
std::atomic<const char*> gRunning{nullptr};

DWORD WINAPI Watchdog(void*) {
    for (;;) {
        Sleep(250);
        const ULONGLONG d = gDeadline.load();
        if (!d || GetTickCount64() < d) continue;
        std::printf("\nFAILED: section %s overran its time budget: a hang\n", gRunning.load());
        std::fflush(stdout);
        stress::EndChildren();
        TerminateProcess(GetCurrentProcess(), 3);
    }
}

void Vprint(const char* indent, const char* Fmt, va_list a) {
    std::fputs(indent, stdout);
    std::vprintf(Fmt, a);
    std::fputs("\n", stdout);
    std::fflush(stdout);
}

bool Print(const char* What, const std::string& value, const std::string& target, bool ok) {
    ++gFigures;
    if (!ok) ++gMissed;
    std::printf("  %-6s %-66s %14s   target %s\n", ok ? "ok" : "MISSED", What, value.c_str(), target.c_str());
    std::fflush(stdout);
    return ok;
}

std::string Num(double v, const char* unit) {
    char buf[64];
    if (v == static_cast<double>(static_cast<long long>(v)) && std::abs(v) < 1e15)
        std::snprintf(buf, sizeof buf, "%lld%s%s", static_cast<long long>(v), *unit ? " " : "", unit);
    else
        std::snprintf(buf, sizeof buf, "%.2f%s%s", v, *unit ? " " : "", unit);
    return buf;
}

// ---- what the process holds

struct TSystemHandle {
    USHORT UniqueProcessId;
    USHORT CreatorBackTraceIndex;
    UCHAR ObjectTypeIndex;
    UCHAR HandleAttributes;
    USHORT HandleValue;
    PVOID Object;
    ULONG GrantedAccess;
};
struct TSystemHandles {
    ULONG Count;
    TSystemHandle Handles[1];
};
constexpr ULONG kSystemHandleInformation = 16;
using TQuerySystemInformation = NTSTATUS(NTAPI*)(ULONG, PVOID, ULONG, PULONG);

long HandleCount(DWORD process) {
    static auto query = reinterpret_cast<TQuerySystemInformation>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (!query) return -1;
    static std::vector<char> buf(1 << 18);
    ULONG len = 0;
    NTSTATUS s;
    while ((s = query(kSystemHandleInformation, buf.data(), static_cast<ULONG>(buf.size()), &len)) ==
           static_cast<NTSTATUS>(0xC0000004))  // STATUS_INFO_LENGTH_MISMATCH
        buf.resize(buf.size() * 2);
    if (s < 0) return -1;
    const auto* all = reinterpret_cast<const TSystemHandles*>(buf.data());
    const auto pid = static_cast<USHORT>(process);
    long n = 0;
    for (ULONG i = 0; i < all->Count; ++i)
        if (all->Handles[i].UniqueProcessId == pid) ++n;
    return n;
}

long ThreadCount(DWORD pid) {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snap == INVALID_HANDLE_VALUE) return -1;
    THREADENTRY32 t{};
    t.dwSize = sizeof t;
    long n = 0;
    if (Thread32First(snap, &t)) do
            if (t.th32OwnerProcessID == pid) ++n;
        while (Thread32Next(snap, &t));
    CloseHandle(snap);
    return n;
}

void WalkHeaps(long long& bytes, long long& blocks) {
    HANDLE heaps[256];
    const DWORD n = std::min<DWORD>(GetProcessHeaps(256, heaps), 256);
    bytes = blocks = 0;
    for (DWORD i = 0; i < n; ++i) {
        if (!HeapLock(heaps[i])) continue;
        PROCESS_HEAP_ENTRY e{};
        while (HeapWalk(heaps[i], &e))
            if (e.wFlags & PROCESS_HEAP_ENTRY_BUSY) {
                bytes += e.cbData;
                ++blocks;
            }
        HeapUnlock(heaps[i]);
    }
}

}  // namespace

namespace stress {

bool RegisterSection(const char* Name, const char* Title, TSectionFn Fn, unsigned FullSeconds, unsigned ShortSeconds) {
    Sections().push_back({Name, Title, Fn, FullSeconds, ShortSeconds});
    return true;
}

bool ShortForm() { return gShort; }
unsigned SoakMinutes() { return gSoakMinutes; }
unsigned SectionSeconds() { return gBudget; }
int Reps(int Full, int Short) { return gShort ? Short : Full; }

void Line(const char* Fmt, ...) {
    va_list a;
    va_start(a, Fmt);
    Vprint("", Fmt, a);
    va_end(a);
}

void Detail(const char* Fmt, ...) {
    if (++gDetails > kDetailsPerSection) return;
    va_list a;
    va_start(a, Fmt);
    Vprint("         ", Fmt, a);
    va_end(a);
}

bool All(const char* What, long long Good, long long Total) {
    const std::string all = std::to_string(Total) + "/" + std::to_string(Total);
    return Print(What, std::to_string(Good) + "/" + std::to_string(Total), all, Good == Total && Total > 0);
}

bool AtMost(const char* What, double Value, double Target, const char* Unit) {
    return Print(What, Num(Value, Unit), "<= " + Num(Target, Unit), Value <= Target);
}

bool AtLeast(const char* What, double Value, double Target, const char* Unit) {
    return Print(What, Num(Value, Unit), ">= " + Num(Target, Unit), Value >= Target);
}

void Reference(const char* What, double Value, const char* Unit) {
    std::printf("  %-6s %-66s %14s   (for comparison)\n", "", What, Num(Value, Unit).c_str());
    std::fflush(stdout);
}

// The commit charge: on Windows the same as PrivateUsage, which Wine leaves 0.
long long PrivateBytes(HANDLE process) {
    PROCESS_MEMORY_COUNTERS m{};
    m.cb = sizeof m;
    return K32GetProcessMemoryInfo(process, &m, sizeof m) ? static_cast<long long>(m.PagefileUsage) : -1;
}

TProcessUse ProcessUse(HANDLE Process) {
    TProcessUse u;
    const DWORD id = GetProcessId(Process);
    u.Handles = HandleCount(id);
    u.Threads = ThreadCount(id);
    u.PrivateBytes = PrivateBytes(Process);
    return u;
}

TProcessUse ProcessUse() {
    TProcessUse u = ProcessUse(GetCurrentProcess());
    WalkHeaps(u.HeapBytes, u.HeapBlocks);
    u.CrtLiveBytes = gCrtLiveBytes.load();
    u.CrtLiveBlocks = gCrtLiveBlocks.load();
    return u;
}

long long CrtAllocations() { return gCrtAllocations.load(); }

bool PumpUntil(const std::function<bool()>& Pred, DWORD Ms) { return fw::Application->ProcessMessagesUntil(Pred, Ms); }

void Pump(DWORD Ms) {
    PumpUntil([] { return false; }, Ms);
}

std::string Narrow(const std::wstring& s) {
    std::string out;
    for (wchar_t c : s) out += (c >= 32 && c < 127) ? static_cast<char>(c) : '?';
    return out;
}

}  // namespace stress

int main(int argc, char** argv) {
    CountCrtAllocations();
    std::vector<std::string> wanted;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--soak") {
            gSoakMinutes = 60;
            if (i + 1 < argc && std::atoi(argv[i + 1]) > 0) gSoakMinutes = static_cast<unsigned>(std::atoi(argv[++i]));
        } else if (a == "--short")
            gShort = true;
        else if (a == "--full")
            gShort = false;
        else
            wanted.push_back(a);
    }
    fw::TApplication app;  // dispatches run on this thread, as in the programs
    // A handler exception shown in a box would wait for a click that never comes.
    int shown = 0;
    app.OnException = [&](fw::TObject*, const fw::Exception&) { ++shown; };
    app.OnMessageBox = [&](HWND, const std::wstring&, const std::wstring&, UINT) {
        ++shown;
        return IDOK;
    };
    CreateThread(nullptr, 0, &Watchdog, nullptr, 0, nullptr);

    auto& all = Sections();
    std::sort(all.begin(), all.end(),
              [](const TSection& a, const TSection& b) { return std::string(a.Name) < b.Name; });
    const double t0 = stress::NowMs();
    int ran = 0;
    for (const auto& s : all) {
        // A section without a budget of its own is the soak: it runs alone,
        // for as long as it was asked to.
        const bool soak = s.FullSeconds == 0;
        bool take = wanted.empty();
        for (const auto& w : wanted) take = take || std::string(s.Name).rfind(w, 0) == 0;
        if (soak != (gSoakMinutes > 0) || (!soak && !take)) continue;
        const unsigned budget = soak ? gSoakMinutes * 60 + 600 : gShort ? s.ShortSeconds : s.FullSeconds;
        stress::Line("== %s: %s (%s form, budget %u s)", s.Name, s.Title, gShort ? "short" : "full", budget);
        gDetails = 0;
        gRunning = s.Name;
        gDeadline = GetTickCount64() + budget * 1000ull;
        const double ts = stress::NowMs();
        gBudget = budget;
        // A section that fails in a way it did not foresee is a missed figure,
        // and the others still run.
        try {
            s.Fn();
        } catch (const std::exception& e) {
            stress::All((std::string("the section ended normally (it threw: ") + e.what() + ")").c_str(), 0, 1);
        }
        gDeadline = 0;
        stress::Line("   (%.1f s)", (stress::NowMs() - ts) / 1000);
        ++ran;
    }
    if (!ran) {
        stress::Line("no section matches");
        return 2;
    }
    stress::All("no error box shown during the run", shown == 0 ? 1 : 0, 1);
    stress::Line("%d figures, %d missed, %.1f s", gFigures, gMissed, (stress::NowMs() - t0) / 1000);
    stress::EndChildren();
    return gMissed ? 1 : 0;
}
