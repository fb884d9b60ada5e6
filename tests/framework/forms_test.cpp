// Tests of framework/forms.cpp.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "framework/forms.h"
#include "framework/threads.h"

using namespace fw;

namespace {

struct TWindowUser {
    HWND wnd = nullptr;
    std::vector<UINT> got;
    std::vector<DWORD> threads;
    void WndProc(TMessage& m) {
        switch (m.Msg) {
            case WM_APP + 1:
            case WM_APP + 2:
                got.push_back(m.Msg);
                threads.push_back(GetCurrentThreadId());
                m.Result = static_cast<LRESULT>(m.WParam + m.LParam);
                return;
            case WM_APP + 3: throw EConvertError(L"boom");
            case WM_APP + 4: throw std::runtime_error("std boom");
            case WM_APP + 5: throw 42;
            default: m.Result = DefWindowProcW(wnd, m.Msg, m.WParam, m.LParam);
        }
    }
};

// Sets Application->OnException for one test and puts the old one back.
class ExceptionCatcher {
public:
    ExceptionCatcher() : saved_(Application->OnException) {
        Application->OnException = TExceptionEvent::Bind<&ExceptionCatcher::Handle>(this);
    }
    ~ExceptionCatcher() { Application->OnException = saved_; }
    std::vector<std::wstring> messages;
    std::vector<TObject*> senders;
    bool rethrow = false;

private:
    void Handle(TObject* Sender, const Exception& E) {
        messages.push_back(E.Message());
        senders.push_back(Sender);
        if (rethrow) throw Exception(L"handler failed too");
    }
    TExceptionEvent saved_;
};

}  // namespace

TEST(UtilWindow, BoundMethodReceivesSentAndPostedMessages) {
    TWindowUser u;
    u.wnd = AllocateHWnd(TWndMethod::Bind<&TWindowUser::WndProc>(&u));
    ASSERT_TRUE(IsWindow(u.wnd));
    EXPECT_EQ(SendMessageW(u.wnd, WM_APP + 1, 5, 6), 11);
    PostMessageW(u.wnd, WM_APP + 2, 0, 0);
    EXPECT_TRUE(Application->ProcessMessagesUntil([&] { return u.got.size() == 2; }, 5000));
    EXPECT_EQ(u.got, (std::vector<UINT>{WM_APP + 1, WM_APP + 2}));

    // From another thread the method still runs on the window's thread.
    std::atomic<LRESULT> r{0};
    std::thread other([&] { r = SendMessageW(u.wnd, WM_APP + 1, 1, 2); });
    EXPECT_TRUE(Application->ProcessMessagesUntil([&] { return r.load() == 3; }, 5000));
    other.join();
    EXPECT_EQ(u.threads.back(), GetCurrentThreadId());

    DeallocateHWnd(u.wnd);
    EXPECT_FALSE(IsWindow(u.wnd));
    DeallocateHWnd(nullptr);  // harmless
}

TEST(UtilWindow, ExceptionsGoToTheApplicationInsteadOfEscaping) {
    ExceptionCatcher catcher;
    TWindowUser u;
    u.wnd = AllocateHWnd(TWndMethod::Bind<&TWindowUser::WndProc>(&u));
    EXPECT_EQ(SendMessageW(u.wnd, WM_APP + 3, 0, 0), 0);
    EXPECT_EQ(SendMessageW(u.wnd, WM_APP + 4, 0, 0), 0);
    EXPECT_EQ(SendMessageW(u.wnd, WM_APP + 5, 0, 0), 0);
    PostMessageW(u.wnd, WM_APP + 3, 0, 0);
    EXPECT_TRUE(Application->ProcessMessagesUntil([&] { return catcher.messages.size() == 4; }, 5000));
    EXPECT_EQ(catcher.messages, (std::vector<std::wstring>{L"boom", L"std boom", L"Unknown exception", L"boom"}));
    EXPECT_EQ(catcher.senders.front(), Application);

    // Not even a failing exception handler lets it out.
    catcher.rethrow = true;
    EXPECT_EQ(SendMessageW(u.wnd, WM_APP + 3, 0, 0), 0);
    EXPECT_EQ(catcher.messages.size(), 5u);
    // The window still works afterwards.
    EXPECT_EQ(SendMessageW(u.wnd, WM_APP + 1, 2, 2), 4);
    DeallocateHWnd(u.wnd);
}

TEST(Application, ProcessMessagesUntilStopsAtTheTimeLimit) {
    DWORD start = GetTickCount();
    EXPECT_FALSE(Application->ProcessMessagesUntil([] { return false; }, 60));
    DWORD spent = GetTickCount() - start;
    EXPECT_GE(spent, 40u);  // tick granularity
    EXPECT_LT(spent, 2000u);
    EXPECT_TRUE(Application->ProcessMessagesUntil([] { return true; }, 0));
}

TEST(Application, HandleExceptionShowsTheCurrentException) {
    ExceptionCatcher catcher;
    try {
        throw EListError(L"List index out of bounds (3)");
    } catch (...) {
        Application->HandleException(nullptr);
    }
    EXPECT_EQ(catcher.messages, (std::vector<std::wstring>{L"List index out of bounds (3)"}));
}

TEST(Screen, HourglassCursor) {
    Screen->SetCursor(crHourGlass);
    EXPECT_EQ(Screen->Cursor(), crHourGlass);
    EXPECT_EQ(Screen->CursorHandle(), LoadCursorW(nullptr, IDC_WAIT));
    Screen->SetCursor(crDefault);
    EXPECT_EQ(Screen->CursorHandle(), nullptr);
}
