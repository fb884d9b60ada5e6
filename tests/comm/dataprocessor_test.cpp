// Tests of comm/nrclasses.cpp (the data processor).
// Data processors: the receive chain ahead of the application, the send
// path with interception and completion, and linking.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "../../comm/nrclasses.h"
#include "../support/test_components.h"

using namespace nr;
using namespace testing_io;

namespace {

// Records what reaches it; may ask the component to keep bytes from the terminal.
class TRecordingProcessor : public TnrCustomDataProcessor {
public:
    TRecordingProcessor(TComponent* owner, std::wstring name, std::vector<std::wstring>* trace)
        : TnrCustomDataProcessor(owner), name_(std::move(name)), trace_(trace) {}
    bool HideFromTerminal = false;
    int Completions = 0;
    DWORD CompletedAt = 0;

    void DoProcessing(const char* Data, std::uint32_t Len, TIgnoreTypes& R) override {
        trace_->push_back(name_ + L":" + fw::Widen(std::string(Data, Len)));
        if (HideFromTerminal) R.Include(itTerminal);
        TnrCustomDataProcessor::DoProcessing(Data, Len, R);
    }
    void DoAfterSendComplete(bool& flIgnore) override {
        ++Completions;
        CompletedAt = GetTickCount();
        flIgnore = true;
    }

private:
    std::wstring name_;
    std::vector<std::wstring>* trace_;
};

// A medium that keeps what it is asked to send.
class TSinkIO : public TTestIO {
public:
    using TTestIO::TTestIO;
    std::string Sent;
    void SendData(const void* b, std::uint32_t n) override { Sent.append(static_cast<const char*>(b), n); }
    void SendString(const std::string& s) override { Sent += "[" + s + "]"; }
};

struct Fixture : ::testing::Test {
    std::unique_ptr<fw::TComponent> root = std::make_unique<fw::TComponent>(nullptr);
    std::vector<std::wstring> trace;
    TSinkIO* io = new TSinkIO(root.get());
    TMemoryLog* log = new TMemoryLog(root.get());
};

std::string EditText(HWND h) {
    char buf[256] = {};
    GetWindowTextA(h, buf, sizeof buf);
    return buf;
}

}  // namespace

using DataProcessor = Fixture;

TEST_F(DataProcessor, ChainSeesReceivedBytesBeforeTheApplication) {
    auto* first = new TRecordingProcessor(root.get(), L"first", &trace);
    auto* second = new TRecordingProcessor(root.get(), L"second", &trace);
    io->SetDataProcessor(first);
    first->LinkDataProcessor(second);
    EXPECT_EQ(second->Device(), io);  // the chain shares the device
    EXPECT_TRUE(io->NeedsReceivedData());
    io->OnAfterReceive = [&](TObject* com, void* b, std::uint32_t n) {
        EXPECT_EQ(com, io);
        trace.push_back(L"app:" + fw::Widen(std::string(static_cast<char*>(b), n)));
    };
    char data[] = "xyz";
    io->DoAfterReceive(data, 3);
    EXPECT_EQ(trace, (std::vector<std::wstring>{L"first:xyz", L"second:xyz", L"app:xyz"}));

    trace.clear();
    first->DataReceive("ab", 2);  // bytes from elsewhere enter the chain, not the application
    EXPECT_EQ(trace, (std::vector<std::wstring>{L"first:ab", L"second:ab"}));
}

TEST_F(DataProcessor, TerminalGetsBytesUnlessAProcessorKeepsThemAway) {
    HWND edit = CreateWindowExW(0, L"EDIT", L"", WS_POPUP | ES_MULTILINE, 0, 0, 200, 100, nullptr, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
    ASSERT_TRUE(edit);
    auto* term = new fw::TComponent(root.get());
    io->fTerminal = term;
    io->hTerminal = edit;
    int app = 0;
    io->OnAfterReceive = [&](TObject*, void*, std::uint32_t) { ++app; };

    char block[] = {'A', 'B', 0, 'C'};
    io->DoAfterReceive(block, 4);  // NUL bytes are not shown
    EXPECT_EQ(EditText(edit), "ABC");
    char bs = 8;
    io->DoAfterReceive(&bs, 1);  // a single byte acts like a typed key
    EXPECT_EQ(EditText(edit), "AB");

    auto* p = new TRecordingProcessor(root.get(), L"p", &trace);
    p->HideFromTerminal = true;
    io->SetDataProcessor(p);
    io->DoAfterReceive(block, 4);
    EXPECT_EQ(EditText(edit), "AB");
    EXPECT_EQ(app, 3);  // the application hears of every block

    delete term;  // removal unlinks the terminal
    EXPECT_EQ(io->Terminal(), nullptr);
    io->DoAfterReceive(block, 4);
    EXPECT_EQ(app, 4);
    DestroyWindow(edit);
}

TEST_F(DataProcessor, SendPassesBytesToTheDeviceAndLogs) {
    auto* p = new TRecordingProcessor(root.get(), L"p", &trace);
    p->LinkLog(log);
    p->DoDataSend("hello", 0);
    p->DoDataSend(nullptr, 5);
    p->DoDataSend("lost", 4);  // no device: dropped without a log line
    EXPECT_TRUE(log->Lines.empty());

    p->SetDevice(io);
    p->DoDataSend("hello", 5);
    p->DoStringSend("");
    p->DoStringSend("str");
    EXPECT_EQ(io->Sent, "hello[str]");
    EXPECT_EQ(log->Lines, std::vector<std::wstring>{L"DoDataSend: 5 bytes"});
}

TEST_F(DataProcessor, InterceptedSendsCompleteOnceAboutASecondAfterTheLast) {
    auto* p = new TRecordingProcessor(root.get(), L"p", &trace);
    p->SetDevice(io);
    p->LinkLog(log);
    std::vector<bool> synchro;
    p->OnDataSend = [&](TObject* s, const char*, std::uint32_t, bool flSynchro, bool& handled) {
        EXPECT_EQ(s, p);
        synchro.push_back(flSynchro);
        handled = true;
    };
    p->DoStringSend("taken");  // handled: nothing sent, no completion timer
    p->DoDataSend("abc", 3);
    Sleep(300);
    fw::Application->ProcessMessages();
    p->DoDataSend("de", 2);  // restarts the period
    DWORD last = GetTickCount();
    EXPECT_EQ(io->Sent, "");
    EXPECT_EQ(synchro, (std::vector<bool>{true, false, false}));
    EXPECT_EQ(log->Lines, (std::vector<std::wstring>{L"DoDataSend: 3 bytes", L"DoDataSend: 2 bytes"}));

    ASSERT_TRUE(fw::Application->ProcessMessagesUntil([&] { return p->Completions > 0; }, 30000));
    EXPECT_GE(p->CompletedAt - last, 900u);
    // One shot: no second completion.
    EXPECT_FALSE(fw::Application->ProcessMessagesUntil([&] { return p->Completions > 1; }, 1300));
}

TEST_F(DataProcessor, ExceptionsOnTheSendPathAreDropped) {
    auto* p = new TRecordingProcessor(root.get(), L"p", &trace);
    p->SetDevice(io);
    p->LinkLog(log);
    p->OnDataSend = [](TObject*, const char*, std::uint32_t, bool, bool&) { throw fw::Exception(L"hook"); };
    EXPECT_NO_THROW(p->DoDataSend("abc", 3));
    EXPECT_NO_THROW(p->DoStringSend("abc"));
    EXPECT_TRUE(log->Lines.empty());
}

TEST_F(DataProcessor, HearsOpenAndCloseOnceThroughOneRegistration) {
    auto* p = new TRecordingProcessor(root.get(), L"p", &trace);
    p->LinkLog(log);
    p->SetDevice(io);
    p->SetDevice(io);
    io->SetActive(true);
    io->SetActive(false);
    EXPECT_EQ(log->Lines, (std::vector<std::wstring>{L"Medium Opened", L"Medium Closed"}));
}

TEST_F(DataProcessor, RemovingLinkedComponentsUnlinksThem) {
    auto* first = new TRecordingProcessor(root.get(), L"first", &trace);
    auto* second = new TRecordingProcessor(root.get(), L"second", &trace);
    io->SetDataProcessor(first);
    first->LinkDataProcessor(second);
    first->LinkDataProcessor(first);  // refused silently
    EXPECT_EQ(first->DataProcessor(), second);

    delete second;
    EXPECT_EQ(first->DataProcessor(), nullptr);
    delete first;
    EXPECT_EQ(io->DataProcessor(), nullptr);
    io->SetActive(true);  // no listener left behind
    io->SetActive(false);

    auto* third = new TRecordingProcessor(root.get(), L"third", &trace);
    third->SetDevice(io);
    delete io;
    io = nullptr;
    EXPECT_EQ(third->Device(), nullptr);
}

TEST_F(DataProcessor, FatalErrorsLogAndRaiseUnlessCleared) {
    auto* p = new TRecordingProcessor(root.get(), L"p", &trace);
    p->LinkLog(log);
    EXPECT_THROW(p->DoFatalErrors(4, 2, L"broken"), fw::Exception);
    p->OnFatalError = [](TObject*, std::uint32_t, std::uint32_t, const std::wstring&, bool& raise) { raise = false; };
    EXPECT_NO_THROW(p->DoFatalErrors(4, 3, L"quiet"));
    EXPECT_EQ(log->Lines, (std::vector<std::wstring>{L"Fatal Error: 4, 2, broken", L"Fatal Error: 4, 3, quiet"}));
}

TEST_F(DataProcessor, AfterSendAsksTheProcessor) {
    EXPECT_FALSE(io->DoAfterSend());
    auto* p = new TRecordingProcessor(root.get(), L"p", &trace);
    io->SetDataProcessor(p);
    EXPECT_TRUE(io->DoAfterSend());
    EXPECT_EQ(p->Completions, 1);
}
