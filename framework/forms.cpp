#include "forms.h"

#include <memory>

#include "threads.h"

namespace fw {

TApplication* Application = nullptr;
static TScreen gScreen;
TScreen* Screen = &gScreen;

namespace {

const wchar_t kUtilClass[] = L"TPUtilWindow";
const UINT kWakeMsg = WM_APP + 0x3F00;

LRESULT CALLBACK UtilWndProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    auto* method = reinterpret_cast<TWndMethod*>(GetWindowLongPtrW(h, GWLP_USERDATA));
    if (!method || !*method) return DefWindowProcW(h, msg, wp, lp);
    TMessage m{msg, wp, lp, 0};
    try {
        (*method)(m);
    } catch (...) {
        // Nothing may leave a window procedure, not even a failing display.
        try {
            if (Application) Application->HandleException(nullptr);
        } catch (...) {
        }
    }
    return m.Result;
}

void RegisterUtilClass() {
    static bool done = false;
    if (done) return;
    WNDCLASSW wc{};
    wc.lpfnWndProc = &UtilWndProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = kUtilClass;
    RegisterClassW(&wc);
    done = true;
}

}  // namespace

HWND AllocateHWnd(TWndMethod method) {
    RegisterUtilClass();
    HWND h = CreateWindowExW(WS_EX_TOOLWINDOW, kUtilClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                             GetModuleHandleW(nullptr), nullptr);
    if (!h) throw EOSError(L"Cannot create a utility window", GetLastError());
    SetWindowLongPtrW(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(new TWndMethod(std::move(method))));
    return h;
}

void DeallocateHWnd(HWND wnd) {
    if (!wnd) return;
    auto* method = reinterpret_cast<TWndMethod*>(GetWindowLongPtrW(wnd, GWLP_USERDATA));
    SetWindowLongPtrW(wnd, GWLP_USERDATA, 0);
    DestroyWindow(wnd);
    delete method;
}

TApplication::TApplication() : TComponent(nullptr) {
    SetMainThreadID(GetCurrentThreadId());
    handle_ = AllocateHWnd(TWndMethod::Bind<&TApplication::WndProc>(this));
    SetWakeWindow(handle_, kWakeMsg);
    Application = this;
}

TApplication::~TApplication() {
    SetWakeWindow(nullptr, 0);
    CheckSynchronize();
    if (Application == this) Application = nullptr;
    DestroyComponents();
    DeallocateHWnd(handle_);
}

void TApplication::WndProc(TMessage& m) {
    if (m.Msg == kWakeMsg) {
        CheckSynchronize();
        return;
    }
    m.Result = DefWindowProcW(handle_, m.Msg, m.WParam, m.LParam);
}

bool TApplication::ProcessMessage(MSG& msg) {
    if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) return false;
    if (msg.message == WM_QUIT) {
        terminated_ = true;
        return true;
    }
    HWND top = msg.hwnd ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
    if (!top || !IsDialogMessageW(top, &msg)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return true;
}

void TApplication::ProcessMessages() {
    MSG msg;
    CheckSynchronize();
    while (ProcessMessage(msg)) {
    }
    CheckSynchronize();
}

bool TApplication::ProcessMessagesUntil(const std::function<bool()>& pred, DWORD ms) {
    DWORD start = GetTickCount();
    for (;;) {
        ProcessMessages();
        if (pred()) return true;
        DWORD spent = GetTickCount() - start;
        if (spent >= ms) return false;
        MainThreadWait(0, nullptr, ms - spent < 10 ? ms - spent : 10, QS_ALLINPUT);
    }
}

void TApplication::Run() {
    MSG msg;
    while (!terminated_) {
        if (mainWindow_ && !IsWindow(mainWindow_)) break;
        MainThreadWait(0, nullptr, INFINITE, QS_ALLINPUT);
        while (ProcessMessage(msg)) {
            if (terminated_) break;
        }
    }
}

void TApplication::Terminate() {
    terminated_ = true;
    PostQuitMessage(0);
}

void TApplication::ShowException(const Exception& E) {
    if (OnException) {
        OnException(this, E);
        return;
    }
    std::wstring caption = title_.empty() ? L"Error" : title_;
    MessageBoxW(nullptr, E.Message().c_str(), caption.c_str(), MB_OK | MB_ICONERROR | MB_TASKMODAL);
}

int TApplication::ShowMessageBox(HWND owner, const std::wstring& text, const std::wstring& caption, UINT flags) {
    if (OnMessageBox) return OnMessageBox(owner, text, caption, flags);
    return ::MessageBoxW(owner, text.c_str(), caption.c_str(), flags);
}

void TApplication::HandleException(TObject*) {
    try {
        throw;
    } catch (const Exception& e) {
        ShowException(e);
    } catch (...) {
        ShowException(Exception(CurrentExceptionMessage()));
    }
}

void TScreen::SetCursor(TCursor c) {
    cursor_ = c;
    HCURSOR h = CursorHandle();
    ::SetCursor(h ? h : LoadCursorW(nullptr, IDC_ARROW));
}

HCURSOR TScreen::CursorHandle() const {
    switch (cursor_) {
        case crHourGlass: return LoadCursorW(nullptr, IDC_WAIT);
        case crArrow: return LoadCursorW(nullptr, IDC_ARROW);
        default: return nullptr;
    }
}

}  // namespace fw
