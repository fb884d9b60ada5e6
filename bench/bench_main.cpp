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
#include "framework/forms.h"

namespace {

std::atomic<std::int64_t> gAllocations{0};

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

double NowMs() {
    static LARGE_INTEGER freq = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) * 1000.0 / static_cast<double>(freq.QuadPart);
}

std::int64_t Allocations() { return gAllocations.load(); }

std::string ReadFileText(const std::wstring& Path) {
    HANDLE h = CreateFileW(Path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return {};
    std::string s;
    char buf[4096];
    DWORD n = 0;
    while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) s.append(buf, n);
    CloseHandle(h);
    return s;
}

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
    fw::TApplication app;  // dispatches run on this thread, as in the programs
    auto& all = Sections();
    std::sort(all.begin(), all.end(), [](const TSection& a, const TSection& b) { return std::string(a.Name) < b.Name; });
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
