// Tests comm/nrcomm_waits.cpp: WaitForBytes and WaitForSignal, on a real
// serial line (a pty pair, on the null-modem cable for the modem lines) and,
// where the line cannot show it, through the scripted device and a scripted
// clock.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "../../framework/controls.h"
#include "engine_components.h"
#include "fake_serial.h"
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

// Milliseconds since Start, by the real clock.
struct TStopwatch {
    DWORD Start = GetTickCount();
    DWORD Ms() const { return GetTickCount() - Start; }
};

// The test sends bytes from the peer after a pause, while the wait runs.
std::thread WriteLater(TPeerPort& peer, std::string bytes, DWORD afterMs) {
    return std::thread([&peer, bytes, afterMs] {
        ::Sleep(afterMs);
        peer.Write(bytes);
    });
}

struct WaitsPty : testing::Test {
    std::unique_ptr<TPtyPair> pair;
    std::unique_ptr<TTestComm> com;
    std::unique_ptr<TPeerPort> peer;
    std::vector<std::shared_ptr<fw::TThreadControl>> workers;
    const TTraceStates traces{tsRxChar, tsTxEmpty};

    void SetUp() override {
        if (!TPtyPair::Available()) GTEST_SKIP() << "needs Wine and socat";
        pair = std::make_unique<TPtyPair>();
        ASSERT_TRUE(pair->Ready()) << pair->Error();
        com = std::make_unique<TTestComm>(nullptr, pair->PortA());
        // A bare engine has no line settings of its own; a driver refuses none.
        com->SetBaudRate(57600);
        com->SetByteSize(8);
        com->SetStreamProtocol(spNone);
        com->SetTraceStates(traces);
    }
    void Open() {
        com->SetActive(true);
        ASSERT_TRUE(com->Active());
        workers = com->Threads();
        peer = std::make_unique<TPeerPort>(pair->PortB());
        ASSERT_TRUE(peer->IsOpen());
    }
    // Waits until n bytes are queued without running any dispatch (the
    // user-interface thread handles no messages meanwhile).
    void QueueFromPeer(const std::string& bytes) {
        ASSERT_TRUE(peer->Write(bytes));
        for (int i = 0; i < 5000 && com->ReadyForRead() < bytes.size(); ++i) ::Sleep(1);
        ASSERT_EQ(com->ReadyForRead(), bytes.size());
    }
    void TearDown() override {
        com.reset();
        peer.reset();
        EXPECT_TRUE(WaitThreads(workers));
        pair.reset();
    }
};

}  // namespace

TEST_F(WaitsPty, BytesAlreadyQueuedEndTheWaitAtOnceAndStayForTheCaller) {
    Open();
    QueueFromPeer("Z");
    TStepCounter steps;
    EXPECT_TRUE(com->WaitForBytes(1, 200));
    EXPECT_EQ(TStepCounter::Steps, 0);
    EXPECT_EQ(com->TraceStates(), traces);
    EXPECT_EQ(com->ReadString(), "Z");
}

TEST_F(WaitsPty, BytesArrivingDuringTheWaitStayQueuedWhenNothingTakesThem) {
    Open();
    // The dispatches of their arrival run inside the wait and leave them alone.
    std::thread first = WriteLater(*peer, "ab", 50);
    std::thread second = WriteLater(*peer, "c", 150);
    const bool got = com->WaitForBytes(3, 5000);
    first.join();
    second.join();
    EXPECT_TRUE(got);
    EXPECT_EQ(com->TraceStates(), traces);
    EXPECT_EQ(com->ReadString(), "abc");
}

TEST_F(WaitsPty, AnAttachedHandlerGetsTheArrivingBytesInsideTheWait) {
    bool inWait = false;
    std::string got, outside;
    com->OnAfterReceive = [&](TObject*, void* b, std::uint32_t n) {
        (inWait ? got : outside).append(static_cast<const char*>(b), n);
    };
    Open();
    std::thread writer = WriteLater(*peer, "hello", 50);
    inWait = true;
    // More than will come, so the wait runs its full time.
    EXPECT_FALSE(com->WaitForBytes(100, 1000));
    inWait = false;
    writer.join();
    EXPECT_EQ(got, "hello");
    EXPECT_EQ(outside, "");
    EXPECT_EQ(com->TraceStates(), traces);
}

TEST_F(WaitsPty, MsZeroTestsOnce) {
    Open();
    TStepCounter steps;
    EXPECT_FALSE(com->WaitForBytes(1, 0));
    EXPECT_FALSE(com->WaitForSignal(msRing, 0));
    EXPECT_EQ(TStepCounter::Steps, 0);
    QueueFromPeer("q");
    EXPECT_TRUE(com->WaitForBytes(1, 0));
    EXPECT_EQ(TStepCounter::Steps, 0);
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
    std::thread writer = WriteLater(*peer, "x", 50);
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
    std::thread raise([&] {
        ::Sleep(50);
        EscapeCommFunction(peer->Handle(), SETDTR);
    });
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

TEST_F(WaitsScripted, WaitForSignalIsTrueAtOnceWhenTheLineIsOn) {
    Open();
    fake.SetModemStatus(MS_DSR_ON | MS_CTS_ON);
    TStepCounter steps;
    EXPECT_TRUE(com->WaitForSignal(msDSR, 200));
    EXPECT_TRUE(com->WaitForSignal(msCTS, 0));
    EXPECT_EQ(TStepCounter::Steps, 0);
    EXPECT_FALSE(com->WaitForSignal(msRing, 0));
}

TEST_F(WaitsScripted, WaitForSignalGivesUpAfterAbout200MsOfAnOffLine) {
    Open();
    fake.SetModemStatus(MS_CTS_ON);
    TStopwatch sw;
    EXPECT_FALSE(com->WaitForSignal(msDSR, 200));
    EXPECT_GE(sw.Ms(), 150u);
    EXPECT_LT(sw.Ms(), 5000u);
}

TEST_F(WaitsScripted, WaitForSignalSeesTheLineComeOn) {
    Open();
    std::thread raiser([&] {
        ::Sleep(50);
        fake.SetModemStatus(MS_DSR_ON);
    });
    const bool on = com->WaitForSignal(msDSR, 20000);
    raiser.join();
    EXPECT_TRUE(on);
}

TEST_F(WaitsScripted, WaitForSignalSurvivesTheTickCountWrapping) {
    Open();
    TScriptedClock clock(kNearWrap);
    Win32.GetCommModemStatus = &DsrLate;
    EXPECT_TRUE(com->WaitForSignal(msDSR, 1000));
    EXPECT_GE(TScriptedClock::Elapsed(), 300u);
    EXPECT_LT(TScriptedClock::Elapsed(), 1000u);

    TScriptedClock again(kNearWrap);
    EXPECT_FALSE(com->WaitForSignal(msRing, 400));
    EXPECT_GE(TScriptedClock::Elapsed(), 400u);
    EXPECT_LT(TScriptedClock::Elapsed(), 410u);
}

TEST_F(WaitsScripted, WaitForBytesSurvivesTheTickCountWrapping) {
    Open();
    TScriptedClock clock(kNearWrap);
    gLateDevice = &fake;
    gDeviceQueue = Win32.ClearCommError;
    Win32.ClearCommError = &ByteLate;
    EXPECT_TRUE(com->WaitForBytes(1, 20000));
    EXPECT_GE(TScriptedClock::Elapsed(), 300u);
    EXPECT_LT(TScriptedClock::Elapsed(), 1000u);

    TScriptedClock again(kNearWrap);
    EXPECT_FALSE(com->WaitForBytes(2, 400));
    EXPECT_GE(TScriptedClock::Elapsed(), 400u);
    EXPECT_LT(TScriptedClock::Elapsed(), 410u);
}
