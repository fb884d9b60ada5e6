// The port engine: construction, open and close, line settings, time-outs,
// queue sizes, the configuration dialog and communication errors.
#include <cstddef>
#include <cstring>

#include "nrcomm.h"
#include "nrcomm_link.h"
#include "nrsysutils.h"

namespace nr {

namespace {

constexpr DWORD kSizeCommConfig = 52;
constexpr DWORD kSizeDcb = 28;
static_assert(sizeof(COMMCONFIG) == kSizeCommConfig && sizeof(DCB) == kSizeDcb);

// The bits of the DCB flag word, in the order of its bit fields.
constexpr DWORD fBinary = 1u << 0;
constexpr DWORD fParity = 1u << 1;
constexpr DWORD fOutxCtsFlow = 1u << 2;
constexpr DWORD fOutxDsrFlow = 1u << 3;
constexpr DWORD DtrControl(DWORD v) { return v << 4; }  // two bits
constexpr DWORD fDsrSensitivity = 1u << 6;
constexpr DWORD fTXContinueOnXoff = 1u << 7;
constexpr DWORD fOutX = 1u << 8;
constexpr DWORD fInX = 1u << 9;
constexpr DWORD fErrorChar = 1u << 10;
constexpr DWORD fNull = 1u << 11;
constexpr DWORD RtsControl(DWORD v) { return v << 12; }  // two bits
constexpr DWORD fAbortOnError = 1u << 14;

// Kept as they are when the line settings are applied (the upper DTR bit
// with them: only DTR_CONTROL_ENABLE is ever written).
constexpr DWORD kKeepFlags =
    fParity | fOutxDsrFlow | DtrControl(2) | fDsrSensitivity | fTXContinueOnXoff | fErrorChar | fNull | fAbortOnError;
constexpr DWORD kFlagsNone = fBinary | DtrControl(DTR_CONTROL_ENABLE) | RtsControl(RTS_CONTROL_ENABLE);
constexpr DWORD kFlagsXonXoff = kFlagsNone | fOutX | fInX;
constexpr DWORD kFlagsHardware =
    fBinary | fOutxCtsFlow | DtrControl(DTR_CONTROL_ENABLE) | RtsControl(RTS_CONTROL_HANDSHAKE);
constexpr DWORD kFlagsRS485 = fBinary | DtrControl(DTR_CONTROL_ENABLE) | RtsControl(RTS_CONTROL_TOGGLE);
// A driver that cannot toggle RTS refuses the request: the engine drives RTS
// itself, so the driver is asked to leave it alone (off until a send).
constexpr DWORD kFlagsRS485Emulated = fBinary | DtrControl(DTR_CONTROL_ENABLE) | RtsControl(RTS_CONTROL_DISABLE);
constexpr DWORD kRtsControl = RtsControl(3);
// The words stored configurations and other programs know.
static_assert(kKeepFlags == 0x4CEA && kFlagsNone == 0x1011 && kFlagsXonXoff == 0x1311 && kFlagsHardware == 0x2015 &&
              kFlagsRS485 == 0x3011 && kFlagsRS485Emulated == 0x0011);

// The flag word follows DCBlength and BaudRate.
constexpr std::size_t kDcbFlagsOffset = 8;
static_assert(offsetof(DCB, BaudRate) + sizeof(DWORD) == kDcbFlagsOffset &&
              offsetof(DCB, wReserved) == kDcbFlagsOffset + sizeof(DWORD));

DWORD DcbFlags(const DCB& d) {
    DWORD f;
    std::memcpy(&f, reinterpret_cast<const char*>(&d) + kDcbFlagsOffset, sizeof f);
    return f;
}

void SetDcbFlags(DCB& d, DWORD f) { std::memcpy(reinterpret_cast<char*>(&d) + kDcbFlagsOffset, &f, sizeof f); }

}  // namespace

TnrCustomComm::TnrCustomComm(TComponent* AOwner) : TnrBaseIO(AOwner) {
    glBuffer = nullptr;
    fCommTimeouts = COMMTIMEOUTS{};
    fCommTimeouts.WriteTotalTimeoutMultiplier = 100;

    OSVERSIONINFOW vi;
    const bool drivesRtsToggle =
        SystemVersion(vi) && vi.dwPlatformId == VER_PLATFORM_WIN32_NT && vi.dwMajorVersion >= 5;
    fIsNotSupportRS485 = !drivesRtsToggle;

    fUseMainThread = true;
    fTraceStates = TTraceStates{};
    CommCfg.dwSize = kSizeCommConfig;
    CommCfg.dcb.DCBlength = kSizeDcb;
    SetBufferInSize(8192);
    SetBufferOutSize(8192);
    // SendData's write gets an event of its own: waiting on the port handle
    // would also wake on the completion of any other read or write.
    hAsyncEvent = Win32.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    fOvlAsync.hEvent = hAsyncEvent;
}

TnrCustomComm::~TnrCustomComm() {
    if (fLink) fLink->ComAlive = false;
    SetTerminal(nullptr);  // gives the control its own window procedure back
    SetDataProcessor(nullptr);
    OnTraceState = nullptr;
    Dropping([this] { Close(); });
    // A write still in flight would complete into fOvlAsync and fAsyncData.
    FinishAsyncWrite(false, INFINITE);
    if (hAsyncEvent) Win32.CloseHandle(hAsyncEvent);
    hAsyncEvent = nullptr;
    fOvlAsync.hEvent = nullptr;
}

std::wstring TnrCustomComm::QueryComName() { return L"Unknown"; }

// ---- open and close

void TnrCustomComm::Open() {
    Close();
    fTotalReceived = 0;
    fTotalSent = 0;
    fCountedQueued = 0;
    TnrBaseIO::Open();  // configures the port too (PrepareHandle)
    if (!IsOpen()) {
        const std::wstring sysText = LastErrorText();
        const std::wstring Message = fw::Format(L"Device \"%s\" Open Error !!!\r%s", {ComName(), sysText});
        LastErrorString = Message;
        ReportFatalError(1, 0, Message, false);
        return;
    }
    AllocReceiveBuffer();
    WriteLogFmt(dlSimple, L"The port %s is opened succesfully", {ComName()});
    SetTraceStates(fTraceStates);
    StartThreadIO();
    AwaitFirstWait();
    DoNotify(ncMediumOpened);
}

void TnrCustomComm::Close() {
    if (IsOpen()) {
        try {
            ShutdownPort(true);
            WriteLog(dlSimple, L"The port is closed succesfully");
        } catch (...) {
            Dropping([this] { TnrBaseIO::Close(); });
        }
    }
    // Every open starts with a close: a failing trace handler must not stop it.
    try {
        DoTraceState(this, TTraceStates{tsTxEmpty});
    } catch (...) {
        ReportHandlerException();
    }
}

void TnrCustomComm::ShutdownPort(bool Purge) {
    if (!IsOpen()) return;
    StopThreadIO();
    // Serving other work while a running dispatch finished may have closed us already.
    if (!IsOpen()) return;
    if (Purge) {
        if (NotYetSend() > 0) ClearDeviceBuffers();
        Win32.SetCommMask(hPort, 0);
    }
    DropSendQueue();
    if (fAsyncPending) {
        Win32.PurgeComm(hPort, PURGE_TXABORT);
        FinishAsyncWrite(false, 200);
    }
    FreeReceiveBuffer();
    TnrBaseIO::Close();
    // A write the driver held on to past the abort is released by the close.
    FinishAsyncWrite(false, INFINITE);
    DoNotify(ncMediumClosed);
}

void TnrCustomComm::PortFailed(DWORD Error) {
    WriteLogFmt(dlDetail, L"The port failed: %u, %s", {Error, SysErrorText(Error)});
    ShutdownPort(false);
}

DWORD TnrCustomComm::ConfigurePort() {
    DWORD errors = 0;
    Win32.ClearCommError(hPort, &errors, nullptr);
    // Queue sizes are a recommendation: a driver that declines them (some
    // always do) still serves the port.
    if (!Win32.SetupComm(hPort, fBufferInSize, fBufferOutSize))
        WriteLogFmt(dlDetail, L"Queue sizes declined: %s", {LastErrorText()});
    // Without its time-outs or its line settings the port is not the one asked
    // for; a handle that is no serial port at all refuses both.
    if (!Win32.SetCommTimeouts(hPort, &fCommTimeouts)) return RefusedBy(L"time-outs");
    if (!ApplyLineSettings()) return RefusedBy(L"line settings");
    return ERROR_SUCCESS;
}

DWORD TnrCustomComm::RefusedBy(const wchar_t* What) {
    DWORD error = Win32.GetLastError();
    if (error == ERROR_SUCCESS) error = ERROR_GEN_FAILURE;  // refused without a reason is still refused
    WriteLogFmt(dlDetail, L"The driver refused the %s: %s", {What, SysErrorText(error)});
    return error;
}

// ---- line settings

bool TnrCustomComm::ApplyLineSettings() {
    BuildDcb();
    return !IsOpen() || Win32.SetCommState(hPort, &CommCfg.dcb) || EmulateRefusedToggle();
}

void TnrCustomComm::BuildDcb() {
    CommCfg.dcb.DCBlength = kSizeDcb;
    DWORD f = DcbFlags(CommCfg.dcb) & kKeepFlags;
    if (fRS485Mode)
        f |= EmulatesRS485() ? kFlagsRS485Emulated : kFlagsRS485;
    else if (fProtocol == spXonXoff)
        f |= kFlagsXonXoff;
    else if (fProtocol == spHardware)
        f |= kFlagsHardware;
    else
        f |= kFlagsNone;
    SetDcbFlags(CommCfg.dcb, f);
    CommCfg.dcb.XonLim = 2048;
    CommCfg.dcb.XoffLim = 2048;
    CommCfg.dcb.XonChar = 0x11;
    CommCfg.dcb.XoffChar = 0x13;
}

// Many drivers (Wine's among them) refuse RTS toggling on systems that could
// do it: the engine then drives RTS itself. A DCB refused for anything else
// stays refused.
bool TnrCustomComm::EmulateRefusedToggle() {
    if (!fRS485Mode || fIsNotSupportRS485) return false;  // the DCB asked for no toggling
    const DWORD refused = Win32.GetLastError();
    fIsNotSupportRS485 = true;
    BuildDcb();
    if (Win32.SetCommState(hPort, &CommCfg.dcb)) {
        WriteLogFmt(dlDetail, L"The driver refused RTS toggling (%s): the port drives RTS itself",
                    {SysErrorText(refused)});
        SetTraceStates(fTraceStates);  // transmit-empty drops RTS from now on
        return true;
    }
    fIsNotSupportRS485 = false;
    BuildDcb();
    Win32.SetLastError(refused);
    return false;
}

void TnrCustomComm::ReadCommConfig() {
    CommCfg.dwSize = kSizeCommConfig;
    CommCfg.dcb.DCBlength = kSizeDcb;
    if (IsOpen()) {
        Win32.GetCommConfig(hPort, &CommCfg, &CommCfg.dwSize);
        CommCfg.dwSize = kSizeCommConfig;
        CommCfg.dcb.DCBlength = kSizeDcb;
        Win32.GetCommState(hPort, &CommCfg.dcb);
    }
    FlowControlFromDcb();
}

void TnrCustomComm::FlowControlFromDcb() {
    const DWORD f = DcbFlags(CommCfg.dcb);
    if ((f & kFlagsXonXoff) == kFlagsXonXoff)
        fProtocol = spXonXoff;
    else if ((f & kFlagsHardware) == kFlagsHardware)
        fProtocol = spHardware;
    else
        fProtocol = spNone;
    fRS485Mode = (f & kFlagsRS485) == kFlagsRS485 || (EmulatesRS485() && (f & kRtsControl) == 0);
}

void TnrCustomComm::ConfigDialog() {
    ReadCommConfig();
    // The dialog works on a copy: a cancelled dialog must leave the settings alone.
    COMMCONFIG cfg = CommCfg;
    const std::wstring name = ComName();
    if (!Win32.CommConfigDialogW(name.c_str(), Win32.GetForegroundWindow(), &cfg)) return;
    CommCfg = cfg;
    CommCfg.dwSize = kSizeCommConfig;
    CommCfg.dcb.DCBlength = kSizeDcb;
    if (IsOpen()) Win32.SetCommState(hPort, &CommCfg.dcb);
    ReadCommConfig();
}

void TnrCustomComm::SetBaudRate(std::uint32_t Value) {
    CommCfg.dcb.BaudRate = Value;
    ApplyLineSettings();
}

void TnrCustomComm::SetByteSize(std::uint8_t Value) {
    CommCfg.dcb.ByteSize = (Value >= 4 && Value <= 8) ? Value : 8;
    ApplyLineSettings();
}

void TnrCustomComm::SetParity(TParity Value) {
    CommCfg.dcb.Parity = static_cast<BYTE>(Value);
    DWORD f = DcbFlags(CommCfg.dcb);
    f = (Value == pNone) ? (f & ~fParity) : (f | fParity);
    SetDcbFlags(CommCfg.dcb, f);
    ApplyLineSettings();
}

void TnrCustomComm::SetStopBits(TStopBits Value) {
    CommCfg.dcb.StopBits = static_cast<BYTE>(Value);
    ApplyLineSettings();
}

void TnrCustomComm::WriteEventChar(wchar_t Value) {
    CommCfg.dcb.EvtChar = static_cast<char>(Value & 0xFF);
    ApplyLineSettings();
}

wchar_t TnrCustomComm::ReadEventChar() { return static_cast<wchar_t>(static_cast<unsigned char>(CommCfg.dcb.EvtChar)); }

void TnrCustomComm::SetStreamProtocol(TStreamProtocol Value) {
    fProtocol = Value;
    ApplyLineSettings();
}

void TnrCustomComm::SetRS485Mode(bool Value) {
    fRS485Mode = Value;
    ApplyLineSettings();
}

void TnrCustomComm::SetBufferInSize(std::uint16_t Value) {
    if (IsOpen()) Win32.SetupComm(hPort, Value, fBufferOutSize);
    fBufferInSize = Value;
}

void TnrCustomComm::SetBufferOutSize(std::uint16_t Value) {
    if (IsOpen()) Win32.SetupComm(hPort, fBufferInSize, Value);
    fBufferOutSize = Value;
}

// ---- time-outs, driver state

const COMMTIMEOUTS* TnrCustomComm::TimeOuts() {
    if (IsOpen()) Win32.GetCommTimeouts(hPort, &fCommTimeouts);
    return &fCommTimeouts;
}

void TnrCustomComm::SetTimeOuts(const COMMTIMEOUTS* Value) {
    if (Value != &fCommTimeouts) std::memcpy(&fCommTimeouts, Value, sizeof fCommTimeouts);
    if (IsOpen()) Win32.SetCommTimeouts(hPort, &fCommTimeouts);
}

std::uint32_t TnrCustomComm::TimeoutRead() { return TimeOuts()->ReadTotalTimeoutMultiplier; }

void TnrCustomComm::SetTimeoutRead(std::uint32_t Value) {
    COMMTIMEOUTS t = *TimeOuts();
    t.ReadTotalTimeoutMultiplier = Value;
    SetTimeOuts(&t);
}

std::uint32_t TnrCustomComm::TimeoutWrite() { return TimeOuts()->WriteTotalTimeoutMultiplier; }

void TnrCustomComm::SetTimeoutWrite(std::uint32_t Value) {
    COMMTIMEOUTS t = *TimeOuts();
    t.WriteTotalTimeoutMultiplier = Value;
    SetTimeOuts(&t);
}

const COMMPROP* TnrCustomComm::CommProp() {
    if (IsOpen()) Win32.GetCommProperties(hPort, &ComProp);
    return &ComProp;
}

std::uint32_t TnrCustomComm::ReadyForRead() {
    if (!IsOpen()) return 0;
    DWORD errors = 0;
    COMSTAT cs{};
    if (!Win32.ClearCommError(hPort, &errors, &cs)) return 0;
    return cs.cbInQue;
}

std::uint32_t TnrCustomComm::NotYetSend() {
    if (!IsOpen()) return 0;
    DWORD errors = 0;
    COMSTAT cs{};
    if (!Win32.ClearCommError(hPort, &errors, &cs)) return 0;
    detail::TSlimGuard g(fSendLock);
    return cs.cbOutQue + static_cast<std::uint32_t>(fSendQueue.size());
}

// ---- errors

void TnrCustomComm::DoCommError(std::uint32_t CommCode, std::uint32_t SysError, TComStateFlags State) {
    EmulatedRTS(false);
    bool flFlashBuffers = false;
    WriteLogFmt(dlDetail, L"Communication Error %d:%d", {CommCode, SysError});
    if (OnCommError) OnCommError(this, CommCode, SysError, State, flFlashBuffers);
    if (flFlashBuffers) ClearDeviceBuffers();
}

}  // namespace nr
