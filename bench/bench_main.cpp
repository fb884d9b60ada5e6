#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "bench.h"
#include "comm/nrwin32.h"
#include "framework/forms.h"
#include "framework/threads.h"

namespace {

std::atomic<std::int64_t> gAllocations{0};
std::atomic<std::int64_t> gKernelObjects{0};

// ---- kernel objects: the creating calls of kernel32, counted

#define NR_COUNTED(Name, Ret, Params, Args)  \
    decltype(&::Name) gReal##Name = nullptr; \
    Ret WINAPI Counting##Name Params {       \
        ++gKernelObjects;                    \
        return gReal##Name Args;             \
    }
NR_COUNTED(CreateEventW, HANDLE, (LPSECURITY_ATTRIBUTES a, BOOL m, BOOL i, LPCWSTR n), (a, m, i, n))
NR_COUNTED(CreateEventA, HANDLE, (LPSECURITY_ATTRIBUTES a, BOOL m, BOOL i, LPCSTR n), (a, m, i, n))
NR_COUNTED(CreateEventExW, HANDLE, (LPSECURITY_ATTRIBUTES a, LPCWSTR n, DWORD f, DWORD d), (a, n, f, d))
NR_COUNTED(CreateSemaphoreW, HANDLE, (LPSECURITY_ATTRIBUTES a, LONG i, LONG m, LPCWSTR n), (a, i, m, n))
NR_COUNTED(CreateSemaphoreA, HANDLE, (LPSECURITY_ATTRIBUTES a, LONG i, LONG m, LPCSTR n), (a, i, m, n))
NR_COUNTED(CreateMutexW, HANDLE, (LPSECURITY_ATTRIBUTES a, BOOL o, LPCWSTR n), (a, o, n))
NR_COUNTED(CreateMutexA, HANDLE, (LPSECURITY_ATTRIBUTES a, BOOL o, LPCSTR n), (a, o, n))
NR_COUNTED(CreateWaitableTimerW, HANDLE, (LPSECURITY_ATTRIBUTES a, BOOL m, LPCWSTR n), (a, m, n))
NR_COUNTED(CreateThread, HANDLE,
           (LPSECURITY_ATTRIBUTES a, SIZE_T s, LPTHREAD_START_ROUTINE f, LPVOID p, DWORD c, LPDWORD i),
           (a, s, f, p, c, i))
NR_COUNTED(DuplicateHandle, BOOL, (HANDLE sp, HANDLE s, HANDLE tp, LPHANDLE t, DWORD d, BOOL i, DWORD o),
           (sp, s, tp, t, d, i, o))
#undef NR_COUNTED

struct THook {
    const char* Name;
    void** Real;
    void* Counting;
};

template <class F> THook Hook(const char* Name, F*& Real, F* Counting) {
    return {Name, reinterpret_cast<void**>(&Real), reinterpret_cast<void*>(Counting)};
}
#define NR_HOOK(Name) Hook(#Name, gReal##Name, &Counting##Name)
const THook kHooks[] = {NR_HOOK(CreateEventW),     NR_HOOK(CreateEventA),         NR_HOOK(CreateEventExW),
                        NR_HOOK(CreateSemaphoreW), NR_HOOK(CreateSemaphoreA),     NR_HOOK(CreateMutexW),
                        NR_HOOK(CreateMutexA),     NR_HOOK(CreateWaitableTimerW), NR_HOOK(CreateThread),
                        NR_HOOK(DuplicateHandle)};
#undef NR_HOOK

// Everything is linked into this program, so its import table of kernel32
// is where every library in it finds those calls.
void CountKernelObjects() {
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const auto& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); d->Name; ++d) {
        if (lstrcmpiA(reinterpret_cast<char*>(base + d->Name), "kernel32.dll") != 0) continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            const char* name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name;
            for (const THook& h : kHooks) {
                if (lstrcmpA(name, h.Name) != 0) continue;
                DWORD old = 0;
                VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old);
                *h.Real = reinterpret_cast<void*>(slots->u1.Function);
                slots->u1.Function = reinterpret_cast<ULONG_PTR>(h.Counting);
                VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
            }
        }
    }
    // The library's table took its addresses before the patch.
    if (!gRealCreateEventW) gRealCreateEventW = nr::Win32.CreateEventW;
    if (!gRealDuplicateHandle) gRealDuplicateHandle = nr::Win32.DuplicateHandle;
    nr::Win32.CreateEventW = &CountingCreateEventW;
    nr::Win32.DuplicateHandle = &CountingDuplicateHandle;
}

struct TSection {
    const char* Name;
    const char* Title;
    bench::TSectionFn Fn;
};

std::vector<TSection>& Sections() {
    static std::vector<TSection> s;
    return s;
}

std::wstring Env(const wchar_t* name) {
    wchar_t buf[1024];
    DWORD n = GetEnvironmentVariableW(name, buf, 1024);
    return (n > 0 && n < 1024) ? std::wstring(buf, n) : std::wstring();
}

}  // namespace

// Counting allocator: the receive path must not allocate per event.
void* operator new(std::size_t n) {
    ++gAllocations;
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace bench {

bool RegisterSection(const char* Name, const char* Title, TSectionFn Fn) {
    Sections().push_back({Name, Title, Fn});
    return true;
}

void Line(const char* Fmt, ...) {
    va_list a;
    va_start(a, Fmt);
    std::vprintf(Fmt, a);
    va_end(a);
    std::printf("\n");
    std::fflush(stdout);
}

std::int64_t Allocations() { return gAllocations.load(); }

std::int64_t KernelObjectsCreated() { return gKernelObjects.load(); }

double ProcessCpuMs() {
    FILETIME c, e, k, u;
    if (!GetProcessTimes(GetCurrentProcess(), &c, &e, &k, &u)) return 0;
    auto ms = [](const FILETIME& f) {
        return static_cast<double>((static_cast<std::uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime) / 1e4;
    };
    return ms(k) + ms(u);
}

double WineServerCpuMs() {
    // The server of our prefix is the wineserver whose environment names it.
    static std::wstring statPath;
    const std::wstring prefix = Env(L"WINEPREFIX");
    if (prefix.empty()) return -1;
    if (statPath.empty()) {
        const std::string want = "WINEPREFIX=" + std::string(prefix.begin(), prefix.end());
        WIN32_FIND_DATAW fd;
        HANDLE f = FindFirstFileW(L"Z:\\proc\\*", &fd);
        if (f == INVALID_HANDLE_VALUE) return -1;
        do {
            std::wstring pid = fd.cFileName;
            if (pid.empty() || pid.find_first_not_of(L"0123456789") != std::wstring::npos) continue;
            const std::wstring dir = L"Z:\\proc\\" + pid;
            if (bench::ReadFileText(dir + L"\\comm").rfind("wineserver", 0) != 0) continue;
            std::string env = bench::ReadFileText(dir + L"\\environ");
            for (std::size_t at = 0; at < env.size();) {
                std::size_t end = env.find('\0', at);
                if (end == std::string::npos) end = env.size();
                std::string var = env.substr(at, end - at);
                while (var.size() > want.size() && var.back() == '/') var.pop_back();
                if (var == want) statPath = dir + L"\\stat";
                at = end + 1;
            }
        } while (statPath.empty() && FindNextFileW(f, &fd));
        FindClose(f);
        if (statPath.empty()) return -1;
    }
    const std::string st = bench::ReadFileText(statPath);
    const std::size_t close = st.rfind(')');
    if (close == std::string::npos) return -1;
    // Fields after the command: state is field 3; utime and stime are 14 and 15.
    unsigned long long utime = 0, stime = 0;
    const char* p = st.c_str() + close + 2;
    for (int field = 3; field < 14 && *p; ++field) {
        while (*p && *p != ' ') ++p;
        while (*p == ' ') ++p;
    }
    if (std::sscanf(p, "%llu %llu", &utime, &stime) != 2) return -1;
    return static_cast<double>(utime + stime) * 10.0;  // 100 ticks a second
}

void IdleFor(double ms) {
    const double end = NowMs() + ms;
    for (double left; (left = end - NowMs()) > 0;) {
        fw::MainThreadWait(0, nullptr, static_cast<DWORD>(left) + 1, QS_ALLINPUT);
        fw::Application->ProcessMessages();
    }
}

std::string TextLines(std::size_t n, std::size_t Width) {
    std::string s(n, ' ');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = i % Width == Width - 2 ? '\r' : i % Width == Width - 1 ? '\n' : static_cast<char>('!' + i * 7 % 94);
    return s;
}

double Median(std::vector<double> v) { return Percentile(std::move(v), 50); }

double Percentile(std::vector<double> v, double P) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const double rank = P / 100.0 * static_cast<double>(v.size() - 1);
    const std::size_t i = static_cast<std::size_t>(std::floor(rank));
    const std::size_t j = std::min(i + 1, v.size() - 1);
    return v[i] + (v[j] - v[i]) * (rank - static_cast<double>(i));
}

}  // namespace bench

int main(int argc, char** argv) {
    CountKernelObjects();
    fw::TApplication app;  // dispatches run on this thread, as in the programs
    auto& all = Sections();
    std::sort(all.begin(), all.end(),
              [](const TSection& a, const TSection& b) { return std::string(a.Name) < b.Name; });
    int ran = 0;
    for (const auto& s : all) {
        bool wanted = argc < 2;
        for (int i = 1; i < argc && !wanted; ++i) wanted = std::string(s.Name).rfind(argv[i], 0) == 0;
        if (!wanted) continue;
        bench::Line("== %s: %s", s.Name, s.Title);
        s.Fn();
        bench::Line("%s", "");
        ++ran;
    }
    if (!ran) bench::Line("no section matches");
    return 0;
}
