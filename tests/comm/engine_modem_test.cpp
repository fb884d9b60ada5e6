// Tests of comm/nrcomm_signals.cpp and the line events of comm/nrcomm_dispatch.cpp.
// Modem lines, RS-485 emulation (comm/nrcomm_io.cpp) included, on a pty pair
// wired as a null-modem cable (tools/nullmodem): the component on one end, a
// peer on the other.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "engine_components.h"
#include "line_fixture.h"
#include "pty_pair.h"
#include "win32_guard.h"

using namespace nr;
using namespace serial_test;

namespace {

struct EngineModem : TLineTest {
    std::vector<TTraceStates> traces;  // UseMainThread: filled on this thread only

    void SetUp() override {
        if (!OnCable()) GTEST_SKIP() << "not run on the null-modem cable (cmake/wine-run.sh runs tests on it)";
        TLineTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_TRUE(pair->HasModemLines());
        com->OnTraceState = [this](TObject*, TTraceStates e) { traces.push_back(e); };
    }
    void Open() {
        TLineTest::Open();
        traces.clear();
    }
    void Peer(DWORD Function) { EXPECT_TRUE(EscapeCommFunction(peer->Handle(), Function)) << Function; }
    DWORD PeerStatus() {
        DWORD s = 0;
        EXPECT_TRUE(GetCommModemStatus(peer->Handle(), &s));
        return s;
    }
    // Runs the user-interface thread for a while: time for events that should not come.
    static void Settle(DWORD Ms = 150) {
        PumpUntil([] { return false; }, Ms);
    }
    // One trace comes, and it is Expected; then the engine's next wait is
    // in place before the line changes again.
    bool TraceArrives(const TTraceStates& Expected) {
        const size_t before = traces.size();
        if (!PumpUntil([&] { return traces.size() > before; })) return false;
        Settle();
        return traces.size() == before + 1 && traces.back() == Expected;
    }
};

}  // namespace

TEST_F(EngineModem, ModemSignalsFollowThePeersDtrAndRtsAndRing) {
    Open();
    EXPECT_EQ(com->ModemSignals(), TModemSignals{});
    Peer(SETDTR);
    EXPECT_EQ(com->ModemSignals(), (TModemSignals{msDSR, msRLSD}));
    Peer(SETRTS);
    EXPECT_EQ(com->ModemSignals(), (TModemSignals{msCTS, msDSR, msRLSD}));
    Peer(CLRDTR);
    EXPECT_EQ(com->ModemSignals(), TModemSignals{msCTS});
    ASSERT_TRUE(pair->SetRing(true));
    EXPECT_EQ(com->ModemSignals(), (TModemSignals{msCTS, msRing}));
    Peer(CLRRTS);
    ASSERT_TRUE(pair->SetRing(false));
    EXPECT_EQ(com->ModemSignals(), TModemSignals{});

    Peer(SETDTR);
    com->SetActive(false);
    EXPECT_EQ(com->ModemSignals(), TModemSignals{});
}

TEST_F(EngineModem, ThePeerSeesTheComponentsDtrAndRts) {
    Open();
    // The line settings enable both outputs.
    EXPECT_EQ(PeerStatus(), DWORD(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON));
    com->SetStateDTR(false);
    EXPECT_EQ(PeerStatus(), DWORD(MS_CTS_ON));
    com->SetStateRTS(false);
    EXPECT_EQ(PeerStatus(), 0u);
    com->SetStateDTR(true);
    EXPECT_EQ(PeerStatus(), DWORD(MS_DSR_ON | MS_RLSD_ON));
    // Closing the port drops its lines; a closed port changes nothing.
    com->SetActive(false);
    EXPECT_EQ(PeerStatus(), 0u);
    com->SetStateDTR(true);
    com->SetStateRTS(true);
    EXPECT_EQ(PeerStatus(), 0u);
    com->SetActive(true);
    workers = com->Threads();
    EXPECT_EQ(PeerStatus(), DWORD(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON));
}

TEST_F(EngineModem, MonitorsFollowTheLinesOnEveryTraceAndShowOffAfterClose) {
    TCheckMonitor cts(nullptr), dsr(nullptr), rlsd(nullptr), ring(nullptr);
    com->SetMonitorCTS(&cts);
    com->SetMonitorDSR(&dsr);
    com->SetMonitorRLSD(&rlsd);
    com->SetMonitorRing(&ring);
    com->SetTraceStates(TTraceStates{tsCTS});
    Open();

    // DSR and RLSD are not traced: their change alone shows nowhere...
    Peer(SETDTR);
    Settle();
    EXPECT_TRUE(traces.empty());
    EXPECT_FALSE(dsr.Checked);
    // ...until a trace of another line refreshes every monitor.
    Peer(SETRTS);
    ASSERT_TRUE(TraceArrives(TTraceStates{tsCTS}));
    EXPECT_TRUE(cts.Checked);
    EXPECT_TRUE(dsr.Checked);
    EXPECT_TRUE(rlsd.Checked);

    // The component's own line control traces too.
    Peer(CLRDTR);
    com->SetStateDTR(true);
    EXPECT_EQ(traces.back(), TTraceStates{tsDSR});
    EXPECT_FALSE(dsr.Checked);
    EXPECT_FALSE(rlsd.Checked);
    EXPECT_TRUE(cts.Checked);

    Peer(CLRRTS);
    ASSERT_TRUE(TraceArrives(TTraceStates{tsCTS}));
    EXPECT_FALSE(cts.Checked);

    Peer(SETDTR);
    Peer(SETRTS);
    ASSERT_TRUE(TraceArrives(TTraceStates{tsCTS}));
    EXPECT_TRUE(cts.Checked && dsr.Checked && rlsd.Checked);
    com->SetActive(false);
    EXPECT_FALSE(cts.Checked);
    EXPECT_FALSE(dsr.Checked);
    EXPECT_FALSE(rlsd.Checked);
    EXPECT_FALSE(ring.Checked);  // no ring came
    EXPECT_EQ(traces.back(), TTraceStates{tsTxEmpty});
}

TEST_F(EngineModem, ARingFromOutsideChecksTheRingMonitorAndALaterEventLeavesItChecked) {
    TCheckMonitor ring(nullptr), dsr(nullptr);
    com->SetMonitorRing(&ring);
    com->SetMonitorDSR(&dsr);
    com->SetTraceStates(TTraceStates{tsRing, tsDSR});
    Open();

    ASSERT_TRUE(pair->SetRing(true));
    ASSERT_TRUE(PumpUntil([&] { return ring.Checked; }));
    EXPECT_EQ(traces.front(), TTraceStates{tsRing});
    EXPECT_TRUE(com->ModemSignals().Contains(msRing));

    ASSERT_TRUE(pair->SetRing(false));
    ASSERT_TRUE(PumpUntil([&] { return !com->ModemSignals().Contains(msRing); }));
    Settle();
    traces.clear();
    Peer(SETDTR);
    ASSERT_TRUE(TraceArrives(TTraceStates{tsDSR}));
    EXPECT_TRUE(dsr.Checked);
    EXPECT_TRUE(ring.Checked);
    com->SetActive(false);
    EXPECT_TRUE(ring.Checked);  // only ever switched on
    EXPECT_FALSE(dsr.Checked);
}

TEST_F(EngineModem, OnTraceStateGetsExactlyTheTracedLinesThatChanged) {
    com->SetTraceStates(TTraceStates{tsDSR});
    Open();

    com->SetStateRTS(false);
    EXPECT_EQ(traces, std::vector<TTraceStates>{TTraceStates{tsCTS}});
    com->SetStateDTR(true);
    EXPECT_EQ(traces.back(), TTraceStates{tsDSR});
    traces.clear();

    // DTR is the peer's DSR and RLSD; only DSR is traced.
    Peer(SETDTR);
    ASSERT_TRUE(TraceArrives(TTraceStates{tsDSR}));
    Peer(SETRTS);  // CTS is not traced
    Settle();
    EXPECT_EQ(traces.size(), 1u);

    com->SetTraceStates(TTraceStates{tsCTS, tsDSR, tsRLSD});
    Settle();
    Peer(CLRDTR);
    ASSERT_TRUE(TraceArrives((TTraceStates{tsDSR, tsRLSD})));
    Peer(CLRRTS);
    ASSERT_TRUE(TraceArrives(TTraceStates{tsCTS}));
    com->SetActive(false);
    EXPECT_EQ(traces.back(), TTraceStates{tsTxEmpty});
}

// A wait pending for long is the driver's until something happens: a second
// one would be refused while it lives, and the change would end a wait whose
// mask nobody reads.
TEST_F(EngineModem, ALineChangeAfterALongIdleIsTraced) {
    com->SetTraceStates(TTraceStates{tsDSR});
    Open();
    Settle(1500);
    Peer(SETDTR);
    EXPECT_TRUE(TraceArrives(TTraceStates{tsDSR}));
}

// Wine reads the lines when a wait starts: a change right after the open is
// an event only once the engine's first wait is in place.
TEST_F(EngineModem, ALineChangeRightAfterTheOpenIsTracedEveryTime) {
    std::atomic<int> changes{0};  // counted on the message thread without UseMainThread
    com->OnTraceState = [&](TObject*, TTraceStates e) { changes += e.Contains(tsDSR); };
    com->SetTraceStates(TTraceStates{tsDSR});
    peer = std::make_unique<TPeerPort>(pair->PortB());
    for (int round = 0; round < 100; ++round) {
        SCOPED_TRACE(round);
        com->SetUseMainThread(round % 2 == 0);
        const int before = changes;
        com->SetActive(true);
        workers = com->Threads();
        Peer(SETDTR);
        ASSERT_TRUE(PumpUntil([&] { return changes > before; }));
        com->SetActive(false);
        ASSERT_TRUE(WaitThreads(workers));
        Peer(CLRDTR);
    }
}

namespace {

BOOL WINAPI Windows98(LPOSVERSIONINFOW vi) {
    vi->dwMajorVersion = 4;
    vi->dwMinorVersion = 10;
    vi->dwPlatformId = VER_PLATFORM_WIN32_WINDOWS;
    return TRUE;
}

// The engine built on Windows 98, which leaves RTS toggling to it, or on
// Wine's own system, which toggles RTS but whose driver refuses to; the line is real.
struct EngineModemRS485 : EngineModem, testing::WithParamInterface<bool> {
    test_support::TWin32Guard guard;

    void SetUp() override {
        if (GetParam()) Win32.GetVersionExW = &Windows98;
        EngineModem::SetUp();
        Win32.GetVersionExW = &::GetVersionExW;
    }
};

INSTANTIATE_TEST_SUITE_P(OnWindows98, EngineModemRS485, testing::Bool());

}  // namespace

TEST_P(EngineModemRS485, ThePeerSeesCtsRiseBeforeEachSendAndFallAfterTransmitEmpty) {
    com->SetRS485Mode(true);
    Open();
    ASSERT_TRUE(com->EmulatesRS485());
    com->SetStateRTS(false);
    const std::string blocks[] = {"\xAA", "\x55\x01\x00\x7F", std::string(300, 'x')};
    int n = 0;
    for (const std::string& block : blocks) {
        SCOPED_TRACE(++n);
        ASSERT_EQ(PeerStatus() & MS_CTS_ON, 0u);
        // The peer looks at CTS the moment the first byte arrives.
        DWORD ctsAtFirstByte = 0;
        std::string first;
        std::thread reader([&] {
            first = peer->Read(1, 5000);
            GetCommModemStatus(peer->Handle(), &ctsAtFirstByte);
        });
        if (n == 3)
            com->SendData(block.data(), static_cast<std::uint32_t>(block.size()));
        else
            com->SendString(block);
        reader.join();
        ASSERT_EQ(first, block.substr(0, 1));
        EXPECT_TRUE(ctsAtFirstByte & MS_CTS_ON);
        EXPECT_EQ(first + peer->Read(static_cast<DWORD>(block.size() - 1), 5000), block);
        // RTS stays up until the transmit-empty event has been dispatched.
        EXPECT_TRUE(PeerStatus() & MS_CTS_ON);
        ASSERT_TRUE(PumpUntil([&] { return (PeerStatus() & MS_CTS_ON) == 0; }));
        EXPECT_EQ(com->NotYetSend(), 0u);
    }
    // A purge of the output drops it as well.
    com->SendChar(L'z');
    EXPECT_EQ(peer->Read(1, 5000), "z");
    ASSERT_TRUE(PeerStatus() & MS_CTS_ON);
    com->ClearDeviceOutput();
    EXPECT_EQ(PeerStatus() & MS_CTS_ON, 0u);
}

// Pulling the cable (socat killed) with an idle port: on the cable the
// pending wait stays pending until the line query fails; on a plain pair
// waits end by themselves. Either way the port closes once.
TEST(EngineModemUnplug, KillingTheOtherEndClosesThePortOnceOnTheCableAsOnAPlainPair) {
    if (!TPtyPair::Available()) GTEST_SKIP() << "needs Wine and socat";
    if (!OnCable()) GTEST_SKIP() << "not run on the null-modem cable";
    for (const bool cable : {true, false}) {
        SCOPED_TRACE(cable ? "on the cable" : "plain pair");
        TPtyPair pair(cable);
        ASSERT_TRUE(pair.Ready()) << pair.Error();
        ASSERT_EQ(pair.HasModemLines(), cable);
        TTestComm com(nullptr, pair.PortA());
        com.SetBaudRate(57600);
        com.SetByteSize(8);
        int closes = 0;
        std::vector<int> notes;
        com.OnClose = [&](TObject*) { ++closes; };
        com.NotifyAdd([&](TObject*, std::int32_t c) { notes.push_back(c); });
        // Without the cable a pty refuses modem events altogether.
        if (cable) com.SetTraceStates(TTraceStates{tsCTS, tsDSR, tsRLSD, tsRing});
        com.SetActive(true);
        ASSERT_TRUE(com.Active());
        const auto workers = com.Threads();
        PumpUntil([] { return false; }, 300);
        ASSERT_TRUE(com.Active());
        notes.clear();

        const DWORD t0 = GetTickCount();
        pair.Unplug();
        ASSERT_TRUE(PumpUntil([&] { return !com.Active(); }, 10000));
        RecordProperty(cable ? "closed_after_ms_on_cable" : "closed_after_ms_plain",
                       static_cast<int>(GetTickCount() - t0));
        EXPECT_TRUE(WaitThreads(workers));
        EXPECT_EQ(closes, 1);
        EXPECT_EQ(notes, std::vector<int>{ncMediumClosed});
    }
}
