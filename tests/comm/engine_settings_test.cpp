// Tests of comm/nrcomm_engine.cpp.
// Port engine: line settings, configuration on open, open and close through a
// scripted serial device; open failures on a real missing port and on COM
// names that are no serial line.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <memory>

#include "engine_components.h"
#include "fake_serial.h"
#include "pty_pair.h"
#include "test_components.h"

using namespace nr;
using namespace serial_test;

namespace {

struct EngineSettings : testing::Test {
    TFakeSerial fake{7};
    std::unique_ptr<TTestComm> com = std::make_unique<TTestComm>(nullptr, 7);
    testing_io::TMemoryLog log{nullptr};
    std::vector<int> notes;
    void SetUp() override {
        com->SetLog(&log);
        com->NotifyAdd([this](TObject*, std::int32_t c) { notes.push_back(c); });
    }
    void TearDown() override {
        auto ts = com->Threads();
        com.reset();
        EXPECT_TRUE(WaitThreads(ts));
    }
};

// The user picks XON/XOFF at 4800 baud and confirms; or cancels after fiddling.
BOOL WINAPI ConfirmingDialog(LPCWSTR, HWND, LPCOMMCONFIG c) {
    c->dcb.BaudRate = 4800;
    nr::SetDcbFlagWord(c->dcb, (nr::DcbFlagWord(c->dcb) & ~0x3000u) | 0x1311u);
    return TRUE;
}

BOOL WINAPI CancellingDialog(LPCWSTR, HWND, LPCOMMCONFIG c) {
    c->dcb.BaudRate = 300;
    return FALSE;
}

// A driver that refuses one part of the configuration.
BOOL WINAPI RefuseQueues(HANDLE, DWORD, DWORD) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
}

BOOL WINAPI RefuseTimeouts(HANDLE, LPCOMMTIMEOUTS) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

BOOL WINAPI RefuseState(HANDLE, LPDCB) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

BOOL WINAPI OldNtVersion(LPOSVERSIONINFOW v) {
    v->dwPlatformId = VER_PLATFORM_WIN32_NT;
    v->dwMajorVersion = 4;
    return TRUE;
}

}  // namespace

TEST_F(EngineSettings, FlowControlModesGiveTheirDcbFlagWords) {
    com->SetStreamProtocol(spNone);
    EXPECT_EQ(com->DcbFlags(), 0x1011u);
    com->SetStreamProtocol(spXonXoff);
    EXPECT_EQ(com->DcbFlags(), 0x1311u);
    com->SetStreamProtocol(spHardware);
    EXPECT_EQ(com->DcbFlags(), 0x2015u);
    // The words are the DCB's own bit fields.
    EXPECT_TRUE(com->Config().dcb.fBinary && com->Config().dcb.fOutxCtsFlow);
    EXPECT_EQ(com->Config().dcb.fDtrControl, DWORD(DTR_CONTROL_ENABLE));
    EXPECT_EQ(com->Config().dcb.fRtsControl, DWORD(RTS_CONTROL_HANDSHAKE));
    com->SetRS485Mode(true);  // toggle wins over any protocol
    EXPECT_EQ(com->DcbFlags(), 0x3011u);
    com->SetRS485Mode(false);
    EXPECT_EQ(com->DcbFlags(), 0x2015u);

    // Only the bits of the 0x4CEA mask survive a rebuild.
    com->SetDcbFlags(0xFFFFFFFFu);
    com->SetStreamProtocol(spNone);
    EXPECT_EQ(com->DcbFlags(), 0x4CEAu | 0x1011u);
    const DCB& d = com->Config().dcb;
    EXPECT_EQ(d.XonLim, 2048);
    EXPECT_EQ(d.XoffLim, 2048);
    EXPECT_EQ(d.XonChar, 0x11);
    EXPECT_EQ(d.XoffChar, 0x13);
    EXPECT_EQ(d.DCBlength, 28u);
    EXPECT_EQ(com->Config().dwSize, 52u);
}

TEST_F(EngineSettings, ReadCommConfigRecognisesTheFlagWords) {
    struct Case {
        DWORD Flags;
        TStreamProtocol Protocol;
        bool RS485;
    } cases[] = {{0x1011, spNone, false}, {0x1311, spXonXoff, false}, {0x2015, spHardware, false},
                 {0x3011, spNone, true},  {0x1313, spXonXoff, false}, {0x0000, spNone, false}};
    for (const auto& c : cases) {
        com->SetDcbFlags(c.Flags);
        com->ReadCommConfig();
        EXPECT_EQ(com->StreamProtocol(), c.Protocol) << std::hex << c.Flags;
        EXPECT_EQ(com->RS485Mode(), c.RS485) << std::hex << c.Flags;
    }
    // While open the driver's DCB is the source.
    com->SetActive(true);
    com->SetStreamProtocol(spXonXoff);
    com->SetDcbFlags(0);
    com->ReadCommConfig();
    EXPECT_EQ(com->StreamProtocol(), spXonXoff);
    EXPECT_EQ(com->DcbFlags(), 0x1311u);
}

// The word stored configurations hold is the DCB's own memory after BaudRate:
// every bit-field lands on its bit there, and back.
TEST(DcbFlagWord, EachBitFieldIsItsBitOfTheStoredWord) {
    for (int bit = 0; bit < 32; ++bit) {
        DCB d{};
        nr::SetDcbFlagWord(d, 1u << bit);
        DWORD stored;
        std::memcpy(&stored, reinterpret_cast<const char*>(&d) + offsetof(DCB, BaudRate) + sizeof d.BaudRate,
                    sizeof stored);
        EXPECT_EQ(stored, 1u << bit) << bit;
        EXPECT_EQ(nr::DcbFlagWord(d), 1u << bit) << bit;
    }
}

TEST_F(EngineSettings, ByteSizeParityAndEventCharAreStoredInTheDcb) {
    for (int v : {4, 5, 6, 7, 8}) {
        com->SetByteSize(static_cast<std::uint8_t>(v));
        EXPECT_EQ(com->ByteSize(), v);
    }
    for (int v : {0, 3, 9, 255}) {
        com->SetByteSize(static_cast<std::uint8_t>(v));
        EXPECT_EQ(com->ByteSize(), 8) << v;
    }
    com->SetParity(pEven);
    EXPECT_EQ(com->Config().dcb.Parity, EVENPARITY);
    EXPECT_TRUE(com->DcbFlags() & 0x2);
    com->SetStreamProtocol(spXonXoff);  // a rebuild keeps fParity
    EXPECT_TRUE(com->DcbFlags() & 0x2);
    com->SetParity(pNone);
    EXPECT_FALSE(com->DcbFlags() & 0x2);
    com->SetStopBits(sbTwo);
    EXPECT_EQ(com->Config().dcb.StopBits, TWOSTOPBITS);
    com->SetEventChar(static_cast<wchar_t>(0x1241));
    EXPECT_EQ(com->EventChar(), L'\x41');
}

TEST_F(EngineSettings, OpenConfiguresThePortInOrderAndLogs) {
    com->SetBaudRate(57600);
    com->SetStreamProtocol(spNone);
    EXPECT_FALSE(fake.Called("SetCommState 57600 4113"));  // closed: stored only
    com->SetActive(true);
    ASSERT_TRUE(com->Active());
    std::vector<std::string> expected = {
        "Open",          "ClearCommError", "SetupComm 8192 8192", "SetCommTimeouts", "SetCommState 57600 4113",
        "SetCommMask 0", "SetCommMask 1"};
    auto calls = fake.Calls();
    ASSERT_GE(calls.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + expected.size()), expected);
    COMMTIMEOUTS t = fake.Timeouts();
    EXPECT_EQ(t.ReadIntervalTimeout, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 100u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 0u);
    EXPECT_EQ(com->ReceiveBufferSize(), 8192u);
    EXPECT_TRUE(com->HasThreads());
    EXPECT_EQ(notes, std::vector<int>{ncMediumOpened});
    ASSERT_FALSE(log.Lines.empty());
    EXPECT_EQ(log.Lines.back(), L"nrComm: The port COM7 is opened succesfully");

    // Settings now go straight to the driver.
    fake.ClearCalls();
    com->SetBaudRate(9600);
    EXPECT_TRUE(fake.Called("SetCommState 9600 4113"));
    com->SetBufferInSize(100);
    EXPECT_TRUE(fake.Called("SetupComm 100 8192"));
    com->SetTimeoutRead(200);
    EXPECT_EQ(fake.Timeouts().ReadTotalTimeoutMultiplier, 200u);
    EXPECT_EQ(fake.Timeouts().WriteTotalTimeoutMultiplier, 100u);
    EXPECT_EQ(com->TimeoutRead(), 200u);

    com->SetActive(false);
    EXPECT_FALSE(com->Active());
    EXPECT_FALSE(com->HasReceiveBuffer());
    EXPECT_EQ(notes, (std::vector<int>{ncMediumOpened, ncMediumClosed}));
    EXPECT_EQ(log.Lines.back(), L"nrComm: The port is closed succesfully");
    // The next open still gets the smallest buffer size.
    com->SetActive(true);
    EXPECT_EQ(com->ReceiveBufferSize(), 8192u);
}

// Time-outs and line settings the driver refuses leave a port that is not
// the one asked for: the open fails as any other does. Queue sizes are a
// recommendation a driver may decline and still serve the port.
TEST_F(EngineSettings, ARefusedConfigurationFailsTheOpen) {
    struct Case {
        const char* Call;
        void (*Refuse)();
        DWORD Error;
        const wchar_t* Part;
        bool RS485 = false;  // a refusal the fallback to emulated RTS toggling does not cure
    } cases[] = {
        {"SetCommTimeouts", [] { nr::Win32.SetCommTimeouts = &RefuseTimeouts; }, ERROR_NOT_SUPPORTED, L"time-outs"},
        {"SetCommState", [] { nr::Win32.SetCommState = &RefuseState; }, ERROR_INVALID_PARAMETER, L"line settings"},
        {"RS-485", [] { nr::Win32.SetCommState = &RefuseState; }, ERROR_INVALID_PARAMETER, L"line settings", true},
    };
    const TWin32Api real = nr::Win32;  // the fake's entries
    int opened = 0, closed = 0;
    com->OnOpen = [&](TObject*) { ++opened; };
    com->OnClose = [&](TObject*) { ++closed; };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Call);
        c.Refuse();
        com->SetRS485Mode(c.RS485);
        const std::wstring expected = L"Device \"COM7\" Open Error !!!\r" + SysErrorText(c.Error);
        std::vector<std::wstring> reports;
        com->OnFatalError = [&](TObject*, std::uint32_t code, std::uint32_t detail, const std::wstring& msg,
                                bool& raise) {
            EXPECT_EQ(code, 1u);
            EXPECT_EQ(detail, 0u);
            reports.push_back(msg);
            raise = false;
        };
        log.Lines.clear();
        fake.ClearCalls();
        EXPECT_NO_THROW(com->SetActive(true));
        EXPECT_EQ(reports, std::vector<std::wstring>{expected});
        EXPECT_FALSE(com->Active());
        EXPECT_FALSE(fake.IsOpen());  // the handle went back
        EXPECT_TRUE(fake.Called("Close"));
        EXPECT_EQ(fake.ClosedTwice(), 0);
        EXPECT_FALSE(com->HasReceiveBuffer());
        EXPECT_FALSE(com->HasThreads());
        EXPECT_FALSE(com->EmulatesRS485());
        EXPECT_EQ(com->LastOpenError(), expected);
        ASSERT_GE(log.Lines.size(), 2u);
        EXPECT_EQ(log.Lines.back(), L"Fatal Error: 1, 0, " + expected);
        EXPECT_EQ(log.Lines[log.Lines.size() - 2],
                  L"nrComm: The driver refused the " + std::wstring(c.Part) + L": " + SysErrorText(c.Error));
        for (const auto& l : log.Lines) EXPECT_EQ(l.find(L"opened succesfully"), std::wstring::npos) << l;

        com->SendChar(L'A');
        com->SendString("abc");
        com->SendData("abc", 3);
        EXPECT_EQ(fake.Output(), "");

        com->OnFatalError = nullptr;
        try {
            com->SetActive(true);
            ADD_FAILURE() << "no exception";
        } catch (const fw::Exception& e) {
            EXPECT_EQ(e.Message(), expected);
        }
        EXPECT_FALSE(fake.IsOpen());
        nr::Win32 = real;
    }
    EXPECT_TRUE(notes.empty());
    EXPECT_EQ(opened, 0);
    EXPECT_EQ(closed, 0);

    // Declined queue sizes: the port opens with the rest of its configuration.
    com->SetRS485Mode(false);
    nr::Win32.SetupComm = &RefuseQueues;
    com->SetBaudRate(57600);
    com->SetStreamProtocol(spNone);
    fake.ClearCalls();
    log.Lines.clear();
    com->SetActive(true);
    EXPECT_TRUE(com->Active());
    ASSERT_FALSE(log.Lines.empty());
    EXPECT_EQ(log.Lines.front(), L"nrComm: Queue sizes declined: " + SysErrorText(ERROR_INVALID_FUNCTION));
    EXPECT_TRUE(fake.Called("SetCommTimeouts"));
    EXPECT_TRUE(fake.Called("SetCommState 57600 4113"));
    EXPECT_EQ(notes, std::vector<int>{ncMediumOpened});
    EXPECT_EQ(opened, 1);
    com->SendString("ok");
    EXPECT_EQ(fake.Output(), "ok");
}

TEST_F(EngineSettings, OpenOnAnOpenPortClosesFirstAndCloseOnAClosedPortStillTraces) {
    std::vector<TTraceStates> traces;
    com->OnTraceState = [&](TObject*, TTraceStates e) { traces.push_back(e); };
    com->Close();
    ASSERT_EQ(traces.size(), 1u);
    EXPECT_EQ(traces[0], TTraceStates{tsTxEmpty});
    EXPECT_TRUE(notes.empty());

    com->SetActive(true);
    com->SetActive(true);  // same value: nothing
    EXPECT_EQ(fake.Opens(), 1);
    log.Lines.clear();
    notes.clear();
    com->Open();
    EXPECT_EQ(fake.Opens(), 2);
    EXPECT_EQ(notes, (std::vector<int>{ncMediumClosed, ncMediumOpened}));
    ASSERT_EQ(log.Lines.size(), 2u);
    EXPECT_EQ(log.Lines[0], L"nrComm: The port is closed succesfully");
    EXPECT_EQ(log.Lines[1], L"nrComm: The port COM7 is opened succesfully");
    EXPECT_EQ(com->TotalSent(), 0u);
}

TEST_F(EngineSettings, ConfigDialogTakesTheUsersChoiceOrNothing) {
    com->SetBaudRate(57600);
    com->SetStreamProtocol(spHardware);
    nr::Win32.CommConfigDialogW = &CancellingDialog;
    com->ConfigDialog();
    EXPECT_EQ(com->BaudRate(), 57600u);
    EXPECT_EQ(com->StreamProtocol(), spHardware);

    com->SetActive(true);
    fake.ClearCalls();
    nr::Win32.CommConfigDialogW = &ConfirmingDialog;
    com->ConfigDialog();
    EXPECT_EQ(com->BaudRate(), 4800u);
    EXPECT_EQ(com->StreamProtocol(), spXonXoff);  // follows the flags the user chose
    EXPECT_TRUE(fake.Called("SetCommState 4800 " + std::to_string(com->DcbFlags())));
}

TEST_F(EngineSettings, TraceStatesBuildTheDriverMask) {
    struct Case {
        TTraceState S;
        DWORD Bit;
    } cases[] = {{tsRxChar, 0},     {tsRxFlag, EV_RXFLAG},     {tsTxEmpty, EV_TXEMPTY}, {tsCTS, EV_CTS},
                 {tsDSR, EV_DSR},   {tsRLSD, EV_RLSD},         {tsBreak, EV_BREAK},     {tsErr, EV_ERR},
                 {tsRing, EV_RING}, {tsRx80Full, EV_RX80FULL}, {tsEvent1, EV_EVENT1},   {tsEvent2, EV_EVENT2}};
    TTraceStates all;
    for (const auto& c : cases) {
        EXPECT_EQ(TraceStatesToEventMask(TTraceStates{c.S}, false), DWORD(EV_RXCHAR | c.Bit)) << int(c.S);
        all.Include(c.S);
    }
    EXPECT_EQ(TraceStatesToEventMask(TTraceStates{}, false), DWORD(EV_RXCHAR));
    EXPECT_EQ(TraceStatesToEventMask(TTraceStates{}, true), DWORD(EV_RXCHAR | EV_TXEMPTY));
    EXPECT_EQ(TraceStatesToEventMask(all, false), 0x1DFFu);  // everything but EV_PERR
    const TTraceStates lineEvents = all - TTraceStates{tsRxChar, tsTxEmpty};
    EXPECT_EQ(EventMaskToTraceStates(0xFFFF), lineEvents);

    com->SetTraceStates({tsCTS, tsRing});
    EXPECT_EQ(fake.CountCalls("SetCommMask"), 0);  // closed: stored only
    com->SetActive(true);
    EXPECT_EQ(fake.CommMask(), DWORD(EV_RXCHAR | EV_CTS | EV_RING));
    fake.ClearCalls();
    com->SetTraceStates({tsDSR});
    // The event-wait thread may look at the line state meanwhile: only the
    // mask calls are this one's.
    std::vector<std::string> masks = fake.Calls();
    std::erase_if(masks, [](const std::string& c) { return c.rfind("SetCommMask", 0) != 0; });
    EXPECT_EQ(masks, (std::vector<std::string>{"SetCommMask 0", "SetCommMask 17"}));
    EXPECT_EQ(com->TraceStates(), TTraceStates{tsDSR});
}

TEST_F(EngineSettings, EmulatedRS485RaisesRtsAroundSends) {
    // A system that cannot toggle RTS itself: the engine does it.
    com.reset();
    nr::Win32.GetVersionExW = &OldNtVersion;
    com = std::make_unique<TTestComm>(nullptr, 7);
    com->SetRS485Mode(true);
    ASSERT_TRUE(com->EmulatesRS485());
    // The driver is not asked to toggle RTS, which it would refuse: RTS is left to the engine.
    EXPECT_EQ(com->DcbFlags(), 0x0011u);
    com->ReadCommConfig();
    EXPECT_TRUE(com->RS485Mode());
    com->SetActive(true);
    EXPECT_EQ(fake.State().fRtsControl, DWORD(RTS_CONTROL_DISABLE));
    EXPECT_EQ(fake.CommMask(), DWORD(EV_RXCHAR | EV_TXEMPTY));
    std::vector<TTraceStates> traces;
    com->OnTraceState = [&](TObject*, TTraceStates e) { traces.push_back(e); };
    fake.ClearCalls();
    com->SendChar(L'A');
    auto calls = fake.Calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front(), "Escape 3");  // SETRTS before the byte goes out
    fake.ClearCalls();
    fake.Raise(EV_TXEMPTY);
    ASSERT_TRUE(PumpUntil([&] { return fake.Called("Escape 4"); }));
    ASSERT_FALSE(traces.empty());
    EXPECT_EQ(traces.back(), TTraceStates{tsCTS});
    fake.ClearCalls();
    com->ClearDeviceOutput();
    EXPECT_EQ(fake.Calls(), (std::vector<std::string>{"Purge 5", "Escape 4"}));
}

TEST_F(EngineSettings, NoRtsHandlingWhereTheSystemTogglesIt) {
    com->SetRS485Mode(true);
    EXPECT_FALSE(com->EmulatesRS485());  // Wine reports an NT 5+ system
    com->SetActive(true);
    EXPECT_EQ(fake.CommMask(), DWORD(EV_RXCHAR));
    fake.ClearCalls();
    com->SendChar(L'A');
    EXPECT_EQ(fake.CountCalls("Escape"), 0);
}

// A port that does not exist, on the real system.
TEST(EngineOpenFailure, ReportsErrorCodeOneWithTheSystemText) {
    const std::uint32_t port = 199;
    HANDLE h = ::CreateFileW(L"\\\\?\\COM199", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_EQ(h, INVALID_HANDLE_VALUE) << "COM199 exists on this machine";
    const std::wstring sysText = SysErrorText(::GetLastError());
    ASSERT_FALSE(sysText.empty());
    EXPECT_NE(sysText.back(), L'.');
    EXPECT_GT(sysText.back(), L' ');
    const std::wstring expected = L"Device \"COM199\" Open Error !!!\r" + sysText;

    TTestComm com(nullptr, port);
    testing_io::TMemoryLog log(nullptr);
    com.SetLog(&log);
    std::vector<int> notes;
    com.NotifyAdd([&](TObject*, std::int32_t c) { notes.push_back(c); });
    int calls = 0;
    com.OnFatalError = [&](TObject* s, std::uint32_t code, std::uint32_t detail, const std::wstring& msg, bool& raise) {
        ++calls;
        EXPECT_EQ(s, &com);
        EXPECT_EQ(code, 1u);
        EXPECT_EQ(detail, 0u);
        EXPECT_EQ(msg, expected);
        raise = false;
    };
    EXPECT_NO_THROW(com.SetActive(true));
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(com.Active());
    EXPECT_TRUE(notes.empty());
    EXPECT_EQ(com.LastOpenError(), expected);
    ASSERT_FALSE(log.Lines.empty());
    EXPECT_EQ(log.Lines.back(), L"Fatal Error: 1, 0, " + expected);

    com.OnFatalError = nullptr;
    try {
        com.SetActive(true);
        ADD_FAILURE() << "no exception";
    } catch (const fw::Exception& e) {
        EXPECT_EQ(e.Message(), expected);
    }
    EXPECT_FALSE(com.Active());
}

namespace {

std::string ReadWholeFile(const std::wstring& path) {
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                             nullptr);
    if (h == INVALID_HANDLE_VALUE) return "(unreadable)";
    char buf[256];
    DWORD n = 0;
    ::ReadFile(h, buf, sizeof buf, &n, nullptr);
    ::CloseHandle(h);
    return std::string(buf, n);
}

bool WriteWholeFile(const std::wstring& path, const std::string& s) {
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD n = 0;
    const bool ok = ::WriteFile(h, s.data(), static_cast<DWORD>(s.size()), &n, nullptr) && n == s.size();
    ::CloseHandle(h);
    return ok;
}

}  // namespace

// COM names that lead to a regular file, a folder or /dev/null: the open
// fails as for a missing port, the handle goes back and nothing is written.
TEST(EngineOpenFailure, ACOMNameThatIsNoSerialLineDoesNotOpen) {
    if (!TPtyPair::Available()) GTEST_SKIP() << "needs Wine";
    for (auto target : {TComLink::ltFile, TComLink::ltFolder, TComLink::ltDevNull}) {
        SCOPED_TRACE(static_cast<int>(target));
        TComLink link(target);
        ASSERT_TRUE(link.Ready()) << link.Error();
        const bool file = target == TComLink::ltFile;
        if (file) {
            ASSERT_TRUE(WriteWholeFile(link.TargetPath(), "original"));
        }

        TTestComm com(nullptr, link.Port());
        std::vector<int> notes;
        com.NotifyAdd([&](TObject*, std::int32_t c) { notes.push_back(c); });
        std::vector<std::wstring> reports;
        com.OnFatalError = [&](TObject*, std::uint32_t code, std::uint32_t detail, const std::wstring& msg,
                               bool& raise) {
            EXPECT_EQ(code, 1u);
            EXPECT_EQ(detail, 0u);
            reports.push_back(msg);
            raise = false;
        };
        com.SetActive(true);
        EXPECT_FALSE(com.Active());
        ASSERT_EQ(reports.size(), 1u);
        const std::wstring head = L"Device \"" + ComPortName(link.Port()) + L"\" Open Error !!!\r";
        ASSERT_EQ(reports[0].compare(0, head.size(), head), 0) << reports[0];
        const std::wstring sysText = reports[0].substr(head.size());
        EXPECT_FALSE(sysText.empty());
        EXPECT_NE(sysText, SysErrorText(ERROR_SUCCESS));
        EXPECT_TRUE(notes.empty());

        com.SendChar(L'X');
        com.SendString("overwritten");
        com.SendData("overwritten", 11);
        if (!file) continue;
        EXPECT_EQ(ReadWholeFile(link.TargetPath()), "original");
        // Nothing holds it: the exclusive open the engine makes succeeds again.
        HANDLE again = OpenComPort(link.Port());
        EXPECT_NE(again, INVALID_HANDLE_VALUE);
        if (again != INVALID_HANDLE_VALUE) ::CloseHandle(again);
    }
}
