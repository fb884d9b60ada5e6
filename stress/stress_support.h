// What the stress sections share: the port component with its worker
// threads in view, the serial-port map, child programs, byte patterns.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "comm/nrcomm.h"
#include "tests/support/pty_pair.h"
#include "tools/common/win_process.h"

namespace stress {

// The published port component, with its worker threads in view so a try
// can wait for their end.
class TStressComm : public nr::TnrComm {
public:
    explicit TStressComm(fw::TComponent* AOwner = nullptr);
    std::vector<std::shared_ptr<fw::TThreadControl>> Threads() const;
    bool HasReceiveBuffer() const { return glBuffer != nullptr; }
};

// Whether the pair came up; when not, a missed figure says what it was for.
bool PairReady(const serial_test::TPtyPair& Pair, const char* For);

// Waits for worker threads to end, serving the user-interface thread meanwhile.
bool WaitThreadsEnd(const std::vector<std::shared_ptr<fw::TThreadControl>>& Threads, DWORD Ms);

// Says why an awaited event did not come: bytes left in the driver's queue
// with no receive event mean the event-wait thread stopped seeing them.
void ExplainStall(const char* What, int At, TStressComm& Com);

// A value of the serial-port map while it lives (volatile: gone with the
// server at the latest). Type and bytes are the caller's.
class TMapEntry {
public:
    TMapEntry(const std::wstring& ValueName, DWORD Type, const void* Data, DWORD Size);
    // A string entry, stored with its terminating NUL.
    TMapEntry(const std::wstring& ValueName, const std::wstring& Port);
    ~TMapEntry();
    TMapEntry(const TMapEntry&) = delete;
    TMapEntry& operator=(const TMapEntry&) = delete;
    bool Ready() const { return ready_; }

private:
    std::wstring name_;
    HKEY key_ = nullptr;
    bool ready_ = false;
};
// Removes map values an earlier run left behind (their names start with Prefix).
void RemoveStaleMapEntries(const std::wstring& Prefix);

// Programs of the build folder, ended by their destructor or, when the run is
// given up, by the watchdog (EndChildren).
using win_process::EndChildren;
using win_process::ReadFileText;
using win_process::TChild;

// A fresh path in the temporary folder, unique to this process and Tag.
std::wstring TempPath(const std::wstring& Tag);

// Byte i of a stream that no short repetition, offset or loss can imitate.
inline std::uint8_t Pattern(std::uint64_t i, std::uint32_t Seed) {
    std::uint64_t x = (i + 1) * 0x9E3779B97F4A7C15ull ^ (static_cast<std::uint64_t>(Seed) << 32);
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ull;
    return static_cast<std::uint8_t>(x >> 56);
}

// Counts the library's overlapped calls that went pending (through its
// Win32 table) while it lives: WaitCommEvent, ReadFile, WriteFile.
class TCountPendingWaits {
public:
    TCountPendingWaits();
    ~TCountPendingWaits();
    TCountPendingWaits(const TCountPendingWaits&) = delete;
    TCountPendingWaits& operator=(const TCountPendingWaits&) = delete;

private:
    decltype(nr::Win32) saved_;
};
// Counted since the program started: pending waits, and all pending calls.
long long PendingWaits();
long long PendingIo();
// Wine's heap cost of one overlapped WaitCommEvent that went pending and was
// ended by SetCommMask(h, 0), in bytes, measured with bare Win32 calls on a
// port; -1 when none went pending.
double WineCostPerWait(std::uint32_t Port, int Waits);

// The utility's line: 57600 8N1, no flow control.
void UseUtilityLine(nr::TnrCustomComm& Com);

}  // namespace stress
