// The port engine's receive side: the driver event mask, the event-wait and
// message threads, and the dispatch of driver events.
#include <algorithm>
#include <cstring>
#include <new>

#include "../framework/forms.h"
#include "nrcomm.h"
#include "nrcomm_link.h"
#include "nrsysutils.h"

namespace nr {

UINT nrCommMsgComEvent = Win32.RegisterWindowMessageW(L"nrCommMsgComEvent");
UINT nrCommMsgQuitComEvent = Win32.RegisterWindowMessageW(L"nrCommMsgQuitComEvent");

namespace {

struct TMaskBit {
    TTraceState State;
    DWORD Bit;
};

// The line events and their EV_* bits (EV_RXCHAR and EV_TXEMPTY are handled apart).
constexpr TMaskBit kLineEvents[] = {
    {tsRxFlag, EV_RXFLAG}, {tsCTS, EV_CTS},   {tsDSR, EV_DSR},           {tsRLSD, EV_RLSD},     {tsBreak, EV_BREAK},
    {tsErr, EV_ERR},       {tsRing, EV_RING}, {tsRx80Full, EV_RX80FULL}, {tsEvent1, EV_EVENT1}, {tsEvent2, EV_EVENT2},
};

TComStateFlags StateFlagsOf(const COMSTAT& s) {
    DWORD bits;
    std::memcpy(&bits, &s, sizeof bits);
    return TComStateFlags::FromBits(static_cast<std::uint8_t>(bits & 0x7F));
}

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
// One dispatch reads on while bytes keep coming, up to kDispatchReadCap, so a
// stream is not handed over a driver's chunk at a time and the user-interface
// thread still gets its turn. Only a large read is followed by another look:
// a few bytes rarely have more right behind them.
constexpr std::uint32_t kDispatchReadCap = 256 * 1024;
constexpr DWORD kReadOnAfter = 1024;

}  // namespace

DWORD TraceStatesToEventMask(TTraceStates Value, bool EmulateRS485) {
    DWORD m = EV_RXCHAR;
    if (Value.Contains(tsTxEmpty) || EmulateRS485) m |= EV_TXEMPTY;
    for (const auto& e : kLineEvents)
        if (Value.Contains(e.State)) m |= e.Bit;
    return m;
}

TTraceStates EventMaskToTraceStates(DWORD Mask) {
    TTraceStates s;
    for (const auto& e : kLineEvents)
        if (Mask & e.Bit) s.Include(e.State);
    return s;
}

namespace detail {

TCommLink::TCommLink(TnrCustomComm* com, HANDLE device, HANDLE writeEvent, std::uint32_t bufferSize)
    : Com(com), hDevice(device) {
    hStop = Win32.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    hIdle = Win32.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    hFirstWait = Win32.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OvlRead.hEvent = Win32.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE self = Win32.GetCurrentProcess();
    if (writeEvent && !Win32.DuplicateHandle(self, writeEvent, self, &hWriteDone, 0, FALSE, DUPLICATE_SAME_ACCESS))
        hWriteDone = nullptr;
    Buffer = static_cast<std::uint8_t*>(Win32.LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, bufferSize));
    BufferSize = Buffer ? bufferSize : 0;
}

TCommLink::~TCommLink() {
    if (Buffer) Win32.LocalFree(Buffer);
    for (HANDLE h : {hStop, hIdle, hFirstWait, hWriteDone, OvlRead.hEvent})
        if (h) Win32.CloseHandle(h);
}

bool TCommLink::Stop() {
    bool busy;
    {
        TSlimGuard g(Lock);
        Stopped = true;
        busy = Busy;
    }
    WakeAllConditionVariable(&GateOpened);
    Win32.SetEvent(hStop);
    if (const DWORD id = MsgThreadId) Win32.PostThreadMessageW(id, nrCommMsgQuitComEvent, 0, 0);
    return busy;
}

bool TCommLink::AwaitReceiveGate() {
    TSlimGuard g(Lock);
    while (RxOutstanding && !Stopped) SleepConditionVariableSRW(&GateOpened, &Lock, INFINITE, 0);
    return !Stopped;
}

void TCommLink::OpenReceiveGate() {
    {
        TSlimGuard g(Lock);
        RxOutstanding = false;
    }
    WakeAllConditionVariable(&GateOpened);
}

}  // namespace detail

// ---- the driver event mask

void TnrCustomComm::SetTraceStates(TTraceStates Value) {
    const DWORD mask = TraceStatesToEventMask(Value, EmulatesRS485());
    fTraceStates = Value;
    if (IsOpen()) {
        // The empty mask first ends a pending wait, which restarts under the new mask.
        Win32.SetCommMask(hPort, 0);
        Win32.SetCommMask(hPort, mask);
    }
}

// ---- receive buffer and threads

void TnrCustomComm::AllocReceiveBuffer() {
    FreeReceiveBuffer();
    const std::uint32_t size = std::max<std::uint32_t>(fBufferInSize, 8192);
    fLink = std::make_shared<detail::TCommLink>(this, hPort, hAsyncEvent, size);
    glBuffer = fLink->Buffer;
    glBufferSize = fLink->BufferSize;
}

void TnrCustomComm::FreeReceiveBuffer() {
    // The memory goes with the last holder of the link: a dispatch still
    // reading into it keeps it alive.
    glBuffer = nullptr;
    glBufferSize = 0;
    fLink.reset();
}

void TnrCustomComm::StartThreadIO() {
    if (!fLink) return;
    if (!MsgThread) {
        auto* t = new TMsgThread(this);
        MsgThread = t;
        fMsgThreadControl = t->Control();
    }
    if (!CommThread) {
        auto* t = new TCommThread(this);
        CommThread = t;
        fCommThreadControl = t->Control();
    }
}

void TnrCustomComm::AwaitFirstWait() {
    // Some drivers (Wine's) take the lines as they are when a wait starts: a
    // change before the first wait would pass unseen. Bounded, should the
    // thread never run.
    constexpr DWORD kFirstWaitMs = 1000;
    if (fLink && fCommThreadControl) Win32.WaitForSingleObject(fLink->hFirstWait, kFirstWaitMs);
}

void TnrCustomComm::StopThreadIO() {
    const bool busy = fLink && fLink->Stop();
    // The thread objects may have freed themselves: only their control blocks are used.
    if (fCommThreadControl) fCommThreadControl->Terminate();
    if (fMsgThreadControl) fMsgThreadControl->Terminate();
    fCommThreadControl.reset();
    fMsgThreadControl.reset();
    CommThread = nullptr;
    MsgThread = nullptr;
    if (busy) WaitDispatchIdle();
}

void TnrCustomComm::WaitDispatchIdle() {
    auto link = fLink;
    if (!link) return;
    const DWORD self = Win32.GetCurrentThreadId();
    // Called from inside the dispatch (a handler closing the port): it
    // checks the link after every handler and goes no further.
    if (link->DispatchThread == self || link->MsgThreadId == self) return;
    if (self != fw::MainThreadID()) {
        Win32.WaitForSingleObject(link->hIdle, INFINITE);
        return;
    }
    // The message thread may be waiting for us in Synchronize, or its handler
    // may be sending us a message: keep serving both.
    for (;;) {
        const DWORD w = fw::MainThreadWait(1, &link->hIdle, INFINITE, QS_SENDMESSAGE);
        if (w == WAIT_OBJECT_0 || w == WAIT_FAILED) return;
        if (w == WAIT_OBJECT_0 + 2) {
            MSG m;
            Win32.PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        }
    }
}

// ---- dispatch

void TnrCustomComm::ProcessCommEvent(const MSG& Msg) {
    if (Msg.message != nrCommMsgComEvent) return;
    const std::shared_ptr<detail::TCommLink> link = fLink;
    if (!link || link->Stopped) return;
    const DWORD M = static_cast<DWORD>(Msg.wParam);
    // However this dispatch ends, the event-wait thread may wait again.
    const TScopeExit gate([&] {
        if (M & EV_RXCHAR) link->OpenReceiveGate();
    });
    try {
        if (!DispatchErrors(*link)) return;
        if (M & EV_RXCHAR) {
            const bool news = DispatchReceived(*link);
            if (M == EV_RXCHAR) link->RxNothingNew = !news;
            if (link->Stopped) return;
        }
        if (M & EV_TXEMPTY) {
            EmulatedRTS(false);
            if (link->Stopped) return;
            const bool Ignore = DoAfterSend();
            if (link->Stopped) return;
            if (fTraceStates.Contains(tsTxEmpty) && !Ignore && OnAfterSend) OnAfterSend(this);
            if (link->Stopped) return;
        }
        const TTraceStates E = EventMaskToTraceStates(M);
        if (!E.Empty()) DoTraceState(this, E);
    } catch (...) {
        if (link->ComAlive) ReportHandlerException();
    }
}

bool TnrCustomComm::DispatchErrors(detail::TCommLink& link) {
    DWORD errors = 0;
    // A failing query means the handle is going away; the event-wait
    // thread reports the failure itself.
    if (!Win32.ClearCommError(link.hDevice, &errors, &Stat)) return false;
    if (errors == 0) return true;
    DoCommError(errors, 0, StateFlagsOf(Stat));
    return false;
}

bool TnrCustomComm::DispatchReceived(detail::TCommLink& link) {
    bool news = false;
    std::uint32_t taken = 0;
    DWORD got = 0;
    // Stat holds the queue as the error check found it; after each read the
    // queue is asked again, and reading goes on while bytes keep coming.
    for (;;) {
        const std::uint32_t N = Stat.cbInQue;
        if (N == 0) break;
        news = CountQueued(N) || news;
        if (!(fTraceStates.Contains(tsRxChar) || NeedsReceivedData()) || fReceiveHeld || !link.Buffer) break;
        // More may be queued than the buffer holds: hand it over in pieces.
        for (std::uint32_t left = N; left > 0;) {
            const DWORD chunk = std::min(left, link.BufferSize);
            if (!ReadWait(link.hDevice, link.Buffer, chunk, link.OvlRead, &got) || got == 0) return news;
            news = true;
            TakeCounted(got);
            DoAfterReceive(link.Buffer, got);
            if (link.Stopped) return news;
            left -= std::min<std::uint32_t>(got, left);
            taken += got;
        }
        if (got < kReadOnAfter || taken >= kDispatchReadCap || !DispatchErrors(link)) break;
    }
    return news;
}

// ---- receive counting: each byte once, whoever takes it and whenever

bool TnrCustomComm::CountQueued(std::uint32_t Queued) {
    const std::uint32_t counted = fCountedQueued.load();
    if (Queued <= counted) return false;
    fTotalReceived += Queued - counted;
    fCountedQueued = Queued;
    return true;
}

void TnrCustomComm::TakeCounted(std::uint32_t Taken) {
    const std::uint32_t counted = fCountedQueued.load();
    if (Taken > counted) fTotalReceived += Taken - counted;
    fCountedQueued = Taken > counted ? 0 : counted - Taken;
}

// ---- the event-wait thread

TCommThread::TCommThread(TnrCustomComm* AOwner)
    : fw::TThread(true), Com(AOwner), hDevice(AOwner->hPort), fLink(AOwner->fLink) {
    SetFreeOnTerminate(true);
    Start();
}

void TCommThread::Terminate() {
    fw::TThread::Terminate();
    if (fLink) Win32.SetEvent(fLink->hStop);
}

void TCommThread::Execute() {
    if (!fLink) return;
    if (hDevice == INVALID_HANDLE_VALUE) {
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
        if (!fLink->AwaitReceiveGate()) break;
        // Whether the receive event just dispatched brought anything.
        if (fRxJudged) fQuietRun = fLink->RxNothingNew.exchange(false) ? fQuietRun + 1 : 0;
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
    Win32.SetEvent(fLink->hFirstWait);
}

TCommThread::TOutcome TCommThread::StartWait() {
    // The handle is used only while the port has not been told to stop:
    // after that it may be closed, or reused by a new open.
    detail::TSlimGuard g(fLink->Lock);
    if (fLink->Stopped || Terminated()) return {TEnd::Stopped, 0};
    // The driver resets the event when the wait starts.
    ResetOverlapped(fSlot->ovl);
    fSlot->mask = 0;
    if (Win32.WaitCommEvent(hDevice, &fSlot->mask, &fSlot->ovl))
        return {fSlot->mask ? TEnd::Event : TEnd::Empty, fSlot->mask};
    const DWORD err = Win32.GetLastError();
    if (err == ERROR_IO_PENDING) {
        fPending = true;
        return {TEnd::Pending, 0};
    }
    if (err == ERROR_INVALID_PARAMETER && fSlot->mask == 0) return {TEnd::Empty, 0};
    return {TEnd::Failed, err};
}

TCommThread::TOutcome TCommThread::AwaitPending() {
    HANDLE hs[2] = {fSlot->ovl.hEvent, fLink->hStop};
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
    if (!Win32.GetOverlappedResult(hDevice, &fSlot->ovl, &n, FALSE)) return {TEnd::Empty, 0};
    return {fSlot->mask ? TEnd::Event : TEnd::Empty, fSlot->mask};
}

bool TCommThread::StatusLanded() {
    if (HasOverlappedIoCompleted(&fSlot->ovl)) return true;
    // Signalled with its status still pending. Wine now and then writes the
    // mask and sets the event of a wait whose status it never writes: a
    // moment for a late status, then the wait counts as ended with its mask
    // (the driver has let go of it: the next wait is taken). False on stop.
    if (Win32.WaitForSingleObject(fLink->hStop, kLateStatusMs) != WAIT_TIMEOUT) return false;
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
    detail::TSlimGuard g(fLink->Lock);
    if (fLink->Stopped) return 0;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (Win32.GetCommState(hDevice, &dcb)) return 0;
    const DWORD err = Win32.GetLastError();
    return err ? err : ERROR_GEN_FAILURE;
}

bool TCommThread::Post(WPARAM w, detail::TCommNote note) {
    const bool rx = note == detail::cnEvent && (w & EV_RXCHAR);
    for (;;) {
        {
            detail::TSlimGuard g(fLink->Lock);
            if (fLink->Stopped) return false;
            if (rx) fLink->RxOutstanding = true;
            if (Win32.PostThreadMessageW(fLink->MsgThreadId, nrCommMsgComEvent, w, note)) return true;
            if (rx) fLink->RxOutstanding = false;
        }
        if (Terminated()) return false;
        Win32.Sleep(1);  // the message thread has no queue yet, or it is full
    }
}

bool TCommThread::Pause(DWORD ms) {
    return Win32.WaitForSingleObject(fLink->hStop, ms) == WAIT_TIMEOUT && !Terminated();
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

TMsgThread::TMsgThread(TnrCustomComm* AOwner) : fw::TThread(true), Com(AOwner), fLink(AOwner->fLink) {
    if (fLink) fLink->MsgThreadId = ThreadID();
    SetFreeOnTerminate(true);
    Start();
}

void TMsgThread::Terminate() {
    fw::TThread::Terminate();
    Win32.PostThreadMessageW(ThreadID(), nrCommMsgQuitComEvent, 0, 0);
}

void TMsgThread::Execute() {
    if (!Com || !fLink) return;
    // Make the queue now, so the first post finds it. A quit message posted
    // before it existed is lost, but the stop flag was set before it.
    Win32.PeekMessageW(&glMsg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    while (!Terminated() && !fLink->Stopped) {
        if (fLink->WatchWrite.exchange(false)) fWatchWrite = fLink->hWriteDone != nullptr;
        if (!NextMessage()) return;
        if (fLink->Stopped || Terminated()) return;
        if (glMsg.message == nrCommMsgQuitComEvent) return;
        if (glMsg.hwnd || glMsg.message != nrCommMsgComEvent)
            Win32.DispatchMessageW(&glMsg);
        else if (glMsg.lParam != detail::cnWriteStarted)  // that one only wakes us
            RunOnDispatchThread();
    }
}

bool TMsgThread::NextMessage() {
    if (!fWatchWrite) return Win32.GetMessageW(&glMsg, nullptr, 0xC000, 0xFFFF) > 0;
    // A SendData write is pending: its end is an event too.
    for (;;) {
        if (Win32.PeekMessageW(&glMsg, nullptr, 0xC000, 0xFFFF, PM_REMOVE)) return glMsg.message != WM_QUIT;
        const DWORD w = Win32.MsgWaitForMultipleObjects(1, &fLink->hWriteDone, FALSE, INFINITE, QS_POSTMESSAGE);
        if (w == WAIT_OBJECT_0) {
            fWatchWrite = false;
            glMsg = MSG{};
            glMsg.message = nrCommMsgComEvent;
            glMsg.lParam = detail::cnWriteStarted;  // the started write has ended
            RunOnDispatchThread();
            if (fLink->Stopped) return false;
            continue;
        }
        if (w != WAIT_OBJECT_0 + 1) return false;
    }
}

void TMsgThread::RunOnDispatchThread() {
    const std::shared_ptr<detail::TCommLink> link = fLink;
    {
        detail::TSlimGuard g(link->Lock);
        if (link->Stopped) return;
        // From here until Busy is cleared a closer waits for us, so Com stays valid.
        link->Busy = true;
    }
    // Captures one pointer only: std::function keeps it without a heap block.
    auto body = [this] { DispatchBody(); };
    // DispatchBody lets nothing out; a failing hand-over itself ends here.
    Dropping([&] {
        if (fw::Application && Com->fUseMainThread)
            fw::TThread::Synchronize(body);
        else
            body();
    });
    bool stopped;
    {
        detail::TSlimGuard g(link->Lock);
        link->Busy = false;
        stopped = link->Stopped;
    }
    if (stopped) Win32.SetEvent(link->hIdle);
}

void TMsgThread::DispatchBody() {
    // Run later on the user-interface thread: the port may be closed by now.
    if (fLink->Stopped) return;
    fLink->DispatchThread = Win32.GetCurrentThreadId();
    try {
        switch (glMsg.lParam) {
            case detail::cnPortFailed: Com->PortFailed(static_cast<DWORD>(glMsg.wParam)); break;
            case detail::cnWriteStarted: Com->AsyncWriteEnded(); break;
            default: Com->ProcessCommEvent(glMsg);
        }
    } catch (...) {
        // Nothing leaves a dispatch; a handler's exception is reported.
        if (fLink->ComAlive) Com->ReportHandlerException();
    }
    fLink->DispatchThread = 0;
}

}  // namespace nr
