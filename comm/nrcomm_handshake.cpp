// The COM port component's device handshakes on the modem lines: the DSR
// connection test and the identification of a serial Plug-and-Play device.
#include <algorithm>

#include "nrcomm.h"
#include "nrsysutils.h"

namespace nr {

namespace {

// Each wait of the handshakes: for DSR, for a power-up step, for a byte.
constexpr DWORD kStepMs = 200;
// Three characters' time at 1200 bit/s in 9-bit frames.
constexpr DWORD kThreeCharsMs = 3 * 9 * 1000 / 1200;

constexpr std::uint8_t kBegin7 = 0x28, kEnd7 = 0x29;  // "(" and ")"
constexpr std::uint8_t kBegin6 = 0x08, kEnd6 = 0x09;  // the same in 6-bit characters

// The line of the identification: 1200 7N1, and DTR and RTS in our hands.
// Flow control would let the driver hold RTS (which then ignores our
// sequence) or drop bytes while a line is off.
DCB IdentificationDcb(DCB d) {
    TLineSettings s = TLineSettings::FromDcb(d, true);
    s.BaudRate = 1200;
    s.ByteSize = 7;
    s.Parity = pNone;
    s.StopBits = sbOne;
    s.Protocol = spNone;
    s.RS485 = true;  // with the engine driving RTS: the driver leaves it alone
    s.ToDcb(d);
    d.fParity = FALSE;
    d.fOutxDsrFlow = d.fDsrSensitivity = FALSE;
    d.fDtrControl = DTR_CONTROL_ENABLE;
    return d;
}

// Powers the device down and up again, and waits for its first byte. The
// receive queue is cleared right before the last line rises: what a device
// sent earlier (to the open of the port, or to the first attempt, until it
// saw RTS drop) is not part of this answer.
bool PowerUp(TnrCustomSerialComm& c, bool RtsLate) {
    c.SetStateDTR(false);
    c.SetStateRTS(false);
    Win32.Sleep(kStepMs);
    if (RtsLate) {
        c.SetStateDTR(true);
        Win32.Sleep(kStepMs);
    }
    c.ClearDeviceInput();
    if (!RtsLate) c.SetStateDTR(true);
    c.SetStateRTS(true);
    return c.WaitForBytes(1, kStepMs);
}

bool ReadByte(TnrCustomSerialComm& c, std::uint8_t& b) { return c.ReadMax(&b, 1) == 1; }

// The string from its start marker to its end marker. A device that never
// ends it keeps the caller no longer than the format's longest string would.
std::wstring ReadIdentification(TnrCustomSerialComm& c) {
    // First the enumerator's signature, DTR well before RTS; then a device
    // that answers within 200 ms of being powered.
    if (!PowerUp(c, true) && !PowerUp(c, false)) return {};
    std::uint8_t b = 0;
    if (!ReadByte(c, b) || (b != kBegin7 && b != kBegin6)) return {};
    const std::uint8_t end = b == kBegin7 ? kEnd7 : kEnd6;
    std::wstring s(1, static_cast<wchar_t>(b));
    const DWORD start = Win32.GetTickCount();
    while (s.size() < TnrCustomSerialComm::kPnpIdMaxChars) {
        const DWORD spent = Win32.GetTickCount() - start;
        if (spent >= TnrCustomSerialComm::kPnpIdMaxMs) break;
        if (!c.WaitForBytes(1, std::min<DWORD>(kStepMs, TnrCustomSerialComm::kPnpIdMaxMs - spent))) break;
        if (!ReadByte(c, b)) break;
        s += static_cast<wchar_t>(b);
        if (b == end) return s;
    }
    // Cut short: RTS off tells the device to stop, and what it sent until
    // then is not left for whoever reads the port next.
    c.SetStateRTS(false);
    Win32.Sleep(kThreeCharsMs);
    c.ClearDeviceInput();
    return s;
}

// DTR on, RTS off, and a device that is there answers with DSR.
bool DeviceAnswersDsr(TnrCustomSerialComm& c) {
    c.ClearDeviceBuffers();
    c.SetStateDTR(true);
    c.SetStateRTS(false);
    return c.WaitForSignal(msDSR, kStepMs);
}

const wchar_t kNoDsr[] = L"Device Connect Initialization Error";

}  // namespace

void TnrCustomSerialComm::InitDeviceConnect() {
    if (!IsOpen()) return;
    if (!DeviceAnswersDsr(*this)) {
        ReportFatalError(1, 0, kNoDsr, false);
        return;
    }
    SetStateRTS(true);
    WriteLog(dlDetail, L"The device connection was succesful tested");
}

std::wstring TnrCustomSerialComm::GetPNPDeviceString() {
    const bool wasActive = Active();
    SetActive(true);
    if (!IsOpen()) return {};
    // The string stays in the driver's queue for this call, even when a
    // handler of received data is attached.
    const bool wasHeld = fReceiveHeld.exchange(true);
    const TScopeExit release([&] { fReceiveHeld = wasHeld; });
    if (!DeviceAnswersDsr(*this)) {
        // The port stays open, also when this call opened it: the caller
        // finds it as the failed handshake left it.
        ReportFatalError(1, 0, kNoDsr, false);
        return {};
    }
    ApplyLineSettings();
    const DCB saved = CommCfg.dcb;
    const TTraceStates savedTraces = fTraceStates;
    // The line as it was, then a close and, for a port that was open, a
    // reopen with its own settings and lines.
    auto restore = [&] {
        WriteDcb(saved);
        SetTraceStates(savedTraces);
        SetActive(false);
        SetActive(wasActive);
    };
    std::wstring result;
    try {
        WriteDcb(IdentificationDcb(saved));
        SetTraceStates(TTraceStates{});
        result = ReadIdentification(*this);
    } catch (...) {
        // A handler failed on the way: the component is put back all the
        // same, and the caller hears of the first failure.
        Dropping(restore);
        throw;
    }
    restore();
    return result;
}

}  // namespace nr
