// nrterm: a serial terminal in one window, written the way any program
// would use the serial component: the port box picks the port, the system's
// dialog sets the line, the memo is the component's terminal, check boxes
// watch the modem lines and switch DTR and RTS.
//
//   nrterm [COMn]     with a port: select it and open it at once
#include <windows.h>
#include <commctrl.h>

#include <string>

#include "comm/nrcomm.h"
#include "comm/nrcommbox.h"
#include "comm/nrwin32di.h"
#include "framework/controls.h"
#include "framework/forms.h"

namespace {

const wchar_t kCaption[] = L"nrterm serial terminal";

class TTermForm : public fw::TForm {
public:
    explicit TTermForm(fw::TComponent* AOwner) : fw::TForm(AOwner) {
        SetCaption(kCaption);
        SetClientWidth(600);
        SetClientHeight(400);
        SetPosition(fw::poDesktopCenter);

        Comm = new nr::TnrComm(this);
        Comm->SetEnumPorts(nr::epFullPresent);
        Comm->SetBaudRate(9600);
        Comm->SetStreamProtocol(nr::spNone);
        Comm->SetTraceStates({nr::tsCTS, nr::tsDSR, nr::tsRLSD, nr::tsRing});
        Comm->OnFatalError = fw::MakeEvent<&TTermForm::CommFatalError>(this);

        Ports = Place(new nr::TnrDeviceBox(this), 8, 8, 300, 24);
        Ports->SetnrComm(Comm);
        Settings = Place(new fw::TButton(this), 316, 8, 90, 24);
        Settings->SetCaption(L"Settings...");
        Settings->OnClick = fw::MakeEvent<&TTermForm::SettingsClick>(this);
        OpenClose = Place(new fw::TButton(this), 414, 8, 90, 24);
        OpenClose->SetCaption(L"Open");
        OpenClose->OnClick = fw::MakeEvent<&TTermForm::OpenCloseClick>(this);
        Clear = Place(new fw::TButton(this), 512, 8, 80, 24);
        Clear->SetCaption(L"Clear");
        Clear->OnClick = fw::MakeEvent<&TTermForm::ClearClick>(this);

        // Our outputs: what the switches show is what the line carries.
        DTR = Switch(L"DTR", 8);
        RTS = Switch(L"RTS", 64);
        Echo = Switch(L"Echo", 120);
        Echo->SetChecked(false);
        // The peer's outputs, kept up to date by the component.
        CTS = Monitor(L"CTS", 260);
        DSR = Monitor(L"DSR", 316);
        RLSD = Monitor(L"RLSD", 372);
        Ring = Monitor(L"RING", 436);
        Comm->SetMonitorCTS(CTS);
        Comm->SetMonitorDSR(DSR);
        Comm->SetMonitorRLSD(RLSD);
        Comm->SetMonitorRing(Ring);

        Term = Place(new fw::TMemo(this), 8, 66, 584, 302);
        Term->Font().SetName(L"Courier New");
        Term->Font().SetPitch(fw::fpFixed);
        Term->Font().SetHeight(14);
        Comm->SetTerminal(Term);
        Comm->SetTerminalUsage(nr::tuBoth);

        Status = Place(new fw::TLabel(this), 8, 376, 584, 17);
        Ticker = new fw::TTimer(this);
        Ticker->SetInterval(250);
        Ticker->OnTimer = fw::MakeEvent<&TTermForm::ShowStatus>(this);
        ShowStatus(this);
    }

    // Opens port Name ("COM3"), listed or not; false for no port name.
    bool OpenPort(const std::wstring& Name) {
        std::uint16_t n = 0;
        if (!nr::ComPortNumber(Name, n)) return false;
        Comm->SetComPortNo(n);
        OpenCloseClick(this);
        return true;
    }

    // Adapters plugged in or pulled out show in the port box at once.
    void WndProc(fw::TMessage& Message) override {
        if (Message.Msg == WM_DEVICECHANGE) Ports->WMDeviceChange(Message);
        fw::TForm::WndProc(Message);
    }

private:
    template <class C> C* Place(C* c, int left, int top, int width, int height) {
        c->SetParent(this);
        c->SetBounds(left, top, width, height);
        return c;
    }
    fw::TCheckBox* Switch(const wchar_t* Caption, int Left) {
        auto* c = Place(new fw::TCheckBox(this), Left, 40, 52, 20);
        c->SetCaption(Caption);
        c->SetChecked(true);
        c->OnClick = fw::MakeEvent<&TTermForm::SwitchClick>(this);
        return c;
    }
    fw::TCheckBox* Monitor(const wchar_t* Caption, int Left) {
        auto* c = Place(new fw::TCheckBox(this), Left, 40, 60, 20);
        c->SetCaption(Caption);
        c->OnClick = fw::MakeEvent<&TTermForm::MonitorClick>(this);
        return c;
    }

    void OpenCloseClick(fw::TObject*) {
        Error.clear();
        Comm->SetActive(!Comm->Active());
        if (Comm->Active()) {
            ApplySwitches();
            Term->SetFocus();
        }
        ShowStatus(this);
    }
    // Works on the open port at once, or on the next one opened.
    void SettingsClick(fw::TObject*) {
        Comm->ConfigDialog();
        ApplySwitches();  // new line settings raise DTR and RTS again
        ShowStatus(this);
    }
    void ApplySwitches() {
        SwitchClick(DTR);
        SwitchClick(RTS);
    }
    void ClearClick(fw::TObject*) { Term->SetText(L""); }
    void SwitchClick(fw::TObject* Sender) {
        if (Sender == DTR) Comm->SetStateDTR(DTR->Checked());
        if (Sender == RTS) Comm->SetStateRTS(RTS->Checked());
        if (Sender == Echo) Comm->SetTerminalEcho(Echo->Checked());
    }
    // Monitors show the lines, not clicks; a click only clears a RING seen.
    void MonitorClick(fw::TObject* Sender) {
        auto* box = static_cast<fw::TCheckBox*>(Sender);
        if (box != Ring || box->Checked()) box->SetChecked(!box->Checked());
    }
    void CommFatalError(fw::TObject*, std::uint32_t, std::uint32_t, const std::wstring& Msg, bool& RaiseException) {
        RaiseException = false;
        Error = Msg;
        for (auto& c : Error)
            if (c == L'\r' || c == L'\n') c = L' ';
    }
    void ShowStatus(fw::TObject*) {
        static const wchar_t* const kParity = L"NOEMS";
        static const wchar_t* const kStop[] = {L"1", L"1.5", L"2"};
        std::wstring s = Comm->ComName() + (Comm->Active() ? L" open, " : L" closed, ") +
                         std::to_wstring(Comm->BaudRate()) + L" " + std::to_wstring(Comm->ByteSize()) +
                         kParity[Comm->Parity() % 5] + kStop[Comm->StopBits() % 3] + L"   received " +
                         std::to_wstring(Comm->TotalReceived()) + L", sent " + std::to_wstring(Comm->TotalSent());
        if (!Error.empty()) s += L"   " + Error;
        if (s != Status->Caption()) Status->SetCaption(s);
        // The port also closes by itself, when its adapter is pulled out.
        const wchar_t* action = Comm->Active() ? L"Close" : L"Open";
        if (OpenClose->Caption() != action) OpenClose->SetCaption(action);
    }

    nr::TnrComm* Comm;
    nr::TnrDeviceBox* Ports;
    fw::TButton *Settings, *OpenClose, *Clear;
    fw::TCheckBox *DTR, *RTS, *Echo, *CTS, *DSR, *RLSD, *Ring;
    fw::TMemo* Term;
    fw::TLabel* Status;
    fw::TTimer* Ticker;
    std::wstring Error;  // why the last open failed
};

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
    InitCommonControlsEx(&icc);
    fw::TApplication app;
    app.SetMainFormOnTaskBar(true);
    app.SetTitle(kCaption);
    try {
        auto* form = fw::CreateForm<TTermForm>(&app);
        form->Show();
        if (__argc > 1 && !form->OpenPort(__wargv[1]))
            throw fw::Exception(L"Not a port name: " + std::wstring(__wargv[1]));
    } catch (...) {
        app.HandleException(nullptr);
        return 1;
    }
    app.Run();
    nr::UnloadSetupApi();
    return 0;
}
