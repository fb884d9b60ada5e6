// Tests of comm/nrcomm_dispatch.cpp and comm/nrcomm_channel.cpp.
// Port engine: the worker threads and the dispatch of driver events, through
// a scripted device: receive, line errors, modem-line events and monitors,
// driver failure, and closing or destroying the component at awkward moments.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>

#include "engine_components.h"
#include "fake_serial.h"
#include "test_components.h"

using namespace nr;
using namespace serial_test;

namespace {

struct EngineDispatch : testing::Test {
    TFakeSerial fake{7};
    std::unique_ptr<TTestComm> com = std::make_unique<TTestComm>(nullptr, 7);
    testing_io::TMemoryLog log{nullptr};
    std::vector<std::string> blocks;
    std::vector<DWORD> threads;
    std::vector<int> notes;
    std::vector<std::shared_ptr<fw::TThreadControl>> workers;

    void SetUp() override {
        com->SetLog(&log);
        com->NotifyAdd([this](TObject*, std::int32_t c) { notes.push_back(c); });
    }
    void Collect() {
        com->OnAfterReceive = [this](TObject*, void* b, std::uint32_t n) {
            blocks.emplace_back(static_cast<const char*>(b), n);
            threads.push_back(GetCurrentThreadId());
        };
    }
    void Open() {
        com->SetActive(true);
        ASSERT_TRUE(com->Active());
        workers = com->Threads();
        ASSERT_TRUE(PumpUntil([&] { return fake.WaitPending(); }));
    }
    std::string Received() {
        std::string s;
        for (auto& b : blocks) s += b;
        return s;
    }
    void TearDown() override {
        com.reset();
        EXPECT_TRUE(WaitThreads(workers));
        EXPECT_EQ(fake.ClosedTwice(), 0);
    }
};

}  // namespace

TEST_F(EngineDispatch, BytesReachOnAfterReceiveOnTheUserInterfaceThread) {
    Collect();
    Open();
    fake.Receive("hello");
    ASSERT_TRUE(PumpUntil([&] { return Received() == "hello"; }));
    EXPECT_EQ(threads, std::vector<DWORD>(blocks.size(), GetCurrentThreadId()));
    EXPECT_EQ(com->TotalReceived(), 5u);
}

TEST_F(EngineDispatch, WithoutUseMainThreadTheMessageThreadDispatches) {
    Collect();
    com->SetUseMainThread(false);
    std::atomic<int> n{0};
    com->OnAfterReceive = [&](TObject*, void*, std::uint32_t k) {
        threads.push_back(GetCurrentThreadId());
        n += static_cast<int>(k);
    };
    Open();
    fake.Receive("abc");
    ASSERT_TRUE(PumpUntil([&] { return n == 3; }));
    ASSERT_FALSE(threads.empty());
    EXPECT_NE(threads[0], GetCurrentThreadId());
}

TEST_F(EngineDispatch, MoreQueuedThanTheBufferHoldsIsReadInBufferSizedPieces) {
    Collect();
    Open();
    std::string big(20000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
    fake.Receive(big);
    ASSERT_TRUE(PumpUntil([&] { return Received().size() == big.size(); }));
    EXPECT_EQ(Received(), big);
    EXPECT_EQ(fake.ReadSizes(), (std::vector<DWORD>{8192, 8192, 3616}));
    EXPECT_EQ(com->TotalReceived(), 20000u);
}

TEST_F(EngineDispatch, EachReceivedByteIsCountedOnceWhoeverTakesIt) {
    Open();
    fake.Receive("abc");
    ASSERT_TRUE(PumpUntil([&] { return com->TotalReceived() == 3; }));
    // The same bytes reported again (as drivers that report the queue do) are not new.
    fake.Raise(EV_RXCHAR);
    fake.Raise(EV_RXCHAR);
    PumpUntil([] { return false; }, 100);
    EXPECT_EQ(com->TotalReceived(), 3u);
    EXPECT_TRUE(fake.ReadSizes().empty());
    EXPECT_EQ(com->ReadyForRead(), 3u);

    // The application takes two, two more arrive: five in all.
    char two[2];
    com->Read(two, 2);
    fake.Receive("de");
    ASSERT_TRUE(PumpUntil([&] { return com->TotalReceived() == 5; }));
    EXPECT_EQ(com->ReadString(), "cde");
    PumpUntil([] { return false; }, 50);
    EXPECT_EQ(com->TotalReceived(), 5u);

    // Tracing received characters reads them even with nobody attached.
    com->SetTraceStates({tsRxChar});
    const std::size_t reads = fake.ReadSizes().size();
    fake.Receive("fg");
    ASSERT_TRUE(PumpUntil([&] { return fake.ReadSizes().size() > reads; }));
    EXPECT_EQ(fake.ReadSizes().back(), 2u);
    EXPECT_EQ(com->TotalReceived(), 7u);
}

TEST_F(EngineDispatch, ALineErrorReachesOnCommErrorAndTheDataComesWithTheNextEvent) {
    Collect();
    std::vector<std::pair<std::uint32_t, TComStateFlags>> errs;
    bool flash = false;
    com->OnCommError = [&](TObject*, std::uint32_t code, std::uint32_t sys, TComStateFlags st, bool& f) {
        EXPECT_EQ(sys, 0u);
        errs.emplace_back(code, st);
        f = flash;
    };
    Open();
    fake.SetLineError(CE_FRAME, 0x01 | 0x10);  // CTS hold, XOFF sent
    fake.Receive("ab");
    ASSERT_TRUE(PumpUntil([&] { return !errs.empty(); }));
    EXPECT_EQ(errs[0].first, DWORD(CE_FRAME));
    EXPECT_EQ(errs[0].second, (TComStateFlags{csCtsHold, csXoffSent}));
    EXPECT_TRUE(blocks.empty());
    fake.Raise(EV_RXCHAR);
    ASSERT_TRUE(PumpUntil([&] { return Received() == "ab"; }));

    // The handler asks for a purge: all buffers go.
    flash = true;
    fake.ClearCalls();
    fake.SetLineError(CE_OVERRUN, 0);
    fake.Receive("lost");
    ASSERT_TRUE(PumpUntil([&] { return errs.size() == 2; }));
    EXPECT_TRUE(fake.Called("Purge 15"));
    EXPECT_EQ(fake.InputSize(), 0u);
    EXPECT_EQ(log.Lines.back(), L"nrComm: Communication Error 2:0");
}

TEST_F(EngineDispatch, ModemLineEventsReachMonitorsAndOnTraceState) {
    TCheckMonitor cts(nullptr), dsr(nullptr), ring(nullptr);
    TPlainMonitor rlsd(nullptr);
    dsr.Checked = true;
    com->SetMonitorCTS(&cts);
    com->SetMonitorDSR(&dsr);
    com->SetMonitorRLSD(&rlsd);  // no Checked: left alone
    com->SetMonitorRing(&ring);
    std::vector<TTraceStates> traces;
    com->OnTraceState = [&](TObject* s, TTraceStates e) {
        EXPECT_EQ(s, com.get());
        traces.push_back(e);
    };
    com->SetTraceStates({tsCTS, tsRing, tsRLSD});
    Open();
    EXPECT_EQ(fake.CommMask(), DWORD(EV_RXCHAR | EV_CTS | EV_RLSD | EV_RING));
    traces.clear();

    fake.SetModemStatus(MS_CTS_ON | MS_RLSD_ON);
    EXPECT_EQ(com->ModemSignals(), (TModemSignals{msCTS, msRLSD}));
    fake.Raise(EV_CTS | EV_RING);
    ASSERT_TRUE(PumpUntil([&] { return !traces.empty(); }));
    EXPECT_EQ(traces[0], (TTraceStates{tsCTS, tsRing}));
    EXPECT_TRUE(cts.Checked);
    EXPECT_FALSE(dsr.Checked);
    EXPECT_TRUE(ring.Checked);

    // The ring monitor is only ever switched on.
    fake.SetModemStatus(0);
    fake.Raise(EV_CTS);
    ASSERT_TRUE(PumpUntil([&] { return traces.size() == 2; }));
    EXPECT_EQ(traces[1], TTraceStates{tsCTS});
    EXPECT_FALSE(cts.Checked);
    EXPECT_TRUE(ring.Checked);

    // Line control refreshes the monitors too.
    traces.clear();
    fake.ClearCalls();
    fake.SetModemStatus(MS_DSR_ON);
    com->SetStateRTS(false);
    EXPECT_EQ(traces, std::vector<TTraceStates>{TTraceStates{tsCTS}});
    EXPECT_TRUE(dsr.Checked);
    com->SetStateDTR(true);
    com->SetStateX(false);
    com->SetStateBreak(true);
    EXPECT_EQ(fake.Calls(), (std::vector<std::string>{"Escape 4", "Escape 5", "Escape 1", "Escape 8"}));
    EXPECT_EQ(traces.back(), TTraceStates{tsDSR});

    // Closed: the lines read as off.
    com->SetActive(false);
    EXPECT_FALSE(dsr.Checked);
    EXPECT_EQ(traces.back(), TTraceStates{tsTxEmpty});
    EXPECT_TRUE(com->ModemSignals().Empty());
    com->SetMonitorCTS(nullptr);
    com->SetMonitorDSR(nullptr);
    com->SetMonitorRLSD(nullptr);
    com->SetMonitorRing(nullptr);
}

TEST_F(EngineDispatch, ADestroyedMonitorIsForgottenEverywhere) {
    auto* m = new TCheckMonitor(nullptr);
    com->SetMonitorCTS(m);
    com->SetMonitorDSR(m);
    delete m;
    EXPECT_EQ(com->MonitorCTS(), nullptr);
    EXPECT_EQ(com->MonitorDSR(), nullptr);
    com->Close();  // traces with no monitor left
}

TEST_F(EngineDispatch, TransmitEmptyRaisesOnAfterSendOnlyWhenTraced) {
    int sent = 0;
    com->OnAfterSend = [&](TObject*) { ++sent; };
    com->SetTraceStates({tsTxEmpty});
    Open();
    fake.Raise(EV_TXEMPTY);
    ASSERT_TRUE(PumpUntil([&] { return sent == 1; }));
    com->SetTraceStates({});
    fake.Raise(EV_TXEMPTY);  // not in the mask any more
    com->SetTraceStates({tsRxChar});
    fake.Receive("x");
    ASSERT_TRUE(PumpUntil([&] { return fake.InputSize() == 0; }));
    EXPECT_EQ(sent, 1);
}

TEST_F(EngineDispatch, AnIdleWaitStaysWithTheDriver) {
    int calls = 0;
    com->OnAfterReceive = [&](TObject*, void*, std::uint32_t) { ++calls; };
    Open();
    fake.ClearCalls();
    PumpUntil([] { return false; }, 700);
    // No renewal, no look at the queue, no dispatch: the driver tells when something comes.
    EXPECT_EQ(fake.Calls(), std::vector<std::string>{});
    EXPECT_EQ(calls, 0);
    fake.Receive("x");
    ASSERT_TRUE(PumpUntil([&] { return calls == 1; }));
}

TEST_F(EngineDispatch, AWaitWhoseStatusNeverComesEndsWithTheMaskItHas) {
    Collect();
    Open();
    // Bytes come, and the wait that reports them never gets its status.
    fake.SetQueued("late");
    ASSERT_TRUE(fake.SignalWithoutStatus(EV_RXCHAR));
    ASSERT_TRUE(PumpUntil([&] { return Received() == "late"; }));
    // The next wait is a new one, and it works.
    ASSERT_TRUE(PumpUntil([&] { return fake.WaitPending(); }));
    fake.Receive("on");
    ASSERT_TRUE(PumpUntil([&] { return Received() == "lateon"; }));
    // One that ends empty so is no event; the port goes on.
    ASSERT_TRUE(PumpUntil([&] { return fake.WaitPending(); }));
    ASSERT_TRUE(fake.SignalWithoutStatus(0));
    ASSERT_TRUE(PumpUntil([&] { return fake.WaitPending(); }));
    fake.Receive("!");
    ASSERT_TRUE(PumpUntil([&] { return Received() == "lateon!"; }));
}

TEST_F(EngineDispatch, EmptyWaitCompletionsAreNotDispatched) {
    Collect();
    Open();
    for (int i = 0; i < 30; ++i) {  // past the point where the thread starts to pace itself
        ASSERT_TRUE(PumpUntil([&] { return fake.WaitPending(); }));
        ASSERT_TRUE(fake.CompleteEmpty());
    }
    ASSERT_TRUE(PumpUntil([&] { return fake.WaitPending(); }));
    fake.ClearCalls();
    fake.Receive("z");
    ASSERT_TRUE(PumpUntil([&] { return Received() == "z"; }));
    EXPECT_EQ(fake.CountCalls("ClearCommError"), 1);  // one real event, one dispatch
    EXPECT_EQ(blocks.size(), 1u);
}

TEST_F(EngineDispatch, ABurstIsReadOnWhileItKeepsComing) {
    Collect();
    Open();
    // More arrives while the first block is handed over: the same dispatch takes it.
    int fed = 0;
    com->OnAfterReceive = [&](TObject*, void* b, std::uint32_t n) {
        blocks.emplace_back(static_cast<const char*>(b), n);
        if (++fed < 3) fake.Receive(std::string(4000, static_cast<char>('a' + fed)));
    };
    fake.Receive(std::string(4000, 'a'));
    ASSERT_TRUE(PumpUntil([&] { return Received().size() == 12000; }));
    EXPECT_EQ(Received(), std::string(4000, 'a') + std::string(4000, 'b') + std::string(4000, 'c'));
    EXPECT_EQ(com->TotalReceived(), 12000u);
}

TEST_F(EngineDispatch, AnExceptionOfAHandlerIsReportedAndLaterEventsStillArrive) {
    std::vector<std::wstring> fatal;
    com->OnFatalError = [&](TObject*, std::uint32_t code, std::uint32_t, const std::wstring& msg, bool& raise) {
        EXPECT_EQ(code, 1u);
        fatal.push_back(msg);
        raise = false;
    };
    int calls = 0;
    com->OnAfterReceive = [&](TObject*, void*, std::uint32_t) {
        ++calls;
        if (calls == 1) throw fw::Exception(L"boom");
        if (calls == 2) throw std::runtime_error("bang");
    };
    Open();
    fake.Receive("1");
    ASSERT_TRUE(PumpUntil([&] { return fatal.size() == 1; }));
    EXPECT_EQ(fatal[0], L"boom");
    fake.Receive("2");
    ASSERT_TRUE(PumpUntil([&] { return fatal.size() == 2; }));
    EXPECT_NE(fatal[1].find(L"bang"), std::wstring::npos);
    fake.Receive("3");
    ASSERT_TRUE(PumpUntil([&] { return calls == 3; }));
    EXPECT_TRUE(com->Active());
}

TEST_F(EngineDispatch, AFailingTraceHandlerNeitherStopsACloseNorTheNextOpen) {
    std::vector<std::wstring> fatal;
    com->OnFatalError = [&](TObject*, std::uint32_t, std::uint32_t, const std::wstring& msg, bool& raise) {
        fatal.push_back(msg);
        raise = false;
    };
    com->OnTraceState = [](TObject*, TTraceStates) { throw fw::Exception(L"trace"); };
    Open();
    fatal.clear();  // the open's own close traced too
    com->SetActive(false);
    EXPECT_FALSE(com->Active());
    EXPECT_FALSE(fake.IsOpen());
    EXPECT_EQ(fatal, std::vector<std::wstring>{L"trace"});
    com->SetActive(true);  // every open starts with a close
    EXPECT_TRUE(com->Active());
    workers = com->Threads();
}

namespace {

// The driver fails while the port is open: the port closes itself from the
// dispatch thread, once, without the "closed" log line.
void DriverFailureClosesThePort(EngineDispatch& t, bool useMainThread) {
    std::atomic<int> closes{0};
    std::atomic<DWORD> closeThread{0};
    t.com->SetUseMainThread(useMainThread);
    t.com->OnClose = [&](TObject*) {
        ++closes;
        closeThread = GetCurrentThreadId();
    };
    t.Open();
    t.log.Lines.clear();
    t.notes.clear();
    t.fake.Fail(ERROR_ACCESS_DENIED);
    ASSERT_TRUE(PumpUntil([&] { return !t.com->Active() && closes == 1; }));
    ASSERT_TRUE(WaitThreads(t.workers));
    EXPECT_EQ(t.notes, std::vector<int>{ncMediumClosed});
    EXPECT_EQ(closes, 1);
    EXPECT_FALSE(t.fake.IsOpen());
    EXPECT_FALSE(t.com->HasReceiveBuffer());
    for (auto& l : t.log.Lines) EXPECT_EQ(l.find(L"closed"), std::wstring::npos) << fw::NarrowUtf8(l);
    if (useMainThread)
        EXPECT_EQ(closeThread, GetCurrentThreadId());
    else
        EXPECT_NE(closeThread, GetCurrentThreadId());

    // The device comes back: opening works again.
    t.com->SetActive(true);
    EXPECT_TRUE(t.com->Active());
    t.workers = t.com->Threads();
}

}  // namespace

TEST_F(EngineDispatch, DriverFailureClosesThePortOnTheUserInterfaceThread) { DriverFailureClosesThePort(*this, true); }

TEST_F(EngineDispatch, DriverFailureClosesThePortOnTheMessageThread) { DriverFailureClosesThePort(*this, false); }

TEST_F(EngineDispatch, ADeviceThatVanishesQuietlyIsNoticedByItsFailingStateQuery) {
    Open();
    notes.clear();
    fake.ClearCalls();
    fake.Vanish();
    ASSERT_TRUE(PumpUntil([&] { return !com->Active(); }));
    ASSERT_TRUE(WaitThreads(workers));
    EXPECT_EQ(notes, std::vector<int>{ncMediumClosed});
    // The query is rationed: waits that end empty are what an idle pty does all the time.
    EXPECT_LE(fake.CountCalls("GetCommState"), 2);
}

TEST_F(EngineDispatch, AnInvalidHandleIsADriverFailureAndItsCodeIsLogged) {
    Open();
    notes.clear();
    log.Lines.clear();
    fake.Fail(ERROR_INVALID_HANDLE);
    ASSERT_TRUE(PumpUntil([&] { return !com->Active(); }));
    ASSERT_TRUE(WaitThreads(workers));
    EXPECT_EQ(notes, std::vector<int>{ncMediumClosed});
    bool logged = false;
    for (auto& l : log.Lines) logged = logged || l.find(L"The port failed: 6,") != std::wstring::npos;
    EXPECT_TRUE(logged);
}

TEST_F(EngineDispatch, ThePendingWaitKeepsItsStorageUntilTheDriverEndsIt) {
    fake.SetHoldWait(true);  // a driver slow to end the wait on close
    Open();
    com->SetActive(false);
    ASSERT_TRUE(fake.HasHeldWait());
    EXPECT_TRUE(fake.CompleteHeldWait());  // the thread's event (and record) still there
    EXPECT_TRUE(WaitThreads(workers));
}

TEST_F(EngineDispatch, AWaitsEventIsKeptUntilTheDriverHasSetItNotJustWrittenItsStatus) {
    // A handle closed between the two would be set later under another
    // owner: the next open's stop event, say.
    fake.SetHoldWait(true);
    Open();
    ASSERT_TRUE(fake.WriteHeldStatus());
    com->SetActive(false);
    Sleep(50);
    EXPECT_TRUE(fake.SignalHeldWait());
    EXPECT_TRUE(WaitThreads(workers));
}

TEST_F(EngineDispatch, DestroyingWhileTheMessageThreadWaitsInSynchronizeRunsNoDispatch) {
    int calls = 0;
    com->OnAfterReceive = [&](TObject*, void*, std::uint32_t) { ++calls; };
    Open();
    fake.ClearCalls();
    fake.Receive("x");
    // The message thread now waits for the user-interface thread.
    ASSERT_EQ(WaitForSingleObject(fw::SyncEvent(), 5000), WAIT_OBJECT_0);
    com.reset();
    fw::Application->ProcessMessages();
    EXPECT_TRUE(WaitThreads(workers));
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(fake.CountCalls("ClearCommError"), 1);  // the close's own query only
}

TEST_F(EngineDispatch, CloseWaitsForADispatchRunningOnTheMessageThread) {
    com->SetUseMainThread(false);
    HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> done{false};
    com->OnAfterReceive = [&](TObject*, void* b, std::uint32_t n) {
        SetEvent(entered);
        WaitForSingleObject(release, 5000);
        volatile char c = static_cast<char*>(b)[n - 1];  // the buffer is still ours
        (void)c;
        done = true;
    };
    Open();
    fake.Receive("data");
    ASSERT_EQ(WaitForSingleObject(entered, 5000), WAIT_OBJECT_0);
    std::thread later([&] {
        Sleep(30);
        SetEvent(release);
    });
    com->SetActive(false);
    EXPECT_TRUE(done);  // the close did not pull the port from under the handler
    later.join();
    CloseHandle(entered);
    CloseHandle(release);
}

TEST_F(EngineDispatch, ClosingFromInsideOnAfterReceiveEndsTheDispatch) {
    int calls = 0;
    com->OnAfterReceive = [&](TObject*, void*, std::uint32_t) {
        ++calls;
        com->SetActive(false);
    };
    Open();
    fake.Receive(std::string(20000, 'q'));  // three pieces queued
    ASSERT_TRUE(PumpUntil([&] { return !com->Active(); }));
    EXPECT_TRUE(WaitThreads(workers));
    EXPECT_EQ(calls, 1);
}

TEST_F(EngineDispatch, DestroyingFromInsideOnAfterReceiveIsSafe) {
    for (bool main : {true, false}) {
        auto* c = new TTestComm(nullptr, 7);
        std::atomic<bool> gone{false};
        c->SetUseMainThread(main);
        c->OnAfterReceive = [&gone, c](TObject*, void*, std::uint32_t) {
            delete c;
            gone = true;
        };
        c->SetActive(true);
        auto ts = c->Threads();
        ASSERT_TRUE(PumpUntil([&] { return fake.WaitPending(); }));
        fake.Receive(std::string(9000, 'r'));
        ASSERT_TRUE(PumpUntil([&] { return gone.load(); }));
        EXPECT_TRUE(WaitThreads(ts));
        EXPECT_FALSE(fake.IsOpen());
    }
}
