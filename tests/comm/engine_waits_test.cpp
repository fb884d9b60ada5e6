// Tests of comm/nrcomm_waits.cpp: WaitForBytes, ReadUntil and WaitForSignal, on a real
// serial line (a pty pair, on the null-modem cable for the modem lines) and,
// where the line cannot show it, through the scripted device and a scripted
// clock.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "../../framework/controls.h"
#include "engine_components.h"
#include "fake_serial.h"
#include "line_fixture.h"
#include "pty_pair.h"

using namespace nr;
using namespace serial_test;

namespace {

// Counts the steps a wait takes on the test's thread (each step is a Sleep).
struct TStepCounter {
    test_support::TWin32Guard guard;
    static inline std::atomic<int> Steps{0};
    static inline DWORD Thread = 0;
    TStepCounter() {
        Steps = 0;
        Thread = GetCurrentThreadId();
        Win32.Sleep = &Sleep;
    }
    static void WINAPI Sleep(DWORD ms) {
        if (GetCurrentThreadId() == Thread) ++Steps;
        ::Sleep(ms);
    }
};

// Does something on another thread after a pause, while the test waits.
std::thread Later(DWORD afterMs, std::function<void()> Do) {
    return std::thread([=] {
        ::Sleep(afterMs);
        Do();
    });
}

struct WaitsPty : TLineTest {
    const TTraceStates traces{tsRxChar, tsTxEmpty};

    void SetUp() override {
        TLineTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        com->SetTraceStates(traces);
    }
    // Waits until n bytes are queued without running any dispatch (the
    // user-interface thread handles no messages meanwhile).
    void QueueFromPeer(const std::string& bytes) {
        ASSERT_TRUE(peer->Write(bytes));
        for (int i = 0; i < 5000 && com->ReadyForRead() < bytes.size(); ++i) ::Sleep(1);
        ASSERT_EQ(com->ReadyForRead(), bytes.size());
    }
};

}  // namespace

TEST_F(WaitsPty, BytesArrivingDuringTheWaitStayQueuedWhenNothingTakesThem) {
    Open();
    // The dispatches of their arrival run inside the wait and leave them alone.
    std::thread first = Later(50, [&] { peer->Write("ab"); });
    std::thread second = Later(150, [&] { peer->Write("c"); });
    const bool got = com->WaitForBytes(3, 5000);
    first.join();
    second.join();
    EXPECT_TRUE(got);
    EXPECT_EQ(com->TraceStates(), traces);
    EXPECT_EQ(com->ReadString(), "abc");
}

TEST_F(WaitsPty, ReadUntilTakesUpToTheTerminatorOrTheBoundAndLeavesTheRest) {
    Open();
    struct TRow {
        const char* Sent;
        const char* Terminator;
        std::uint32_t Max;
        const char* Read;
        const char* Left;
    };
    for (const TRow& r : {TRow{"line one\nline two\n", "\n", 0, "line one\n", "line two\n"},
                          TRow{"OK\r\nrest", "\r\n", 0, "OK\r\n", "rest"}, TRow{"abcdef", "\n", 4, "abcd", "ef"},
                          TRow{"no end", "\n", 0, "no end", ""}}) {
        QueueFromPeer(r.Sent);
        EXPECT_EQ(com->ReadUntil(r.Terminator, 200, r.Max), r.Read) << r.Sent;
        EXPECT_EQ(com->ReadString(), r.Left) << r.Sent;
    }
    // A line that arrives in pieces during the wait.
    std::thread writer = Later(100, [&] { peer->Write("tial\nmore"); });
    QueueFromPeer("par");
    EXPECT_EQ(com->ReadUntil("\n", 5000), "partial\n");
    writer.join();
    EXPECT_EQ(com->TraceStates(), traces);
}

TEST_F(WaitsPty, AnAttachedHandlerGetsTheArrivingBytesInsideTheWait) {
    bool inWait = false;
    std::string got, outside;
    com->OnAfterReceive = [&](TObject*, void* b, std::uint32_t n) {
        (inWait ? got : outside).append(static_cast<const char*>(b), n);
    };
    Open();
    std::thread writer = Later(50, [&] { peer->Write("hello"); });
    inWait = true;
    // More than will come, so the wait runs its full time.
    EXPECT_FALSE(com->WaitForBytes(100, 1000));
    inWait = false;
    writer.join();
    EXPECT_EQ(got, "hello");
    EXPECT_EQ(outside, "");
    EXPECT_EQ(com->TraceStates(), traces);
}

TEST_F(WaitsPty, MsZeroTestsOnceAndBytesAlreadyQueuedEndTheWaitAtOnceAndStayForTheCaller) {
    Open();
    TStepCounter steps;
    EXPECT_FALSE(com->WaitForBytes(1, 0));
    EXPECT_FALSE(com->WaitForSignal(msRing, 0));
    EXPECT_EQ(TStepCounter::Steps, 0);
    QueueFromPeer("Z");
    EXPECT_TRUE(com->WaitForBytes(1, 0));
    EXPECT_TRUE(com->WaitForBytes(1, 200));
    EXPECT_EQ(TStepCounter::Steps, 0);
    EXPECT_EQ(com->TraceStates(), traces);
    EXPECT_EQ(com->ReadString(), "Z");
}

TEST_F(WaitsPty, ATimerClosingThePortEndsEitherWaitWithFalse) {
    Open();
    fw::TTimer timer(nullptr);
    timer.SetInterval(30);
    timer.OnTimer = [&](TObject*) {
        timer.SetEnabled(false);
        com->SetActive(false);
    };
    TStopwatch sw;
    EXPECT_FALSE(com->WaitForBytes(1, 20000));
    EXPECT_LT(sw.Ms(), 10000u);
    EXPECT_FALSE(com->Active());
    EXPECT_EQ(com->TraceStates(), traces);

    com->SetActive(true);
    ASSERT_TRUE(com->Active());
    timer.SetEnabled(true);
    TStopwatch sw2;
    EXPECT_FALSE(com->WaitForSignal(msRing, 20000));
    EXPECT_LT(sw2.Ms(), 10000u);
    EXPECT_FALSE(com->Active());
}

TEST_F(WaitsPty, AHandlerClosingThePortEndsTheWaitWithFalse) {
    com->OnAfterReceive = [&](TObject*, void*, std::uint32_t) { com->SetActive(false); };
    Open();
    std::thread writer = Later(50, [&] { peer->Write("x"); });
    TStopwatch sw;
    const bool got = com->WaitForBytes(10, 20000);
    writer.join();
    EXPECT_FALSE(got);
    EXPECT_LT(sw.Ms(), 10000u);
    EXPECT_FALSE(com->Active());
    EXPECT_EQ(com->TraceStates(), traces);
}

// The peer's DTR is the component's DSR on the null-modem cable.
TEST_F(WaitsPty, WaitForSignalFollowsThePeersDtr) {
    if (!pair->HasModemLines()) GTEST_SKIP() << "no modem lines: not run on the null-modem cable";
    Open();
    ASSERT_TRUE(EscapeCommFunction(peer->Handle(), SETDTR));
    {
        TStepCounter steps;
        EXPECT_TRUE(com->WaitForSignal(msDSR, 200));
        EXPECT_EQ(TStepCounter::Steps, 0);  // true at its first look
    }
    ASSERT_TRUE(EscapeCommFunction(peer->Handle(), CLRDTR));
    TStopwatch off;
    EXPECT_FALSE(com->WaitForSignal(msDSR, 200));
    EXPECT_GE(off.Ms(), 150u);
    EXPECT_LT(off.Ms(), 5000u);

    // Raised while the wait runs.
    std::thread raise = Later(50, [&] { EscapeCommFunction(peer->Handle(), SETDTR); });
    TStopwatch on;
    const bool came = com->WaitForSignal(msDSR, 5000);
    raise.join();
    EXPECT_TRUE(came);
    EXPECT_LT(on.Ms(), 4000u);

    // Closed: false at once, with DSR still held by the peer.
    com->SetActive(false);
    TStepCounter steps;
    EXPECT_FALSE(com->WaitForSignal(msDSR, 200));
    EXPECT_EQ(TStepCounter::Steps, 0);
}

TEST(Waits, OnAClosedPortBothWaitsReturnFalseAtOnce) {
    TTestComm com(nullptr, 7);
    com.SetTraceStates(TTraceStates{tsRxChar});
    TStepCounter steps;
    EXPECT_FALSE(com.WaitForBytes(0, 1000));
    EXPECT_FALSE(com.WaitForSignal(msCTS, 1000));
    EXPECT_EQ(TStepCounter::Steps, 0);
    EXPECT_EQ(com.TraceStates(), TTraceStates{tsRxChar});
}

// ---- modem lines and the clock through the scripted device

namespace {

struct WaitsScripted : testing::Test {
    TFakeSerial fake{7};
    std::unique_ptr<TTestComm> com = std::make_unique<TTestComm>(nullptr, 7);
    std::vector<std::shared_ptr<fw::TThreadControl>> workers;

    void Open() {
        com->SetActive(true);
        ASSERT_TRUE(com->Active());
        workers = com->Threads();
    }
    void TearDown() override {
        com.reset();
        EXPECT_TRUE(WaitThreads(workers));
    }
};

// A clock that the test's thread moves on by sleeping; the wrap of the tick
// count is then a matter of where it starts.
struct TScriptedClock {
    test_support::TWin32Guard guard;
    static inline std::atomic<DWORD> Now{0};
    static inline DWORD Thread = 0;
    static inline DWORD Origin = 0;
    static DWORD Elapsed() { return Now - Origin; }
    explicit TScriptedClock(DWORD start) {
        Now = Origin = start;
        Thread = GetCurrentThreadId();
        Win32.GetTickCount = &GetTickCount;
        Win32.Sleep = &Sleep;
    }
    static DWORD WINAPI GetTickCount() { return Now; }
    static void WINAPI Sleep(DWORD ms) {
        if (GetCurrentThreadId() == Thread)
            Now += ms;
        else
            ::Sleep(ms);
    }
};

constexpr DWORD kNearWrap = 0xFFFFFF00u;  // the count wraps 256 ms into the wait

// DSR comes on 300 ms into the scripted clock, after the wrap.
BOOL WINAPI DsrLate(HANDLE, LPDWORD st) {
    *st = TScriptedClock::Elapsed() >= 300 ? MS_DSR_ON : 0;
    return TRUE;
}

// A byte reaches the scripted device 300 ms into the scripted clock.
TFakeSerial* gLateDevice = nullptr;
decltype(Win32.ClearCommError) gDeviceQueue = nullptr;
BOOL WINAPI ByteLate(HANDLE h, LPDWORD e, LPCOMSTAT st) {
    if (gLateDevice && GetCurrentThreadId() == TScriptedClock::Thread && TScriptedClock::Elapsed() >= 300) {
        gLateDevice->Receive("w");
        gLateDevice = nullptr;
    }
    return gDeviceQueue(h, e, st);
}

}  // namespace

TEST_F(WaitsScripted, WaitForSignalIsTrueAtOnceForALineOnGivesUpAfterAbout200MsAndSeesTheLineComeOn) {
    Open();
    fake.SetModemStatus(MS_DSR_ON | MS_CTS_ON);
    {
        TStepCounter steps;
        EXPECT_TRUE(com->WaitForSignal(msDSR, 200));
        EXPECT_TRUE(com->WaitForSignal(msCTS, 0));
        EXPECT_EQ(TStepCounter::Steps, 0);
        EXPECT_FALSE(com->WaitForSignal(msRing, 0));
    }
    fake.SetModemStatus(MS_CTS_ON);
    TStopwatch sw;
    EXPECT_FALSE(com->WaitForSignal(msDSR, 200));
    EXPECT_GE(sw.Ms(), 150u);
    EXPECT_LT(sw.Ms(), 5000u);

    std::thread raiser = Later(50, [&] { fake.SetModemStatus(MS_DSR_ON); });
    const bool on = com->WaitForSignal(msDSR, 20000);
    raiser.join();
    EXPECT_TRUE(on);
}

TEST_F(WaitsScripted, BothWaitsSurviveTheTickCountWrapping) {
    Open();
    gDeviceQueue = Win32.ClearCommError;
    for (const bool bytes : {false, true}) {
        SCOPED_TRACE(bytes ? "WaitForBytes" : "WaitForSignal");
        TScriptedClock clock(kNearWrap);
        if (bytes) {
            gLateDevice = &fake;
            Win32.ClearCommError = &ByteLate;
        } else {
            Win32.GetCommModemStatus = &DsrLate;
        }
        EXPECT_TRUE(bytes ? com->WaitForBytes(1, 20000) : com->WaitForSignal(msDSR, 1000));
        EXPECT_GE(TScriptedClock::Elapsed(), 300u);
        EXPECT_LT(TScriptedClock::Elapsed(), 1000u);

        TScriptedClock again(kNearWrap);
        EXPECT_FALSE(bytes ? com->WaitForBytes(2, 400) : com->WaitForSignal(msRing, 400));
        EXPECT_GE(TScriptedClock::Elapsed(), 400u);
        EXPECT_LT(TScriptedClock::Elapsed(), 410u);
    }
}
