// A scripted serial device behind nr::Win32, for tests and benchmarks of the
// port engine. Constructing a TFakeSerial replaces the file, overlapped and
// communications entries of the table; destroying it restores the table. One
// at a time. Calls on other handles (and on names other than the fake port)
// go to the real API, so worker threads that outlive a test are harmless.
//
// The device: an input queue the test fills (raising EV_RXCHAR), an output
// log of everything written, modem status bits, driver error bits and COMSTAT
// flags for ClearCommError, scripted write failures or short writes, and
// WaitCommEvent that stays pending until an event in the mask arrives.
#pragma once

#include <windows.h>

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "../../comm/nrwin32.h"
#include "win32_guard.h"

namespace serial_test {

using TTableGuard = test_support::TWin32Guard;

class TFakeSerial {
public:
    explicit TFakeSerial(std::uint32_t PortNo = 7);
    ~TFakeSerial();
    TFakeSerial(const TFakeSerial&) = delete;
    TFakeSerial& operator=(const TFakeSerial&) = delete;

    const std::uint32_t PortNo;

    // ---- the line, as the test drives it
    // Bytes arrive: queued, EV_RXCHAR raised.
    void Receive(const std::string& Bytes);
    // Bytes arrive without an event (a driver that reports them otherwise).
    void SetQueued(const std::string& Bytes);
    // Driver events (EV_* bits); those outside the current mask are dropped.
    void Raise(DWORD Events);
    // A pending wait ends by itself with an empty mask (as Wine does on a pty).
    bool CompleteEmpty();
    // The pending wait ends with Mask and its event set, but its record never
    // gets a status (as Wine's now and then does); the device is done with it.
    bool SignalWithoutStatus(DWORD Mask = 0);
    void SetModemStatus(DWORD Status);
    // Error bits and COMSTAT flags for the next ClearCommError.
    void SetLineError(DWORD Errors, std::uint8_t StatFlags);
    void SetOutQueue(DWORD Count);
    // The device fails: a pending wait ends with an error, and from now on
    // WaitCommEvent fails with Error and the other calls with ERROR_NOT_READY.
    void Fail(DWORD Error);
    // The device goes away quietly: waits keep ending at once without events
    // (as Wine's do on a pty whose other end died); state queries fail.
    void Vanish();
    // The next write fails with Error.
    void FailNextWrite(DWORD Error);
    // The next write ends after Count bytes.
    void ShortNextWrite(DWORD Count);
    // Writes stay pending until CompleteWrites (their bytes are taken then)
    // or FailWrites (nothing is taken).
    void SetDeferWrites(bool v);
    int CompleteWrites();
    int FailWrites(DWORD Error);
    int PendingWrites();
    // The pending wait is not ended by SetCommMask or CloseHandle; the test
    // ends it with CompleteHeldWait, which tells whether its event was still
    // there (the thread kept its storage).
    void SetHoldWait(bool v);
    bool HasHeldWait();
    bool CompleteHeldWait();
    // The same in two steps, as drivers end a wait: the record's status
    // first, the event later (false when the event handle was gone by then).
    bool WriteHeldStatus();
    bool SignalHeldWait();

    // ---- what the engine did
    bool IsOpen();
    bool WaitPending();
    std::string Output();
    void ClearOutput();
    std::vector<std::string> Calls();  // "SetCommMask 1", "Escape 3", "Purge 15", ...
    void ClearCalls();
    bool Called(const std::string& Call);
    int CountCalls(const std::string& Prefix);
    std::vector<DWORD> ReadSizes();
    DCB State();
    COMMTIMEOUTS Timeouts();
    DWORD CommMask();
    std::size_t InputSize();
    int Opens();
    // Closes of a port handle already closed.
    int ClosedTwice();

private:
    friend struct TFakeSerialApi;
    struct TDeferred {
        const void* Data;
        DWORD Count;
        OVERLAPPED* Ovl;
    };
    void CompleteWaitLocked(DWORD Mask, DWORD Status);
    void NoteLocked(std::string s) { calls_.push_back(std::move(s)); }

    TTableGuard guard_;
    HANDLE h_ = nullptr;      // a real event standing for the open port
    HANDLE lastH_ = nullptr;  // the last one, for results read after the close
    // Closed ports' events, kept until the fake goes so that no new handle
    // takes their value: a second close is then told apart.
    std::vector<HANDLE> closed_;
    int closedTwice_ = 0;
    int opens_ = 0;
    std::deque<std::uint8_t> input_;
    std::string output_;
    std::vector<std::string> calls_;
    std::vector<DWORD> readSizes_;
    DWORD mask_ = 0;
    DWORD events_ = 0;  // arrived while no wait was pending
    DWORD* waitMask_ = nullptr;
    OVERLAPPED* waitOvl_ = nullptr;
    DWORD waitThread_ = 0;
    bool holdWait_ = false;
    bool heldStatusWritten_ = false;
    DWORD modem_ = 0;
    DWORD errors_ = 0;
    std::uint8_t statFlags_ = 0;
    DWORD outQueue_ = 0;
    DWORD failed_ = 0;
    bool vanished_ = false;
    DWORD failWrite_ = 0;
    long shortWrite_ = -1;
    bool deferWrites_ = false;
    std::vector<TDeferred> deferred_;
    DCB dcb_{};
    COMMTIMEOUTS timeouts_{};
};

// Status kept in OVERLAPPED.Internal for a failed operation of the fake.
constexpr ULONG_PTR FakeFailure(DWORD Error) { return 0xC0000000u | Error; }

}  // namespace serial_test
