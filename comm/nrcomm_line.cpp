// The line settings as a value, and the DCB's flag word over its bit-fields.
#include "nrcomm.h"

namespace nr {

namespace {

// The bits of the flag word, in the order of the DCB's bit-fields.
constexpr DWORD kBinary = 1u << 0;
constexpr DWORD kParity = 1u << 1;
constexpr DWORD kOutxCtsFlow = 1u << 2;
constexpr DWORD kOutxDsrFlow = 1u << 3;
constexpr DWORD DtrControl(DWORD v) { return v << 4; }  // two bits
constexpr DWORD kDsrSensitivity = 1u << 6;
constexpr DWORD kTXContinueOnXoff = 1u << 7;
constexpr DWORD kOutX = 1u << 8;
constexpr DWORD kInX = 1u << 9;
constexpr DWORD kErrorChar = 1u << 10;
constexpr DWORD kNull = 1u << 11;
constexpr DWORD RtsControl(DWORD v) { return v << 12; }  // two bits
constexpr DWORD kAbortOnError = 1u << 14;

// Kept as they are when the line settings are written (the upper DTR bit
// with them: only DTR_CONTROL_ENABLE is ever written).
constexpr DWORD kKeepFlags =
    kParity | kOutxDsrFlow | DtrControl(2) | kDsrSensitivity | kTXContinueOnXoff | kErrorChar | kNull | kAbortOnError;
constexpr DWORD kFlagsNone = kBinary | DtrControl(DTR_CONTROL_ENABLE) | RtsControl(RTS_CONTROL_ENABLE);
constexpr DWORD kFlagsXonXoff = kFlagsNone | kOutX | kInX;
constexpr DWORD kFlagsHardware =
    kBinary | kOutxCtsFlow | DtrControl(DTR_CONTROL_ENABLE) | RtsControl(RTS_CONTROL_HANDSHAKE);
constexpr DWORD kFlagsRS485 = kBinary | DtrControl(DTR_CONTROL_ENABLE) | RtsControl(RTS_CONTROL_TOGGLE);
// A driver that cannot toggle RTS refuses the request: the engine drives RTS
// itself, so the driver is asked to leave it alone (off until a send).
constexpr DWORD kFlagsRS485Emulated = kBinary | DtrControl(DTR_CONTROL_ENABLE) | RtsControl(RTS_CONTROL_DISABLE);
constexpr DWORD kRtsControl = RtsControl(3);
// The words stored configurations and other programs know.
static_assert(kKeepFlags == 0x4CEA && kFlagsNone == 0x1011 && kFlagsXonXoff == 0x1311 && kFlagsHardware == 0x2015 &&
              kFlagsRS485 == 0x3011 && kFlagsRS485Emulated == 0x0011);

DWORD ModeFlags(const TLineSettings& s) {
    if (s.RS485) return s.EngineDrivesRts ? kFlagsRS485Emulated : kFlagsRS485;
    if (s.Protocol == spXonXoff) return kFlagsXonXoff;
    if (s.Protocol == spHardware) return kFlagsHardware;
    return kFlagsNone;
}

}  // namespace

DWORD DcbFlagWord(const DCB& d) {
    return DWORD{d.fBinary} | DWORD{d.fParity} << 1 | DWORD{d.fOutxCtsFlow} << 2 | DWORD{d.fOutxDsrFlow} << 3 |
           DWORD{d.fDtrControl} << 4 | DWORD{d.fDsrSensitivity} << 6 | DWORD{d.fTXContinueOnXoff} << 7 |
           DWORD{d.fOutX} << 8 | DWORD{d.fInX} << 9 | DWORD{d.fErrorChar} << 10 | DWORD{d.fNull} << 11 |
           DWORD{d.fRtsControl} << 12 | DWORD{d.fAbortOnError} << 14 | DWORD{d.fDummy2} << 15;
}

void SetDcbFlagWord(DCB& d, DWORD w) {
    d.fBinary = w & 1;
    d.fParity = (w >> 1) & 1;
    d.fOutxCtsFlow = (w >> 2) & 1;
    d.fOutxDsrFlow = (w >> 3) & 1;
    d.fDtrControl = (w >> 4) & 3;
    d.fDsrSensitivity = (w >> 6) & 1;
    d.fTXContinueOnXoff = (w >> 7) & 1;
    d.fOutX = (w >> 8) & 1;
    d.fInX = (w >> 9) & 1;
    d.fErrorChar = (w >> 10) & 1;
    d.fNull = (w >> 11) & 1;
    d.fRtsControl = (w >> 12) & 3;
    d.fAbortOnError = (w >> 14) & 1;
    d.fDummy2 = w >> 15;
}

void TLineSettings::ToDcb(DCB& d) const {
    d.DCBlength = sizeof(DCB);
    d.BaudRate = BaudRate;
    d.ByteSize = ByteSize;
    d.Parity = static_cast<BYTE>(Parity);
    d.StopBits = static_cast<BYTE>(StopBits);
    d.EvtChar = EventChar;
    SetDcbFlagWord(d, (DcbFlagWord(d) & kKeepFlags) | ModeFlags(*this));
    d.XonLim = 2048;
    d.XoffLim = 2048;
    d.XonChar = 0x11;
    d.XoffChar = 0x13;
}

TLineSettings TLineSettings::FromDcb(const DCB& d, bool EngineDrivesRts) {
    TLineSettings s;
    s.BaudRate = d.BaudRate;
    s.ByteSize = d.ByteSize;
    s.Parity = static_cast<TParity>(d.Parity);
    s.StopBits = static_cast<TStopBits>(d.StopBits);
    s.EventChar = d.EvtChar;
    s.EngineDrivesRts = EngineDrivesRts;
    const DWORD f = DcbFlagWord(d);
    if ((f & kFlagsXonXoff) == kFlagsXonXoff)
        s.Protocol = spXonXoff;
    else if ((f & kFlagsHardware) == kFlagsHardware)
        s.Protocol = spHardware;
    s.RS485 = (f & kFlagsRS485) == kFlagsRS485 || (EngineDrivesRts && (f & kRtsControl) == 0);
    return s;
}

}  // namespace nr
