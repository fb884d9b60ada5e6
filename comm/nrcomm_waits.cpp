// The port engine: blocking waits for received bytes and for a modem line.
#include "../framework/forms.h"
#include "nrcomm.h"

namespace nr {

namespace {

// One step of a wait: a millisecond's pause, then the user-interface thread's
// pending messages, which also run the dispatches queued for it. Another
// thread only pauses: the application's messages are not its to handle.
void KeepAlive() {
    Win32.Sleep(1);
    if (fw::Application && Win32.GetCurrentThreadId() == fw::MainThreadID()) fw::Application->ProcessMessages();
}

// Tests until Test holds (true), or Ms have passed or the port has closed
// (false). Tests at least once; elapsed time, not a deadline, survives the
// tick count wrapping around.
template <class F> bool Poll(TnrCustomComm& Com, std::uint32_t Ms, F Test) {
    const DWORD start = Win32.GetTickCount();
    for (;;) {
        if (!Com.IsOpen()) return false;
        if (Test()) return true;
        if (Win32.GetTickCount() - start >= Ms) return false;
        KeepAlive();
    }
}

}  // namespace

bool TnrCustomComm::WaitForBytes(std::uint32_t Count, std::uint32_t Ms) {
    if (!IsOpen()) return false;
    // Without tsRxChar the dispatch reads only for a consumer, so with none
    // attached the bytes stay queued for the caller.
    const TTraceStates Saved = fTraceStates;
    if (Saved.Contains(tsRxChar)) SetTraceStates(Saved - TTraceStates{tsRxChar});
    struct TRestore {
        TnrCustomComm& Com;
        TTraceStates Saved;
        ~TRestore() {
            if (Com.TraceStates() != Saved) Com.SetTraceStates(Saved);
        }
    } restore{*this, Saved};
    return Poll(*this, Ms, [&] { return ReadyForRead() >= Count; });
}

bool TnrCustomComm::WaitForSignal(TModemSignal Signal, std::uint32_t Ms) {
    return Poll(*this, Ms, [&] { return ModemSignals().Contains(Signal); });
}

}  // namespace nr
