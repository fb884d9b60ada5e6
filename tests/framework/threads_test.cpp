// Tests of framework/threads.cpp.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "framework/forms.h"
#include "framework/threads.h"

using namespace fw;

namespace {

// A thread running a function; reports its own destruction.
class TFnThread : public TThread {
public:
    TFnThread(std::function<void(TFnThread&)> body, bool freeOnTerminate = false,
              std::atomic<bool>* destroyed = nullptr)
        : TThread(true), body_(std::move(body)), destroyed_(destroyed) {
        SetFreeOnTerminate(freeOnTerminate);
    }
    ~TFnThread() override {
        // body_ dies with this part of the object: stop the thread first.
        if (started_ && GetCurrentThreadId() != ThreadID()) {
            Terminate();
            Control()->WaitFor();
        }
        if (destroyed_) destroyed_->store(true);
    }

    void Start() {
        started_ = true;
        TThread::Start();
    }

protected:
    void Execute() override { body_(*this); }

private:
    std::function<void(TFnThread&)> body_;
    bool started_ = false;
    std::atomic<bool>* destroyed_;
};

class Gate {
public:
    Gate() : h_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Gate() { CloseHandle(h_); }
    void Open() { SetEvent(h_); }
    bool Wait(DWORD ms) { return WaitForSingleObject(h_, ms) == WAIT_OBJECT_0; }

private:
    HANDLE h_;
};

bool PumpUntil(const std::function<bool()>& pred, DWORD ms = 5000) {
    return Application->ProcessMessagesUntil(pred, ms);
}

}  // namespace

TEST(Thread, FreeOnTerminateLeavesAUsableControl) {
    std::atomic<bool> destroyed{false};
    Gate go;
    auto* t = new TFnThread([&](TFnThread&) { go.Wait(5000); }, true, &destroyed);
    std::shared_ptr<TThreadControl> ctl = t->Control();
    DWORD id = t->ThreadID();
    EXPECT_NE(id, 0u);
    t->Start();
    t = nullptr;  // it frees itself from here on

    EXPECT_FALSE(ctl->WaitFor(20));
    EXPECT_FALSE(ctl->Finished());
    go.Open();
    ASSERT_TRUE(ctl->WaitFor(5000));
    EXPECT_TRUE(destroyed.load());
    EXPECT_TRUE(ctl->Finished());
    EXPECT_EQ(ctl->ThreadID(), id);
    // Still valid after the thread object is gone.
    EXPECT_TRUE(ctl->WaitFor(0));
    DWORD code = 1;
    EXPECT_TRUE(GetExitCodeThread(ctl->Handle(), &code));
    EXPECT_EQ(code, 0u);
    ctl->Terminate();
    EXPECT_TRUE(ctl->Terminated());
}

TEST(Thread, DestructorTerminatesAndWaitsForTheBody) {
    Gate running;
    std::atomic<bool> sawTerminate{false};
    auto* t = new TFnThread([&](TFnThread& self) {
        running.Open();
        while (!self.Terminated()) Sleep(1);
        sawTerminate = true;
    });
    t->Start();
    ASSERT_TRUE(running.Wait(5000));
    delete t;
    EXPECT_TRUE(sawTerminate.load());
}

TEST(Thread, NeverStartedThreadIsDestroyedWithoutRunningItsBody) {
    std::atomic<bool> ran{false};
    auto* t = new TFnThread([&](TFnThread&) { ran = true; });
    auto ctl = t->Control();
    delete t;
    EXPECT_FALSE(ran.load());
    EXPECT_TRUE(ctl->WaitFor(0));
}

TEST(Thread, ExceptionInTheBodyEndsOnlyThatThread) {
    auto* t = new TFnThread([](TFnThread&) { throw Exception(L"worker failure"); }, true);
    auto ctl = t->Control();
    t->Start();
    ASSERT_TRUE(ctl->WaitFor(5000));
    DWORD code = 1;
    GetExitCodeThread(ctl->Handle(), &code);
    EXPECT_EQ(code, 0u);
}

TEST(Thread, WaitForTimesOutAndRefusesToWaitForItself) {
    Gate go;
    std::atomic<int> selfWait{-1};
    TFnThread t([&](TFnThread& self) {
        selfWait = self.Control()->WaitFor(1000) ? 1 : 0;
        go.Wait(5000);
    });
    t.Start();
    DWORD start = GetTickCount();
    EXPECT_FALSE(t.Control()->WaitFor(30));
    EXPECT_GE(GetTickCount() - start, 15u);  // tick granularity
    go.Open();
    EXPECT_TRUE(t.Control()->WaitFor(5000));
    EXPECT_EQ(t.WaitFor(), 0u);
    EXPECT_EQ(selfWait.load(), 0);
}

TEST(Synchronize, OnTheMainThreadRunsAtOnce) {
    bool ran = false;
    TThread::Synchronize([&] { ran = true; });
    EXPECT_TRUE(ran);
    EXPECT_THROW(TThread::Synchronize([] { throw EConvertError(L"x"); }), EConvertError);
}

TEST(Synchronize, RunsOnTheMainThreadDuringProcessMessagesUntil) {
    DWORD mainId = GetCurrentThreadId();
    std::atomic<DWORD> ranOn{0};
    std::atomic<int> order{0};
    std::atomic<bool> back{false};
    TFnThread t([&](TFnThread&) {
        TThread::Synchronize([&] {
            ranOn = GetCurrentThreadId();
            order = 1;
        });
        // Synchronize returns only after the method has run.
        if (order == 1) order = 2;
        back = true;
    });
    t.Start();
    EXPECT_TRUE(PumpUntil([&] { return back.load(); }));
    EXPECT_EQ(ranOn.load(), mainId);
    EXPECT_EQ(order.load(), 2);
}

TEST(Synchronize, RunsDuringProcessMessagesFromManyThreads) {
    const int kThreads = 4, kCalls = 25;
    int total = 0;  // touched on the main thread only
    std::atomic<int> finished{0};
    std::vector<std::unique_ptr<TFnThread>> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.push_back(std::make_unique<TFnThread>([&](TFnThread&) {
            for (int k = 0; k < kCalls; ++k) TThread::Synchronize([&] { ++total; });
            ++finished;
        }));
        threads.back()->Start();
    }
    DWORD start = GetTickCount();
    while (finished < kThreads && GetTickCount() - start < 10000) {
        Application->ProcessMessages();
        HANDLE h = SyncEvent();
        MsgWaitForMultipleObjects(1, &h, FALSE, 10, QS_ALLINPUT);
    }
    EXPECT_EQ(finished.load(), kThreads);
    EXPECT_EQ(total, kThreads * kCalls);
}

TEST(Synchronize, RunsFromAPlainMessageLoopOfTheMainThread) {
    // A modal loop (message box, dialog) knows nothing of Synchronize: the
    // wake-up message to the application window must be enough.
    std::atomic<bool> back{false};
    bool ran = false;
    TFnThread t([&](TFnThread&) {
        TThread::Synchronize([&] { ran = true; });
        back = true;
        PostThreadMessageW(MainThreadID(), WM_NULL, 0, 0);
    });
    UINT_PTR watchdog = SetTimer(nullptr, 0, 5000, nullptr);
    t.Start();
    MSG msg;
    while (!back && GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_TIMER && msg.hwnd == nullptr && msg.wParam == watchdog) break;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    KillTimer(nullptr, watchdog);
    EXPECT_TRUE(ran);
    EXPECT_TRUE(PumpUntil([&] { return back.load(); }));
}

TEST(Synchronize, ExceptionOfTheMethodIsRaisedAgainInTheWorker) {
    std::wstring caught;
    std::atomic<bool> back{false};
    TFnThread t([&](TFnThread&) {
        try {
            TThread::Synchronize([] { throw EConvertError(L"bad value"); });
            caught = L"nothing raised";
        } catch (const EConvertError& e) {
            caught = e.Message();
        } catch (...) {
            caught = L"another type";
        }
        back = true;
    });
    t.Start();
    ASSERT_TRUE(PumpUntil([&] { return back.load(); }));
    EXPECT_EQ(caught, L"bad value");
}

TEST(Synchronize, WaitForOnTheMainThreadServesIt) {
    DWORD mainId = GetCurrentThreadId();
    std::atomic<DWORD> ranOn{0};
    auto* t = new TFnThread(
        [&](TFnThread&) {
            for (int i = 0; i < 3; ++i) TThread::Synchronize([&] { ranOn = GetCurrentThreadId(); });
        },
        true);
    auto ctl = t->Control();
    t->Start();
    EXPECT_TRUE(ctl->WaitFor(5000));
    EXPECT_EQ(ranOn.load(), mainId);
}

namespace {
// Uses no members of its own, so the base destructor's wait is the one that
// runs while it is still inside Synchronize.
std::atomic<int> gSyncCalls{0};
HANDLE gInSync = nullptr;
class TSyncOnce : public TThread {
public:
    TSyncOnce() : TThread(true) {}

protected:
    void Execute() override {
        SetEvent(gInSync);
        TThread::Synchronize([] { ++gSyncCalls; });
    }
};
}  // namespace

TEST(Synchronize, DestructorWaitServesIt) {
    gSyncCalls = 0;
    gInSync = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto* t = new TSyncOnce;
    t->Start();
    ASSERT_EQ(WaitForSingleObject(gInSync, 5000), WAIT_OBJECT_0);
    delete t;  // would never return if the wait did not serve the call
    EXPECT_EQ(gSyncCalls.load(), 1);
    CloseHandle(gInSync);
}

namespace {
struct TReceiver {
    HWND wnd = nullptr;
    DWORD handledOn = 0;
    void WndProc(TMessage& m) {
        if (m.Msg == WM_APP + 7) {
            handledOn = GetCurrentThreadId();
            m.Result = 77;
            return;
        }
        m.Result = DefWindowProcW(wnd, m.Msg, m.WParam, m.LParam);
    }
};
}  // namespace

TEST(Thread, WaitForOnTheMainThreadServesMessagesSentToItsWindows) {
    TReceiver r;
    r.wnd = AllocateHWnd(TWndMethod::Bind<&TReceiver::WndProc>(&r));
    std::atomic<LRESULT> answer{0};
    auto* t = new TFnThread(
        [&](TFnThread&) {
            DWORD_PTR res = 0;
            if (SendMessageTimeoutW(r.wnd, WM_APP + 7, 0, 0, SMTO_NORMAL, 5000, &res))
                answer = static_cast<LRESULT>(res);
        },
        true);
    auto ctl = t->Control();
    t->Start();
    EXPECT_TRUE(ctl->WaitFor(3000));
    EXPECT_TRUE(ctl->WaitFor(5000));
    EXPECT_EQ(answer.load(), 77);
    EXPECT_EQ(r.handledOn, GetCurrentThreadId());
    DeallocateHWnd(r.wnd);
}
