// Tests of comm/nrclasses.cpp (the base I/O component and its support objects).
// The base I/O component: open/close sequence, loading and design mode,
// device list, listeners, fatal errors, the I/O thread and the timer.
#include <gtest/gtest.h>

#include <windows.h>
#include <dbt.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../../comm/nrclasses.h"
#include "../support/test_components.h"

using namespace nr;

using namespace testing_io;

namespace {

TnrDevice* Dev(std::int32_t data) {
    auto* d = new TnrDevice;
    d->Data = data;
    d->NameFriendly = L"D" + std::to_wstring(data);
    return d;
}

struct Owner {
    std::unique_ptr<fw::TComponent> root = std::make_unique<fw::TComponent>(nullptr);
};

// A medium that writes its handle calls, OnOpen, OnClose and its listener
// into trace.
TTestIO* TracedIO(Owner& o, std::vector<std::wstring>& trace) {
    auto* io = new TTestIO(o.root.get());
    io->Trace = &trace;
    io->OnOpen = TNotifyEvent::Bind<&TTestIO::OpenEvent>(io);
    io->OnClose = TNotifyEvent::Bind<&TTestIO::CloseEvent>(io);
    io->NotifyAdd(TnrNotifyEvent::Bind<&TTestIO::Listener>(io));
    return io;
}

}  // namespace

TEST(BaseIO, OpenAndCloseRunInTheirFixedOrder) {
    Owner o;
    std::vector<std::wstring> trace;
    auto* io = TracedIO(o, trace);

    io->SetActive(true);
    EXPECT_TRUE(io->Active());
    EXPECT_NE(io->Handle(), INVALID_HANDLE_VALUE);
    io->SetActive(true);  // already open: nothing happens
    io->SetActive(false);
    EXPECT_FALSE(io->Active());
    EXPECT_EQ(io->Handle(), INVALID_HANDLE_VALUE);
    io->SetActive(false);  // closed already: no OnClose

    std::vector<std::wstring> want{L"OpenHandle", L"OnOpen", L"notify 2", L"ReleaseHandle", L"OnClose", L"notify 1"};
    EXPECT_EQ(trace, want);
}

TEST(BaseIO, FailedOpenRaisesNoEventAndHandlerExceptionsAreDropped) {
    Owner o;
    auto* io = new TTestIO(o.root.get());
    std::vector<std::wstring> trace;
    io->Trace = &trace;
    io->FailOpen = true;
    io->OnOpen = [](TObject*) { throw fw::Exception(L"boom"); };
    io->SetActive(true);
    EXPECT_FALSE(io->Active());
    EXPECT_EQ(trace, std::vector<std::wstring>{L"OpenHandle"});

    io->FailOpen = false;
    io->OnClose = [](TObject*) { throw fw::Exception(L"boom"); };
    EXPECT_NO_THROW(io->SetActive(true));
    EXPECT_TRUE(io->Active());
    EXPECT_NO_THROW(io->SetActive(false));
    EXPECT_FALSE(io->Active());
}

TEST(BaseIO, OpenOnAnOpenMediumClosesItFirst) {
    Owner o;
    std::vector<std::wstring> trace;
    auto* io = TracedIO(o, trace);
    io->SetActive(true);
    trace.clear();
    io->Open();  // straight to the base part, as a descendant may do
    EXPECT_TRUE(io->Active());
    std::vector<std::wstring> want{L"ReleaseHandle", L"OnClose", L"notify 1", L"OpenHandle", L"OnOpen", L"notify 2"};
    EXPECT_EQ(trace, want);
    io->SetActive(false);
    EXPECT_EQ(std::count(trace.begin(), trace.end(), L"ReleaseHandle"), 2);
    EXPECT_EQ(io->OpenCalls, 2);
}

TEST(BaseIO, ActiveWhileLoadingOpensOnlyAtLoaded) {
    Owner o;
    o.root->BeginLoading();
    auto* io = new TTestIO(o.root.get());
    io->SetActive(true);
    EXPECT_EQ(io->OpenCalls, 0);
    EXPECT_TRUE(io->Active());  // the stored value while loading
    o.root->EndLoading();
    EXPECT_EQ(io->OpenCalls, 1);
    EXPECT_TRUE(io->IsOpen());
}

TEST(BaseIO, FailureWhileApplyingLoadedSettingsShowsErrorBoxAndLoadingGoesOn) {
    Owner o;
    std::vector<std::wstring> boxes;
    fw::Application->OnMessageBox = [&](HWND, const std::wstring& text, const std::wstring& caption, UINT flags) {
        boxes.push_back(text + L"|" + caption);
        EXPECT_TRUE(flags & MB_ICONERROR);
        return IDOK;
    };
    o.root->BeginLoading();
    auto* io = new TTestIO(o.root.get());
    io->SetActive(true);
    // The fatal-error path raises once loading is over.
    struct Raiser : TTestIO {
        using TTestIO::TTestIO;
        void Open() override {
            TTestIO::Open();
            ReportFatalError(1, 0, L"cannot open", false);
        }
    };
    auto* bad = new Raiser(o.root.get());
    bad->SetActive(true);
    EXPECT_NO_THROW(o.root->EndLoading());
    fw::Application->OnMessageBox = nullptr;
    EXPECT_TRUE(io->IsOpen());
    EXPECT_EQ(boxes, std::vector<std::wstring>{L"error|Error"});
    EXPECT_FALSE(bad->Loading());
}

TEST(BaseIO, DesignModePerformsTrialOpen) {
    Owner o;
    o.root->SetDesigning(true);
    auto* io = new TTestIO(o.root.get());
    ASSERT_TRUE(io->Designing());
    io->SetActive(true);
    EXPECT_EQ(io->OpenCalls, 1);
    EXPECT_FALSE(io->IsOpen());  // closed again after the trial
    EXPECT_TRUE(io->Active());   // tells the trial succeeded
    io->SetActive(true);         // in design mode it tries every time
    EXPECT_EQ(io->OpenCalls, 2);

    io->FailOpen = true;
    io->SetActive(true);
    EXPECT_FALSE(io->Active());
}

TEST(BaseIO, AddDeviceSortedKeepsOrderAndRefusesDuplicateKeys) {
    Owner o;
    auto* io = new TTestIO(o.root.get());
    EXPECT_EQ(io->AddDeviceSorted(Dev(5)), 0);
    EXPECT_EQ(io->AddDeviceSorted(Dev(1)), 0);  // smaller than all: front
    EXPECT_EQ(io->AddDeviceSorted(Dev(9)), 2);  // greater than the last: end
    EXPECT_EQ(io->AddDeviceSorted(Dev(3)), 1);  // between 1 and 5
    TnrDevice* dup = Dev(5);
    EXPECT_EQ(io->AddDeviceSorted(dup), -1);
    EXPECT_EQ(dup->Parent(), nullptr);  // still the caller's
    delete dup;

    ASSERT_EQ(io->DeviceCount(), 4);
    std::vector<std::int32_t> data, index;
    for (int i = 0; i < io->DeviceCount(); ++i) {
        data.push_back(io->GetDevice(i)->Data);
        index.push_back(io->GetDevice(i)->Index());
        EXPECT_EQ(io->GetDevice(i)->Parent(), io);
        EXPECT_EQ(io->IndexOfDevice(io->GetDevice(i)), i);
    }
    EXPECT_EQ(data, (std::vector<std::int32_t>{1, 3, 5, 9}));
    EXPECT_EQ(index, (std::vector<std::int32_t>{0, 1, 2, 3}));
    EXPECT_EQ(io->IndexOfDeviceData(5), 2);
    EXPECT_EQ(io->IndexOfDeviceData(4), -1);
    EXPECT_EQ(io->GetDevice(-1), nullptr);
    EXPECT_EQ(io->GetDevice(io->DeviceCount()), nullptr);
}

TEST(BaseIO, GetDeviceListLoadsAnEmptyListOnce) {
    Owner o;
    auto* io = new TTestIO(o.root.get());
    io->ScriptedData = {7, 2, 7};
    io->GetDeviceList(nullptr);  // no target: still loads
    EXPECT_EQ(io->Loads, 1);
    TStringList l;
    l.Add(L"stale");
    io->GetDeviceList(&l);
    EXPECT_EQ(io->Loads, 1);
    ASSERT_EQ(l.Count(), 2);
    EXPECT_EQ(l.Strings(0), L"D2");
    EXPECT_EQ(l.Objects(1), io->GetDevice(1));

    io->ClearDeviceList();
    EXPECT_EQ(io->DeviceCount(), 0);
    io->GetDeviceList(&l);
    EXPECT_EQ(io->Loads, 2);
}

TEST(BaseIO, ClearWithoutFreeLeavesDevicesToTheirOwner) {
    Owner o;
    struct Keeper : TTestIO {
        using TTestIO::TTestIO;
        void KeepDevices() { flClearDeviceListWithFree = false; }
    };
    auto* io = new Keeper(o.root.get());
    io->KeepDevices();
    auto d = std::make_unique<TnrDevice>();
    io->AddDevice(d.get());
    io->ClearDeviceList();
    EXPECT_EQ(io->DeviceCount(), 0);
    d->NameFriendly = L"still alive";
}

TEST(BaseIO, ListenersRegisterOnceAndAreCalledInOrder) {
    Owner o;
    auto* io = new TTestIO(o.root.get());
    auto* other = new TTestIO(o.root.get());
    std::vector<std::wstring> trace;
    io->Trace = &trace;
    other->Trace = &trace;
    io->DoNotify(3);  // nobody listens yet
    auto mine = TnrNotifyEvent::Bind<&TTestIO::Listener>(io);
    auto theirs = TnrNotifyEvent::Bind<&TTestIO::Listener>(other);
    io->NotifyAdd(mine);
    io->NotifyAdd(mine);
    io->NotifyAdd(theirs);  // same method, other object: a second listener
    auto* stranger = new TTestIO(o.root.get());
    io->NotifyDelete(TnrNotifyEvent::Bind<&TTestIO::Listener>(stranger));  // never added: no change
    io->DoNotify(3);
    EXPECT_EQ(trace, (std::vector<std::wstring>{L"notify 3", L"notify 3"}));
    io->NotifyDelete(mine);
    trace.clear();
    io->Update();
    EXPECT_EQ(trace, std::vector<std::wstring>{L"notify 3"});
}

TEST(BaseIO, NotifyListCallsInAdditionOrderAndSurvivesSelfRemoval) {
    TnrNotifyList list;
    std::vector<int> calls;
    auto a = TnrNotifyEvent([&](TObject*, std::int32_t c) { calls.push_back(10 + c); });
    auto b = TnrNotifyEvent([&](TObject*, std::int32_t c) { calls.push_back(20 + c); });
    list.Add(a);
    list.Add(b);
    list.Add(a);
    EXPECT_EQ(list.IndexOf(a), 0);
    EXPECT_EQ(list.IndexOf(b), 1);
    list.Call(nullptr, 1);
    EXPECT_EQ(calls, (std::vector<int>{11, 21, 11}));
    EXPECT_THROW(list.Delete(3), fw::EListError);
    EXPECT_THROW(list.ItemAt(-1), fw::EListError);

    TnrNotifyList self;
    TnrNotifyEvent remover = [&](TObject*, std::int32_t) { self.Delete(0); };
    self.Add(remover);
    self.Add(remover);
    EXPECT_NO_THROW(self.Call(nullptr, 0));
}

// Listeners that come and go while a broadcast runs: whoever is registered
// when its turn comes is told once; one added meanwhile waits for the next.
TEST(BaseIO, ListenersChangingDuringABroadcast) {
    Owner o;
    auto* io = new TTestIO(o.root.get());
    std::vector<std::string> told;
    TnrNotifyEvent a, b, c, d;
    std::function<void()> inA;
    a = [&](TObject*, std::int32_t) {
        told.push_back("a");
        if (inA) inA();
    };
    b = [&](TObject*, std::int32_t) { told.push_back("b"); };
    c = [&](TObject*, std::int32_t) { told.push_back("c"); };
    d = [&](TObject*, std::int32_t) { told.push_back("d"); };
    io->NotifyAdd(a);
    io->NotifyAdd(b);
    io->NotifyAdd(c);

    inA = [&] { io->NotifyDelete(a); };  // leaves during its own call
    io->DoNotify(3);
    EXPECT_EQ(told, (std::vector<std::string>{"a", "b", "c"}));
    told.clear();
    io->DoNotify(3);
    EXPECT_EQ(told, (std::vector<std::string>{"b", "c"}));

    io->NotifyDelete(b);
    io->NotifyDelete(c);
    io->NotifyAdd(a);
    io->NotifyAdd(b);
    io->NotifyAdd(c);
    inA = [&] {
        io->NotifyDelete(b);  // gone before its turn: not told
        io->NotifyAdd(d);     // came after the event: not told of it
    };
    told.clear();
    io->DoNotify(3);
    EXPECT_EQ(told, (std::vector<std::string>{"a", "c"}));
    inA = nullptr;
    told.clear();
    io->DoNotify(3);
    EXPECT_EQ(told, (std::vector<std::string>{"a", "c", "d"}));
}

// A listener that throws is reported like any other handler; the listeners
// after it are still told, and the open or close it hears of stands.
TEST(BaseIO, AThrowingListenerIsReportedAndTheOthersAreStillTold) {
    Owner o;
    std::vector<std::wstring> trace;
    auto* io = new TTestIO(o.root.get());
    io->Trace = &trace;
    io->NotifyAdd([](TObject*, std::int32_t code) {
        if (code == ncMediumOpened) throw fw::Exception(L"opened: no");
        throw 7;  // not even an exception class
    });
    io->NotifyAdd(TnrNotifyEvent::Bind<&TTestIO::Listener>(io));
    std::vector<std::wstring> reported;
    io->OnFatalError = [&](TObject*, std::uint32_t code, std::uint32_t, const std::wstring& msg, bool& raise) {
        EXPECT_EQ(code, 1u);
        reported.push_back(msg);
        raise = false;
    };

    EXPECT_NO_THROW(io->SetActive(true));
    EXPECT_TRUE(io->Active());
    EXPECT_NO_THROW(io->SetActive(false));
    EXPECT_FALSE(io->Active());
    EXPECT_NO_THROW(io->Update());
    EXPECT_EQ(reported, (std::vector<std::wstring>{L"opened: no", L"Unknown exception", L"Unknown exception"}));
    EXPECT_EQ(trace,
              (std::vector<std::wstring>{L"OpenHandle", L"notify 2", L"ReleaseHandle", L"notify 1", L"notify 3"}));

    // Without a handler to clear it, the report is shown, as a dispatch's is.
    std::vector<std::wstring> shown;
    fw::Application->OnException = [&](TObject*, const fw::Exception& e) { shown.push_back(e.Message()); };
    io->OnFatalError = nullptr;
    EXPECT_NO_THROW(io->SetActive(true));
    EXPECT_TRUE(io->Active());
    EXPECT_NO_THROW(io->SetActive(false));
    fw::Application->OnException = nullptr;
    EXPECT_EQ(shown, (std::vector<std::wstring>{L"opened: no", L"Unknown exception"}));
}

TEST(BaseIO, DeviceChangeMessagesUpdateOnlyForPortsAndNodeChanges) {
    Owner o;
    auto* io = new TTestIO(o.root.get());
    std::vector<std::wstring> trace;
    io->Trace = &trace;
    io->NotifyAdd(TnrNotifyEvent::Bind<&TTestIO::Listener>(io));

    DEV_BROADCAST_HDR port{sizeof(DEV_BROADCAST_HDR), DBT_DEVTYP_PORT, 0};
    DEV_BROADCAST_HDR volume{sizeof(DEV_BROADCAST_HDR), DBT_DEVTYP_VOLUME, 0};
    fw::TMessage nodes{WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0, 0};
    fw::TMessage arrivalPort{WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&port), 0};
    fw::TMessage removalPort{WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<LPARAM>(&port), 0};
    fw::TMessage arrivalVolume{WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&volume), 0};
    fw::TMessage other{WM_PAINT, DBT_DEVNODES_CHANGED, 0, 0};
    EXPECT_TRUE(io->WMDeviceChange(nodes));
    EXPECT_TRUE(io->WMDeviceChange(arrivalPort));
    EXPECT_TRUE(io->WMDeviceChange(removalPort));
    EXPECT_FALSE(io->WMDeviceChange(arrivalVolume));
    EXPECT_FALSE(io->WMDeviceChange(other));
    EXPECT_EQ(trace.size(), 3u);
}

TEST(BaseIO, ReportFatalErrorLetsTheHandlerDecideAndAlwaysLogs) {
    Owner o;
    auto* io = new TTestIO(o.root.get());
    auto* log = new TMemoryLog(o.root.get());
    io->SetLog(log);
    std::vector<std::wstring> shown;
    fw::Application->OnException = [&](TObject*, const fw::Exception& e) { shown.push_back(e.Message()); };

    // No handler: raised, and logged first.
    try {
        io->ReportFatalError(1, 0, L"bad port", false);
        ADD_FAILURE() << "not raised";
    } catch (const fw::Exception& e) {
        EXPECT_EQ(e.Message(), L"bad port");
    }
    // The handler clears RaiseException: nothing raised, still logged.
    std::vector<std::uint32_t> seen;
    io->OnFatalError = [&](TObject* s, std::uint32_t code, std::uint32_t detail, const std::wstring& msg, bool& raise) {
        EXPECT_EQ(s, io);
        EXPECT_EQ(msg, L"gone");
        seen.push_back(code);
        seen.push_back(detail);
        raise = false;
    };
    EXPECT_NO_THROW(io->ReportFatalError(2, 7, L"gone", false));
    EXPECT_EQ(seen, (std::vector<std::uint32_t>{2, 7}));
    // ShowOnly with the flag left set: shown, returns normally.
    io->OnFatalError = nullptr;
    EXPECT_NO_THROW(io->ReportFatalError(1, 5, L"shown", true));
    EXPECT_EQ(shown, std::vector<std::wstring>{L"shown"});
    fw::Application->OnException = nullptr;

    EXPECT_EQ(log->Lines, (std::vector<std::wstring>{L"Fatal Error: 1, 0, bad port", L"Fatal Error: 2, 7, gone",
                                                     L"Fatal Error: 1, 5, shown"}));

    // While loading: reported to the handler and the log, never raised or shown.
    o.root->BeginLoading();
    auto* loading = new TTestIO(o.root.get());
    loading->SetLog(log);
    int handled = 0;
    loading->OnFatalError = [&](TObject*, std::uint32_t, std::uint32_t, const std::wstring&, bool&) { ++handled; };
    EXPECT_NO_THROW(loading->ReportFatalError(1, 0, L"quiet", false));
    EXPECT_NO_THROW(loading->ReportFatalError(1, 0, L"quiet", true));
    EXPECT_EQ(handled, 2);
    EXPECT_EQ(log->Lines.size(), 5u);
    o.root->EndLoading();
}

TEST(BaseIO, LogLinesCarryThePrefixAndEmptyLinesAskForSysInfo) {
    Owner o;
    auto* io = new TTestIO(o.root.get());
    io->WriteLog(dlSimple, L"nobody listens");
    auto* log = new TMemoryLog(o.root.get());
    io->SetLog(log);
    io->WriteLog(dlSimple, L"hello");
    io->WriteLogFmt(dlDebug, L"n=%d", {3});
    io->WriteLog(dlDetail, L"");
    EXPECT_EQ(log->Lines, (std::vector<std::wstring>{L"TTestIOhello", L"TTestIOn=3"}));
    EXPECT_EQ(log->SysInfo, 1);
    delete log;  // removal unlinks it
    EXPECT_EQ(io->Log(), nullptr);
    io->WriteLog(dlSimple, L"safe");
}

TEST(BaseIO, ThreadRunsItsBodyOnceAndStopReturnsAfterItEnded) {
    Owner o;
    auto* io = new TTestIO(o.root.get());
    io->isThreaded = true;
    io->SetActive(true);
    // The body returns at once; the thread frees itself.
    ASSERT_TRUE(fw::Application->ProcessMessagesUntil([&] { return io->ThreadRuns == 1; }, 5000));
    Sleep(20);
    io->SetActive(false);  // stops a thread that already ended
    EXPECT_EQ(io->ThreadRuns, 1);

    io->ThreadLoops = true;
    io->SetActive(true);
    ASSERT_TRUE(fw::Application->ProcessMessagesUntil([&] { return io->ThreadRuns == 2; }, 5000));
    io->SetActive(false);  // a looping body ends on the terminate request
    EXPECT_EQ(io->ThreadRuns, 2);
}

TEST(Timer, TicksOnTheMessageLoopAndRearmsAsConfigured) {
    TnrTimer t;
    int ticks = 0;
    DWORD thread = 0;
    t.SetInterval(30);
    EXPECT_FALSE(fw::Application->ProcessMessagesUntil([&] { return ticks > 0; }, 120));  // no handler: never armed
    t.SetOnTimer([&](TObject* s) {
        EXPECT_EQ(s, &t);
        thread = GetCurrentThreadId();
        ++ticks;
        throw fw::Exception(L"dropped");  // the timer keeps going
    });
    ASSERT_TRUE(fw::Application->ProcessMessagesUntil([&] { return ticks >= 3; }, 3000));
    EXPECT_EQ(thread, GetCurrentThreadId());

    t.SetInterval(0);  // disarmed while still enabled
    EXPECT_TRUE(t.Enabled());
    fw::Application->ProcessMessages();
    int at = ticks;
    EXPECT_FALSE(fw::Application->ProcessMessagesUntil([&] { return ticks > at; }, 150));
    t.SetInterval(30);
    EXPECT_TRUE(fw::Application->ProcessMessagesUntil([&] { return ticks > at; }, 3000));

    t.SetEnabled(false);
    fw::Application->ProcessMessages();
    at = ticks;
    EXPECT_FALSE(fw::Application->ProcessMessagesUntil([&] { return ticks > at; }, 150));
}

TEST(Timer, SwitchingOffAndOnRestartsThePeriod) {
    TnrTimer t;
    t.SetInterval(400);
    DWORD fired = 0;
    t.SetOnTimer([&](TObject*) { fired = GetTickCount(); });
    Sleep(250);
    DWORD restart = GetTickCount();
    t.SetEnabled(false);
    t.SetEnabled(true);
    ASSERT_TRUE(fw::Application->ProcessMessagesUntil([&] { return fired != 0; }, 3000));
    EXPECT_GE(fired - restart, 350u);
}
