// The application object, utility windows and the screen cursor.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "classes.h"

namespace fw {

struct TMessage {
    UINT Msg;
    WPARAM WParam;
    LPARAM LParam;
    LRESULT Result;
};

using TWndMethod = TEvent<void(TMessage& Message)>;

// A hidden window whose window procedure is a bound method. Exceptions of the
// method are handed to the application's exception display.
HWND AllocateHWnd(TWndMethod method);
void DeallocateHWnd(HWND wnd);

using TExceptionEvent = TEvent<void(TObject* Sender, const Exception& E)>;

class TApplication : public TComponent {
public:
    TApplication();
    ~TApplication() override;

    void Initialize() {}
    // Runs the message loop until Terminate or the main form is closed.
    void Run();
    // Handles every message waiting in the queue, then returns.
    void ProcessMessages();
    // Handles messages until pred() is true or ms have passed; true when pred
    // held. For waits of the main thread that must keep the UI alive.
    bool ProcessMessagesUntil(const std::function<bool()>& pred, DWORD ms);
    void Terminate();
    bool Terminated() const { return terminated_; }

    // The standard exception display: a task-modal error box, or, when
    // OnException is set, that handler instead (tests observe it there).
    void ShowException(const Exception& E);
    // Shows the exception being handled (call inside a catch block).
    void HandleException(TObject* Sender);
    TExceptionEvent OnException;

    // Message boxes shown by components; when OnMessageBox is set it answers
    // instead of a real box (tests observe it there).
    int ShowMessageBox(HWND owner, const std::wstring& text, const std::wstring& caption, UINT flags);
    TEvent<int(HWND owner, const std::wstring& text, const std::wstring& caption, UINT flags)> OnMessageBox;

    HWND Handle() const { return handle_; }
    bool MainFormOnTaskBar() const { return mainFormOnTaskBar_; }
    void SetMainFormOnTaskBar(bool v) { mainFormOnTaskBar_ = v; }
    // The window whose closing ends Run (set by the first form shown as main).
    HWND MainWindow() const { return mainWindow_; }
    void SetMainWindow(HWND w) { mainWindow_ = w; }
    const std::wstring& Title() const { return title_; }
    void SetTitle(const std::wstring& t) { title_ = t; }

private:
    void WndProc(TMessage& m);
    bool ProcessMessage(MSG& msg);
    HWND handle_ = nullptr;
    HWND mainWindow_ = nullptr;
    bool terminated_ = false;
    bool mainFormOnTaskBar_ = false;
    std::wstring title_;
};

// The one application object; null until created.
extern TApplication* Application;

enum : int { crDefault = 0, crArrow = -2, crHourGlass = -11 };
using TCursor = int;

class TScreen {
public:
    TCursor Cursor() const { return cursor_; }
    void SetCursor(TCursor c);
    // The cursor windows should show for the screen cursor (nullptr: their own).
    HCURSOR CursorHandle() const;

private:
    TCursor cursor_ = crDefault;
};

extern TScreen* Screen;

}  // namespace fw
