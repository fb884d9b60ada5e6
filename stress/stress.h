// The stress program: hostile tries against the serial library, each with a
// checked outcome. Named sections, each in its own stress/*.cpp file,
// registered with STRESS_SECTION. `stress_comm` runs the full form of every
// section; `--short` runs every kind of try with fewer repetitions;
// further arguments pick sections by name prefix. `--soak [minutes]` runs
// the soak alone (a section registered with a full budget of 0), 60 minutes
// unless told.
//
// Every figure is printed on one line with its target; a missed target makes
// the program exit 1. Each section has a time budget: one that overruns it
// (a hang) is reported and ends the program with exit code 3.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

#include "tools/common/win_process.h"

namespace stress {

using TSectionFn = void (*)();

bool RegisterSection(const char* Name, const char* Title, TSectionFn Fn, unsigned FullSeconds, unsigned ShortSeconds);

bool ShortForm();
unsigned SoakMinutes();
// The time budget of the section being run, in seconds.
unsigned SectionSeconds();
// The repetition count of the form being run.
int Reps(int Full, int Short);

// printf to stdout and a line end, flushed at once.
void Line(const char* Fmt, ...) __attribute__((format(printf, 1, 2)));
// Why a figure may miss: printed at most a few times per section, indented.
void Detail(const char* Fmt, ...) __attribute__((format(printf, 1, 2)));

// Figures. Each prints one line (value, target, ok or MISSED) and returns
// whether the target was met.
bool All(const char* What, long long Good, long long Total);
bool AtMost(const char* What, double Value, double Target, const char* Unit);
bool AtLeast(const char* What, double Value, double Target, const char* Unit);
// A figure without a target, printed for comparison.
void Reference(const char* What, double Value, const char* Unit);

using win_process::NowMs;

// What the process holds. Handles are counted from the system's handle table
// (GetProcessHandleCount answers 0 under Wine), threads from a snapshot, the
// heap by walking every heap of the process; CrtLiveBytes is what the C
// runtime's allocator has handed to this program's code and not taken back.
struct TProcessUse {
    long Handles = -1;
    long Threads = -1;
    long long HeapBytes = 0;  // busy blocks of all heaps
    long long HeapBlocks = 0;
    long long CrtLiveBytes = 0;
    long long CrtLiveBlocks = 0;
    long long PrivateBytes = -1;  // committed memory only this process has
};
TProcessUse ProcessUse();
// Another program's handles, threads and private bytes (its heaps are not walked).
TProcessUse ProcessUse(HANDLE Process);
// Allocations made through the C runtime (malloc, calloc, realloc, operator
// new) since the program started.
long long CrtAllocations();

// Runs the user-interface thread's messages until Pred holds or Ms passed.
bool PumpUntil(const std::function<bool()>& Pred, DWORD Ms);
void Pump(DWORD Ms);

using win_process::ExeDir;
std::string Narrow(const std::wstring& s);

}  // namespace stress

#define STRESS_SECTION(Id, Title, Fn, FullSeconds, ShortSeconds) \
    static const bool stress_section_registered_##Id =           \
        ::stress::RegisterSection(#Id, Title, Fn, FullSeconds, ShortSeconds)
