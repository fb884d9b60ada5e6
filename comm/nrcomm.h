// The serial port engine: open, configure, send, read, purge and close a
// Win32 communications port; the event-wait and message threads that deliver
// driver events; modem lines and tracing.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "nrclasses.h"
#include "nrwin32.h"

namespace fw {
class TWinControl;
}

namespace nr {

class TnrCustomComm;
class TCommThread;
class TMsgThread;

enum TParity : std::uint8_t { pNone, pOdd, pEven, pMark, pSpace };
enum TStopBits : std::uint8_t { sbOne, sbOneAndHalf, sbTwo };
enum TStreamProtocol : std::uint8_t { spNone, spXonXoff, spHardware };

// The line as the engine asks a driver for it. ToDcb writes it over the DCB's
// named fields and leaves alone the ones the engine never sets (fParity, DSR
// flow and sensitivity, error and NUL handling, abort on error, the upper DTR
// bit); FromDcb reads it back.
struct TLineSettings {
    std::uint32_t BaudRate = 0;
    std::uint8_t ByteSize = 8;
    TParity Parity = pNone;
    TStopBits StopBits = sbOne;
    char EventChar = 0;
    TStreamProtocol Protocol = spNone;
    bool RS485 = false;
    // RS485 with RTS raised and dropped by the engine: the driver leaves RTS alone.
    bool EngineDrivesRts = false;

    void ToDcb(DCB& d) const;
    static TLineSettings FromDcb(const DCB& d, bool EngineDrivesRts);
};

// The DCB's flag word as stored configurations lay it out: bit n is its n-th
// bit-field.
DWORD DcbFlagWord(const DCB& d);
void SetDcbFlagWord(DCB& d, DWORD Word);

// The COMSTAT status bits, bit n of the COMSTAT flag byte is member n.
enum TComStateFlag : std::uint8_t { csCtsHold, csDsrHold, csRlsdHold, csXoffHold, csXoffSent, csEof, csTxim };
using TComStateFlags = fw::TSet<TComStateFlag, std::uint8_t>;

enum TTraceState : std::uint8_t {
    tsRxChar,
    tsRxFlag,
    tsTxEmpty,
    tsCTS,
    tsDSR,
    tsRLSD,
    tsBreak,
    tsErr,
    tsRing,
    tsRx80Full,
    tsEvent1,
    tsEvent2
};
using TTraceStates = fw::TSet<TTraceState, std::uint16_t>;

enum TModemSignal : std::uint8_t { msCTS, msDSR, msRing, msRLSD };
using TModemSignals = fw::TSet<TModemSignal, std::uint8_t>;

using TOnCommErrorEvent = fw::TEvent<void(TObject* Sender, std::uint32_t CommCode, std::uint32_t SysError,
                                          TComStateFlags State, bool& flFlashBuffers)>;
using TOnTraceEvent = fw::TEvent<void(TObject* Sender, TTraceStates Event)>;

// The two registered window messages, registered at program start.
extern UINT nrCommMsgComEvent;      // "nrCommMsgComEvent": wParam = EV_* mask
extern UINT nrCommMsgQuitComEvent;  // "nrCommMsgQuitComEvent"

// The driver event mask for a set of trace states (EV_RXCHAR always; EV_TXEMPTY
// also when RTS has to be dropped by the engine itself).
DWORD TraceStatesToEventMask(TTraceStates Value, bool EmulateRS485);
// The line events of a driver event mask (EV_RXCHAR and EV_TXEMPTY excluded).
TTraceStates EventMaskToTraceStates(DWORD Mask);

namespace detail {
// What an open port has, shared with its two worker threads; outlives
// whichever of them ends last (nrcomm_channel.h).
class TPortChannel;
struct TSendErrors;

// How a port channel tells its component what happened; called on the
// thread that runs the dispatch.
class TChannelSink {
public:
    virtual void ChannelEvent(const MSG& Msg) = 0;  // a driver event
    virtual void ChannelWriteEnded() = 0;           // the SendData block ended
    virtual void ChannelFailed(DWORD Error) = 0;    // the driver failed
    // An exception came out of one of the above.
    virtual void ChannelHandlerFailed() = 0;
    // Whether the dispatch runs on the user-interface thread.
    virtual bool ChannelOnMainThread() = 0;

protected:
    ~TChannelSink() = default;
};
}  // namespace detail

// The serial port engine. A descendant supplies the handle (OpenHandle) and
// the port's display name (QueryComName).
class TnrCustomComm : public TnrBaseIO, private detail::TChannelSink {
public:
    explicit TnrCustomComm(TComponent* AOwner);
    ~TnrCustomComm() override;

    // ---- replaced operations of TnrBaseIO
    void Notification(TComponent* AComponent, fw::TOperation Operation) override;
    void Open() override;
    void Close() override;
    void StartThreadIO() override;
    void StopThreadIO() override;
    void SendChar(wchar_t Ch) override;
    void SendString(const std::string& S) override;
    void SendData(const void* Buff, std::uint32_t N) override;
    void ClearDeviceInput() override;
    void ClearDeviceOutput() override;
    void ClearDeviceBuffers() override;

    // ---- added operations, in slot order
    virtual std::wstring QueryComName();
    // Queue sizes, time-outs and line settings: 0, or the error of the part
    // the driver refused.
    virtual DWORD ConfigurePort();
    virtual void WriteEventChar(wchar_t Value);
    virtual wchar_t ReadEventChar();
    virtual void DoCommError(std::uint32_t CommCode, std::uint32_t SysError, TComStateFlags State);

    // ---- settings
    std::uint32_t BaudRate() const { return CommCfg.dcb.BaudRate; }
    void SetBaudRate(std::uint32_t Value);
    std::uint8_t ByteSize() const { return CommCfg.dcb.ByteSize; }
    void SetByteSize(std::uint8_t Value);
    TParity Parity() const { return static_cast<TParity>(CommCfg.dcb.Parity); }
    void SetParity(TParity Value);
    TStopBits StopBits() const { return static_cast<TStopBits>(CommCfg.dcb.StopBits); }
    void SetStopBits(TStopBits Value);
    wchar_t EventChar() { return ReadEventChar(); }
    void SetEventChar(wchar_t Value) { WriteEventChar(Value); }
    TStreamProtocol StreamProtocol() const { return fProtocol; }
    void SetStreamProtocol(TStreamProtocol Value);
    bool RS485Mode() const { return fRS485Mode; }
    void SetRS485Mode(bool Value);
    std::uint16_t BufferInSize() const { return fBufferInSize; }
    void SetBufferInSize(std::uint16_t Value);
    std::uint16_t BufferOutSize() const { return fBufferOutSize; }
    void SetBufferOutSize(std::uint16_t Value);
    std::uint32_t TimeoutRead();
    void SetTimeoutRead(std::uint32_t Value);
    std::uint32_t TimeoutWrite();
    void SetTimeoutWrite(std::uint32_t Value);
    bool UseMainThread() const { return fUseMainThread; }
    void SetUseMainThread(bool Value) { fUseMainThread = Value; }
    TTraceStates TraceStates() const { return fTraceStates; }
    void SetTraceStates(TTraceStates Value);

    // ---- state
    std::wstring ComName() { return QueryComName(); }
    std::uint32_t ReadyForRead();
    // What waits to go: the driver's output queue and the SendData bytes
    // queued behind its write in flight.
    std::uint32_t NotYetSend();
    const COMMTIMEOUTS* TimeOuts();
    void SetTimeOuts(const COMMTIMEOUTS* Value);
    const COMMPROP* CommProp();
    std::uint32_t TotalReceived() const { return fTotalReceived; }
    std::uint32_t TotalSent() const { return fTotalSent; }
    // SendData takes at most this many bytes beyond the block the driver is
    // writing; more is refused with ERROR_BUSY through OnCommError. A bound on
    // memory, not on pace: a program sending faster than the line never meets
    // it, while one writing into a line that never drains cannot exhaust a
    // 32-bit process.
    static constexpr std::uint32_t kSendQueueLimit = 64u << 20;
    const std::wstring& LastOpenError() const { return LastErrorString; }
    // True when the engine drops and raises RTS around sends itself.
    bool EmulatesRS485() const { return fRS485Mode && fIsNotSupportRS485; }

    // ---- operations
    void SendAheadChar(wchar_t Ch);
    void Read(void* Buffer, std::uint32_t Len);
    void ReadAll(void* Buffer);
    std::int32_t ReadMax(void* Buffer, std::int32_t MaxLen);
    std::string ReadString();
    void FlushOutputBuffer();
    void ConfigDialog();
    // Builds the DCB flags from the settings; hands the DCB to the driver when
    // open. False when the driver refused it.
    bool ApplyLineSettings();
    // Reads the configuration back (from the driver when open) into the settings.
    void ReadCommConfig();

    // ---- line signals and tracing
    TModemSignals ModemSignals();
    void SetStateDTR(bool State);
    void SetStateRTS(bool State);
    void SetStateX(bool State);
    void SetStateBreak(bool State);
    TComponent* MonitorCTS() const { return fMonitorCTS; }
    void SetMonitorCTS(TComponent* Value) { SetMonitor(fMonitorCTS, Value); }
    TComponent* MonitorDSR() const { return fMonitorDSR; }
    void SetMonitorDSR(TComponent* Value) { SetMonitor(fMonitorDSR, Value); }
    TComponent* MonitorRLSD() const { return fMonitorRLSD; }
    void SetMonitorRLSD(TComponent* Value) { SetMonitor(fMonitorRLSD, Value); }
    TComponent* MonitorRing() const { return fMonitorRing; }
    void SetMonitorRing(TComponent* Value) { SetMonitor(fMonitorRing, Value); }

    // ---- blocking waits: poll the driver until the condition holds, Ms have
    // passed or the port closes, keeping the user interface alive meanwhile
    bool WaitForBytes(std::uint32_t Count, std::uint32_t Ms);
    bool WaitForSignal(TModemSignal Signal, std::uint32_t Ms);
    // The bytes up to and including Terminator (a text line with "\n"),
    // waiting at most Ms for them; Max bounds the length (0: no bound). On a
    // time-out, at the bound or when the port closes, what came so far: the
    // caller tells by its end whether the terminator came.
    std::string ReadUntil(const std::string& Terminator = "\n", std::uint32_t Ms = 1000, std::uint32_t Max = 0);

    // ---- terminal binding: keys typed into the control go to the port,
    // received bytes are shown in it (as TerminalUsage says)
    void SetTerminal(fw::TWinControl* Value) { BindTerminal(Value); }
    void SetTerminalUsage(TTerminalUsage Value) { ApplyTerminalUsage(Value); }

    TOnSent OnAfterSend;
    TOnTraceEvent OnTraceState;
    TOnCommErrorEvent OnCommError;

protected:
    // Writes a DCB to the open port, leaving the settings alone; false when
    // closed or refused.
    bool WriteDcb(const DCB& Dcb);
    // The port channel takes the handle over here.
    DWORD PrepareHandle() override;
    void ReleaseHandle(HANDLE Handle) override;
    // Closes the port; Purge clears pending output and the event mask first.
    // The dispatch uses it with false when the driver fails.
    void ShutdownPort(bool Purge);
    // The dispatch of one driver event (comm event message, wParam = EV_* mask).
    void ProcessCommEvent(const MSG& Msg);
    void DoTraceState(TObject* Sender, TTraceStates Event);
    void SetMonitorChecked(TComponent* Control, bool Value);
    void AllocReceiveBuffer();
    void FreeReceiveBuffer();
    // StreamProtocol and RS485Mode as the flag word of the held DCB tells them.
    void FlowControlFromDcb();
    // The settings together, as the held DCB and the flow-control fields have them.
    TLineSettings LineSettings() const;
    void BindTerminal(fw::TWinControl* Value);
    void ApplyTerminalUsage(TTerminalUsage Value);
    void ReapplyTerminal() override;
    // Every message of the terminal control passes here.
    void TerminalWndProc(fw::TMessage& Message);

    TMsgThread* MsgThread = nullptr;    // not owned; forgotten when told to stop
    TCommThread* CommThread = nullptr;  // not owned; forgotten when told to stop
    // What outlives the worker threads, to stop them (or wait for their end).
    std::shared_ptr<fw::TThreadControl> fMsgThreadControl;
    std::shared_ptr<fw::TThreadControl> fCommThreadControl;
    COMSTAT Stat{};
    COMMPROP ComProp{};
    COMMTIMEOUTS fCommTimeouts{};
    std::wstring LastErrorString;
    std::atomic<std::uint32_t> fTotalSent{0};
    std::atomic<std::uint32_t> fTotalReceived{0};
    // While set, the dispatch leaves received bytes in the driver's queue for
    // the caller of a blocking wait, even with a handler attached. Atomic: the
    // dispatch may run on the message thread.
    std::atomic<bool> fReceiveHeld{false};
    TTraceStates fTraceStates;
    std::uint16_t fBufferOutSize = 0;
    std::uint16_t fBufferInSize = 0;
    std::uint8_t* glBuffer = nullptr;  // owned by the channel while open
    std::uint32_t glBufferSize = 0;
    bool fRS485Mode = false;
    bool fUseMainThread = true;
    TComponent* fMonitorRLSD = nullptr;
    TComponent* fMonitorRing = nullptr;
    TComponent* fMonitorCTS = nullptr;
    TComponent* fMonitorDSR = nullptr;
    bool fIsNotSupportRS485 = false;
    TStreamProtocol fProtocol = spNone;
    COMMCONFIG CommCfg{};

private:
    friend struct TTerminalHook;  // the control's window hook (nrcomm_terminal.cpp)
    void UnhookTerminal();
    // Sends a typed character in the terminal's code page.
    void SendTyped(wchar_t Ch);

    // ---- what the port channel tells
    void ChannelEvent(const MSG& Msg) override { ProcessCommEvent(Msg); }
    // Reports a failure of the SendData block, sends what queued behind it.
    void ChannelWriteEnded() override;
    // The port closes as for an unplug.
    void ChannelFailed(DWORD Error) override;
    void ChannelHandlerFailed() override { ReportHandlerException(); }
    bool ChannelOnMainThread() override { return fUseMainThread; }

    void SetMonitor(TComponent*& Field, TComponent* Value);
    void EmulatedRTS(bool State);
    // Sends at once and waits for the driver to take the bytes.
    void SendNow(const std::uint8_t* Data, std::uint32_t N);
    // Queues the bytes behind SendData bytes still waiting to go; false when none wait.
    bool SendBehindQueue(const std::uint8_t* Data, std::uint32_t N);
    // Reports what a send left; false when its own bytes were not taken.
    bool ReportSend(const detail::TSendErrors& e);
    // The DCB as the settings ask for it.
    void BuildDcb();
    // Retries a refused DCB with RTS toggling left to the engine; false when
    // toggling was not what the driver refused.
    bool EmulateRefusedToggle();
    // Logs which part of the configuration the driver refused; its error.
    DWORD RefusedBy(const wchar_t* What);
    // Parts of a dispatch; false when the event is not to be handled further.
    bool DispatchErrors(detail::TPortChannel& ch);
    // Reads (or counts) what is queued; true when anything new was there.
    bool DispatchReceived(detail::TPortChannel& ch);
    // Receive counting: each byte once, whether the dispatch or the
    // application takes it, or nobody does.
    bool CountQueued(std::uint32_t Queued);
    void TakeCounted(std::uint32_t Taken);
    // An application's read of the port, counted.
    DWORD ReadCounted(void* Buffer, std::uint32_t Len);
    // A line control sent to an open port; false when the port is closed.
    bool Escape(DWORD Function);
    // The open port's channel; none while closed.
    detail::TPortChannel* OpenChannel() { return IsOpen() ? fChannel.get() : nullptr; }

    std::shared_ptr<detail::TPortChannel> fChannel;
    std::atomic<std::uint32_t> fCountedQueued{0};  // queued bytes already counted
    HWND hTerminalHooked = nullptr;                // the window carrying our hook
    wchar_t fTypedHighSurrogate = 0;               // first half of a typed character beyond 0xFFFF
};

}  // namespace nr

// ---- COM port component

namespace nr {

// How deep the device list of a COM port component goes.
enum TnrEnumPorts : std::uint8_t {
    epQuickAll,    // the serial-port map only, plain port names
    epFullInfo,    // the map completed with every installed Plug-and-Play device
    epFullPresent  // as epFullInfo with present devices only; map ports without one are left out
};

// cpCOM1..cpCOM8 are ports 1..8; cpCOMxx any other number.
enum TComPort : std::uint8_t { cpCOM1, cpCOM2, cpCOM3, cpCOM4, cpCOM5, cpCOM6, cpCOM7, cpCOM8, cpCOMxx };

// The engine bound to the machine's COM ports: port by number, list of the
// ports with their Plug-and-Play identity, selection by list position,
// adoption of a handle opened elsewhere.
class TnrCustomSerialComm : public TnrCustomComm {
public:
    explicit TnrCustomSerialComm(TComponent* AOwner);

    HANDLE OpenHandle() override;
    void SetDeviceIndex(std::int32_t Value) override;
    std::int32_t GetDeviceIndex() override;
    void DeviceListLoad() override;
    void Update() override;
    std::wstring QueryComName() override;

    // ---- added operations, in slot order
    // Port number, line settings and time-outs kept as the 49-byte binary
    // value Name of key Key under Root (port byte, DCB, COMMTIMEOUTS, as other
    // programs lay it out). Failures go to ReportFatalError; a port above 255
    // is not saved, as its byte would name another port.
    virtual void SaveConfig(HKEY Root, const std::wstring& Key, const std::wstring& Name);
    // Flow control follows the stored DCB. A missing key is created (empty,
    // as SaveConfig would open it); a missing value, or one of another size,
    // changes nothing; an open port moves to the stored number.
    virtual void LoadConfig(HKEY Root, const std::wstring& Key, const std::wstring& Name);
    // The identification string of a serial Plug-and-Play device, start and
    // end markers included; empty when none came. Opens a closed port for the
    // handshake and closes it again; an open one is closed and reopened with
    // its own settings. Without DSR it reports a fatal error and the port
    // stays open, also one it opened itself. The read stops after
    // kPnpIdMaxChars characters or kPnpIdMaxMs from the start marker.
    virtual std::wstring GetPNPDeviceString();
    // Tests that the device answers DTR with DSR within 200 ms: RTS on and a
    // log line then, else a fatal error. Does nothing on a closed port.
    virtual void InitDeviceConnect();
    // The longest identification the format allows, "(" to ")", and twice its
    // time on the line at 1200 bit/s in 9-bit frames.
    static constexpr std::uint32_t kPnpIdMaxChars = 137;
    static constexpr std::uint32_t kPnpIdMaxMs = 2 * kPnpIdMaxChars * 9 * 1000 / 1200;

    std::uint16_t ComPortNo() const { return fComPortNo; }
    // Closes an open port and reopens it on the new number; tells listeners.
    void SetComPortNo(std::uint16_t Value);
    TComPort ComPort() const;
    void SetComPort(TComPort Value);
    TnrEnumPorts EnumPorts() const { return fEnumPorts; }
    void SetEnumPorts(TnrEnumPorts Value) { fEnumPorts = Value; }

    // Works on an already open handle from now on (closing the current port
    // first); 0 and INVALID_HANDLE_VALUE are ignored. The handle serves one
    // open and is released by the next close (at once when the open fails).
    void SetExtHandle(HANDLE aHandle);

protected:
    std::uint16_t fComPortNo = 1;
    HANDLE fExtHandle = nullptr;
    TnrEnumPorts fEnumPorts = epQuickAll;
};

// The COM port component as the window layout uses it.
class TnrComm : public TnrCustomSerialComm {
public:
    using TnrCustomSerialComm::TnrCustomSerialComm;
    std::vector<fw::TPropInfo> PublishedProperties() const override;
};

}  // namespace nr
