// The benchmark program: named sections, each in its own bench/*.cpp file,
// registered with BENCH_SECTION. `bench_comm` runs them all in name order;
// `bench_comm NAME...` runs those whose name starts with one of the arguments.
// Figures are printed, nothing is asserted.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/common/win_process.h"

namespace bench {

using TSectionFn = void (*)();

bool RegisterSection(const char* Name, const char* Title, TSectionFn Fn);

// printf to stdout, flushed at once.
void Line(const char* Fmt, ...) __attribute__((format(printf, 1, 2)));

using win_process::NowMs;

// Heap blocks taken through operator new (any thread) since the program started.
std::int64_t Allocations();

// Kernel objects created (events, semaphores, mutexes, timers, threads,
// duplicated handles) by any code of this program since it started.
std::int64_t KernelObjectsCreated();

// Process CPU time (user + kernel) in milliseconds.
double ProcessCpuMs();

// CPU time of the wineserver of this program's prefix, in milliseconds; -1
// when it cannot be found (not under Wine).
double WineServerCpuMs();

using win_process::ReadFileText;

// Lines of printable text, n bytes, each Width bytes with its CR LF.
std::string TextLines(std::size_t n, std::size_t Width);

// The main thread idles as a program does: in its message loop, for ms.
void IdleFor(double ms);

double Median(std::vector<double> v);
double Percentile(std::vector<double> v, double P);

}  // namespace bench

#define BENCH_SECTION(Id, Title, Fn) \
    static const bool bench_section_registered_##Id = ::bench::RegisterSection(#Id, Title, Fn)
