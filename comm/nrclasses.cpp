#include "nrclasses.h"

#include <dbt.h>

#include <vector>

#include "nrsysutils.h"
#include "nrwin32.h"

namespace nr {

// ---- TnrNotifyList

TnrNotifyList::~TnrNotifyList() { Clear(); }

std::int32_t TnrNotifyList::Add(const TnrNotifyEvent& Item) { return TList::Add(new TnrNotifyEvent(Item)); }

void TnrNotifyList::Delete(int index) {
    auto* rec = static_cast<TnrNotifyEvent*>(Get(index));
    TList::Delete(index);
    delete rec;
}

void TnrNotifyList::Clear() {
    while (Count() > 0) Delete(0);
    TList::Clear();
}

std::int32_t TnrNotifyList::IndexOf(const TnrNotifyEvent& Item) const {
    for (int i = 0; i < Count(); ++i)
        if (*static_cast<const TnrNotifyEvent*>(Get(i)) == Item) return i;
    return -1;
}

void TnrNotifyList::Call(TObject* Sender, std::int32_t Code, const std::function<void()>& Failed) {
    // Listeners may register or unregister (themselves or others) while they
    // are told, which shifts positions: walk a copy taken before the first
    // call and skip whoever has left by its turn. One that joined meanwhile
    // is not in the copy; it hears from the next broadcast on.
    std::vector<TnrNotifyEvent> listeners;
    listeners.reserve(static_cast<size_t>(Count()));
    for (int i = 0; i < Count(); ++i) listeners.push_back(ItemAt(i));
    for (const auto& e : listeners) {
        if (IndexOf(e) < 0) continue;
        if (!Failed) {
            e(Sender, Code);
            continue;
        }
        try {
            e(Sender, Code);
        } catch (...) {
            Failed();
        }
    }
}

TnrNotifyEvent TnrNotifyList::ItemAt(int Index) const { return *static_cast<const TnrNotifyEvent*>(Get(Index)); }

// ---- TnrTimer

TnrTimer::TnrTimer() { FWindowHandle = fw::AllocateHWnd(fw::TWndMethod::Bind<&TnrTimer::TimerWindowProc>(this)); }

TnrTimer::~TnrTimer() {
    FEnabled = false;
    Rearm();
    fw::DeallocateHWnd(FWindowHandle);
}

void TnrTimer::Rearm() {
    Win32.KillTimer(FWindowHandle, 1);
    if (FInterval != 0 && FEnabled && FOnTimer) Win32.SetTimer(FWindowHandle, 1, FInterval, nullptr);
}

void TnrTimer::SetEnabled(bool v) {
    if (v == FEnabled) return;
    FEnabled = v;
    Rearm();
}

void TnrTimer::SetInterval(std::uint32_t v) {
    if (v == FInterval) return;
    FInterval = v;
    Rearm();
}

void TnrTimer::SetOnTimer(TNotifyEvent v) {
    FOnTimer = std::move(v);
    Rearm();
}

void TnrTimer::TimerWindowProc(fw::TMessage& Msg) {
    if (Msg.Msg == WM_TIMER) {
        Dropping([this] { Tick(); });  // a failing handler must not stop the timer
        return;
    }
    Msg.Result = Win32.DefWindowProcW(FWindowHandle, Msg.Msg, Msg.WParam, Msg.LParam);
}

void TnrTimer::Tick() {
    if (FEnabled && FOnTimer) FOnTimer(this);
}

// ---- TnrThreadIO

TnrThreadIO::TnrThreadIO(TnrBaseIO* anrComm, std::shared_ptr<fw::TThreadControl>* control)
    : fw::TThread(true), fnrComm(anrComm) {
    SetFreeOnTerminate(true);
    if (control) *control = Control();
    Start();
}

void TnrThreadIO::Execute() {
    Dropping([this] { fnrComm->ThreadIOExecute(this); });
}

// ---- TnrCustomLogFile

void TnrCustomLogFile::ReportFatalError(std::uint32_t ErrorCode, std::uint32_t Detail, const std::wstring& ErrorMsg) {
    bool RaiseException = true;
    if (OnFatalError) OnFatalError(this, ErrorCode, Detail, ErrorMsg, RaiseException);
    if (RaiseException) throw fw::Exception(ErrorMsg);
}

// ---- TnrBaseIO

TnrBaseIO::TnrBaseIO(TComponent* AOwner)
    : TComponent(AOwner), nrNotifyList(std::make_unique<TnrNotifyList>()), slDevices(std::make_unique<TStringList>()) {
    fOvlRead.hEvent = Win32.CreateEventW(nullptr, FALSE, FALSE, nullptr);
    fOvlWrite.hEvent = Win32.CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

TnrBaseIO::~TnrBaseIO() {
    // Removal notifications go out while the listener and device lists still
    // stand, so a linked processor or box can unregister safely.
    Destroying();
    if (fOvlWrite.hEvent) Win32.CloseHandle(fOvlWrite.hEvent);
    if (fOvlRead.hEvent) Win32.CloseHandle(fOvlRead.hEvent);
    fOvlWrite.hEvent = fOvlRead.hEvent = nullptr;
    ClearDeviceList();
}

std::wstring TnrBaseIO::LogPrefix() const { return sLogPrefix.empty() ? ClassName() : sLogPrefix; }

bool TnrBaseIO::IsOpen() { return hPort != INVALID_HANDLE_VALUE; }

HANDLE TnrBaseIO::OpenHandle() { return INVALID_HANDLE_VALUE; }

void TnrBaseIO::ReleaseHandle(HANDLE Handle) { Win32.CloseHandle(Handle); }

bool TnrBaseIO::NeedsReceivedData() {
    return fTerminal != nullptr || OnAfterReceive.Assigned() || fDataProcessor != nullptr;
}

void TnrBaseIO::Open() {
    // Reopening: the handle in hand would be lost, and the listeners must
    // hear of the close before the new open.
    if (IsOpen()) Close();
    hPort = OpenHandle();
    if (!IsOpen()) return;
    if (const DWORD refused = PrepareHandle()) {
        ReleaseHandle(hPort);
        hPort = INVALID_HANDLE_VALUE;
        // Left for the caller as a failed OpenHandle leaves its error.
        Win32.SetLastError(refused);
        return;
    }
    if (isThreaded) StartThreadIO();
    if (OnOpen) Dropping([this] { OnOpen(this); });
}

void TnrBaseIO::Close() {
    if (hPort == INVALID_HANDLE_VALUE) return;
    // The handle goes first: closing it is what releases an I/O thread blocked on it.
    ReleaseHandle(hPort);
    if (isThreaded) StopThreadIO();
    hPort = INVALID_HANDLE_VALUE;
    if (OnClose) Dropping([this] { OnClose(this); });
}

void TnrBaseIO::StartThreadIO() {
    IsThreadIOTerminated = false;
    fThreadIO = new TnrThreadIO(this, &fThreadIOControl);
}

void TnrBaseIO::StopThreadIO() {
    if (IsThreadIOTerminated) return;
    IsThreadIOTerminated = true;
    if (auto control = std::move(fThreadIOControl)) {
        control->Terminate();
        control->WaitFor();
    }
    fThreadIO = nullptr;
}

void TnrBaseIO::ThreadIOExecute(TnrThreadIO*) {}

void TnrBaseIO::ReportFatalError(std::uint32_t ErrorCode, std::uint32_t Detail, const std::wstring& ErrorMsg,
                                 bool ShowOnly) {
    bool RaiseException = true;
    if (OnFatalError) OnFatalError(this, ErrorCode, Detail, ErrorMsg, RaiseException);
    if (fLog) fLog->AddLogFmt(dlSimple, L"Fatal Error: %u, %u, %s", {ErrorCode, Detail, ErrorMsg});
    if (!RaiseException || Loading()) return;
    fw::Exception e(ErrorMsg);
    if (!ShowOnly) throw e;
    if (fw::Application)
        fw::Application->ShowException(e);
    else
        Win32.MessageBoxW(nullptr, ErrorMsg.c_str(), L"Error", MB_OK | MB_ICONERROR | MB_TASKMODAL);
}

// A listener that throws neither keeps the others from hearing nor undoes
// the open or close it is told of: its exception is reported.
void TnrBaseIO::DoNotify(std::int32_t Code) {
    nrNotifyList->Call(this, Code, [this] { ReportHandlerException(); });
}

void TnrBaseIO::ReportHandlerException() {
    try {
        const DWORD err = Win32.GetLastError();
        ReportFatalError(1, err, fw::CurrentExceptionMessage(), true);
    } catch (...) {
        // The fatal-error handler itself failed: nothing more to tell.
    }
}

void TnrBaseIO::DoAfterReceive(void* Buffer, std::uint32_t Received) {
    TIgnoreTypes R;
    if (fDataProcessor) fDataProcessor->DoProcessing(static_cast<const char*>(Buffer), Received, R);
    if (fTerminal && !R.Contains(itTerminal)) WriteToTerminal(Buffer, static_cast<std::int32_t>(Received));
    if (OnAfterReceive) OnAfterReceive(this, Buffer, Received);
}

bool TnrBaseIO::DoAfterSend() {
    bool flIgnore = false;
    if (fDataProcessor) fDataProcessor->DoAfterSendComplete(flIgnore);
    return flIgnore;
}

void TnrBaseIO::SetDeviceIndex(std::int32_t) { DoNotify(ncDevicesChanged); }

std::int32_t TnrBaseIO::AddDevice(TnrDevice* Device) {
    std::int32_t i = slDevices->AddObject(Device->NameFriendly, Device);
    Device->fIndex = i;
    Device->fParent = this;
    return i;
}

std::int32_t TnrBaseIO::AddDeviceSorted(TnrDevice* Device) {
    const int n = slDevices->Count();
    if (n == 0 || GetDevice(n - 1)->Data < Device->Data) return AddDevice(Device);
    for (int i = 0; i < n; ++i) {
        TnrDevice* d = GetDevice(i);
        if (d->Data == Device->Data) return -1;
        if (d->Data > Device->Data) {
            slDevices->InsertObject(i, Device->NameFriendly, Device);
            Device->fIndex = i;
            Device->fParent = this;
            for (int j = i + 1; j < slDevices->Count(); ++j) ++GetDevice(j)->fIndex;
            return i;
        }
    }
    return -1;
}

void TnrBaseIO::ClearDeviceList() {
    if (flClearDeviceListWithFree)
        for (int i = 0; i < slDevices->Count(); ++i) delete slDevices->Objects(i);
    slDevices->Clear();
}

namespace {

// Whether a single received byte goes to the terminal as a typed key: text,
// and the keys whose editing meaning a terminal shares (backspace, tab, new
// line). Other control bytes would be editing commands of an edit control
// (^C copy, ^V paste, ^X cut, ^Z undo...); they are shown as in a block.
bool ShownAsKey(unsigned char b) {
    return b == '\b' || b == '\t' || b == '\n' || b == '\r' || (b >= 0x20 && b != 0x7F);
}

// Received bytes go at the end of the text: at the user's caret they would
// land in the middle of older lines. What the user selected is put back; a
// caret at the end follows the text.
void SetSel(HWND h, DWORD a, DWORD b) { Win32.SendMessageA(h, EM_SETSEL, a, static_cast<LPARAM>(b)); }

// Moves the caret to the end; the returned guard puts back what the user
// selected, unless the caret was at the end already.
auto AtTheEnd(HWND h) {
    constexpr DWORD kEnd = 0x7FFFFFFF;
    DWORD start = 0, end = 0, last = 0;
    Win32.SendMessageA(h, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
    SetSel(h, kEnd, kEnd);  // clamped to the text's length
    Win32.SendMessageA(h, EM_GETSEL, reinterpret_cast<WPARAM>(&last), 0);
    const bool follow = start == end && end == last;
    return TScopeExit([=] {
        if (!follow) SetSel(h, start, end);
    });
}

}  // namespace

void TnrBaseIO::WriteToTerminal(const void* Buffer, std::int32_t Len) {
    if (!hTerminal || !Buffer || Len <= 0) return;
    const auto* p = static_cast<const unsigned char*>(Buffer);
    // Our own writes must not be taken for typed keys and sent back out.
    fTerminalLocked = true;
    const TScopeExit unlock([this] { fTerminalLocked = false; });
    const auto atTheEnd = AtTheEnd(hTerminal);
    if (Len == 1 && ShownAsKey(p[0])) {
        Win32.SendMessageA(hTerminal, WM_CHAR, p[0], 1);
        return;
    }
    // NUL bytes are not shown; the rest goes in as one insert, since the
    // control lays its whole text out again on every insert.
    std::string text;
    for (std::int32_t i = 0; i < Len; ++i)
        if (p[i]) text += static_cast<char>(p[i]);
    if (!text.empty()) Win32.SendMessageA(hTerminal, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
}

void TnrBaseIO::Update() { DoNotify(ncDevicesChanged); }

void TnrBaseIO::NotifyAdd(const TnrNotifyEvent& NotifyEvent) {
    if (nrNotifyList->IndexOf(NotifyEvent) < 0) nrNotifyList->Add(NotifyEvent);
}

void TnrBaseIO::NotifyDelete(const TnrNotifyEvent& NotifyEvent) {
    int i = nrNotifyList->IndexOf(NotifyEvent);
    if (i >= 0) nrNotifyList->Delete(i);
}

void TnrBaseIO::GetDeviceList(TStringList* L) {
    if (DeviceCount() == 0) DeviceListLoad();
    if (!L) return;
    L->Clear();
    for (int i = 0; i < slDevices->Count(); ++i) L->AddObject(slDevices->Strings(i), slDevices->Objects(i));
}

bool TnrBaseIO::WMDeviceChange(fw::TMessage& Msg) {
    if (Msg.Msg != WM_DEVICECHANGE) return false;
    switch (Msg.WParam) {
        case DBT_DEVICEARRIVAL:
        case DBT_DEVICEREMOVECOMPLETE: {
            auto* hdr = reinterpret_cast<const DEV_BROADCAST_HDR*>(Msg.LParam);
            if (!hdr || hdr->dbch_devicetype != DBT_DEVTYP_PORT) return false;
            break;
        }
        case DBT_DEVNODES_CHANGED: break;
        default: return false;
    }
    Update();
    return true;
}

void TnrBaseIO::Notification(TComponent* AComponent, fw::TOperation Operation) {
    TComponent::Notification(AComponent, Operation);
    if (Operation != fw::opRemove || !AComponent) return;
    if (AComponent == fDataProcessor) {
        TnrCustomDataProcessor* p = fDataProcessor;
        fDataProcessor = nullptr;
        p->SetDevice(nullptr);
    } else if (AComponent == fTerminal) {
        fTerminal = nullptr;
        hTerminal = nullptr;  // the window is going too
    } else if (AComponent == fLog) {
        fLog = nullptr;
    }
}

void TnrBaseIO::Loaded() {
    TComponent::Loaded();
    try {
        ReapplyTerminal();
        SetActive(fActive);
    } catch (...) {
        HWND owner = Win32.GetForegroundWindow();
        if (fw::Application)
            fw::Application->ShowMessageBox(owner, L"error", L"Error", MB_ICONERROR);
        else
            Win32.MessageBoxW(owner, L"error", L"Error", MB_ICONERROR);
    }
}

bool TnrBaseIO::Active() {
    if (Loading() || Designing()) return fActive;
    return IsOpen();
}

void TnrBaseIO::SetActive(bool Value) {
    if (Loading()) {
        fActive = Value;
        return;
    }
    if (Value != Active() || Designing()) {
        if (Value)
            Open();
        else
            Close();
    }
    if (Designing()) {
        fActive = IsOpen();
        if (fActive) Close();
    }
}

std::int32_t TnrBaseIO::IndexOfDevice(const TnrDevice* aDevice) const { return slDevices->IndexOfObject(aDevice); }

std::int32_t TnrBaseIO::IndexOfDeviceData(std::int32_t Value) const {
    for (int i = 0; i < slDevices->Count(); ++i)
        if (GetDevice(i)->Data == Value) return i;
    return -1;
}

TnrDevice* TnrBaseIO::GetDevice(std::int32_t Index) const {
    if (Index < 0 || Index >= slDevices->Count()) return nullptr;
    return static_cast<TnrDevice*>(slDevices->Objects(Index));
}

void TnrBaseIO::WriteLog(TDetailLevel Level, const std::wstring& Text) {
    if (!fLog) return;
    if (Text.empty())
        fLog->AddSysInfo();
    else
        fLog->AddLog(Level, LogPrefix() + Text);
}

void TnrBaseIO::WriteLogFmt(TDetailLevel Level, const std::wstring& Fmt, std::initializer_list<fw::TVarRec> Args) {
    if (fLog) fLog->AddLogFmt(Level, LogPrefix() + Fmt, Args);
}

void TnrBaseIO::LinkDataProcessor(TnrCustomDataProcessor* Value) {
    if (!Value && fDataProcessor) fDataProcessor->SetDevice(nullptr);
    fDataProcessor = Value;
    if (Value) {
        Value->SetDevice(this);
        FreeNotification(Value);
    }
}

void TnrBaseIO::LinkLog(TnrCustomLogFile* Value) {
    fLog = Value;
    if (Value) FreeNotification(Value);
}

// ---- TnrCustomDataProcessor

TnrCustomDataProcessor::TnrCustomDataProcessor(TComponent* AOwner)
    : TComponent(AOwner), fTimerAsync(std::make_unique<TnrTimer>()) {
    fTimerAsync->SetEnabled(false);
    fTimerAsync->SetOnTimer(TNotifyEvent::Bind<&TnrCustomDataProcessor::AsyncTimerEvent>(this));
}

TnrCustomDataProcessor::~TnrCustomDataProcessor() {
    Destroying();
    SetDevice(nullptr);
    fTimerAsync.reset();
}

void TnrCustomDataProcessor::DeviceNotify(TObject*, std::int32_t Code) {
    if (Code == ncMediumClosed)
        MediumClosed();
    else if (Code == ncMediumOpened)
        MediumOpened();
}

void TnrCustomDataProcessor::MediumClosed() { WriteLog(dlDebug, L"Medium Closed"); }

void TnrCustomDataProcessor::MediumOpened() { WriteLog(dlDebug, L"Medium Opened"); }

void TnrCustomDataProcessor::LinkDataProcessor(TnrCustomDataProcessor* Value) {
    if (Value == this) return;
    fDataProcessor = Value;
    if (Value) {
        FreeNotification(Value);
        Value->SetDevice(fDevice);
    }
}

void TnrCustomDataProcessor::SetDevice(TnrBaseIO* Value) {
    auto listener = TnrNotifyEvent::Bind<&TnrCustomDataProcessor::DeviceNotify>(this);
    if (fDevice && Value != fDevice) fDevice->NotifyDelete(listener);
    fDevice = Value;
    if (Value) {
        FreeNotification(Value);
        Value->NotifyAdd(listener);
    }
}

void TnrCustomDataProcessor::ApplyActive(bool Value) { fActive = Value; }

void TnrCustomDataProcessor::DoDataSend(const char* Data, std::uint32_t Len) {
    if (Len == 0 || !Data) return;
    Dropping([&] {
        bool flHandled = false;
        if (OnDataSend) OnDataSend(this, Data, Len, false, flHandled);
        if (flHandled) {
            // Off and on again restarts the period: completion follows the last block.
            fTimerAsync->SetEnabled(false);
            fTimerAsync->SetEnabled(true);
        } else {
            if (!fDevice) return;  // nowhere to send: dropped without a log line
            fDevice->SendData(Data, Len);
        }
        WriteLogFmt(dlDebug, L"DoDataSend: %u bytes", {Len});
    });
}

void TnrCustomDataProcessor::DoStringSend(const std::string& S) {
    if (S.empty()) return;
    Dropping([&] {
        bool flHandled = false;
        if (OnDataSend) OnDataSend(this, S.data(), static_cast<std::uint32_t>(S.size()), true, flHandled);
        if (!flHandled && fDevice) fDevice->SendString(S);
    });
}

void TnrCustomDataProcessor::AsyncTimerEvent(TObject*) {
    fTimerAsync->SetEnabled(false);
    bool flIgnore = false;
    DoAfterSendComplete(flIgnore);
}

void TnrCustomDataProcessor::StartAsyncTimer(std::uint32_t Interval) {
    fTimerAsync->SetEnabled(false);
    if (Interval != 0) {
        fTimerAsync->SetInterval(Interval);
        fTimerAsync->SetEnabled(true);
    }
}

void TnrCustomDataProcessor::DoFatalErrors(std::uint32_t Code, std::uint32_t Detail, const std::wstring& Msg) {
    bool RaiseException = true;
    if (OnFatalError) OnFatalError(this, Code, Detail, Msg, RaiseException);
    if (fLog) fLog->AddLogFmt(dlSimple, L"Fatal Error: %u, %u, %s", {Code, Detail, Msg});
    if (RaiseException) throw fw::Exception(Msg);
}

void TnrCustomDataProcessor::DoProcessing(const char* Data, std::uint32_t Len, TIgnoreTypes& R) {
    if (fDataProcessor) fDataProcessor->DoProcessing(Data, Len, R);
}

void TnrCustomDataProcessor::DataReceive(const char* ptrBuffer, std::uint32_t Len) {
    TIgnoreTypes R;
    DoProcessing(ptrBuffer, Len, R);
}

void TnrCustomDataProcessor::DoAfterSendComplete(bool&) {}

void TnrCustomDataProcessor::Notification(TComponent* AComponent, fw::TOperation Operation) {
    TComponent::Notification(AComponent, Operation);
    if (Operation != fw::opRemove || !AComponent) return;
    if (AComponent == fDataProcessor) LinkDataProcessor(nullptr);
    if (AComponent == fDevice) SetDevice(nullptr);
    if (AComponent == fLog) LinkLog(nullptr);
}

void TnrCustomDataProcessor::LinkLog(TnrCustomLogFile* Value) {
    fLog = Value;
    if (Value) FreeNotification(Value);
}

void TnrCustomDataProcessor::WriteLog(TDetailLevel Level, const std::wstring& Text) {
    if (fLog) fLog->AddLog(Level, sLogPrefix + Text);
}

void TnrCustomDataProcessor::WriteLogFmt(TDetailLevel Level, const std::wstring& Fmt,
                                         std::initializer_list<fw::TVarRec> Args) {
    if (fLog) fLog->AddLogFmt(Level, sLogPrefix + Fmt, Args);
}

}  // namespace nr
