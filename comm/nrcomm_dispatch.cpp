// The port engine's receive side: the driver event mask, the worker threads
// of an open port, and the dispatch of driver events.
#include <algorithm>
#include <cstring>
#include <new>

#include "../framework/forms.h"
#include "nrcomm.h"
#include "nrcomm_channel.h"
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

// ---- the driver event mask

void TnrCustomComm::SetTraceStates(TTraceStates Value) {
    const DWORD mask = TraceStatesToEventMask(Value, EmulatesRS485());
    fTraceStates = Value;
    if (auto* ch = OpenChannel()) {
        // The empty mask first ends a pending wait, which restarts under the new mask.
        ch->SetEventMask(0);
        ch->SetEventMask(mask);
    }
}

// ---- receive buffer and threads

void TnrCustomComm::AllocReceiveBuffer() {
    FreeReceiveBuffer();
    const std::uint32_t size = std::max<std::uint32_t>(fBufferInSize, 8192);
    if (!fChannel) return;
    fChannel->AllocBuffer(size);
    glBuffer = fChannel->Buffer();
    glBufferSize = fChannel->BufferSize();
}

void TnrCustomComm::FreeReceiveBuffer() {
    glBuffer = nullptr;
    glBufferSize = 0;
}

void TnrCustomComm::StartThreadIO() {
    if (!fChannel) return;
    if (!MsgThread) {
        auto* t = new TMsgThread(fChannel);
        MsgThread = t;
        fMsgThreadControl = t->Control();
    }
    if (!CommThread) {
        auto* t = new TCommThread(fChannel);
        CommThread = t;
        fCommThreadControl = t->Control();
    }
}

void TnrCustomComm::StopThreadIO() {
    const auto ch = fChannel;
    const bool busy = ch && ch->Stop();
    // The thread objects may have freed themselves: only their control blocks are used.
    if (fCommThreadControl) fCommThreadControl->Terminate();
    if (fMsgThreadControl) fMsgThreadControl->Terminate();
    fCommThreadControl.reset();
    fMsgThreadControl.reset();
    CommThread = nullptr;
    MsgThread = nullptr;
    if (busy) ch->WaitDispatchIdle();
}

// ---- dispatch

void TnrCustomComm::ProcessCommEvent(const MSG& Msg) {
    if (Msg.message != nrCommMsgComEvent) return;
    const std::shared_ptr<detail::TPortChannel> ch = fChannel;
    if (!ch || ch->Stopped()) return;
    const DWORD M = static_cast<DWORD>(Msg.wParam);
    bool judged = false, news = false;
    // However this dispatch ends, the event-wait thread may wait again.
    const TScopeExit gate([&] {
        if (M & EV_RXCHAR) ch->ReceiveDone(judged, news);
    });
    try {
        if (!DispatchErrors(*ch)) return;
        if (M & EV_RXCHAR) {
            news = DispatchReceived(*ch);
            judged = M == EV_RXCHAR;
            if (ch->Stopped()) return;
        }
        if (M & EV_TXEMPTY) {
            EmulatedRTS(false);
            if (ch->Stopped()) return;
            const bool Ignore = DoAfterSend();
            if (ch->Stopped()) return;
            if (fTraceStates.Contains(tsTxEmpty) && !Ignore && OnAfterSend) OnAfterSend(this);
            if (ch->Stopped()) return;
        }
        const TTraceStates E = EventMaskToTraceStates(M);
        if (!E.Empty()) DoTraceState(this, E);
    } catch (...) {
        if (ch->SinkAlive()) ReportHandlerException();
    }
}

bool TnrCustomComm::DispatchErrors(detail::TPortChannel& ch) {
    DWORD errors = 0;
    // A failing query means the handle is going away; the event-wait
    // thread reports the failure itself.
    if (!ch.Status(errors, &Stat)) return false;
    if (errors == 0) return true;
    DoCommError(errors, 0, StateFlagsOf(Stat));
    return false;
}

bool TnrCustomComm::DispatchReceived(detail::TPortChannel& ch) {
    bool news = false;
    std::uint32_t taken = 0;
    DWORD got = 0;
    // Stat holds the queue as the error check found it; after each read the
    // queue is asked again, and reading goes on while bytes keep coming.
    for (;;) {
        const std::uint32_t N = Stat.cbInQue;
        if (N == 0) break;
        news = CountQueued(N) || news;
        if (!(fTraceStates.Contains(tsRxChar) || NeedsReceivedData()) || fReceiveHeld || !ch.Buffer()) break;
        // More may be queued than the buffer holds: hand it over in pieces.
        for (std::uint32_t left = N; left > 0;) {
            got = ch.ReadQueued(left);
            if (got == 0) return news;
            news = true;
            TakeCounted(got);
            DoAfterReceive(ch.Buffer(), got);
            if (ch.Stopped()) return news;
            left -= std::min<std::uint32_t>(got, left);
            taken += got;
        }
        if (got < kReadOnAfter || taken >= kDispatchReadCap || !DispatchErrors(ch)) break;
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

}  // namespace nr
