// Tests of comm/nrcomm_terminal.cpp and TnrBaseIO::WriteToTerminal
// (comm/nrclasses.cpp): the terminal binding with real window messages on a
// memo, against a peer on a real serial line (a pty pair).
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "../../framework/controls.h"
#include "engine_components.h"
#include "fake_serial.h"
#include "line_fixture.h"
#include "pty_pair.h"

using namespace nr;
using namespace serial_test;

namespace {

WNDPROC WndProcOf(HWND h) { return reinterpret_cast<WNDPROC>(GetWindowLongPtrW(h, GWLP_WNDPROC)); }

// Counts the inserts a control is given, in *Count.
LRESULT CALLBACK CountInserts(HWND h, UINT Msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR Count) {
    if (Msg == EM_REPLACESEL) ++*reinterpret_cast<int*>(Count);
    return DefSubclassProc(h, Msg, wp, lp);
}

// A key typed into the control: its character arrives as the user's would.
void Type(fw::TWinControl* c, wchar_t ch) {
    PostMessageW(c->Handle(), WM_CHAR, ch, 1);
    fw::Application->ProcessMessages();
}

struct TerminalPty : TLineTest {
    fw::TForm* form = nullptr;
    fw::TMemo* memo = nullptr;
    std::string received;

    void SetUp() override {
        TLineTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        form = new fw::TForm(nullptr);
        memo = NewMemo();
        com->OnAfterReceive = [this](TObject*, void* b, std::uint32_t n) {
            received.append(static_cast<const char*>(b), n);
        };
    }
    fw::TMemo* NewMemo() {
        auto* m = new fw::TMemo(form);
        m->SetParent(form);
        m->SetBounds(8, 8, 300, 100);
        return m;
    }
    // The peer sends; the test waits until the component has dispatched it.
    void FromPeer(const std::string& bytes) {
        const std::size_t want = received.size() + bytes.size();
        ASSERT_TRUE(peer->Write(bytes));
        ASSERT_TRUE(PumpUntil([&] { return received.size() >= want; }));
    }
    std::wstring Shown() { return memo->Text(); }
    // Binds the memo with Usage, then opens.
    void Bind(TTerminalUsage Usage, bool Echo = false) {
        com->SetTerminal(memo);
        com->SetTerminalUsage(Usage);
        com->SetTerminalEcho(Echo);
        Open();
    }
    // Types Ch into Control; what the peer then reads.
    std::string Sent(fw::TWinControl* Control, wchar_t Ch, DWORD Len = 1, DWORD Ms = 2000) {
        Type(Control, Ch);
        return peer->Read(Len, Ms);
    }
    void TearDown() override {
        com.reset();  // its hook comes off the control first
        delete form;
        TLineTest::TearDown();
    }
};

}  // namespace

TEST_F(TerminalPty, ATypedKeyIsSentAndShownOnlyWithEcho) {
    Bind(tuBoth);
    EXPECT_EQ(Sent(memo, L'A'), "A");
    EXPECT_EQ(Shown(), L"");  // until the device answers

    com->SetTerminalEcho(true);
    EXPECT_EQ(Sent(memo, L'B'), "B");
    EXPECT_EQ(Shown(), L"B");

    FromPeer("ok");
    EXPECT_EQ(Shown(), L"Bok");
}

TEST_F(TerminalPty, ReceivedBytesAreShownAsTheyWouldBeTyped) {
    Bind(tuReceive);
    int inserts = 0;
    SetWindowSubclass(memo->Handle(), &CountInserts, 1, reinterpret_cast<DWORD_PTR>(&inserts));
    FromPeer(std::string("AB\0C", 4));
    EXPECT_EQ(Shown(), L"ABC");  // NUL bytes are not shown
    EXPECT_EQ(inserts, 1);       // and cost no insert of their own
    FromPeer("\b");
    EXPECT_EQ(Shown(), L"AB");  // a lone backspace deletes before the caret
    FromPeer("\r");
    FromPeer("x");
    EXPECT_EQ(memo->Lines().Count(), 2);
    EXPECT_EQ(memo->Lines().Strings(1), L"x");

    // A lone byte that an edit control takes for a command (^X cut, ^Z
    // undo, ^A select all) is shown, not obeyed: nothing goes.
    for (char c : {'\x18', '\x1A', '\x01'}) FromPeer(std::string(1, c));
    EXPECT_EQ(Shown(), L"AB\r\nx\x18\x1A\x01");
    // Typing is not sent without a send usage.
    EXPECT_EQ(Sent(memo, L'k', 1, 200), "");
}

TEST_F(TerminalPty, ReceivedBytesGoAtTheEndAndLeaveTheUsersSelectionAlone) {
    Bind(tuReceive);
    FromPeer("older text");
    auto sel = [&] {
        DWORD s = 0, e = 0;
        SendMessageW(memo->Handle(), EM_GETSEL, reinterpret_cast<WPARAM>(&s), reinterpret_cast<LPARAM>(&e));
        return std::make_pair(s, e);
    };
    SendMessageW(memo->Handle(), EM_SETSEL, 2, 5);  // the user selects "der"
    FromPeer("AB");                                 // a block
    FromPeer("c");                                  // a lone byte, typed as a key
    FromPeer("\b");                                 // takes the last character, not the selection
    EXPECT_EQ(Shown(), L"older textAB");
    EXPECT_EQ(sel(), std::make_pair(DWORD{2}, DWORD{5}));
    // A caret at the end follows what comes.
    SendMessageW(memo->Handle(), EM_SETSEL, 12, 12);
    FromPeer("!");
    EXPECT_EQ(sel(), std::make_pair(DWORD{13}, DWORD{13}));
}

TEST_F(TerminalPty, WithSendUsageNothingReceivedIsShown) {
    Bind(tuSend, true);
    FromPeer("hello");
    FromPeer("!");
    EXPECT_EQ(Shown(), L"");
    EXPECT_EQ(Sent(memo, L'y'), "y");
    EXPECT_EQ(Shown(), L"y");
}

TEST_F(TerminalPty, CharactersBeyond0xFFGoInTheCodePageTheTerminalShows) {
    CPINFO cp{};
    if (!GetCPInfo(CP_ACP, &cp) || cp.MaxCharSize != 1) GTEST_SKIP() << "needs a single-byte ANSI code page";
    Bind(tuBoth);
    EXPECT_EQ(Sent(memo, 0x00E9), "\xE9");  // up to 0xFF: the low byte, as before
    EXPECT_EQ(Sent(memo, 0x4E2D), "?");     // no single-byte code page has it
    Type(memo, 0xD83D);                     // U+1F600 as its two halves: one character, one '?'
    EXPECT_EQ(Sent(memo, 0xDE00, 2, 500), "?");

    // A character the code page has: what is sent comes back as itself.
    const wchar_t euro = 0x20AC;
    Type(memo, euro);
    const std::string sent = peer->Read(1, 2000);
    ASSERT_EQ(sent.size(), 1u);
    if (GetACP() == 1252) {
        EXPECT_EQ(sent, "\x80");
    }
    if (sent != "?") {
        FromPeer(sent);
        EXPECT_EQ(Shown(), std::wstring(1, euro));
    }
}

TEST_F(TerminalPty, TheWindowProcedureIsGivenBackWhenReplacedOrDestroyed) {
    fw::TMemo* other = NewMemo();
    const WNDPROC own = WndProcOf(memo->Handle()), otherOwn = WndProcOf(other->Handle());
    com->SetTerminal(memo);
    com->SetTerminalUsage(tuBoth);
    EXPECT_NE(WndProcOf(memo->Handle()), own);
    Open();

    com->SetTerminal(other);
    EXPECT_EQ(WndProcOf(memo->Handle()), own);
    EXPECT_NE(WndProcOf(other->Handle()), otherOwn);
    EXPECT_EQ(com->TerminalUsage(), tuBoth);
    Type(memo, L'1');  // the old control is on its own again
    EXPECT_EQ(Shown(), L"1");
    EXPECT_EQ(Sent(other, L'2', 2, 300), "2");

    com.reset();
    EXPECT_EQ(WndProcOf(other->Handle()), otherOwn);
    Type(other, L'3');
    EXPECT_EQ(other->Text(), L"3");
}

TEST_F(TerminalPty, DestroyingTheControlFirstIsSafe) {
    Bind(tuBoth);
    delete memo;
    memo = nullptr;
    EXPECT_EQ(com->Terminal(), nullptr);
    FromPeer("still here");
    EXPECT_EQ(received, "still here");
    com->SetTerminalUsage(tuReceive);
    com->SetTerminalEcho(true);
}

TEST_F(TerminalPty, TwoComponentsOnOneControlComeOffInAnyOrder) {
    const WNDPROC own = WndProcOf(memo->Handle());
    auto second = std::make_unique<TTestComm>(nullptr, 99);  // never opened
    second->SetTerminal(memo);
    second->SetTerminalUsage(tuBoth);
    second->SetTerminalEcho(true);
    Bind(tuBoth, true);
    second.reset();  // the first hook on the window goes first
    EXPECT_EQ(Sent(memo, L'q'), "q");
    EXPECT_EQ(Shown(), L"q");
    com.reset();
    EXPECT_EQ(WndProcOf(memo->Handle()), own);
}

TEST_F(TerminalPty, TheBindingIsAppliedAgainWhenLoadingEnds) {
    com.reset();
    fw::TComponent owner(nullptr);
    owner.BeginLoading();
    auto* c = new TnrComm(&owner);
    c->SetComPortNo(static_cast<std::uint16_t>(pair->PortA()));
    c->SetStreamProtocol(spNone);
    c->SetTerminal(memo);
    ASSERT_TRUE(fw::SetOrdProp(c, L"TerminalUsage", tuBoth));
    ASSERT_TRUE(fw::SetOrdProp(c, L"TerminalEcho", 1));
    c->SetActive(true);
    // The control's window is made anew before loading ends.
    DestroyWindow(memo->Handle());
    owner.EndLoading();
    ASSERT_TRUE(c->Active());
    std::int64_t usage = -1;
    EXPECT_TRUE(fw::GetOrdProp(c, L"TerminalUsage", usage));
    EXPECT_EQ(usage, tuBoth);
    peer = std::make_unique<TPeerPort>(pair->PortB());
    EXPECT_EQ(Sent(memo, L'L'), "L");
    peer->Write("m");
    EXPECT_TRUE(PumpUntil([&] { return Shown() == L"Lm"; }));
    delete c;
}

TEST(Terminal, InDesignModeAControlBringsBothUsages) {
    fw::TForm form(nullptr);
    auto* memo = new fw::TMemo(&form);
    TTestComm com(nullptr, 7);
    com.SetDesigning(true);
    com.SetTerminal(memo);
    EXPECT_EQ(com.TerminalUsage(), tuBoth);
    com.SetTerminal(nullptr);
    com.SetTerminalUsage(tuSend);
    com.SetTerminal(memo);
    EXPECT_EQ(com.TerminalUsage(), tuSend);
    com.SetDesigning(false);
    com.SetTerminal(nullptr);
    com.SetTerminalUsage(tuNone);
    com.SetTerminal(memo);
    EXPECT_EQ(com.TerminalUsage(), tuNone);
}

TEST(Terminal, AFailureWhileSendingATypedKeyDoesNotLeaveTheWindowProcedure) {
    TFakeSerial fake{7};
    fw::TForm form(nullptr);
    auto* memo = new fw::TMemo(&form);
    auto com = std::make_unique<TTestComm>(nullptr, 7);
    std::wstring reported;
    com->OnCommError = [](TObject*, std::uint32_t, std::uint32_t, TComStateFlags, bool&) {
        throw fw::Exception(L"handler failed");
    };
    com->OnFatalError = [&](TObject*, std::uint32_t, std::uint32_t, const std::wstring& msg, bool& raise) {
        reported = msg;
        raise = false;
    };
    com->SetTerminal(memo);
    com->SetTerminalUsage(tuBoth);
    com->SetActive(true);
    ASSERT_TRUE(com->Active());
    const auto workers = com->Threads();
    fake.FailNextWrite(ERROR_GEN_FAILURE);
    SendMessageW(memo->Handle(), WM_CHAR, L'x', 1);
    EXPECT_EQ(reported, L"handler failed");
    SendMessageW(memo->Handle(), WM_CHAR, L'y', 1);  // and the next key goes out
    EXPECT_EQ(fake.Output(), "y");
    com.reset();
    EXPECT_TRUE(WaitThreads(workers));
}
