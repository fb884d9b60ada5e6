// Tests of app/Unit2.cpp, app/frames.h.
// The programming window: layout, port pre-selection, the bytes of every
// make, and the log of every way a programming cycle can end.
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "../../app/Unit2.h"
#include "../../app/frames.h"
#include "../support/discovery_fakes.h"
#include "../support/fake_serial.h"

using discovery_test::TFakeSystem;
using serial_test::TFakeSerial;

namespace {

std::vector<std::wstring> Lines(TForm2* f) {
    std::vector<std::wstring> v;
    for (int i = 0; i < f->Log->Lines().Count(); ++i) v.push_back(f->Log->Lines().Strings(i));
    // A trailing empty line is the caret's, not a log line.
    while (!v.empty() && v.back().empty()) v.pop_back();
    return v;
}

bool Pump(const std::function<bool()>& pred, DWORD ms = 5000) {
    return fw::Application->ProcessMessagesUntil(pred, ms);
}

// A machine with a scripted serial-port map and device database; the window
// built on it.
struct WindowTest : ::testing::Test {
    std::unique_ptr<TFakeSystem> sys = std::make_unique<TFakeSystem>();
    std::unique_ptr<fw::TComponent> owner = std::make_unique<fw::TComponent>(nullptr);
    TForm2* form = nullptr;

    void TearDown() override {
        fw::Screen->SetCursor(fw::crDefault);
        owner.reset();
    }
    TForm2* Create() {
        form = fw::CreateForm<TForm2>(owner.get());
        form->HandleNeeded();
        return form;
    }
    std::vector<std::wstring> BoxEntries() {
        std::vector<std::wstring> v;
        for (int i = 0; i < form->nrDeviceBox1->Items().Count(); ++i)
            v.push_back(form->nrDeviceBox1->Items().Strings(i));
        return v;
    }
    bool Waiting() { return !IsWindowEnabled(form->Handle()) && form->Timer1->Enabled(); }
    bool Idle() {
        return IsWindowEnabled(form->Handle()) && !form->Timer1->Enabled() && fw::Screen->Cursor() == fw::crDefault;
    }
};

// The window on a scripted serial device listed as COM7.
struct CycleTest : WindowTest {
    std::unique_ptr<TFakeSerial> line;
    void SetUp() override {
        sys->AddMapPort(L"\\Device\\Serial6", L"COM7");
        line = std::make_unique<TFakeSerial>(7);
        Create();
        form->nrComm1->SetDeviceIndex(0);
        form->Timer1->SetInterval(300);  // the real 5 s has a test of its own
    }
    void TearDown() override {
        WindowTest::TearDown();
        line.reset();
    }
    void Start(std::size_t make = 0) {
        form->ListBox1->SetItemIndex(static_cast<int>(make));
        form->ListBox1Click(form->ListBox1);
        form->Button1->Click();
    }
    bool LogHas(const std::wstring& s, size_t times = 1) {
        size_t n = 0;
        for (auto& l : Lines(form)) n += l == s;
        return n >= times;
    }
};

}  // namespace

TEST_F(WindowTest, LayoutAsDesigned) {
    sys->AddMapPort(L"\\Device\\Serial0", L"COM1");
    sys->AddMapPort(L"\\Device\\Serial1", L"COM2");
    Create();
    wchar_t caption[64] = {};
    GetWindowTextW(form->Handle(), caption, 64);
    EXPECT_EQ(std::wstring(caption), L" KORVANTE v5 - " + std::wstring(16, L'\u00FF'));
    RECT rc;
    GetClientRect(form->Handle(), &rc);
    EXPECT_EQ(rc.right - rc.left, 477);
    EXPECT_EQ(rc.bottom - rc.top, 301);
    LONG style = GetWindowLongW(form->Handle(), GWL_STYLE), ex = GetWindowLongW(form->Handle(), GWL_EXSTYLE);
    EXPECT_FALSE(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME));
    EXPECT_TRUE(ex & WS_EX_TOOLWINDOW);
    EXPECT_TRUE(ex & WS_EX_APPWINDOW);

    std::vector<std::wstring> makes;
    for (int i = 0; i < form->ListBox1->Items().Count(); ++i) makes.push_back(form->ListBox1->Items().Strings(i));
    EXPECT_EQ(makes,
              (std::vector<std::wstring>{L"DAF", L"MAN", L"IVECO", L"MERCEDES", L"SCANIA", L"RENAULT", L"VOLVO"}));
    EXPECT_EQ(form->ListBox1->ItemIndex(), 0);
    EXPECT_EQ(form->ImageList1->Count(), 7);
    EXPECT_FALSE(form->Image1->Picture().Empty());  // DAF's logo

    EXPECT_EQ(form->Button1->Caption(), L"START");
    EXPECT_EQ(form->Button2->Caption(), L"Exit");
    EXPECT_EQ(form->Button3->Caption(), L"Clear Log");
    EXPECT_EQ(BoxEntries(), (std::vector<std::wstring>{L"COM1", L"COM2"}));
    EXPECT_EQ(form->nrDeviceBox1->ItemIndex(), 0);  // port 1 of the layout
    EXPECT_EQ(Lines(form).size(), 0u);
    EXPECT_FALSE(form->nrComm1->Active());
    EXPECT_EQ(form->nrComm1->BaudRate(), 57600u);
    EXPECT_EQ(form->nrComm1->StreamProtocol(), nr::spNone);
    EXPECT_FALSE(form->Timer1->Enabled());
    EXPECT_EQ(form->Timer1->Interval(), 5000u);
}

TEST_F(WindowTest, EachMakeShowsItsOwnLogo) {
    Create();
    std::vector<HBITMAP> seen;
    for (int i = 0; i < 7; ++i) {
        form->ListBox1->SetItemIndex(i);
        form->ListBox1Click(form->ListBox1);
        ASSERT_FALSE(form->Image1->Picture().Empty());
        // Compare a pixel row of the badge text area: logos differ by their name.
        BITMAP bm{};
        GetObjectW(form->Image1->Picture().Bitmap(), sizeof bm, &bm);
        EXPECT_EQ(bm.bmWidth, 150);
        EXPECT_EQ(bm.bmHeight, 150);
    }
    // Logos of different makes are different pictures.
    auto pixels = [&](int make) {
        form->ListBox1->SetItemIndex(make);
        form->ListBox1Click(form->ListBox1);
        HDC dc = CreateCompatibleDC(nullptr);
        HGDIOBJ old = SelectObject(dc, form->Image1->Picture().Bitmap());
        std::vector<COLORREF> v;
        for (int y = 0; y < 150; y += 3)
            for (int x = 0; x < 150; x += 3) v.push_back(GetPixel(dc, x, y));
        SelectObject(dc, old);
        DeleteDC(dc);
        return v;
    };
    EXPECT_NE(pixels(0), pixels(6));
    EXPECT_NE(pixels(5), pixels(6));
}

TEST_F(WindowTest, UsbPortAfterAPlainOneIsPreselected) {
    sys->AddMapPort(L"\\Device\\Serial0", L"COM1");
    sys->AddMapPort(L"\\Device\\VCP0", L"COM3");
    sys->AddPortsDevice(L"COM1", L"Communications Port");
    sys->AddPortsDevice(L"COM3", L"USB Serial Port");
    Create();
    EXPECT_EQ(BoxEntries(), (std::vector<std::wstring>{L"COM1 (Communications Port)", L"COM3 (USB Serial Port)"}));
    EXPECT_EQ(form->nrDeviceBox1->ItemIndex(), 1);
    EXPECT_EQ(form->nrComm1->ComPortNo(), 3);
}

TEST_F(WindowTest, FirstOfSeveralUsbPortsWinsAndCaseDoesNotMatter) {
    sys->AddMapPort(L"\\Device\\VCP0", L"COM4");
    sys->AddMapPort(L"\\Device\\VCP1", L"COM5");
    sys->AddMapPort(L"\\Device\\VCP2", L"COM6");
    sys->AddPortsDevice(L"COM4", L"Bluetooth link");
    sys->AddPortsDevice(L"COM5", L"usb-serial ch340");
    sys->AddPortsDevice(L"COM6", L"USB Serial Port");
    Create();
    EXPECT_EQ(form->nrDeviceBox1->ItemIndex(), 1);
    EXPECT_EQ(form->nrComm1->ComPortNo(), 5);
}

TEST_F(WindowTest, WithoutUsbAndWithoutPortOneTheBoxShowsItsFirstEntryOnly) {
    sys->AddMapPort(L"\\Device\\Serial1", L"COM2");
    sys->AddMapPort(L"\\Device\\Serial2", L"COM3");
    Create();
    EXPECT_EQ(BoxEntries(), (std::vector<std::wstring>{L"COM2", L"COM3"}));
    EXPECT_EQ(form->nrDeviceBox1->ItemIndex(), 0);
    EXPECT_EQ(form->nrComm1->ComPortNo(), 1);  // START would try port 1
}

TEST_F(WindowTest, NoPortsLogsOnlyTheErrorAndStaysUsable) {
    Create();
    ASSERT_EQ(form->nrComm1->DeviceCount(), 0);
    form->Button1->Click();
    form->Button1->Click();
    EXPECT_EQ(Lines(form), (std::vector<std::wstring>{L"Error: No com ports!", L"Error: No com ports!"}));
    EXPECT_TRUE(Idle());
    EXPECT_FALSE(form->nrComm1->Active());
}

TEST_F(CycleTest, EveryMakePutsItsFrameOnTheLine) {
    const char* want[7] = {"\xAA\x55\x01\x00", "\xAA\x55\x02\x01", "\xAA\x55\x03\x02", "\xAA\x55\x05\x04",
                           "\xAA\x55\x06\x05", "\xAA\x55\x07\x06", "\xAA\x55\x07\x06"};
    for (std::size_t m = 0; m < 7; ++m) {
        line->ClearOutput();
        Start(m);
        EXPECT_EQ(line->Output(), std::string(want[m], 4)) << "make " << m;
        line->Receive(std::string("\xAA\x0C", 2));
        ASSERT_TRUE(Pump([&] { return Idle(); }));
    }
    EXPECT_EQ(line->Opens(), 1);  // opened at the first START, kept open
    EXPECT_EQ(Lines(form)[0], L"Sending Truck Data: DAF...");
    EXPECT_EQ(Lines(form)[3 * 6], L"Sending Truck Data: VOLVO...");
}

TEST_F(CycleTest, AcknowledgementEndsTheWaitWithSuccess) {
    Start(4);
    EXPECT_TRUE(Waiting());
    EXPECT_EQ(fw::Screen->Cursor(), fw::crHourGlass);
    line->Receive(std::string("\xAA\x0C", 2));
    ASSERT_TRUE(Pump([&] { return Idle(); }));
    EXPECT_EQ(Lines(form), (std::vector<std::wstring>{L"Sending Truck Data: SCANIA...", L"Truck OK ACK Received! ",
                                                      L"Programming successfull! "}));
    // The timer was stopped: no time-out follows.
    EXPECT_FALSE(Pump([&] { return LogHas(L"Error: Timeout!"); }, 600));
}

TEST_F(CycleTest, WrongAndSplitAcknowledgements) {
    Start();
    line->Receive(std::string("\xAA\x0D", 2));
    ASSERT_TRUE(Pump([&] { return Idle(); }));
    line->Receive(std::string("\xAA\x0C\x00", 3));  // anything more is wrong too
    ASSERT_TRUE(Pump([&] { return LogHas(L"Error: Wrong ACK Received!", 2); }));

    form->Button3->Click();  // Clear Log
    EXPECT_TRUE(Lines(form).empty());

    Start();
    line->Receive(std::string("\xAA", 1));
    ASSERT_TRUE(Pump([&] { return LogHas(L"Error: Wrong ACK Received!"); }));
    EXPECT_TRUE(Idle());  // the first half already ends the wait
    line->Receive(std::string("\x0C", 1));
    ASSERT_TRUE(Pump([&] { return LogHas(L"Error: Wrong ACK Received!", 2); }));
    EXPECT_EQ(Lines(form).size(), 3u);
}

TEST_F(CycleTest, TimeoutAndALateAcknowledgement) {
    Start();
    ASSERT_TRUE(Pump([&] { return LogHas(L"Error: Timeout!"); }));
    EXPECT_TRUE(Idle());
    line->Receive(std::string("\xAA\x0C", 2));
    ASSERT_TRUE(Pump([&] { return LogHas(L"Programming successfull! "); }));
    EXPECT_EQ(Lines(form), (std::vector<std::wstring>{L"Sending Truck Data: DAF...", L"Error: Timeout!",
                                                      L"Truck OK ACK Received! ", L"Programming successfull! "}));
}

TEST_F(CycleTest, TheRealTimeoutIsFiveSeconds) {
    form->Timer1->SetInterval(5000);
    DWORD start = GetTickCount();
    Start();
    ASSERT_TRUE(Pump([&] { return LogHas(L"Error: Timeout!"); }, 9000));
    DWORD took = GetTickCount() - start;
    EXPECT_GE(took, 4900u);
    EXPECT_LT(took, 8000u);
}

TEST_F(CycleTest, FailingWritesAreReportedPerByteAndTheWaitRunsOn) {
    line->FailNextWrite(ERROR_GEN_FAILURE);
    Start();
    EXPECT_EQ(Lines(form),
              (std::vector<std::wstring>{L"Sending Truck Data: DAF...", L"Error: Communication problem!"}));
    EXPECT_EQ(line->Output(), std::string("\x55\x01\x00", 3));  // the other bytes still go
    // The error came before the wait began: the window waits with the default cursor.
    EXPECT_TRUE(Waiting());
    EXPECT_EQ(fw::Screen->Cursor(), fw::crDefault);
    ASSERT_TRUE(Pump([&] { return LogHas(L"Error: Timeout!"); }));
    EXPECT_TRUE(Idle());
}

TEST_F(CycleTest, LineErrorEndsTheWaitAndClearsTheBuffers) {
    Start();
    line->ClearCalls();
    line->SetLineError(CE_FRAME, 0);
    line->Receive("x");
    ASSERT_TRUE(Pump([&] { return LogHas(L"Error: Communication problem!"); }));
    EXPECT_TRUE(Idle());
    EXPECT_TRUE(line->Called("Purge 15"));
    EXPECT_TRUE(form->nrComm1->Active());  // the port stays open
}

TEST_F(CycleTest, TheWindowIsInertDuringAWaitAndUsableAfter) {
    Start();
    ASSERT_TRUE(Waiting());
    SendMessageW(form->Handle(), WM_CLOSE, 0, 0);
    SendMessageW(form->Handle(), WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_TRUE(IsWindow(form->Handle()));
    // Mouse input to the controls goes nowhere while the window is disabled.
    EXPECT_FALSE(IsWindowEnabled(form->Handle()));
    line->Receive(std::string("\xAA\x0C", 2));
    ASSERT_TRUE(Pump([&] { return Idle(); }));
    form->Button3->Click();
    EXPECT_TRUE(Lines(form).empty());
    HWND h = form->Handle();
    form->Button2->Click();  // Exit
    EXPECT_FALSE(IsWindow(h));
}

TEST_F(CycleTest, StartFrameIsSentOnlyOnRequest) {
    form->nrComm1->SetActive(true);
    form->send_confirm();
    EXPECT_EQ(line->Output(), std::string("\xAA\x55\x00", 3));
    EXPECT_EQ(Lines(form), std::vector<std::wstring>{L"Sending Start...$AA,$55,$00"});
    EXPECT_FALSE(form->Timer1->Enabled());
}

TEST_F(WindowTest, OpenFailureIsLoggedAndTheWaitEndsByTimeout) {
    sys->AddMapPort(L"\\Device\\Serial8", L"COM249");  // no such port anywhere
    Create();
    form->nrComm1->SetDeviceIndex(0);
    form->Timer1->SetInterval(300);
    form->Button1->Click();
    auto lines = Lines(form);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], L"Sending Truck Data: DAF...");
    EXPECT_EQ(lines[1].rfind(L"Fatal Error: Device \"COM249\" Open Error !!!\r", 0), 0u) << lines[1];
    EXPECT_GT(lines[1].size(), std::wstring(L"Fatal Error: Device \"COM249\" Open Error !!!\r").size());
    EXPECT_FALSE(form->nrComm1->Active());
    EXPECT_FALSE(IsWindowEnabled(form->Handle()));
    EXPECT_EQ(fw::Screen->Cursor(), fw::crDefault);
    ASSERT_TRUE(Pump([&] { return Lines(form).size() == 3; }));
    EXPECT_EQ(Lines(form)[2], L"Error: Timeout!");
    EXPECT_TRUE(Idle());
}
