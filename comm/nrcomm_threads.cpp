// The port engine's receive side: the driver event mask, the event-wait and
// message threads, and the dispatch of driver events.
#include <algorithm>
#include <cstddef>
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
    {tsRxFlag, EV_RXFLAG}, {tsCTS, EV_CTS},           {tsDSR, EV_DSR},       {tsRLSD, EV_RLSD},
    {tsBreak, EV_BREAK},   {tsErr, EV_ERR},           {tsRing, EV_RING},     {tsRx80Full, EV_RX80FULL},
    {tsEvent1, EV_EVENT1}, {tsEvent2, EV_EVENT2},
};

TComStateFlags StateFlagsOf(const COMSTAT& s) {
    DWORD bits;
    std::memcpy(&bits, &s, sizeof bits);
    return TComStateFlags::FromBits(static_cast<std::uint8_t>(bits & 0x7F));
}

void ResetOverlapped(OVERLAPPED& o) { std::memset(&o, 0, offsetof(OVERLAPPED, hEvent)); }

// A driver wait pending this long without any event is taken back and renewed.
constexpr DWORD kStallMs = 500;
// A wait whose event fired but whose status has not come this long after.
constexpr DWORD kNoStatusMs = 20;
// Waits ending empty by themselves: after this many in a row the next one
// starts later, by one more millisecond each time, up to kIdleMaxMs.
constexpr DWORD kIdleAfter = 8;
constexpr DWORD kIdleMaxMs = 30;

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

TCommLink::TCommLink(TnrCustomComm* com, HANDLE device, std::uint32_t bufferSize) : Com(com), hDevice(device) {
    hStop = Win32.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    hIdle = Win32.CreateEventW(nullptr, TRUE, TRUE, nullptr);
    hRxDone = Win32.CreateEventW(nullptr, FALSE, FALSE, nullptr);
    OvlRead.hEvent = Win32.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Buffer = static_cast<std::uint8_t*>(Win32.LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, bufferSize));
    BufferSize = Buffer ? bufferSize : 0;
}

TCommLink::~TCommLink() {
    if (Buffer) Win32.LocalFree(Buffer);
    for (HANDLE h : {hStop, hIdle, hRxDone, OvlRead.hEvent})
        if (h) Win32.CloseHandle(h);
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
    fLink = std::make_shared<detail::TCommLink>(this, hPort, size);
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

void TnrCustomComm::StopThreadIO() {
    if (auto link = fLink) {
        {
            std::lock_guard<std::mutex> g(link->Lock);
            link->Stopped = true;
        }
        Win32.SetEvent(link->hStop);
        if (link->MsgThreadId) Win32.PostThreadMessageW(link->MsgThreadId, nrCommMsgQuitComEvent, 0, 0);
    }
    // The thread objects may have freed themselves: only their control blocks are used.
    if (fCommThreadControl) fCommThreadControl->Terminate();
    if (fMsgThreadControl) fMsgThreadControl->Terminate();
    fCommThreadControl.reset();
    fMsgThreadControl.reset();
    CommThread = nullptr;
    MsgThread = nullptr;
    WaitDispatchIdle();
}

void TnrCustomComm::WaitDispatchIdle() {
    auto link = fLink;
    if (!link) return;
    const DWORD self = Win32.GetCurrentThreadId();
    {
        std::lock_guard<std::mutex> g(link->Lock);
        if (!link->Busy) return;
        // Called from inside the dispatch (a handler closing the port): it
        // checks the link after every handler and goes no further.
        if (link->DispatchThread == self || link->MsgThreadId == self) return;
    }
    if (self != fw::MainThreadID()) {
        Win32.WaitForSingleObject(link->hIdle, INFINITE);
        return;
    }
    // The message thread may be waiting for us in Synchronize, or its handler
    // may be sending us a message: keep serving both.
    for (;;) {
        HANDLE hs[2] = {link->hIdle, fw::SyncEvent()};
        const DWORD w = Win32.MsgWaitForMultipleObjects(2, hs, FALSE, INFINITE, QS_SENDMESSAGE);
        if (w == WAIT_OBJECT_0) return;
        if (w == WAIT_OBJECT_0 + 1) {
            fw::CheckSynchronize();
        } else if (w == WAIT_OBJECT_0 + 2) {
            MSG m;
            Win32.PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        } else {
            return;
        }
    }
}

// ---- dispatch

void TnrCustomComm::ProcessCommEvent(const MSG& Msg) {
    if (Msg.message != nrCommMsgComEvent) return;
    const std::shared_ptr<detail::TCommLink> link = fLink;
    if (!link || link->Stopped) return;
    const HANDLE h = link->hDevice;
    const DWORD M = static_cast<DWORD>(Msg.wParam);
    // However this dispatch ends, the event-wait thread may wait again.
    struct TRxDone {
        detail::TCommLink& L;
        bool Rx;
        ~TRxDone() {
            if (!Rx) return;
            L.RxOutstanding = false;
            Win32.SetEvent(L.hRxDone);
        }
    } rxDone{*link, (M & EV_RXCHAR) != 0};
    // After every call into application code: a closed (or destroyed)
    // component is not to be touched any further.
    auto gone = [&link] { return link->Stopped.load(); };
    try {
        DWORD errors = 0;
        // A failing query means the handle is going away; the event-wait
        // thread reports the failure itself.
        if (!Win32.ClearCommError(h, &errors, &Stat)) return;
        if (errors != 0) {
            DoCommError(errors, 0, StateFlagsOf(Stat));
            return;
        }
        if ((M & EV_RXCHAR) && Stat.cbInQue > 0) {
            const std::uint32_t N = Stat.cbInQue;
            const bool DoRead = fTraceStates.Contains(tsRxChar) || NeedsReceivedData();
            fTotalReceived += N;
            if (DoRead && link->Buffer) {
                // More may be queued than the buffer holds: hand it over in pieces.
                std::uint32_t left = N;
                while (left > 0) {
                    DWORD got = 0;
                    const DWORD chunk = std::min(left, link->BufferSize);
                    if (!ReadWait(h, link->Buffer, chunk, link->OvlRead, &got) || got == 0) break;
                    DoAfterReceive(link->Buffer, got);
                    if (gone()) return;
                    left -= std::min<std::uint32_t>(got, left);
                }
            }
        }
        if (M & EV_TXEMPTY) {
            EmulatedRTS(false);
            if (gone()) return;
            const bool Ignore = DoAfterSend();
            if (gone()) return;
            if (fTraceStates.Contains(tsTxEmpty) && !Ignore && OnAfterSend) OnAfterSend(this);
            if (gone()) return;
        }
        const TTraceStates E = EventMaskToTraceStates(M);
        if (!E.Empty()) DoTraceState(this, E);
    } catch (...) {
        if (!link->ComAlive) return;
        const DWORD err = Win32.GetLastError();
        std::wstring text;
        try {
            throw;
        } catch (const fw::Exception& e) {
            text = e.Message();
        } catch (...) {
            text = fw::CurrentExceptionMessage();
        }
        ReportFatalError(1, err, text, true);
    }
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

namespace {

// The record of one driver wait. The driver writes the mask and the record
// when the wait ends, so they live on the heap and stay reserved until then.
struct TWaitSlot {
    OVERLAPPED ovl{};
    DWORD mask = 0;
};

TWaitSlot* NewWaitSlot() {
    auto* s = new (std::nothrow) TWaitSlot;
    if (!s) return nullptr;
    s->ovl.hEvent = Win32.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!s->ovl.hEvent) {
        delete s;
        return nullptr;
    }
    return s;
}

void FreeWaitSlot(TWaitSlot* s) {
    if (!s) return;
    Win32.CloseHandle(s->ovl.hEvent);
    delete s;
}

}  // namespace

void TCommThread::Execute() {
    const std::shared_ptr<detail::TCommLink> link = fLink;
    if (!link) return;
    TWaitSlot* slot = NewWaitSlot();
    if (!slot) return;

    // Posts to the message thread unless the port has been told to stop.
    auto deliver = [&](WPARAM w, LPARAM l) {
        for (;;) {
            {
                std::lock_guard<std::mutex> g(link->Lock);
                if (link->Stopped) return false;
                if (w & EV_RXCHAR) link->RxOutstanding = true;
                if (Win32.PostThreadMessageW(link->MsgThreadId, nrCommMsgComEvent, w, l)) return true;
                if (w & EV_RXCHAR) link->RxOutstanding = false;
            }
            if (Terminated()) return false;
            Win32.Sleep(1);  // the message thread has no queue yet, or it is full
        }
    };
    // A pause that ends early (false) when the port is told to stop.
    auto pause = [&](DWORD ms) { return Win32.WaitForSingleObject(link->hStop, ms) == WAIT_TIMEOUT && !Terminated(); };

    // A failed wait may be the only sign of a device that went away: some
    // drivers (Wine's, on a pty whose other end died) keep ending waits
    // without data instead of failing them. Then the state query fails. Asked
    // at most every 100 ms, since such drivers also end idle waits this way.
    DWORD lastCheck = Win32.GetTickCount() - 1000;
    auto checkDevice = [&]() -> DWORD {
        const DWORD now = Win32.GetTickCount();
        if (now - lastCheck < 100) return 0;
        lastCheck = now;
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (Win32.GetCommState(hDevice, &dcb)) return 0;
        const DWORD err = Win32.GetLastError();
        return err == ERROR_INVALID_HANDLE ? 0 : err;
    };

    // Waits that end by themselves without an event (Wine ends an idle wait
    // on a pty after a millisecond or two, at a real cost in CPU): after a
    // few in a row the next wait starts a little later, up to kIdleMaxMs.
    // Drivers that keep a wait pending until something happens never get here.
    DWORD emptyRun = 0;

    bool pending = false;
    bool stop = hDevice == INVALID_HANDLE_VALUE;
    while (!stop) {
        if (emptyRun > kIdleAfter && !pause(std::min<DWORD>(emptyRun - kIdleAfter, kIdleMaxMs))) break;
        // Received bytes on their way to the dispatch: a new wait would only
        // report them again (Wine reports queued bytes at once, so the thread
        // would spin). Wait until the dispatch has read them, or kStallMs.
        if (link->RxOutstanding) {
            HANDLE hs[2] = {link->hRxDone, link->hStop};
            if (Win32.WaitForMultipleObjects(2, hs, FALSE, kStallMs) == WAIT_OBJECT_0 + 1) break;
        }
        DWORD mask = 0, err = 0;
        bool ok = false, ended = false;
        {
            // The handle is used only while the port has not been told to
            // stop: after that it may be closed, or reused by a new open.
            std::lock_guard<std::mutex> g(link->Lock);
            if (link->Stopped || Terminated()) break;
            ResetOverlapped(slot->ovl);
            Win32.ResetEvent(slot->ovl.hEvent);
            slot->mask = 0;
            ok = Win32.WaitCommEvent(hDevice, &slot->mask, &slot->ovl) != FALSE;
            if (ok) {
                mask = slot->mask;
            } else {
                err = Win32.GetLastError();
                pending = err == ERROR_IO_PENDING;
            }
        }
        DWORD lost = 0;
        // A wait without an outcome: no event for kStallMs, or (Wine) an
        // event whose status never arrives. First take the wait back and have
        // the dispatch look at the queue; if that does not end it either, the
        // record is left to the driver and a new one is used.
        int phase = 0;
        DWORD quietMs = 0;
        while (pending && !stop) {
            HANDLE hs[2] = {slot->ovl.hEvent, link->hStop};
            const DWORD w = Win32.WaitForMultipleObjects(2, hs, FALSE, kStallMs);
            bool check = false, abandon = false;
            {
                std::lock_guard<std::mutex> g(link->Lock);
                if (link->Stopped || Terminated() || w == WAIT_FAILED) {
                    Win32.OutputDebugStringW(L"BREAK ...");
                    stop = true;
                } else if (HasOverlappedIoCompleted(&slot->ovl)) {
                    DWORD n = 0;
                    if (Win32.GetOverlappedResult(hDevice, &slot->ovl, &n, FALSE)) {
                        mask = slot->mask;
                    } else {
                        mask = 0;
                        ended = true;
                        lost = checkDevice();
                    }
                    pending = false;
                } else {
                    quietMs += (w == WAIT_TIMEOUT) ? kStallMs : 1;
                    if (phase == 0 && quietMs >= (w == WAIT_TIMEOUT ? kStallMs : kNoStatusMs)) {
                        CallCancelIo(hDevice);
                        check = true;
                        phase = 1;
                        quietMs = 0;
                    } else if (phase == 1 && quietMs >= kStallMs) {
                        abandon = true;
                    }
                }
            }
            if (stop) break;
            if (check && !deliver(EV_RXCHAR, 0)) stop = true;
            if (abandon) {
                // Deliberately not freed: the driver might still write it.
                TWaitSlot* fresh = NewWaitSlot();
                if (!fresh) {
                    stop = true;
                    break;
                }
                slot = fresh;
                pending = false;
            } else if (pending && w == WAIT_OBJECT_0 && !pause(1)) {
                stop = true;  // signalled without a status: give it a moment
            }
        }
        if (stop) break;
        if (!ok && !pending && err != ERROR_IO_PENDING) {
            if (err == ERROR_INVALID_PARAMETER && slot->mask == 0) {
                ended = true;  // an empty event
            } else {
                Win32.OutputDebugStringW(L"111 ...");
                // The port is closed by the thread that runs the dispatch, so
                // no dispatch is using it meanwhile.
                if (err != ERROR_INVALID_HANDLE) deliver(0, detail::kPortFailed);
                break;
            }
        }
        if (lost) {
            Win32.OutputDebugStringW(L"111 ...");
            deliver(0, detail::kPortFailed);
            break;
        }
        emptyRun = (mask == 0 && ended) ? emptyRun + 1 : 0;
        // An empty mask (the mask was reset, or a wait that ended by itself)
        // is nothing to report.
        if (mask != 0 && !deliver(mask, 0)) break;
    }
    if (pending && !HasOverlappedIoCompleted(&slot->ovl) &&
        Win32.WaitForSingleObject(slot->ovl.hEvent, 5000) != WAIT_OBJECT_0 && !HasOverlappedIoCompleted(&slot->ovl))
        return;  // never completed: the record, its mask and its event stay with the driver
    FreeWaitSlot(slot);
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
    // Make the queue now, so the first post finds it.
    Win32.PeekMessageW(&glMsg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    while (!Terminated()) {
        // The quit message can be lost when the port closes before this
        // thread made its queue; the stop event cannot, so wait on both.
        if (!Win32.PeekMessageW(&glMsg, nullptr, 0xC000, 0xFFFF, PM_REMOVE)) {
            if (fLink->Stopped || Terminated()) return;
            const DWORD w = Win32.MsgWaitForMultipleObjects(1, &fLink->hStop, FALSE, INFINITE, QS_POSTMESSAGE);
            if (w != WAIT_OBJECT_0 + 1) return;  // stopped, or the wait itself failed
            continue;
        }
        if (glMsg.message == WM_QUIT) return;
        if (fLink->Stopped || Terminated()) return;
        if (glMsg.message == nrCommMsgQuitComEvent) return;
        if (!glMsg.hwnd && glMsg.message == nrCommMsgComEvent) {
            RunOnDispatchThread(glMsg.lParam == detail::kPortFailed);
            if (fLink->Stopped) return;
        } else {
            Win32.DispatchMessageW(&glMsg);
        }
    }
}

void TMsgThread::RunOnDispatchThread(bool PortFailed) {
    const std::shared_ptr<detail::TCommLink> link = fLink;
    {
        std::lock_guard<std::mutex> g(link->Lock);
        if (link->Stopped) return;
        // From here until Busy is cleared a closer waits for us, so Com stays valid.
        link->Busy = true;
        Win32.ResetEvent(link->hIdle);
    }
    fPortFailed = PortFailed;
    // Captures one pointer only: std::function keeps it without a heap block.
    auto body = [this] { DispatchBody(); };
    try {
        if (fw::Application && Com->fUseMainThread)
            fw::TThread::Synchronize(body);
        else
            body();
    } catch (...) {
    }
    std::lock_guard<std::mutex> g(link->Lock);
    link->Busy = false;
    Win32.SetEvent(link->hIdle);
}

void TMsgThread::DispatchBody() {
    // Run later on the user-interface thread: the port may be closed by now.
    if (fLink->Stopped) return;
    fLink->DispatchThread = Win32.GetCurrentThreadId();
    try {
        if (fPortFailed)
            Com->ShutdownPort(false);
        else
            Com->ProcessCommEvent(glMsg);
    } catch (...) {
        // Nothing leaves a dispatch.
    }
    fLink->DispatchThread = 0;
}

}  // namespace nr
