// The port engine: blocking waits for received bytes and for a modem line.
#include "../framework/forms.h"
#include "nrcomm.h"
#include "nrsysutils.h"

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

// Without tsRxChar the dispatch reads only for a consumer, so with none
// attached the bytes stay queued for the caller while this lives.
auto BytesForTheCaller(TnrCustomComm& Com) {
    const TTraceStates saved = Com.TraceStates();
    if (saved.Contains(tsRxChar)) Com.SetTraceStates(saved - TTraceStates{tsRxChar});
    return TScopeExit([&Com, saved] {
        if (Com.TraceStates() != saved) Com.SetTraceStates(saved);
    });
}

bool EndsWith(const std::string& s, const std::string& end) {
    return !end.empty() && s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

bool TnrCustomComm::WaitForBytes(std::uint32_t Count, std::uint32_t Ms) {
    if (!IsOpen()) return false;
    const auto held = BytesForTheCaller(*this);
    return Poll(*this, Ms, [&] { return ReadyForRead() >= Count; });
}

std::string TnrCustomComm::ReadUntil(const std::string& Terminator, std::uint32_t Ms, std::uint32_t Max) {
    std::string got;
    if (!IsOpen()) return got;
    const auto held = BytesForTheCaller(*this);
    auto done = [&] { return EndsWith(got, Terminator) || (Max && got.size() >= Max); };
    Poll(*this, Ms, [&] {
        // A byte at a time: what follows the terminator stays for the next read.
        char b = 0;
        while (!done() && ReadMax(&b, 1) == 1) got += b;
        return done();
    });
    return got;
}

bool TnrCustomComm::WaitForSignal(TModemSignal Signal, std::uint32_t Ms) {
    return Poll(*this, Ms, [&] { return ModemSignals().Contains(Signal); });
}

}  // namespace nr
