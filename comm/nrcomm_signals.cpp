// The port engine: modem lines, line control, monitor controls and tracing.
#include "nrcomm.h"
#include "nrcomm_channel.h"

namespace nr {

TModemSignals TnrCustomComm::ModemSignals() {
    TModemSignals s;
    DWORD st = 0;
    auto* ch = OpenChannel();
    if (!ch || !ch->ModemStatus(st)) return s;
    if (st & MS_CTS_ON) s.Include(msCTS);
    if (st & MS_DSR_ON) s.Include(msDSR);
    if (st & MS_RING_ON) s.Include(msRing);
    if (st & MS_RLSD_ON) s.Include(msRLSD);
    return s;
}

bool TnrCustomComm::Escape(DWORD Function) {
    auto* ch = OpenChannel();
    if (ch) ch->Escape(Function);
    return ch != nullptr;
}

void TnrCustomComm::SetStateDTR(bool State) {
    if (!Escape(State ? SETDTR : CLRDTR)) return;
    DoTraceState(this, TTraceStates{tsDSR});
}

void TnrCustomComm::SetStateRTS(bool State) {
    if (!Escape(State ? SETRTS : CLRRTS)) return;
    DoTraceState(this, TTraceStates{tsCTS});
}

void TnrCustomComm::SetStateX(bool State) { Escape(State ? SETXON : SETXOFF); }

void TnrCustomComm::SetStateBreak(bool State) { Escape(State ? SETBREAK : CLRBREAK); }

void TnrCustomComm::DoTraceState(TObject* Sender, TTraceStates Event) {
    const TModemSignals Signals = ModemSignals();
    if (fMonitorCTS) SetMonitorChecked(fMonitorCTS, Signals.Contains(msCTS));
    if (fMonitorDSR) SetMonitorChecked(fMonitorDSR, Signals.Contains(msDSR));
    if (fMonitorRLSD) SetMonitorChecked(fMonitorRLSD, Signals.Contains(msRLSD));
    // The ring monitor is only ever switched on.
    if (Event.Contains(tsRing) && fMonitorRing) SetMonitorChecked(fMonitorRing, true);
    if (OnTraceState) OnTraceState(Sender, Event);
}

void TnrCustomComm::SetMonitorChecked(TComponent* Control, bool Value) {
    // Any control publishing a Boolean "Checked" will do; others are left alone.
    if (Control) fw::SetOrdProp(Control, L"Checked", Value ? 1 : 0);
}

void TnrCustomComm::SetMonitor(TComponent*& Field, TComponent* Value) {
    Field = Value;
    if (Value) FreeNotification(Value);
}

void TnrCustomComm::Notification(TComponent* AComponent, fw::TOperation Operation) {
    // A terminal control is told before its window goes: take the hook off now.
    if (Operation == fw::opRemove && AComponent && AComponent == fTerminal) UnhookTerminal();
    TnrBaseIO::Notification(AComponent, Operation);
    if (Operation != fw::opRemove || !AComponent) return;
    // One control may watch several lines: forget it everywhere.
    for (TComponent** m : {&fMonitorCTS, &fMonitorDSR, &fMonitorRLSD, &fMonitorRing})
        if (*m == AComponent) *m = nullptr;
}

}  // namespace nr
