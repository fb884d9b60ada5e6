// Foundation of the I/O components: device descriptors, the base I/O
// component, listener list, message-window timer, I/O thread, log sink and
// the data processor base.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "../framework/classes.h"
#include "../framework/forms.h"
#include "../framework/threads.h"

namespace nr {

using fw::TComponent;
using fw::TObject;
using fw::TStringList;

class TnrBaseIO;
class TnrCustomDataProcessor;
class TnrCustomLogFile;
class TnrThreadIO;

enum TDetailLevel : std::uint8_t { dlSimple, dlDetail, dlDebug };
enum TTerminalUsage : std::uint8_t { tuNone, tuSend, tuReceive, tuBoth };
enum TIgnoreType : std::uint8_t { itTerminal, itEventList, itAfterReceive, itTraceState };
using TIgnoreTypes = fw::TSet<TIgnoreType, std::uint8_t>;

// Runs f and drops what it throws: for the events an application is told of,
// not asked (open, close, timer, data send), and for clean-up that must go on.
template <class F> void Dropping(F&& f) noexcept {
    try {
        f();
    } catch (...) {
    }
}

// Listener notification codes.
enum : std::int32_t { ncMediumClosed = 1, ncMediumOpened = 2, ncDevicesChanged = 3 };

using TOnFatalErrorEvent = fw::TEvent<void(TObject* Sender, std::uint32_t ErrorCode, std::uint32_t Detail,
                                           const std::wstring& ErrorMsg, bool& RaiseException)>;
using TOnReceived = fw::TEvent<void(TObject* Com, void* Buffer, std::uint32_t Received)>;
using TOnSent = fw::TEvent<void(TObject* Com)>;
using TnrNotifyEvent = fw::TEvent<void(TObject* Sender, std::int32_t Code)>;
using TDataSendEvent =
    fw::TEvent<void(TObject* Sender, const char* ptrBuffer, std::uint32_t Len, bool flSynchro, bool& flHandled)>;
using fw::TNotifyEvent;

// One device an I/O component can open.
class TnrDevice : public fw::TPersistent {
public:
    std::int32_t Index() const { return fIndex; }
    TnrBaseIO* Parent() const { return fParent; }

    std::uintptr_t Handle = 0;  // a handle's value: as wide as a pointer
    std::int32_t Data = 0;      // ordering key; the COM port number for serial ports
    std::int32_t DataEx = 0;
    std::wstring NameFriendly;
    std::wstring NamePDO;
    std::wstring NameDeviceDos;
    std::wstring NameSymbolic;
    std::wstring RegKey;
    std::wstring Description;
    std::wstring Service;
    std::wstring Driver;
    std::wstring InstanceId;
    std::wstring BusRelations;
    std::wstring PortName;
    std::wstring Manufacturer;
    std::uint32_t DevInst = 0;

protected:
    friend class TnrBaseIO;
    std::int32_t fIndex = 0;
    TnrBaseIO* fParent = nullptr;
};

// Listener list: each item owns a record with the callback pair.
class TnrNotifyList : public fw::TList {
public:
    ~TnrNotifyList() override;
    std::int32_t Add(const TnrNotifyEvent& Item);
    void Delete(int index);
    void Clear() override;
    std::int32_t IndexOf(const TnrNotifyEvent& Item) const;
    // Tells every listener. With Failed given, a listener's exception goes
    // to Failed (inside its catch block) and the rest are still told.
    void Call(TObject* Sender, std::int32_t Code, const std::function<void()>& Failed = nullptr);
    TnrNotifyEvent ItemAt(int Index) const;
};

// A timer that owns a hidden window and ticks from its WM_TIMER messages,
// on the thread that created it.
class TnrTimer : public TObject {
public:
    TnrTimer();
    ~TnrTimer() override;

    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool v);
    std::uint32_t Interval() const { return FInterval; }
    void SetInterval(std::uint32_t v);
    const TNotifyEvent& OnTimer() const { return FOnTimer; }
    void SetOnTimer(TNotifyEvent v);
    HWND WindowHandle() const { return FWindowHandle; }

protected:
    virtual void Tick();

private:
    void Rearm();
    void TimerWindowProc(fw::TMessage& Msg);
    std::uint32_t FInterval = 1000;
    HWND FWindowHandle = nullptr;
    TNotifyEvent FOnTimer;
    bool FEnabled = true;
};

// Runs the ThreadIOExecute of a component once, then frees itself.
class TnrThreadIO : public fw::TThread {
public:
    // control receives the thread's control block before the thread starts,
    // so the owner can stop and wait for it even after it freed itself.
    TnrThreadIO(TnrBaseIO* anrComm, std::shared_ptr<fw::TThreadControl>* control = nullptr);

protected:
    void Execute() override;

private:
    TnrBaseIO* fnrComm;
};

// The log sink a component writes its lines to.
class TnrCustomLogFile : public TComponent {
public:
    using TComponent::TComponent;
    TOnFatalErrorEvent OnFatalError;

    virtual void Save() = 0;
    virtual void Clear() = 0;
    virtual void Add(const std::wstring& s) = 0;
    virtual void AddSysInfo() = 0;
    virtual void AddLog(TDetailLevel l, const std::wstring& s) = 0;
    virtual void AddFmt(const std::wstring& Fmt, std::initializer_list<fw::TVarRec> Args) = 0;
    virtual void AddLogFmt(TDetailLevel l, const std::wstring& Fmt, std::initializer_list<fw::TVarRec> Args) = 0;

protected:
    virtual void ReportFatalError(std::uint32_t ErrorCode, std::uint32_t Detail, const std::wstring& ErrorMsg);
};

// Base of every I/O component.
class TnrBaseIO : public TComponent {
public:
    explicit TnrBaseIO(TComponent* AOwner);
    ~TnrBaseIO() override;

    // 1..31, in slot order
    virtual bool IsOpen();
    virtual HANDLE OpenHandle();
    virtual void ReleaseHandle(HANDLE Handle);
    virtual bool NeedsReceivedData();
    virtual void Open();
    virtual void Close();
    virtual void StartThreadIO();
    virtual void StopThreadIO();
    virtual void ThreadIOExecute(TnrThreadIO* Thread);
    virtual void ReportFatalError(std::uint32_t ErrorCode, std::uint32_t Detail, const std::wstring& ErrorMsg,
                                  bool ShowOnly);
    virtual void DoNotify(std::int32_t Code);
    virtual void DoAfterReceive(void* Buffer, std::uint32_t Received);
    virtual bool DoAfterSend();
    virtual void SetDeviceIndex(std::int32_t Value);
    virtual std::int32_t GetDeviceIndex() = 0;
    virtual std::int32_t AddDevice(TnrDevice* Device);
    virtual std::int32_t AddDeviceSorted(TnrDevice* Device);
    virtual void DeviceListLoad() = 0;
    virtual void ClearDeviceList();
    virtual void WriteToTerminal(const void* Buffer, std::int32_t Len);
    virtual void Update();
    virtual void NotifyAdd(const TnrNotifyEvent& NotifyEvent);
    virtual void NotifyDelete(const TnrNotifyEvent& NotifyEvent);
    virtual void SendChar(wchar_t Ch) = 0;
    virtual void SendString(const std::string& S) = 0;
    virtual void SendData(const void* Buff, std::uint32_t N) = 0;
    virtual void ClearDeviceInput() = 0;
    virtual void ClearDeviceOutput() = 0;
    virtual void ClearDeviceBuffers() = 0;
    virtual void GetDeviceList(TStringList* L);
    virtual bool WMDeviceChange(fw::TMessage& Msg);

    void Notification(TComponent* AComponent, fw::TOperation Operation) override;
    void Loaded() override;

    bool Active();
    void SetActive(bool Value);
    std::int32_t DeviceIndex() { return GetDeviceIndex(); }
    std::int32_t DeviceCount() const { return slDevices->Count(); }
    std::int32_t IndexOfDevice(const TnrDevice* aDevice) const;
    std::int32_t IndexOfDeviceData(std::int32_t Value) const;
    TnrDevice* GetDevice(std::int32_t Index) const;
    HANDLE Handle() const { return hPort; }

    TnrCustomDataProcessor* DataProcessor() const { return fDataProcessor; }
    void SetDataProcessor(TnrCustomDataProcessor* v) { LinkDataProcessor(v); }
    TnrCustomLogFile* Log() const { return fLog; }
    void SetLog(TnrCustomLogFile* v) { LinkLog(v); }
    TComponent* Terminal() const { return fTerminal; }
    TTerminalUsage TerminalUsage() const { return fTerminalUsage; }
    bool TerminalEcho() const { return fTerminalEcho; }
    void SetTerminalEcho(bool v) { fTerminalEcho = v; }

    void WriteLog(TDetailLevel Level, const std::wstring& Text);
    void WriteLogFmt(TDetailLevel Level, const std::wstring& Fmt, std::initializer_list<fw::TVarRec> Args);

    TOnFatalErrorEvent OnFatalError;
    TOnReceived OnAfterReceive;
    TNotifyEvent OnClose;
    TNotifyEvent OnOpen;

protected:
    // Readies a freshly opened handle before anyone hears of the open: 0, or
    // the Win32 error for which the open fails (the handle is then released).
    virtual DWORD PrepareHandle() { return ERROR_SUCCESS; }
    // Reports the exception being handled that came out of an application
    // handler, the way a dispatch does; never throws. Call inside a catch block.
    void ReportHandlerException();
    void LinkDataProcessor(TnrCustomDataProcessor* Value);
    void LinkLog(TnrCustomLogFile* Value);
    // Applies the terminal binding again once the layout has been read.
    virtual void ReapplyTerminal() {}
    // The prefix of log lines: sLogPrefix, or the class name while none is set.
    std::wstring LogPrefix() const;

    // Terminal binding state (behaviour in the engine).
    HWND hTerminal = nullptr;
    TTerminalUsage fTerminalUsage = tuNone;
    TComponent* fTerminal = nullptr;  // an edit control
    bool fTerminalEcho = false;
    bool fTerminalLocked = false;

    TnrThreadIO* fThreadIO = nullptr;  // may have freed itself: use fThreadIOControl
    std::shared_ptr<fw::TThreadControl> fThreadIOControl;
    bool fActive = false;
    HANDLE hPort = INVALID_HANDLE_VALUE;
    std::wstring sLogPrefix;
    bool flClearDeviceListWithFree = true;
    OVERLAPPED fOvlRead{};
    OVERLAPPED fOvlWrite{};
    OVERLAPPED fOvlAsync{};
    bool isThreaded = false;
    bool IsThreadIOTerminated = false;

private:
    std::unique_ptr<TnrNotifyList> nrNotifyList;
    TnrCustomLogFile* fLog = nullptr;
    TnrCustomDataProcessor* fDataProcessor = nullptr;
    std::unique_ptr<TStringList> slDevices;
};

// Sits between an I/O component and the application: sees received bytes
// first, may intercept sends, hears of open and close.
class TnrCustomDataProcessor : public TComponent {
public:
    explicit TnrCustomDataProcessor(TComponent* AOwner);
    ~TnrCustomDataProcessor() override;

    virtual void DeviceNotify(TObject* Sender, std::int32_t Code);
    virtual void MediumClosed();
    virtual void MediumOpened();
    virtual void LinkDataProcessor(TnrCustomDataProcessor* Value);
    virtual void SetDevice(TnrBaseIO* Value);
    virtual void ApplyActive(bool Value);
    virtual void DoDataSend(const char* Data, std::uint32_t Len);
    virtual void DoStringSend(const std::string& S);
    virtual void AsyncTimerEvent(TObject* Sender);
    virtual void StartAsyncTimer(std::uint32_t Interval);
    virtual void DoFatalErrors(std::uint32_t Code, std::uint32_t Detail, const std::wstring& Msg);
    virtual void DoProcessing(const char* Data, std::uint32_t Len, TIgnoreTypes& R);
    virtual void DataReceive(const char* ptrBuffer, std::uint32_t Len);
    virtual void DoAfterSendComplete(bool& flIgnore);

    void Notification(TComponent* AComponent, fw::TOperation Operation) override;

    bool Active() const { return fActive; }
    void SetActive(bool v) { ApplyActive(v); }
    TnrBaseIO* Device() const { return fDevice; }
    TnrCustomDataProcessor* DataProcessor() const { return fDataProcessor; }
    TnrCustomLogFile* Log() const { return fLog; }
    void LinkLog(TnrCustomLogFile* Value);
    void WriteLog(TDetailLevel Level, const std::wstring& Text);
    void WriteLogFmt(TDetailLevel Level, const std::wstring& Fmt, std::initializer_list<fw::TVarRec> Args);

    TOnFatalErrorEvent OnFatalError;
    TDataSendEvent OnDataSend;

protected:
    std::wstring sLogPrefix;
    TnrTimer* TimerAsync() const { return fTimerAsync.get(); }

private:
    TnrBaseIO* fDevice = nullptr;
    TnrCustomDataProcessor* fDataProcessor = nullptr;
    bool fActive = false;
    TnrCustomLogFile* fLog = nullptr;
    std::unique_ptr<TnrTimer> fTimerAsync;
};

}  // namespace nr
