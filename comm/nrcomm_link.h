// Internal to the engine: what an open port shares with its two worker
// threads, and the threads themselves.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "../framework/threads.h"

namespace nr {
class TnrCustomComm;
namespace detail {

// An exclusive hold of a slim lock for one scope.
class TSlimGuard {
public:
    explicit TSlimGuard(SRWLOCK& l) : l_(l) { AcquireSRWLockExclusive(&l_); }
    ~TSlimGuard() { ReleaseSRWLockExclusive(&l_); }
    TSlimGuard(const TSlimGuard&) = delete;
    TSlimGuard& operator=(const TSlimGuard&) = delete;

private:
    SRWLOCK& l_;
};

// What lParam of a comm event message says; wParam is the EV_* mask of a
// driver event, the Win32 error of a failure, and 0 otherwise.
enum TCommNote : LPARAM {
    cnEvent = 0,         // a driver event
    cnPortFailed = 1,    // the driver failed: the port is to be closed
    cnWriteStarted = 2,  // SendData left a write pending (WatchWrite): watch for its end
};

// Created when the port opens, dropped by the engine when it closes; the
// worker threads hold it until they end. The receive buffer lives here so a
// dispatch that runs while the port is being closed never reads freed memory.
struct TCommLink {
    TCommLink(TnrCustomComm* com, HANDLE device, HANDLE writeEvent, std::uint32_t bufferSize);
    ~TCommLink();
    TCommLink(const TCommLink&) = delete;
    TCommLink& operator=(const TCommLink&) = delete;

    // Tells both threads to stop; from then on nobody touches the handle or
    // the engine through this link. True when a dispatch is under way.
    bool Stop();
    // The event-wait thread, before it waits again: blocks while a receive
    // event is with the dispatch (a new wait would only report the same
    // bytes again on drivers that report queued bytes rather than arrivals).
    // False once stopped.
    bool AwaitReceiveGate();
    // The dispatch has read what a receive event announced.
    void OpenReceiveGate();

    // Guards Stopped against the event-wait thread's use of the handle and
    // its posts, Busy against the closer, and the receive gate.
    SRWLOCK Lock = SRWLOCK_INIT;
    CONDITION_VARIABLE GateOpened = CONDITION_VARIABLE_INIT;
    std::atomic<bool> Stopped{false};
    // False once the engine is being destroyed.
    std::atomic<bool> ComAlive{true};
    TnrCustomComm* const Com;
    const HANDLE hDevice;
    HANDLE hStop = nullptr;       // manual reset; set by Stop
    HANDLE hIdle = nullptr;       // manual reset; set when a dispatch ends after Stop
    HANDLE hFirstWait = nullptr;  // manual reset; set when the first wait is issued, or none will be
    HANDLE hWriteDone = nullptr;  // the engine's SendData event, our own handle to it
    bool Busy = false;            // the message thread is handing an event over
    // Set with a cnWriteStarted post, which may come before the message
    // thread has a queue: the thread looks at the flag after every message.
    std::atomic<bool> WatchWrite{false};
    bool RxOutstanding = false;  // a receive event is on its way to the dispatch
    // Set by a receive dispatch that found nothing new in the queue (bytes
    // nobody reads, reported again by a driver that reports queued bytes).
    std::atomic<bool> RxNothingNew{false};
    std::atomic<DWORD> DispatchThread{0};  // thread running a dispatch body now
    std::atomic<DWORD> MsgThreadId{0};
    std::uint8_t* Buffer = nullptr;
    std::uint32_t BufferSize = 0;
    OVERLAPPED OvlRead{};  // reads of the dispatch, apart from the application's Read
};

// The record of one driver wait. The driver writes the mask and the record
// when the wait ends, so they live on the heap and stay reserved until then.
struct TWaitSlot {
    OVERLAPPED ovl{};
    DWORD mask = 0;
};

}  // namespace detail

// The event-wait thread: waits for driver events and posts them to the
// message thread. Frees itself.
class TCommThread : public fw::TThread {
public:
    explicit TCommThread(TnrCustomComm* AOwner);
    // Asks the thread to stop and releases it from its wait.
    void Terminate();

protected:
    void Execute() override;

private:
    enum class TEnd { Event, Empty, Pending, Failed, Stopped };
    struct TOutcome {
        TEnd End;
        DWORD Value;  // the mask of an event, the error of a failure
    };
    TOutcome StartWait();
    TOutcome AwaitPending();
    // Whether a signalled wait has (or is taken to have) its status; false on stop.
    bool StatusLanded();
    // Acts on a finished wait; false when the thread is to end.
    bool Settle(TOutcome o);
    // The error of a device that went away without failing its waits; 0 while it is there.
    DWORD QuietDeviceError();
    // Hands a port failure to the dispatch thread; false (the thread ends).
    bool Fail(DWORD Error);
    bool Post(WPARAM w, detail::TCommNote note);
    bool Pause(DWORD ms);
    void ReleaseSlot();
    void TellFirstWait();

    TnrCustomComm* Com;
    HANDLE hDevice;
    std::shared_ptr<detail::TCommLink> fLink;
    detail::TWaitSlot* fSlot = nullptr;
    bool fPending = false;
    DWORD fQuietRun = 0;     // waits in a row that brought nothing
    bool fRxJudged = false;  // the dispatch tells whether the last receive event was new
    bool fToldFirstWait = false;
    DWORD fLastCheck = 0;
};

// The message thread: hands each driver event to the dispatch, on the
// user-interface thread when the engine asks for it. Frees itself.
class TMsgThread : public fw::TThread {
public:
    explicit TMsgThread(TnrCustomComm* AOwner);
    void Terminate();

protected:
    void Execute() override;

private:
    bool NextMessage();
    void RunOnDispatchThread();
    void DispatchBody();
    TnrCustomComm* Com;
    MSG glMsg{};
    bool fWatchWrite = false;
    std::shared_ptr<detail::TCommLink> fLink;
};

}  // namespace nr
