// The port engine: construction, open and close, line settings, time-outs,
// queue sizes, the configuration dialog and communication errors.
#include <cstring>

#include "nrcomm.h"
#include "nrcomm_channel.h"
#include "nrsysutils.h"

namespace nr {

namespace {

constexpr DWORD kSizeCommConfig = 52;
constexpr DWORD kSizeDcb = 28;
static_assert(sizeof(COMMCONFIG) == kSizeCommConfig && sizeof(DCB) == kSizeDcb);

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
}

TnrCustomComm::~TnrCustomComm() {
    if (fChannel) fChannel->Orphan();
    SetTerminal(nullptr);  // gives the control its own window procedure back
    SetDataProcessor(nullptr);
    OnTraceState = nullptr;
    Dropping([this] { Close(); });
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
    if (fChannel && fCommThreadControl) fChannel->AwaitFirstWait();
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
        if (fChannel) fChannel->SetEventMask(0);
    }
    const auto ch = fChannel;
    if (ch) {
        ch->DropQueue();
        ch->AbortWrite(200, fTotalSent);
    }
    FreeReceiveBuffer();
    TnrBaseIO::Close();
    // A write the driver held on to past the abort is released by the close.
    if (ch) ch->FinishWrite(INFINITE, fTotalSent);
    DoNotify(ncMediumClosed);
}

void TnrCustomComm::ChannelFailed(DWORD Error) {
    WriteLogFmt(dlDetail, L"The port failed: %u, %s", {Error, SysErrorText(Error)});
    ShutdownPort(false);
}

DWORD TnrCustomComm::PrepareHandle() {
    // The channel owns the handle from its open on; its threads start later,
    // once the open is announced and the receive buffer is there.
    fChannel = std::make_shared<detail::TPortChannel>(hPort, static_cast<detail::TChannelSink*>(this));
    return ConfigurePort();
}

void TnrCustomComm::ReleaseHandle(HANDLE Handle) {
    if (!fChannel || fChannel->Device() != Handle) return TnrBaseIO::ReleaseHandle(Handle);
    fChannel->Close();
    fChannel.reset();
}

DWORD TnrCustomComm::ConfigurePort() {
    if (!fChannel) return ERROR_INVALID_HANDLE;
    DWORD errors = 0;
    fChannel->Status(errors, nullptr);
    // Queue sizes are a recommendation: a driver that declines them (some
    // always do) still serves the port.
    if (!fChannel->SetQueues(fBufferInSize, fBufferOutSize))
        WriteLogFmt(dlDetail, L"Queue sizes declined: %s", {LastErrorText()});
    // Without its time-outs or its line settings the port is not the one asked
    // for; a handle that is no serial port at all refuses both.
    if (!fChannel->SetTimeouts(fCommTimeouts)) return RefusedBy(L"time-outs");
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
    return !fChannel || fChannel->SetState(CommCfg.dcb) || EmulateRefusedToggle();
}

bool TnrCustomComm::WriteDcb(const DCB& Dcb) { return fChannel && fChannel->SetState(Dcb); }

TLineSettings TnrCustomComm::LineSettings() const {
    TLineSettings s = TLineSettings::FromDcb(CommCfg.dcb, EmulatesRS485());
    s.Protocol = fProtocol;
    s.RS485 = fRS485Mode;
    return s;
}

void TnrCustomComm::BuildDcb() { LineSettings().ToDcb(CommCfg.dcb); }

// Many drivers (Wine's among them) refuse RTS toggling on systems that could
// do it: the engine then drives RTS itself. A DCB refused for anything else
// stays refused.
bool TnrCustomComm::EmulateRefusedToggle() {
    if (!fRS485Mode || fIsNotSupportRS485) return false;  // the DCB asked for no toggling
    const DWORD refused = Win32.GetLastError();
    fIsNotSupportRS485 = true;
    BuildDcb();
    if (fChannel->SetState(CommCfg.dcb)) {
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
    if (fChannel) {
        fChannel->GetConfig(CommCfg);
        CommCfg.dwSize = kSizeCommConfig;
        CommCfg.dcb.DCBlength = kSizeDcb;
        fChannel->GetState(CommCfg.dcb);
    }
    FlowControlFromDcb();
}

void TnrCustomComm::FlowControlFromDcb() {
    const TLineSettings s = TLineSettings::FromDcb(CommCfg.dcb, EmulatesRS485());
    fProtocol = s.Protocol;
    fRS485Mode = s.RS485;
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
    WriteDcb(CommCfg.dcb);
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
    CommCfg.dcb.fParity = Value != pNone;
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
    if (fChannel) fChannel->SetQueues(Value, fBufferOutSize);
    fBufferInSize = Value;
}

void TnrCustomComm::SetBufferOutSize(std::uint16_t Value) {
    if (fChannel) fChannel->SetQueues(fBufferInSize, Value);
    fBufferOutSize = Value;
}

// ---- time-outs, driver state

const COMMTIMEOUTS* TnrCustomComm::TimeOuts() {
    if (fChannel) fChannel->GetTimeouts(fCommTimeouts);
    return &fCommTimeouts;
}

void TnrCustomComm::SetTimeOuts(const COMMTIMEOUTS* Value) {
    if (Value != &fCommTimeouts) std::memcpy(&fCommTimeouts, Value, sizeof fCommTimeouts);
    if (fChannel) fChannel->SetTimeouts(fCommTimeouts);
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
    if (fChannel) fChannel->Properties(ComProp);
    return &ComProp;
}

std::uint32_t TnrCustomComm::ReadyForRead() {
    DWORD errors = 0;
    COMSTAT cs{};
    auto* ch = OpenChannel();
    if (!ch || !ch->Status(errors, &cs)) return 0;
    return cs.cbInQue;
}

std::uint32_t TnrCustomComm::NotYetSend() {
    DWORD errors = 0;
    COMSTAT cs{};
    auto* ch = OpenChannel();
    if (!ch || !ch->Status(errors, &cs)) return 0;
    return cs.cbOutQue + ch->QueuedBytes();
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
