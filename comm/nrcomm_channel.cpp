// The port channel: what an open port has (the handle, the receive buffer
// and gate, the SendData block and the bytes queued behind it, the stop and
// idle signals) and the event-wait and message threads that serve it.
#include "nrcomm_channel.h"

#include <algorithm>
#include <new>

#include "../framework/forms.h"
#include "nrsysutils.h"

namespace nr {

namespace {

// Waits that bring nothing (a driver that ends idle waits by itself, or
// reports bytes nobody reads over and over): after this many in a row the
// next wait starts later, by one more millisecond each time, up to kQuietMaxMs.
// A driver that keeps a wait pending until something happens never gets here.
constexpr DWORD kQuietFree = 8;
constexpr DWORD kQuietMaxMs = 30;
// How long a wait whose event is set may take to show its status.
constexpr DWORD kLateStatusMs = 50;
// How often such waits may ask whether the device is still there.
constexpr DWORD kDeviceCheckMs = 100;
// Some drivers (Wine's) take the lines as they are when a wait starts: a
// change before the first wait would pass unseen. Bounded, should the thread
// never run.
constexpr DWORD kFirstWaitMs = 1000;

}  // namespace

namespace detail {

TPortChannel::TPortChannel(HANDLE Device, TChannelSink* Sink) : fSink(Sink), hDevice(Device) {
    hStop = Win32.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    hIdle = Win32.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    hFirstWait = Win32.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    fOvlRead.hEvent = Win32.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    fOvlWrite.hEvent = Win32.CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

TPortChannel::~TPortChannel() {
    Close();
    // The component waits for a block in flight when it closes the port; the
    // record and the block stay the driver's until it lets go of them.
    if (fState != TSendState::Idle) AwaitOverlappedEnd(fOvlWrite, INFINITE);
    if (fBuffer) Win32.LocalFree(fBuffer);
    for (HANDLE h : {hStop, hIdle, hFirstWait, fOvlRead.hEvent, fOvlWrite.hEvent})
        if (h) Win32.CloseHandle(h);
}

void TPortChannel::Close() {
    if (!fClosed.exchange(true)) Win32.CloseHandle(hDevice);
}

void TPortChannel::AllocBuffer(std::uint32_t Size) {
    if (fBuffer) Win32.LocalFree(fBuffer);
    fBuffer = static_cast<std::uint8_t*>(Win32.LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, Size));
    fBufferSize = fBuffer ? Size : 0;
}

// ---- the component's use of the port

BOOL TPortChannel::SetState(const DCB& Dcb) {
    DCB d = Dcb;
    return Win32.SetCommState(hDevice, &d);
}

BOOL TPortChannel::GetState(DCB& Dcb) { return Win32.GetCommState(hDevice, &Dcb); }

BOOL TPortChannel::GetConfig(COMMCONFIG& Config) {
    DWORD size = Config.dwSize;
    return Win32.GetCommConfig(hDevice, &Config, &size);
}

BOOL TPortChannel::SetTimeouts(const COMMTIMEOUTS& Timeouts) {
    COMMTIMEOUTS t = Timeouts;
    return Win32.SetCommTimeouts(hDevice, &t);
}

BOOL TPortChannel::GetTimeouts(COMMTIMEOUTS& Timeouts) { return Win32.GetCommTimeouts(hDevice, &Timeouts); }
BOOL TPortChannel::SetQueues(DWORD In, DWORD Out) { return Win32.SetupComm(hDevice, In, Out); }
BOOL TPortChannel::Properties(COMMPROP& Prop) { return Win32.GetCommProperties(hDevice, &Prop); }
BOOL TPortChannel::Status(DWORD& Errors, COMSTAT* Stat) { return Win32.ClearCommError(hDevice, &Errors, Stat); }
BOOL TPortChannel::SetEventMask(DWORD Mask) { return Win32.SetCommMask(hDevice, Mask); }
BOOL TPortChannel::ModemStatus(DWORD& Status) { return Win32.GetCommModemStatus(hDevice, &Status); }
BOOL TPortChannel::Escape(DWORD Function) { return Win32.EscapeCommFunction(hDevice, Function); }
BOOL TPortChannel::Purge(DWORD Flags) { return Win32.PurgeComm(hDevice, Flags); }
BOOL TPortChannel::TransmitChar(char Ch) { return Win32.TransmitCommChar(hDevice, Ch); }
void TPortChannel::CancelPending() { CallCancelIo(hDevice); }
void TPortChannel::Flush() { Win32.FlushFileBuffers(hDevice); }

bool TPortChannel::Write(const void* Data, DWORD N, OVERLAPPED& Ovl, DWORD* Done) {
    return WriteWait(hDevice, Data, N, Ovl, Done);
}

bool TPortChannel::Read(void* Buffer, DWORD N, OVERLAPPED& Ovl, DWORD* Done) {
    return ReadWait(hDevice, Buffer, N, Ovl, Done);
}

// ---- the worker threads

void TPortChannel::AwaitFirstWait() { Win32.WaitForSingleObject(hFirstWait, kFirstWaitMs); }

bool TPortChannel::Stop() {
    bool busy;
    {
        TSlimGuard g(fLock);
        fStopped = true;
        busy = fBusy;
    }
    WakeAllConditionVariable(&fGateOpened);
    Win32.SetEvent(hStop);
    if (const DWORD id = fMsgThreadId) Win32.PostThreadMessageW(id, nrCommMsgQuitComEvent, 0, 0);
    return busy;
}

void TPortChannel::WaitDispatchIdle() {
    const DWORD self = Win32.GetCurrentThreadId();
    // Called from inside the dispatch (a handler closing the port): it
    // checks the channel after every handler and goes no further.
    if (fDispatchThread == self || fMsgThreadId == self) return;
    if (self != fw::MainThreadID()) {
        Win32.WaitForSingleObject(hIdle, INFINITE);
        return;
    }
    // The message thread may be waiting for us in Synchronize, or its handler
    // may be sending us a message: keep serving both.
    for (;;) {
        const DWORD w = fw::MainThreadWait(1, &hIdle, INFINITE, QS_SENDMESSAGE);
        if (w == WAIT_OBJECT_0 || w == WAIT_FAILED) return;
        if (w == WAIT_OBJECT_0 + 2) {
            MSG m;
            Win32.PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        }
    }
}

// ---- receiving

DWORD TPortChannel::ReadQueued(std::uint32_t N) {
    DWORD got = 0;
    if (!fBuffer || !ReadWait(hDevice, fBuffer, std::min(N, fBufferSize), fOvlRead, &got)) return 0;
    return got;
}

bool TPortChannel::AwaitReceiveGate() {
    TSlimGuard g(fLock);
    while (fRxOutstanding && !fStopped) SleepConditionVariableSRW(&fGateOpened, &fLock, INFINITE, 0);
    return !fStopped;
}

void TPortChannel::ReceiveDone(bool Judged, bool News) {
    if (Judged) fRxNothingNew = !News;
    {
        TSlimGuard g(fLock);
        fRxOutstanding = false;
    }
    WakeAllConditionVariable(&fGateOpened);
}

// ---- SendData

TPortChannel::TSendState TPortChannel::SendState() {
    TSlimGuard g(fSendLock);
    return fState;
}

TSendErrors TPortChannel::SendData(const std::uint8_t* Data, std::uint32_t N, TCounter& Sent) {
    TSlimGuard g(fSendLock);
    return SendLocked(Data, N, Sent);
}

bool TPortChannel::SendBehindQueue(const std::uint8_t* Data, std::uint32_t N, TCounter& Sent, TSendErrors& Errors) {
    TSlimGuard g(fSendLock);
    // Bytes queued behind a block in flight go first: these go after them.
    if (fQueue.empty()) return false;
    Errors = SendLocked(Data, N, Sent);
    return true;
}

TSendErrors TPortChannel::SendLocked(const std::uint8_t* Data, std::uint32_t N, TCounter& Sent) {
    TSendErrors e;
    const bool idle = BlockEndedLocked(Sent, e.Ended);
    e.Refused = QueueLocked(Data, N, !idle);
    if (idle && !fQueue.empty()) e.Failed = StartQueuedLocked(Sent);
    return e;
}

bool TPortChannel::SettleEnded(TCounter& Sent, DWORD& Error) {
    TSlimGuard g(fSendLock);
    return BlockEndedLocked(Sent, Error) && !fQueue.empty();
}

bool TPortChannel::BlockEndedLocked(TCounter& Sent, DWORD& Error) {
    if (fState == TSendState::Idle) return true;
    if (!OverlappedEnded(fOvlWrite)) return false;
    fState = TSendState::Idle;
    const auto asked = static_cast<std::uint32_t>(fBlock.size());
    // The outcome is in the record itself; the handle may be closed by now.
    const auto written = static_cast<std::uint32_t>(fOvlWrite.InternalHigh);
    const bool failed = fOvlWrite.Internal != 0;  // NTSTATUS of the write
    if (!failed && written >= asked) return true;
    Sent -= asked - std::min(written, asked);
    // What was queued behind a block that did not go out whole would reach
    // the peer after a gap: it is dropped with the failure report.
    fQueue.clear();
    DWORD n = 0;
    if (!failed || Win32.GetOverlappedResult(hDevice, &fOvlWrite, &n, FALSE)) {
        Error = ERROR_TIMEOUT;
    } else {
        const DWORD err = Win32.GetLastError();
        Error = err ? err : ERROR_GEN_FAILURE;
    }
    return true;
}

DWORD TPortChannel::QueueLocked(const std::uint8_t* Data, std::uint32_t N, bool InFlight) {
    const std::size_t need = fQueue.size() + N;
    if (InFlight && need > TnrCustomComm::kSendQueueLimit) return ERROR_BUSY;
    try {
        // Doubling keeps appends linear; stopping at the limit keeps a full
        // queue from holding twice the memory it needs.
        if (need > fQueue.capacity())
            fQueue.reserve(std::max<std::size_t>(
                need, std::min<std::size_t>(2 * fQueue.capacity(), TnrCustomComm::kSendQueueLimit)));
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    fQueue.insert(fQueue.end(), Data, Data + N);
    if (InFlight && !fQueue.empty()) fState = TSendState::WritingQueued;
    return 0;
}

DWORD TPortChannel::StartQueuedLocked(TCounter& Sent) {
    // Swapped, not copied: the block stays put for the driver, and the
    // queue keeps the old block's storage for what comes next.
    fBlock.swap(fQueue);
    fQueue.clear();
    const auto len = static_cast<DWORD>(fBlock.size());
    DWORD written = 0;
    bool pending = false;
    if (!WriteNoWait(hDevice, fBlock.data(), len, fOvlWrite, &written, &pending)) return Win32.GetLastError();
    if (pending) {
        fState = TSendState::Writing;
        Sent += len;  // taken back for what never goes out
        WatchWrite();
        return 0;
    }
    Sent += written;
    return written < len ? ERROR_TIMEOUT : 0;
}

void TPortChannel::WatchWrite() {
    // The message thread watches for the end of the write and reports it then.
    if (fStopped) return;
    fWatchWrite = true;
    Win32.PostThreadMessageW(fMsgThreadId, nrCommMsgComEvent, 0, cnWriteStarted);
}

std::uint32_t TPortChannel::QueuedBytes() {
    TSlimGuard g(fSendLock);
    return static_cast<std::uint32_t>(fQueue.size());
}

void TPortChannel::DropQueue() {
    TSlimGuard g(fSendLock);
    fQueue.clear();
    if (fState == TSendState::WritingQueued) fState = TSendState::Writing;
}

void TPortChannel::AbortWrite(DWORD WaitMs, TCounter& Sent) {
    if (SendState() == TSendState::Idle) return;
    Win32.PurgeComm(hDevice, PURGE_TXABORT);
    FinishWrite(WaitMs, Sent);
}

DWORD TPortChannel::FinishWrite(DWORD WaitMs, TCounter& Sent) {
    if (SendState() == TSendState::Idle || !AwaitOverlappedEnd(fOvlWrite, WaitMs)) return 0;  // still the driver's
    TSlimGuard g(fSendLock);
    DWORD error = 0;
    BlockEndedLocked(Sent, error);
    return error;
}

// ---- the worker threads' side

void TPortChannel::FirstWaitIssued() { Win32.SetEvent(hFirstWait); }

bool TPortChannel::StartWait(TWaitSlot& Slot, bool& Done, DWORD& Error) {
    TSlimGuard g(fLock);
    if (fStopped) return false;
    // The driver resets the event when the wait starts.
    ResetOverlapped(Slot.ovl);
    Slot.mask = 0;
    Done = Win32.WaitCommEvent(hDevice, &Slot.mask, &Slot.ovl);
    Error = Done ? 0 : Win32.GetLastError();
    return true;
}

DWORD TPortChannel::StateQueryError() {
    TSlimGuard g(fLock);
    if (fStopped) return 0;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (Win32.GetCommState(hDevice, &dcb)) return 0;
    const DWORD err = Win32.GetLastError();
    return err ? err : ERROR_GEN_FAILURE;
}

TPortChannel::TPost TPortChannel::Post(WPARAM w, TCommNote Note) {
    const bool rx = Note == cnEvent && (w & EV_RXCHAR);
    TSlimGuard g(fLock);
    if (fStopped) return TPost::Stopped;
    if (rx) fRxOutstanding = true;
    if (Win32.PostThreadMessageW(fMsgThreadId, nrCommMsgComEvent, w, Note)) return TPost::Posted;
    if (rx) fRxOutstanding = false;
    return TPost::Retry;
}

void TPortChannel::HandOver(const MSG& Msg) {
    {
        TSlimGuard g(fLock);
        if (fStopped) return;
        // From here until fBusy is cleared a closer waits for us, so the component stays valid.
        fBusy = true;
    }
    // Captures one pointer only: std::function keeps it without a heap block.
    const struct {
        TPortChannel* Channel;
        const MSG* Msg;
    } call{this, &Msg};
    auto body = [&call] { call.Channel->Dispatch(*call.Msg); };
    // Dispatch lets nothing out; a failing hand-over itself ends here.
    Dropping([&] {
        if (fw::Application && fSink->ChannelOnMainThread())
            fw::TThread::Synchronize(body);
        else
            body();
    });
    bool stopped;
    {
        TSlimGuard g(fLock);
        fBusy = false;
        stopped = fStopped;
    }
    if (stopped) Win32.SetEvent(hIdle);
}

void TPortChannel::Dispatch(const MSG& Msg) {
    // Run later on the user-interface thread: the port may be closed by now.
    if (fStopped) return;
    fDispatchThread = Win32.GetCurrentThreadId();
    try {
        switch (Msg.lParam) {
            case cnPortFailed: fSink->ChannelFailed(static_cast<DWORD>(Msg.wParam)); break;
            case cnWriteStarted: fSink->ChannelWriteEnded(); break;
            default: fSink->ChannelEvent(Msg);
        }
    } catch (...) {
        // Nothing leaves a dispatch; a handler's exception is reported.
        if (fSinkAlive) fSink->ChannelHandlerFailed();
    }
    fDispatchThread = 0;
}

}  // namespace detail

// ---- the event-wait thread

TCommThread::TCommThread(std::shared_ptr<detail::TPortChannel> Channel)
    : fw::TThread(true), fChannel(std::move(Channel)) {
    SetFreeOnTerminate(true);
    Start();
}

void TCommThread::Terminate() {
    fw::TThread::Terminate();
    if (fChannel) Win32.SetEvent(fChannel->StopEvent());
}

void TCommThread::Execute() {
    if (!fChannel) return;
    if (fChannel->Device() == INVALID_HANDLE_VALUE) {
        TellFirstWait();
        return;
    }
    fSlot = new (std::nothrow) detail::TWaitSlot;
    if (fSlot) fSlot->ovl.hEvent = Win32.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!fSlot || !fSlot->ovl.hEvent) {
        TellFirstWait();
        Post(ERROR_NOT_ENOUGH_MEMORY, detail::cnPortFailed);
        ReleaseSlot();
        return;
    }
    fLastCheck = Win32.GetTickCount() - kDeviceCheckMs;
    for (;;) {
        if (!fChannel->AwaitReceiveGate()) break;
        // Whether the receive event just dispatched brought anything.
        if (fRxJudged) fQuietRun = fChannel->TakeNothingNew() ? fQuietRun + 1 : 0;
        fRxJudged = false;
        if (fQuietRun > kQuietFree && !Pause(std::min(fQuietRun - kQuietFree, kQuietMaxMs))) break;
        TOutcome o = StartWait();
        TellFirstWait();
        if (o.End == TEnd::Pending) o = AwaitPending();
        if (!Settle(o)) break;
    }
    TellFirstWait();  // stopped before it
    ReleaseSlot();
}

void TCommThread::TellFirstWait() {
    if (fToldFirstWait) return;
    fToldFirstWait = true;
    fChannel->FirstWaitIssued();
}

TCommThread::TOutcome TCommThread::StartWait() {
    bool done = false;
    DWORD err = 0;
    if (Terminated() || !fChannel->StartWait(*fSlot, done, err)) return {TEnd::Stopped, 0};
    if (done) return {fSlot->mask ? TEnd::Event : TEnd::Empty, fSlot->mask};
    if (err == ERROR_IO_PENDING) {
        fPending = true;
        return {TEnd::Pending, 0};
    }
    if (err == ERROR_INVALID_PARAMETER && fSlot->mask == 0) return {TEnd::Empty, 0};
    return {TEnd::Failed, err};
}

TCommThread::TOutcome TCommThread::AwaitPending() {
    HANDLE hs[2] = {fSlot->ovl.hEvent, fChannel->StopEvent()};
    if (Win32.WaitForMultipleObjects(2, hs, FALSE, INFINITE) != WAIT_OBJECT_0 || !StatusLanded()) {
        Win32.OutputDebugStringW(L"BREAK ...");
        return {TEnd::Stopped, 0};
    }
    fPending = false;
    // The mask is written before the event is set, status or not.
    if (!HasOverlappedIoCompleted(&fSlot->ovl)) return {fSlot->mask ? TEnd::Event : TEnd::Empty, fSlot->mask};
    DWORD n = 0;
    // A wait that ends without success (the mask was reset, or the device is
    // going away) is empty; whether the device is still there is asked apart.
    if (!Win32.GetOverlappedResult(fChannel->Device(), &fSlot->ovl, &n, FALSE)) return {TEnd::Empty, 0};
    return {fSlot->mask ? TEnd::Event : TEnd::Empty, fSlot->mask};
}

bool TCommThread::StatusLanded() {
    if (HasOverlappedIoCompleted(&fSlot->ovl)) return true;
    // Signalled with its status still pending. Wine now and then writes the
    // mask and sets the event of a wait whose status it never writes: a
    // moment for a late status, then the wait counts as ended with its mask
    // (the driver has let go of it: the next wait is taken). False on stop.
    if (Win32.WaitForSingleObject(fChannel->StopEvent(), kLateStatusMs) != WAIT_TIMEOUT) return false;
    Win32.ResetEvent(fSlot->ovl.hEvent);
    return true;
}

bool TCommThread::Settle(TOutcome o) {
    switch (o.End) {
        case TEnd::Event:
            // Bytes nobody reads are reported again by some drivers: the
            // dispatch tells whether they were new.
            fRxJudged = o.Value == EV_RXCHAR;
            if (!fRxJudged) fQuietRun = 0;
            return Post(o.Value, detail::cnEvent);
        case TEnd::Empty:
            if (const DWORD err = QuietDeviceError()) return Fail(err);
            ++fQuietRun;
            return true;
        case TEnd::Failed: return Fail(o.Value);
        default: return false;
    }
}

bool TCommThread::Fail(DWORD Error) {
    Win32.OutputDebugStringW(L"111 ...");
    // The port is closed by the thread that runs the dispatch, so no
    // dispatch is using it meanwhile.
    Post(Error, detail::cnPortFailed);
    return false;
}

DWORD TCommThread::QuietDeviceError() {
    // Some drivers (Wine's, on a pty whose other end died) keep ending waits
    // empty instead of failing them; then the state query fails. Asked at
    // most every kDeviceCheckMs, since such drivers also end idle waits so.
    const DWORD now = Win32.GetTickCount();
    if (now - fLastCheck < kDeviceCheckMs) return 0;
    fLastCheck = now;
    return fChannel->StateQueryError();
}

bool TCommThread::Post(WPARAM w, detail::TCommNote note) {
    for (;;) {
        const auto posted = fChannel->Post(w, note);
        if (posted != detail::TPortChannel::TPost::Retry) return posted == detail::TPortChannel::TPost::Posted;
        if (Terminated()) return false;
        Win32.Sleep(1);  // the message thread has no queue yet, or it is full
    }
}

bool TCommThread::Pause(DWORD ms) {
    return Win32.WaitForSingleObject(fChannel->StopEvent(), ms) == WAIT_TIMEOUT && !Terminated();
}

void TCommThread::ReleaseSlot() {
    if (!fSlot) return;
    // A wait still with the driver is ended by the close (its event set, its
    // status written, or never written, see StatusLanded); one that never
    // ends keeps the record, its mask and its event.
    if (fPending && Win32.WaitForSingleObject(fSlot->ovl.hEvent, 5000) != WAIT_OBJECT_0) return;
    if (fPending && !HasOverlappedIoCompleted(&fSlot->ovl)) Win32.Sleep(kLateStatusMs);
    if (fSlot->ovl.hEvent) Win32.CloseHandle(fSlot->ovl.hEvent);
    delete fSlot;
    fSlot = nullptr;
}

// ---- the message thread

TMsgThread::TMsgThread(std::shared_ptr<detail::TPortChannel> Channel)
    : fw::TThread(true), fChannel(std::move(Channel)) {
    if (fChannel) fChannel->SetMessageThread(ThreadID());
    SetFreeOnTerminate(true);
    Start();
}

void TMsgThread::Terminate() {
    fw::TThread::Terminate();
    Win32.PostThreadMessageW(ThreadID(), nrCommMsgQuitComEvent, 0, 0);
}

void TMsgThread::Execute() {
    if (!fChannel) return;
    // Make the queue now, so the first post finds it. A quit message posted
    // before it existed is lost, but the stop flag was set before it.
    Win32.PeekMessageW(&glMsg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    while (!Terminated() && !fChannel->Stopped()) {
        if (fChannel->TakeWatchWrite()) fWatchWrite = true;
        if (!NextMessage()) return;
        if (fChannel->Stopped() || Terminated()) return;
        if (glMsg.message == nrCommMsgQuitComEvent) return;
        if (glMsg.hwnd || glMsg.message != nrCommMsgComEvent)
            Win32.DispatchMessageW(&glMsg);
        else if (glMsg.lParam != detail::cnWriteStarted)  // that one only wakes us
            fChannel->HandOver(glMsg);
    }
}

bool TMsgThread::NextMessage() {
    if (!fWatchWrite) return Win32.GetMessageW(&glMsg, nullptr, 0xC000, 0xFFFF) > 0;
    // A SendData write is pending: its end is an event too.
    for (;;) {
        if (Win32.PeekMessageW(&glMsg, nullptr, 0xC000, 0xFFFF, PM_REMOVE)) return glMsg.message != WM_QUIT;
        const HANDLE written = fChannel->WriteEvent();
        const DWORD w = Win32.MsgWaitForMultipleObjects(1, &written, FALSE, INFINITE, QS_POSTMESSAGE);
        if (w == WAIT_OBJECT_0) {
            fWatchWrite = false;
            glMsg = MSG{};
            glMsg.message = nrCommMsgComEvent;
            glMsg.lParam = detail::cnWriteStarted;  // the started write has ended
            fChannel->HandOver(glMsg);
            if (fChannel->Stopped()) return false;
            continue;
        }
        if (w != WAIT_OBJECT_0 + 1) return false;
    }
}

}  // namespace nr
