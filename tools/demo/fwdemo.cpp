// A small window that shows the framework at work: an application object,
// a window component owning another component, a message-window timer
// ticking a counter into the caption. Without a display it closes itself
// after a few seconds; with one it stays until closed.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "comm/nrclasses.h"
#include "framework/forms.h"

namespace {

const int kHeadlessTicks = 12;  // 12 x 250 ms

// Counts ticks; owned by the window component and destroyed with it.
class TTickCounter : public fw::TComponent {
public:
    using TComponent::TComponent;
    int Count() const { return count_; }
    void Step() { ++count_; }

private:
    int count_ = 0;
};

// Not owned by the window: asks to be told when the counter goes away.
class TWatcher : public fw::TComponent {
public:
    using TComponent::TComponent;
    TTickCounter* Watched = nullptr;
    bool ToldOfRemoval = false;
    void Watch(TTickCounter* c) {
        Watched = c;
        FreeNotification(c);
    }
    void Notification(fw::TComponent* AComponent, fw::TOperation Operation) override {
        fw::TComponent::Notification(AComponent, Operation);
        if (Operation == fw::opRemove && AComponent == Watched) {
            Watched = nullptr;
            ToldOfRemoval = true;
        }
    }
};

class TDemoWindow : public fw::TComponent {
public:
    TDemoWindow(fw::TComponent* AOwner, bool headless) : TComponent(AOwner), headless_(headless) {
        counter_ = new TTickCounter(this);
        counter_->SetName(L"Counter");
        RegisterClassOnce();
        hwnd_ = CreateWindowExW(0, kClass, L"fwdemo", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 420, 160,
                                nullptr, nullptr, GetModuleHandleW(nullptr), this);
        if (!hwnd_) throw fw::EOSError(L"Cannot create the demo window", GetLastError());
        timer_.SetInterval(250);
        timer_.SetOnTimer(fw::MakeEvent<&TDemoWindow::TimerTick>(this));
    }
    ~TDemoWindow() override {
        Destroying();
        if (hwnd_) {
            SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
            DestroyWindow(hwnd_);
        }
    }

    HWND Handle() const { return hwnd_; }
    TTickCounter* Counter() const { return counter_; }
    void Show() {
        ShowWindow(hwnd_, SW_SHOW);
        UpdateWindow(hwnd_);
    }

private:
    static constexpr const wchar_t* kClass = L"FwDemoWindow";

    static void RegisterClassOnce() {
        WNDCLASSW wc{};
        wc.lpfnWndProc = &WndProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        wc.lpszClassName = kClass;
        RegisterClassW(&wc);
    }

    static LRESULT CALLBACK WndProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
        if (msg == WM_NCCREATE) {
            auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
            SetWindowLongPtrW(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
        }
        auto* self = reinterpret_cast<TDemoWindow*>(GetWindowLongPtrW(h, GWLP_USERDATA));
        if (self && msg == WM_DESTROY) {
            self->hwnd_ = nullptr;
            self->timer_.SetEnabled(false);
            PostQuitMessage(0);
            return 0;
        }
        if (self && msg == WM_PAINT) {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(h, &ps);
            RECT r;
            GetClientRect(h, &r);
            std::wstring text = L"ticks: " + std::to_wstring(self->counter_->Count());
            SetBkMode(dc, TRANSPARENT);
            DrawTextW(dc, text.c_str(), -1, &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
            EndPaint(h, &ps);
            return 0;
        }
        return DefWindowProcW(h, msg, wp, lp);
    }

    void TimerTick(fw::TObject*) {
        counter_->Step();
        int n = counter_->Count();
        if (hwnd_) {
            SetWindowTextW(hwnd_, (L"fwdemo - ticks: " + std::to_wstring(n)).c_str());
            InvalidateRect(hwnd_, nullptr, TRUE);
        }
        if (n % 4 == 0) {
            std::printf("tick %d, caption now \"fwdemo - ticks: %d\"\n", n, n);
            std::fflush(stdout);
        }
        if (headless_ && n >= kHeadlessTicks && hwnd_) {
            std::printf("no display: closing the window after %d ticks\n", n);
            std::fflush(stdout);
            DestroyWindow(hwnd_);
        }
    }

    bool headless_;
    HWND hwnd_ = nullptr;
    TTickCounter* counter_ = nullptr;
    nr::TnrTimer timer_;
};

}  // namespace

int main() {
    const char* display = std::getenv("DISPLAY");
    bool headless = !display || !*display;
    try {
        fw::TApplication app;
        app.SetTitle(L"fwdemo");
        TWatcher watcher(nullptr);
        auto* window = new TDemoWindow(&app, headless);  // the application owns it
        watcher.Watch(window->Counter());
        app.SetMainWindow(window->Handle());
        window->Show();
        std::printf("window up (%s), timer every 250 ms\n", headless ? "headless" : "on the display");
        std::fflush(stdout);
        app.Run();
        int ticks = window->Counter()->Count();
        delete window;
        std::printf(
            "message loop ended after %d ticks; window component freed, "
            "owned counter %s, watcher %s\n",
            ticks, watcher.Watched ? "still referenced (fault)" : "freed with it",
            watcher.ToldOfRemoval ? "was told of its removal" : "was NOT told (fault)");
        return watcher.ToldOfRemoval && ticks > 0 ? 0 : 1;
    } catch (...) {
        std::printf("fwdemo failed: %s\n", fw::NarrowUtf8(fw::CurrentExceptionMessage()).c_str());
        return 1;
    }
}
