#include "term_form.h"

#include <commdlg.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <utility>

#include "comm/nrwin32.h"
#include "framework/registry.h"

namespace nrterm {

const wchar_t kCaption[] = L"nrterm serial terminal";

namespace {

const UINT kMsgReceived = WM_APP + 1;  // received bytes wait to be shown
// Received text is shown at most this much at a time, with at least this
// pause between: an insert costs the edit control some 5 ms per KB under
// Wine, and the window has to paint and answer the user between them.
const UINT kShowEveryMs = 10;
const std::size_t kShowMaxBytes = 2 << 10;
// Beyond this the window is behind by more than a few turns: the oldest go.
const std::size_t kPendingMax = 64 << 10;
const UINT_PTR kShowTimerId = 1;
const wchar_t kSettingsKey[] = L"Software\\nrterm";
const wchar_t* const kRates[] = {L"300",   L"1200",  L"2400",   L"4800",   L"9600",   L"19200",
                                 L"38400", L"57600", L"115200", L"230400", L"460800", L"921600"};
const int kTextTop = 118;  // the terminal's top; it takes the rest of the window
const UINT_PTR kEnterHookId = 1;

// How the terminal shows and sends, kept beside the port's line settings.
#pragma pack(push, 1)
struct TPrefs {
    std::uint8_t Version = 1;
    std::uint8_t SendEnd = 0, ReceiveMap = 0, Hex = 0, Echo = 0, DTR = 1, RTS = 1, Stamps = 0;
    std::uint32_t Scrollback = 0;
};
#pragma pack(pop)

std::wstring PrefsName(const std::wstring& Port) { return Port + L" terminal"; }

std::string TimeStamp() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    char buf[32];
    std::snprintf(buf, sizeof buf, "[%02u:%02u:%02u.%03u] ", t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
    return buf;
}

void SetIndex(fw::TComboBox* c, int i) {
    if (c->ItemIndex() != i) c->SetItemIndex(i);
}

}  // namespace

TTermForm::TTermForm(fw::TComponent* AOwner) : fw::TForm(AOwner) {
    SetCaption(kCaption);
    SetSizeable(true);
    SetClientWidth(760);
    SetClientHeight(480);
    SetPosition(fw::poDesktopCenter);

    Com = new nr::TnrComm(this);
    Com->SetEnumPorts(nr::epFullPresent);
    Com->SetBaudRate(9600);
    Com->SetStreamProtocol(nr::spNone);
    Com->SetTraceStates({nr::tsCTS, nr::tsDSR, nr::tsRLSD, nr::tsRing});
    // Received bytes are taken on the component's own thread: a device
    // sending flat out then costs the window one insert per turn.
    Com->SetUseMainThread(false);
    Com->OnAfterReceive = fw::MakeEvent<&TTermForm::Received>(this);
    Com->OnFatalError = fw::MakeEvent<&TTermForm::CommFatalError>(this);

    CreateLineControls();
    CreateSignalControls();
    CreateTextControls();
    OnResize = fw::MakeEvent<&TTermForm::Layout>(this);
    Ticker = new fw::TTimer(this);
    Ticker->SetInterval(250);
    Ticker->OnTimer = fw::MakeEvent<&TTermForm::ShowStatus>(this);
    BreakTimer = new fw::TTimer(this);
    BreakTimer->SetEnabled(false);
    BreakTimer->SetInterval(250);
    BreakTimer->OnTimer = fw::MakeEvent<&TTermForm::BreakEnd>(this);
    ShowLine();
    ShowStatus(this);
}

TTermForm::~TTermForm() {
    if (Com->Active()) SaveSettings();
    Com->SetActive(false);  // no more deliveries into this object
    StopCapture();
}

template <class C> C* TTermForm::Place(C* c, int left, int top, int width, int height) {
    c->SetParent(this);
    c->SetBounds(left, top, width, height);
    return c;
}

fw::TComboBox* TTermForm::Choice(int left, int top, int width, std::initializer_list<const wchar_t*> Items) {
    auto* c = Place(new fw::TComboBox(this), left, top, width, 24);
    c->SetStyle(fw::csDropDownList);
    c->SetDropDownCount(12);
    for (const wchar_t* s : Items) c->Items().Add(s);
    return c;
}

fw::TCheckBox* TTermForm::Switch(const wchar_t* Caption, int Left, int Top, int Width, bool Checked) {
    auto* c = Place(new fw::TCheckBox(this), Left, Top, Width, 20);
    c->SetCaption(Caption);
    c->SetChecked(Checked);
    c->OnClick = fw::MakeEvent<&TTermForm::SwitchClick>(this);
    return c;
}

fw::TLed* TTermForm::Lamp(const wchar_t* Caption, int Left) {
    auto* c = Place(new fw::TLed(this), Left, 54, 46, 18);
    c->SetCaption(Caption);
    c->OnClick = fw::MakeEvent<&TTermForm::LampClick>(this);
    return c;
}

void TTermForm::CreateLineControls() {
    Ports = Place(new nr::TnrDeviceBox(this), 8, 8, 200, 24);
    Ports->SetnrComm(Com);
    Rate = Place(new fw::TComboBox(this), 214, 8, 80, 24);
    Rate->SetDropDownCount(12);
    for (const wchar_t* r : kRates) Rate->Items().Add(r);
    Rate->OnClick = fw::MakeEvent<&TTermForm::ApplyRate>(this);
    Rate->OnExit = fw::MakeEvent<&TTermForm::ApplyRate>(this);
    Rate->OnKeyPress = fw::MakeEvent<&TTermForm::RateKey>(this);
    DataBits = Choice(300, 8, 40, {L"5", L"6", L"7", L"8"});
    Parity = Choice(346, 8, 64, {L"None", L"Odd", L"Even", L"Mark", L"Space"});
    StopBits = Choice(416, 8, 44, {L"1", L"1.5", L"2"});
    Flow = Choice(466, 8, 84, {L"None", L"RTS/CTS", L"XON/XOFF"});
    for (auto* c : {DataBits, Parity, StopBits, Flow}) c->OnClick = fw::MakeEvent<&TTermForm::LineChoice>(this);
    Settings = Place(new fw::TButton(this), 556, 8, 72, 24);
    Settings->SetCaption(L"Settings...");
    Settings->OnClick = fw::MakeEvent<&TTermForm::SettingsClick>(this);
    OpenClose = Place(new fw::TButton(this), 634, 8, 60, 24);
    OpenClose->SetCaption(L"Open");
    OpenClose->OnClick = fw::MakeEvent<&TTermForm::OpenCloseClick>(this);
    Clear = Place(new fw::TButton(this), 700, 8, 52, 24);
    Clear->SetCaption(L"Clear");
    Clear->OnClick = fw::MakeEvent<&TTermForm::ClearClick>(this);
}

// Our outputs are switches, the peer's are lamps: a lamp is never a control.
void TTermForm::CreateSignalControls() {
    DTR = Switch(L"DTR", 16, 53, 46, true);
    RTS = Switch(L"RTS", 66, 53, 46, true);
    Break = Place(new fw::TButton(this), 116, 51, 64, 24);
    Break->SetCaption(L"Break");
    Break->OnClick = fw::MakeEvent<&TTermForm::BreakClick>(this);
    CTS = Lamp(L"CTS", 204);
    DSR = Lamp(L"DSR", 256);
    RLSD = Lamp(L"RLSD", 308);
    Ring = Lamp(L"RING", 360);
    Com->SetMonitorCTS(CTS);
    Com->SetMonitorDSR(DSR);
    Com->SetMonitorRLSD(RLSD);
    Com->SetMonitorRing(Ring);
    Echo = Switch(L"Echo", 424, 53, 56, false);
    Hex = Switch(L"Hex view", 484, 53, 78, false);
    Hex->OnClick = fw::MakeEvent<&TTermForm::ViewChoice>(this);
    Stamps = Switch(L"Time stamps", 566, 53, 92, false);
    Capture = Switch(L"Capture", 662, 53, 80, false);
    Capture->OnClick = fw::MakeEvent<&TTermForm::CaptureClick>(this);
    // The frames last: beneath the controls they surround.
    Outputs = Place(new fw::TGroupBox(this), 8, 34, 180, 46);
    Outputs->SetCaption(L"Outputs");
    Inputs = Place(new fw::TGroupBox(this), 194, 34, 220, 46);
    Inputs->SetCaption(L"Inputs");
}

void TTermForm::CreateTextControls() {
    auto* enter = Place(new fw::TLabel(this), 8, 90, 70, 17);
    enter->SetCaption(L"Enter sends");
    EnterSends = Choice(80, 86, 70, {L"CR", L"LF", L"CR LF"});
    auto* show = Place(new fw::TLabel(this), 158, 90, 40, 17);
    show->SetCaption(L"Shown");
    ShowCrLf = Choice(198, 86, 120, {L"as received", L"CR -> CR LF", L"LF -> CR LF"});
    ShowCrLf->OnClick = fw::MakeEvent<&TTermForm::ViewChoice>(this);
    EnterSends->SetItemIndex(0);
    ShowCrLf->SetItemIndex(static_cast<int>(TRxMap::LF));
    HexText = Place(new fw::TEdit(this), 326, 86, 224, 24);
    SendHex = Place(new fw::TButton(this), 556, 86, 90, 24);
    SendHex->SetCaption(L"Send hex");
    SendHex->OnClick = fw::MakeEvent<&TTermForm::SendHexClick>(this);
    HexText->OnKeyPress = fw::MakeEvent<&TTermForm::HexKey>(this);

    Term = Place(new fw::TMemo(this), 8, kTextTop, 744, 336);
    Term->Font().SetName(L"Courier New");
    Term->Font().SetPitch(fw::fpFixed);
    Term->Font().SetHeight(14);
    // Typed keys go out through the component; received bytes come in here.
    Com->SetTerminal(Term);
    Com->SetTerminalUsage(nr::tuSend);
    // Installed after the component's hook, so Enter is ours first.
    nr::Win32.SetWindowSubclass(Term->Handle(), &EnterHook, kEnterHookId, reinterpret_cast<DWORD_PTR>(this));
    Status = Place(new fw::TLabel(this), 8, 460, 744, 17);
    View.Map = TRxMap::LF;
}

void TTermForm::Layout(fw::TObject*) {
    const int w = std::max(ClientWidth() - 16, 100), h = std::max(ClientHeight() - kTextTop - 25, 40);
    Term->SetBounds(8, kTextTop, w, h);
    Status->SetBounds(8, kTextTop + h + 4, w, 17);
}

// Adapters plugged in or pulled out show in the port box at once.
void TTermForm::WndProc(fw::TMessage& Message) {
    if (Message.Msg == WM_DEVICECHANGE) Ports->WMDeviceChange(Message);
    if (Message.Msg == kMsgReceived) return ShowSoon();
    if (Message.Msg == WM_TIMER && Message.WParam == kShowTimerId) return ShowReceived();
    fw::TForm::WndProc(Message);
}

// ---- the port and its line

bool TTermForm::Start(const TTermOptions& Options) {
    std::uint16_t n = 0;
    const bool named = nr::ComPortNumber(Options.Port, n);
    if (named) {
        Com->SetComPortNo(n);
        LoadSettings();
    }
    ApplyOptions(Options);
    if (!Options.LogFile.empty()) StartCapture(Options.LogFile);
    if (named) OpenCloseClick(this);
    return !named || Com->Active();
}

void TTermForm::ApplyOptions(const TTermOptions& o) {
    if (o.Baud) Com->SetBaudRate(*o.Baud);
    if (o.DataBits) Com->SetByteSize(*o.DataBits);
    if (o.Parity) Com->SetParity(*o.Parity);
    if (o.StopBits) Com->SetStopBits(*o.StopBits);
    if (o.Flow) Com->SetStreamProtocol(*o.Flow);
    if (o.DTR) DTR->SetChecked(*o.DTR);
    if (o.RTS) RTS->SetChecked(*o.RTS);
    if (o.Echo) Echo->SetChecked(*o.Echo);
    if (o.HexView) Hex->SetChecked(*o.HexView);
    if (o.SendEnd) EnterSends->SetItemIndex(static_cast<int>(*o.SendEnd));
    if (o.ReceiveMap) ShowCrLf->SetItemIndex(static_cast<int>(*o.ReceiveMap));
    if (o.TimeStamps) Stamps->SetChecked(true);
    Com->SetTerminalEcho(Echo->Checked());
    ViewChoice(this);
    ShowLine();
}

void TTermForm::OpenCloseClick(fw::TObject*) {
    {
        std::lock_guard g(Lock);
        Error.clear();
    }
    if (Com->Active())
        SaveSettings();
    else if (Com->ComName() != SettingsPort)
        LoadSettings();  // a port picked in the box comes back as it was left
    Com->SetActive(!Com->Active());
    if (Com->Active()) {
        ApplySwitches();
        SaveSettings();
        Term->SetFocus();
    }
    ShowLine();
    ShowStatus(this);
}

// Works on the open port at once, or on the next one opened.
void TTermForm::SettingsClick(fw::TObject*) {
    Com->ConfigDialog();
    ApplySwitches();  // new line settings raise DTR and RTS again
    ShowLine();
    ShowStatus(this);
}

void TTermForm::LineChoice(fw::TObject* Sender) {
    if (Sender == DataBits) Com->SetByteSize(static_cast<std::uint8_t>(DataBits->ItemIndex() + 5));
    if (Sender == Parity) Com->SetParity(static_cast<nr::TParity>(Parity->ItemIndex()));
    if (Sender == StopBits) Com->SetStopBits(static_cast<nr::TStopBits>(StopBits->ItemIndex()));
    if (Sender == Flow) {
        static const nr::TStreamProtocol kFlow[] = {nr::spNone, nr::spHardware, nr::spXonXoff};
        Com->SetStreamProtocol(kFlow[std::clamp(Flow->ItemIndex(), 0, 2)]);
        ApplySwitches();  // without handshake RTS is ours again
    }
    ShowLine();
}

void TTermForm::RateKey(fw::TObject*, wchar_t& Key) {
    if (Key != L'\r') return;
    Key = 0;
    ApplyRate(this);
}

// A rate picked or typed; anything else shows the port's rate again.
void TTermForm::ApplyRate(fw::TObject*) {
    std::uint32_t rate = 0;
    const std::wstring text = Rate->Text();
    if (swscanf(text.c_str(), L"%u", &rate) == 1 && rate > 0 && rate != Com->BaudRate()) Com->SetBaudRate(rate);
    ShowLine();
}

// The line controls show the component's settings (the dialog or a saved
// port may have changed them). The rate box is left alone while typed into.
void TTermForm::ShowLine() {
    const std::wstring rate = std::to_wstring(Com->BaudRate());
    if (!Rate->Focused() && Rate->Text() != rate) Rate->SetText(rate);
    SetIndex(DataBits, Com->ByteSize() - 5);
    SetIndex(Parity, Com->Parity());
    SetIndex(StopBits, Com->StopBits());
    static const int kFlowIndex[] = {0, 2, 1};  // spNone, spXonXoff, spHardware
    SetIndex(Flow, kFlowIndex[Com->StreamProtocol() % 3]);
}

void TTermForm::LoadSettings() {
    const std::wstring port = Com->ComName();
    SettingsPort = port;
    Com->LoadConfig(HKEY_CURRENT_USER, kSettingsKey, port);
    fw::TRegistry reg;
    TPrefs p;
    if (!reg.OpenKeyReadOnly(kSettingsKey) || reg.GetDataSize(PrefsName(port)) != sizeof p) return;
    reg.ReadBinaryData(PrefsName(port), &p, sizeof p);
    if (p.Version != TPrefs{}.Version) return;
    TTermOptions o;
    o.SendEnd = static_cast<TLineEnd>(std::min<int>(p.SendEnd, 2));
    o.ReceiveMap = static_cast<TRxMap>(std::min<int>(p.ReceiveMap, 2));
    o.HexView = p.Hex != 0, o.Echo = p.Echo != 0, o.DTR = p.DTR != 0, o.RTS = p.RTS != 0;
    o.TimeStamps = p.Stamps != 0;
    if (p.Scrollback >= 1024) Scrollback = p.Scrollback;
    ApplyOptions(o);
}

void TTermForm::SaveSettings() {
    const std::wstring port = Com->ComName();
    Com->SaveConfig(HKEY_CURRENT_USER, kSettingsKey, port);
    TPrefs p;
    p.SendEnd = static_cast<std::uint8_t>(std::max(EnterSends->ItemIndex(), 0));
    p.ReceiveMap = static_cast<std::uint8_t>(std::max(ShowCrLf->ItemIndex(), 0));
    p.Hex = Hex->Checked(), p.Echo = Echo->Checked(), p.DTR = DTR->Checked(), p.RTS = RTS->Checked();
    p.Stamps = Stamps->Checked();
    p.Scrollback = Scrollback;
    fw::TRegistry reg;
    if (reg.OpenKey(kSettingsKey, true)) reg.WriteBinaryData(PrefsName(port), &p, sizeof p);
}

// ---- lines

void TTermForm::ApplySwitches() {
    SwitchClick(DTR);
    SwitchClick(RTS);
}

void TTermForm::SwitchClick(fw::TObject* Sender) {
    if (Sender == DTR) Com->SetStateDTR(DTR->Checked());
    // With RTS/CTS handshake the driver owns RTS.
    if (Sender == RTS && Com->StreamProtocol() != nr::spHardware) Com->SetStateRTS(RTS->Checked());
    if (Sender == Echo) Com->SetTerminalEcho(Echo->Checked());
}

// A lamp shows the line, not clicks; a click only clears a RING seen.
void TTermForm::LampClick(fw::TObject* Sender) {
    if (Sender == Ring) Ring->SetChecked(false);
}

void TTermForm::BreakClick(fw::TObject*) {
    if (!Com->Active() || BreakTimer->Enabled()) return;
    Com->SetStateBreak(true);
    Break->SetEnabled(false);
    BreakTimer->SetEnabled(true);
}

void TTermForm::BreakEnd(fw::TObject*) {
    BreakTimer->SetEnabled(false);
    Break->SetEnabled(true);
    if (Com->Active()) Com->SetStateBreak(false);
}

// ---- text both ways

LRESULT CALLBACK TTermForm::EnterHook(HWND h, UINT Msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR Self) {
    if (Msg == WM_NCDESTROY) nr::Win32.RemoveWindowSubclass(h, &EnterHook, kEnterHookId);
    if (Msg != WM_CHAR || wp != L'\r') return nr::Win32.DefSubclassProc(h, Msg, wp, lp);
    auto* f = reinterpret_cast<TTermForm*>(Self);
    try {
        const auto end = static_cast<TLineEnd>(std::max(f->EnterSends->ItemIndex(), 0));
        if (f->Com->Active()) f->Com->SendString(LineEndBytes(end));
        if (f->Echo->Checked()) f->Append(L"\r\n");
    } catch (...) {
        if (fw::Application) fw::Application->HandleException(nullptr);
    }
    return 0;
}

void TTermForm::HexKey(fw::TObject*, wchar_t& Key) {
    if (Key != L'\r') return;
    Key = 0;
    SendHexClick(this);
}

void TTermForm::SendHexClick(fw::TObject*) {
    const auto bytes = ParseHex(HexText->Text());
    if (!bytes) {
        std::lock_guard g(Lock);
        Error = L"Not hex bytes: \"" + HexText->Text() + L"\"";
        return;
    }
    if (Com->Active()) Com->SendData(bytes->data(), static_cast<std::uint32_t>(bytes->size()));
}

// What is already shown stays as it is; the choice applies from here on.
void TTermForm::ViewChoice(fw::TObject*) {
    View.Hex = Hex->Checked();
    View.Map = static_cast<TRxMap>(std::clamp(ShowCrLf->ItemIndex(), 0, 2));
    View.Reset();
    if (Term->HandleAllocated() && GetWindowTextLengthW(Term->Handle()) > 0) Append(L"\r\n");
}

void TTermForm::ClearClick(fw::TObject*) {
    Term->SetText(L"");
    View.Reset();
}

void TTermForm::CaptureClick(fw::TObject*) {
    if (!Capture->Checked()) return StopCapture();
    wchar_t file[MAX_PATH] = L"nrterm.log";
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = Handle();
    ofn.lpstrFile = file;
    ofn.nMaxFile = MAX_PATH;
    ofn.lpstrFilter = L"Capture (*.log)\0*.log\0All files\0*.*\0";
    ofn.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST;
    if (!GetSaveFileNameW(&ofn) || !StartCapture(file)) Capture->SetChecked(false);
}

// Appends to File: what a capture holds is never lost by the next one.
bool TTermForm::StartCapture(const std::wstring& File) {
    StopCapture();
    HANDLE h = CreateFileW(File.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    std::lock_guard g(Lock);
    if (h == INVALID_HANDLE_VALUE) {
        Error = L"Cannot capture into " + File + L" (error " + std::to_wstring(GetLastError()) + L")";
        return false;
    }
    CaptureFile = h;
    CaptureName = File;
    Stamper = TStamper{};
    Capture->SetChecked(true);
    return true;
}

void TTermForm::StopCapture() {
    std::lock_guard g(Lock);
    if (CaptureFile != INVALID_HANDLE_VALUE) CloseHandle(CaptureFile);
    CaptureFile = INVALID_HANDLE_VALUE;
    CaptureName.clear();
}

void TTermForm::Received(fw::TObject*, void* Buffer, std::uint32_t N) {
    const std::string bytes(static_cast<const char*>(Buffer), N);
    std::lock_guard g(Lock);
    if (CaptureFile != INVALID_HANDLE_VALUE) {
        const std::string out = Stamps->Checked() ? Stamper.Apply(bytes, TimeStamp()) : bytes;
        DWORD written = 0;
        if (!WriteFile(CaptureFile, out.data(), static_cast<DWORD>(out.size()), &written, nullptr) ||
            written != out.size()) {
            // A capture with a hole in it is worse than one that ends where the user is told.
            const DWORD e = GetLastError();
            Error = L"Capture into " + CaptureName + L" stopped (error " + std::to_wstring(e) + L")";
            CloseHandle(CaptureFile);
            CaptureFile = INVALID_HANDLE_VALUE;
            CaptureName.clear();
        }
    }
    // The window shows the latest bytes of a flood.
    Pending += bytes;
    if (Pending.size() > 2 * kPendingMax) {
        NotShown += Pending.size() - kPendingMax;
        Pending.erase(0, Pending.size() - kPendingMax);
    }
    if (!Posted && handle_) Posted = PostMessageW(handle_, kMsgReceived, 0, 0) != FALSE;
}

void TTermForm::ShowSoon() {
    const DWORD since = GetTickCount() - LastShown;
    if (since >= kShowEveryMs)
        ShowReceived();
    else
        SetTimer(handle_, kShowTimerId, kShowEveryMs - since, nullptr);
}

void TTermForm::ShowReceived() {
    KillTimer(handle_, kShowTimerId);
    std::string bytes;
    std::uint64_t notShown = 0;
    {
        std::lock_guard g(Lock);
        const std::size_t n = std::min(Pending.size(), kShowMaxBytes);
        bytes.assign(Pending, 0, n);
        Pending.erase(0, n);
        Posted = !Pending.empty();  // the rest is shown after a pause, set below
        notShown = std::exchange(NotShown, 0);
    }
    std::wstring text;
    if (notShown) {
        text = L"\r\n[" + std::to_wstring(notShown) + L" bytes not shown]\r\n";
        View.Reset();
    }
    if (!bytes.empty()) Append(text + View.Show(bytes));
    // The pause lets the window paint and answer the user between inserts.
    LastShown = GetTickCount();
    std::lock_guard g(Lock);
    if (Posted) SetTimer(handle_, kShowTimerId, kShowEveryMs, nullptr);
}

// Text goes at the end, whatever the user selected or scrolled to; that stays
// in place, unless the caret was at the end, which then follows the text.
// Past the scrollback the oldest rows go, 1/32 of it at a time.
void TTermForm::Append(std::wstring Text) {
    const HWND h = Term->Handle();
    if (Text.size() > Scrollback) Text.erase(0, Text.size() - Scrollback);
    DWORD start = 0, end = 0;
    SendMessageW(h, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
    const auto len = static_cast<DWORD>(GetWindowTextLengthW(h));
    const bool follow = start == end && end == len;
    const LRESULT top = SendMessageW(h, EM_GETFIRSTVISIBLELINE, 0, 0);
    DWORD dropped = 0;
    LRESULT droppedRows = 0;
    if (len + Text.size() > Scrollback) {
        const DWORD want = std::min<DWORD>(len, static_cast<DWORD>(len + Text.size() - Scrollback * 31 / 32));
        droppedRows = SendMessageW(h, EM_LINEFROMCHAR, want, 0) + 1;
        const LRESULT next = SendMessageW(h, EM_LINEINDEX, droppedRows, 0);
        dropped = next < 0 || static_cast<DWORD>(next) > len ? len : static_cast<DWORD>(next);
        SendMessageW(h, EM_SETSEL, 0, dropped);
        SendMessageW(h, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
    }
    SendMessageW(h, EM_SETSEL, len - dropped, len - dropped);
    SendMessageW(h, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(Text.c_str()));
    if (follow) return;
    SendMessageW(h, EM_SETSEL, start - std::min(start, dropped), end - std::min(end, dropped));
    const LRESULT now = SendMessageW(h, EM_GETFIRSTVISIBLELINE, 0, 0);
    SendMessageW(h, EM_LINESCROLL, 0, std::max<LRESULT>(top - droppedRows, 0) - now);
}

void TTermForm::CommFatalError(fw::TObject*, std::uint32_t, std::uint32_t, const std::wstring& Msg,
                               bool& RaiseException) {
    RaiseException = false;
    std::lock_guard g(Lock);
    Error = Msg;
    for (auto& c : Error)
        if (c == L'\r' || c == L'\n') c = L' ';
}

void TTermForm::ShowStatus(fw::TObject*) {
    static const wchar_t* const kParity = L"NOEMS";
    static const wchar_t* const kStop[] = {L"1", L"1.5", L"2"};
    static const wchar_t* const kFlow[] = {L"", L" XON/XOFF", L" RTS/CTS"};
    std::wstring s = Com->ComName() + (Com->Active() ? L" open, " : L" closed, ") + std::to_wstring(Com->BaudRate()) +
                     L" " + std::to_wstring(Com->ByteSize()) + kParity[Com->Parity() % 5] + kStop[Com->StopBits() % 3] +
                     kFlow[Com->StreamProtocol() % 3] + L"   received " + std::to_wstring(Com->TotalReceived()) +
                     L", sent " + std::to_wstring(Com->TotalSent());
    bool capturing;
    {
        std::lock_guard g(Lock);
        capturing = !CaptureName.empty();
        if (capturing) s += L"   capture: " + CaptureName;
        if (!Error.empty()) s += L"   " + Error;
    }
    if (s != Status->Caption()) Status->SetCaption(s);
    if (Capture->Checked() && !capturing) Capture->SetChecked(false);  // a capture that failed
    // The port also closes by itself, when its adapter is pulled out.
    const wchar_t* action = Com->Active() ? L"Close" : L"Open";
    if (OpenClose->Caption() != action) OpenClose->SetCaption(action);
    if (!Rate->Focused()) ShowLine();
}

}  // namespace nrterm
