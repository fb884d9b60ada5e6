// nrterm's window: the port and its line at the top, the output switches and
// input lamps, how text goes out and comes in, the terminal, a status line.
#pragma once

#include <windows.h>

#include <mutex>
#include <string>

#include "comm/nrcomm.h"
#include "comm/nrcommbox.h"
#include "framework/controls.h"
#include "framework/forms.h"
#include "term_options.h"
#include "term_text.h"

namespace nrterm {

extern const wchar_t kCaption[];

class TTermForm : public fw::TForm {
public:
    explicit TTermForm(fw::TComponent* AOwner);
    ~TTermForm() override;

    // The named port's saved settings, the options over them; then opens it.
    // False when the port cannot be opened (the status line says why).
    bool Start(const TTermOptions& Options);
    void WndProc(fw::TMessage& Message) override;
    nr::TnrComm* Comm() const { return Com; }
    // Scrollback: the oldest text goes once the terminal holds more.
    static constexpr std::uint32_t kDefaultScrollback = 1u << 20;

private:
    template <class C> C* Place(C* c, int left, int top, int width, int height);
    fw::TComboBox* Choice(int left, int top, int width, std::initializer_list<const wchar_t*> Items);
    fw::TCheckBox* Switch(const wchar_t* Caption, int Left, int Top, int Width, bool Checked);
    fw::TLed* Lamp(const wchar_t* Caption, int Left);
    void CreateLineControls();
    void CreateSignalControls();
    void CreateTextControls();
    void Layout(fw::TObject*);

    // The port and its line
    void OpenCloseClick(fw::TObject*);
    void SettingsClick(fw::TObject*);
    void LineChoice(fw::TObject* Sender);
    void RateKey(fw::TObject*, wchar_t& Key);
    void ApplyRate(fw::TObject*);
    void ShowLine();
    void ApplyOptions(const TTermOptions& o);
    // Per port, in the registry: the line, and how the terminal shows and sends.
    void LoadSettings();
    void SaveSettings();

    // Lines
    void ApplySwitches();
    void SwitchClick(fw::TObject* Sender);
    void LampClick(fw::TObject* Sender);
    void BreakClick(fw::TObject*);
    void BreakEnd(fw::TObject*);

    // Text both ways
    static LRESULT CALLBACK EnterHook(HWND h, UINT Msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR Self);
    void SendHexClick(fw::TObject*);
    void HexKey(fw::TObject*, wchar_t& Key);
    void ViewChoice(fw::TObject*);
    void ClearClick(fw::TObject*);
    void CaptureClick(fw::TObject*);
    bool StartCapture(const std::wstring& File);
    void StopCapture();
    // On the thread the component delivers on: notes the bytes for the
    // window, and the capture takes them.
    void Received(fw::TObject*, void* Buffer, std::uint32_t N);
    void ShowSoon();
    void ShowReceived();
    void Append(std::wstring Text);

    void CommFatalError(fw::TObject*, std::uint32_t, std::uint32_t, const std::wstring& Msg, bool& RaiseException);
    void ShowStatus(fw::TObject*);

    nr::TnrComm* Com;
    nr::TnrDeviceBox* Ports;
    fw::TComboBox *Rate, *DataBits, *Parity, *StopBits, *Flow, *EnterSends, *ShowCrLf;
    fw::TButton *Settings, *OpenClose, *Clear, *Break, *SendHex;
    fw::TCheckBox *DTR, *RTS, *Echo, *Hex, *Stamps, *Capture;
    fw::TLed *CTS, *DSR, *RLSD, *Ring;
    fw::TGroupBox *Outputs, *Inputs;
    fw::TEdit* HexText;
    fw::TMemo* Term;
    fw::TLabel* Status;
    fw::TTimer *Ticker, *BreakTimer;
    std::uint32_t Scrollback = kDefaultScrollback;
    std::wstring SettingsPort;  // the port whose saved settings are in use
    TRxText View;               // the window's thread only
    DWORD LastShown = 0;

    // Shared with the delivering thread.
    std::mutex Lock;
    std::string Pending;         // received, not yet shown
    bool Posted = false;         // a message to show them is on its way
    std::uint64_t NotShown = 0;  // dropped from Pending in a flood
    HANDLE CaptureFile = INVALID_HANDLE_VALUE;
    std::wstring CaptureName;
    TStamper Stamper;
    std::wstring Error;  // why the last open (or the line) failed
};

}  // namespace nrterm
