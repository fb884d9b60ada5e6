// Internal to the engine: everything an open port has, and its two worker
// threads. The component holds the channel while the port is open; the
// threads hold it until they end.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "../framework/threads.h"
#include "nrcomm.h"

namespace nr::detail {

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
    cnWriteStarted = 2,  // SendData left a write pending: watch for its end
};

using TCounter = std::atomic<std::uint32_t>;

// What a send left to report, each 0 or a Win32 error.
struct TSendErrors {
    DWORD Ended = 0;    // the block that ended meanwhile
    DWORD Refused = 0;  // the bytes were not taken
    DWORD Failed = 0;   // the write of the bytes failed to start
};

// The record of one driver wait. The driver writes the mask and the record
// when the wait ends, so they live on the heap and stay reserved until then.
struct TWaitSlot {
    OVERLAPPED ovl{};
    DWORD mask = 0;
};

class TPortChannel {
public:
    // Owns Device from here on: Close, or the last holder, closes it.
    TPortChannel(HANDLE Device, TChannelSink* Sink);
    ~TPortChannel();
    TPortChannel(const TPortChannel&) = delete;
    TPortChannel& operator=(const TPortChannel&) = delete;

    HANDLE Device() const { return hDevice; }
    // Closes the handle, once; it must not be used from then on.
    void Close();
    // The receive buffer; its memory goes with the channel, so a dispatch
    // still reading into it keeps it alive.
    void AllocBuffer(std::uint32_t Size);

    // ---- the component's use of the port: each the driver's answer, its
    // error left as the last error
    BOOL SetState(const DCB& Dcb);
    BOOL GetState(DCB& Dcb);
    BOOL GetConfig(COMMCONFIG& Config);
    BOOL SetTimeouts(const COMMTIMEOUTS& Timeouts);
    BOOL GetTimeouts(COMMTIMEOUTS& Timeouts);
    BOOL SetQueues(DWORD In, DWORD Out);
    BOOL Properties(COMMPROP& Prop);
    BOOL Status(DWORD& Errors, COMSTAT* Stat);
    BOOL SetEventMask(DWORD Mask);
    BOOL ModemStatus(DWORD& Status);
    BOOL Escape(DWORD Function);
    BOOL Purge(DWORD Flags);
    BOOL TransmitChar(char Ch);
    void CancelPending();
    void Flush();
    // The application's own reads and writes, on its own records.
    bool Write(const void* Data, DWORD N, OVERLAPPED& Ovl, DWORD* Done);
    bool Read(void* Buffer, DWORD N, OVERLAPPED& Ovl, DWORD* Done);
    // Returns once the event-wait thread's first wait is issued (or it ended).
    void AwaitFirstWait();
    // Tells both threads to stop; from then on nobody touches the handle or
    // the component through this channel. True when a dispatch is under way.
    bool Stop();
    bool Stopped() const { return fStopped; }
    // The component is going away: nothing is reported to it any more.
    void Orphan() { fSinkAlive = false; }
    bool SinkAlive() const { return fSinkAlive; }
    // Waits until no dispatch runs on another thread (serving Synchronize
    // meanwhile when called on the main thread).
    void WaitDispatchIdle();

    // ---- the dispatch's side of receiving
    std::uint8_t* Buffer() const { return fBuffer; }
    std::uint32_t BufferSize() const { return fBufferSize; }
    // Reads up to N queued bytes into the buffer; the count, 0 on failure.
    DWORD ReadQueued(std::uint32_t N);
    // The dispatch is done with a receive event: the event-wait thread may
    // wait again. Judged: News tells whether the event brought anything new
    // (a driver that reports queued bytes again and again is paced).
    void ReceiveDone(bool Judged, bool News);

    // ---- SendData: one block in flight, what comes meanwhile queued behind it
    enum class TSendState { Idle, Writing, WritingQueued };
    TSendState SendState();
    // Queues the bytes behind a block in flight, or starts them when none is.
    TSendErrors SendData(const std::uint8_t* Data, std::uint32_t N, TCounter& Sent);
    // Queues the bytes behind bytes waiting to go; false when none wait.
    bool SendBehindQueue(const std::uint8_t* Data, std::uint32_t N, TCounter& Sent, TSendErrors& Errors);
    // The block in flight ended: settles it and, after BeforeNext, starts what queued behind it.
    template <class F> TSendErrors WriteEnded(TCounter& Sent, F BeforeNext) {
        TSendErrors e;
        if (!SettleEnded(Sent, e.Ended)) return e;
        BeforeNext();
        TSlimGuard g(fSendLock);
        if (fState == TSendState::Idle && !fQueue.empty()) e.Failed = StartQueuedLocked(Sent);
        return e;
    }
    // Bytes queued behind the block in flight.
    std::uint32_t QueuedBytes();
    void DropQueue();
    // Aborts the block in flight and waits up to WaitMs for the driver to let go of it.
    void AbortWrite(DWORD WaitMs, TCounter& Sent);
    // Waits up to WaitMs for the block in flight to end and settles it; its error.
    DWORD FinishWrite(DWORD WaitMs, TCounter& Sent);

    // ---- for the event-wait thread
    HANDLE StopEvent() const { return hStop; }
    void FirstWaitIssued();
    // Before a new wait: blocks while a receive event is with the dispatch
    // (a new wait would only report the same bytes again on drivers that
    // report queued bytes rather than arrivals). False once stopped.
    bool AwaitReceiveGate();
    // Whether the receive event dispatched last brought nothing new; asked once.
    bool TakeNothingNew() { return fRxNothingNew.exchange(false); }
    // Issues a driver wait into Slot. The handle is used only while the port
    // has not been told to stop: after that it may be closed, or reused by a
    // new open. False when stopped; else Done is WaitCommEvent's result and
    // Error its last error.
    bool StartWait(TWaitSlot& Slot, bool& Done, DWORD& Error);
    // The error of the driver's state query; 0 while it answers, or once stopped.
    DWORD StateQueryError();
    enum class TPost { Posted, Stopped, Retry };
    // Posts a note to the message thread; Retry when it has no queue yet, or it is full.
    TPost Post(WPARAM w, TCommNote Note);

    // ---- for the message thread
    void SetMessageThread(DWORD Id) { fMsgThreadId = Id; }
    // Whether a SendData block started since last asked: its end is then watched.
    bool TakeWatchWrite() { return fWatchWrite.exchange(false) && fOvlWrite.hEvent; }
    HANDLE WriteEvent() const { return fOvlWrite.hEvent; }
    // Hands a note to the component, on the user-interface thread when it
    // asks for it; a closer waits meanwhile.
    void HandOver(const MSG& Msg);

private:
    void Dispatch(const MSG& Msg);

    // Under fSendLock. Settles a block whose write ended (its failure in
    // Error); false while it is still in flight.
    bool BlockEndedLocked(TCounter& Sent, DWORD& Error);
    // Settles an ended block; true when bytes queued behind it wait to start.
    bool SettleEnded(TCounter& Sent, DWORD& Error);
    TSendErrors SendLocked(const std::uint8_t* Data, std::uint32_t N, TCounter& Sent);
    // Appends to the queue; 0, or why the bytes were not taken.
    DWORD QueueLocked(const std::uint8_t* Data, std::uint32_t N, bool InFlight);
    DWORD StartQueuedLocked(TCounter& Sent);
    // Has the message thread watch for the end of the block just started.
    void WatchWrite();

    // Guards fStopped against the event-wait thread's use of the handle and
    // its posts, fBusy against the closer, and the receive gate.
    SRWLOCK fLock = SRWLOCK_INIT;
    CONDITION_VARIABLE fGateOpened = CONDITION_VARIABLE_INIT;
    std::atomic<bool> fStopped{false};
    std::atomic<bool> fSinkAlive{true};
    std::atomic<bool> fClosed{false};
    TChannelSink* const fSink;
    const HANDLE hDevice;
    HANDLE hStop = nullptr;       // manual reset; set by Stop
    HANDLE hIdle = nullptr;       // manual reset; set when a dispatch ends after Stop
    HANDLE hFirstWait = nullptr;  // manual reset; set when the first wait is issued, or none will be
    bool fBusy = false;           // the message thread is handing an event over
    bool fRxOutstanding = false;  // a receive event is on its way to the dispatch
    // Set by a receive dispatch that found nothing new in the queue (bytes
    // nobody reads, reported again by a driver that reports queued bytes).
    std::atomic<bool> fRxNothingNew{false};
    std::atomic<DWORD> fDispatchThread{0};  // thread running a dispatch body now
    std::atomic<DWORD> fMsgThreadId{0};
    std::uint8_t* fBuffer = nullptr;
    std::uint32_t fBufferSize = 0;
    OVERLAPPED fOvlRead{};  // reads of the dispatch, apart from the application's Read

    SRWLOCK fSendLock = SRWLOCK_INIT;
    // Idle carries queued bytes only between the end of a block and the
    // start of what queued behind it.
    TSendState fState = TSendState::Idle;
    // The block the driver is writing; it stays put until the write completes.
    std::vector<std::uint8_t> fBlock;
    std::vector<std::uint8_t> fQueue;  // taken while a block is in flight
    // Its own event: waiting on the port handle would also wake on the
    // completion of any other read or write.
    OVERLAPPED fOvlWrite{};
    // Set with a cnWriteStarted post, which may come before the message
    // thread has a queue: the thread looks at the flag after every message.
    std::atomic<bool> fWatchWrite{false};
};

}  // namespace nr::detail

namespace nr {

// The event-wait thread: waits for driver events and posts them to the
// message thread. Frees itself.
class TCommThread : public fw::TThread {
public:
    explicit TCommThread(std::shared_ptr<detail::TPortChannel> Channel);
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

    std::shared_ptr<detail::TPortChannel> fChannel;
    detail::TWaitSlot* fSlot = nullptr;
    bool fPending = false;
    DWORD fQuietRun = 0;     // waits in a row that brought nothing
    bool fRxJudged = false;  // the dispatch tells whether the last receive event was new
    bool fToldFirstWait = false;
    DWORD fLastCheck = 0;
};

// The message thread: hands each driver event to the dispatch, on the
// user-interface thread when the component asks for it. Frees itself.
class TMsgThread : public fw::TThread {
public:
    explicit TMsgThread(std::shared_ptr<detail::TPortChannel> Channel);
    void Terminate();

protected:
    void Execute() override;

private:
    bool NextMessage();
    MSG glMsg{};
    bool fWatchWrite = false;
    std::shared_ptr<detail::TPortChannel> fChannel;
};

}  // namespace nr
