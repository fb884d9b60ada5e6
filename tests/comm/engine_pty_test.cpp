// Tests of comm/nrcomm_engine.cpp, comm/nrcomm_io.cpp, comm/nrcomm_dispatch.cpp, comm/nrcomm_channel.cpp.
// Port engine on real serial lines: a pseudo-terminal pair under Wine, one end
// opened by the component, the other by a peer in the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <random>
#include <thread>

#include "engine_components.h"
#include "line_fixture.h"
#include "pty_pair.h"
#include "test_components.h"
#include "win32_guard.h"

using namespace nr;
using namespace serial_test;

namespace {

struct EnginePty : TLineTest {
    testing_io::TMemoryLog log{nullptr};
    std::vector<int> notes;

    void SetUp() override {
        TLineTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        com->SetLog(&log);
        com->NotifyAdd([this](TObject*, std::int32_t c) { notes.push_back(c); });
    }
};

}  // namespace

TEST_F(EnginePty, OpensByNumberWithTheLineSettingsAndSendsExactBytes) {
    Open();
    DCB d{};
    d.DCBlength = sizeof d;
    ASSERT_TRUE(GetCommState(com->Handle(), &d));
    EXPECT_EQ(d.BaudRate, 57600u);
    EXPECT_EQ(d.ByteSize, 8);
    EXPECT_EQ(d.Parity, NOPARITY);
    EXPECT_EQ(d.StopBits, ONESTOPBIT);
    EXPECT_FALSE(d.fOutxCtsFlow);
    EXPECT_FALSE(d.fOutX);
    EXPECT_FALSE(d.fInX);
    EXPECT_NE(d.fRtsControl, unsigned(RTS_CONTROL_HANDSHAKE));

    com->SendChar(static_cast<wchar_t>(0x1F0));  // low byte 0xF0
    com->SendString(
        "\xAA\x0C"
        "abc");
    const char block[] = {'\x00', '\x01', '\xFF'};
    com->SendData(block, 3);
    EXPECT_EQ(peer->Read(9, 2000), std::string("\xF0\xAA\x0C"
                                               "abc"
                                               "\x00\x01\xFF",
                                               9));
    EXPECT_EQ(peer->Read(1, 100), "");  // and nothing more
    EXPECT_EQ(com->TotalSent(), 9u);
}

TEST_F(EnginePty, BytesFromThePeerReachOnAfterReceiveOnTheChosenThread) {
    std::mutex mu;
    std::string got;
    std::vector<DWORD> threads;
    com->OnAfterReceive = [&](TObject*, void* b, std::uint32_t n) {
        std::lock_guard<std::mutex> g(mu);
        got.append(static_cast<const char*>(b), n);
        threads.push_back(GetCurrentThreadId());
    };
    Open();
    ASSERT_TRUE(peer->Write("\xAA\x0C"));
    ASSERT_TRUE(PumpUntil([&] {
        std::lock_guard<std::mutex> g(mu);
        return got.size() == 2;
    }));
    EXPECT_EQ(got, "\xAA\x0C");
    for (DWORD t : threads) EXPECT_EQ(t, GetCurrentThreadId());
    EXPECT_EQ(com->TotalReceived(), 2u);

    com->SetUseMainThread(false);
    {
        std::lock_guard<std::mutex> g(mu);
        threads.clear();
    }
    ASSERT_TRUE(peer->Write("xyz"));
    ASSERT_TRUE(PumpUntil([&] {
        std::lock_guard<std::mutex> g(mu);
        return got.size() == 5;
    }));
    std::lock_guard<std::mutex> g(mu);
    EXPECT_EQ(got,
              "\xAA\x0C"
              "xyz");
    for (DWORD t : threads) EXPECT_NE(t, GetCurrentThreadId());
    EXPECT_EQ(com->TotalReceived(), 5u);
}

TEST_F(EnginePty, ABurstOf16MegabytesArrivesWholeAndInOrder) {
    const std::uint32_t total = 16u << 20;
    auto pattern = [](std::uint32_t i) { return static_cast<char>((i * 2654435761u) >> 24); };
    std::uint32_t received = 0, maxBlock = 0, blocks = 0;
    bool inOrder = true;
    com->OnAfterReceive = [&](TObject*, void* b, std::uint32_t n) {
        const char* p = static_cast<const char*>(b);
        for (std::uint32_t i = 0; i < n && inOrder; ++i) inOrder = p[i] == pattern(received + i);
        received += n;
        maxBlock = std::max(maxBlock, n);
        ++blocks;
    };
    Open();
    std::atomic<bool> wrote{false};
    std::thread writer([&] {
        std::string chunk(65536, '\0');
        bool ok = true;
        for (std::uint32_t off = 0; off < total && ok; off += chunk.size()) {
            for (std::uint32_t i = 0; i < chunk.size(); ++i) chunk[i] = pattern(off + i);
            ok = peer->Write(chunk);
        }
        wrote = ok;
    });
    const bool all = PumpUntil([&] { return received >= total || !inOrder; }, 120000);
    writer.join();
    EXPECT_TRUE(wrote);
    EXPECT_TRUE(all) << received << " bytes of " << total;
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(received, total);
    EXPECT_EQ(com->TotalReceived(), total);
    EXPECT_LE(maxBlock, com->ReceiveBufferSize());
    RecordProperty("blocks", static_cast<int>(blocks));
}

TEST_F(EnginePty, KillingTheOtherEndClosesThePortOnceAndWithoutHanging) {
    std::atomic<int> closes{0};
    com->OnClose = [&](TObject*) { ++closes; };
    Open();
    peer.reset();
    log.Lines.clear();
    notes.clear();
    pair->Unplug();
    ASSERT_TRUE(PumpUntil([&] { return !com->Active(); }, 10000));
    ASSERT_TRUE(WaitThreads(workers));
    EXPECT_EQ(notes, std::vector<int>{ncMediumClosed});
    EXPECT_EQ(closes, 1);
    for (auto& l : log.Lines) EXPECT_EQ(l.find(L"closed"), std::wstring::npos) << fw::NarrowUtf8(l);

    // Another port that is present opens as usual.
    TPtyPair other;
    ASSERT_TRUE(other.Ready()) << other.Error();
    com->PortNo = other.PortA();
    com->SetActive(true);
    EXPECT_TRUE(com->Active());
    workers = com->Threads();
    TPeerPort otherPeer(other.PortB());
    ASSERT_TRUE(otherPeer.IsOpen());
    com->SendString("again");
    EXPECT_EQ(otherPeer.Read(5, 2000), "again");
    com->SetActive(false);
}

TEST_F(EnginePty, ClosingWithAWriteStillInTheDriverReturnsPromptly) {
    Open();
    // Nobody reads the other end: the line fills up and the write stays pending.
    std::string block(1 << 20, 'w');
    com->SendData(block.data(), static_cast<std::uint32_t>(block.size()));
    // A close that waited for the write would not return: it never ends.
    com->SetActive(false);
    EXPECT_FALSE(com->Active());
    EXPECT_LT(com->TotalSent(), block.size());  // what never left is not counted
    com->SetActive(true);
    EXPECT_TRUE(com->Active());
    workers = com->Threads();
}

namespace {
std::atomic<int> gQueries{0};
decltype(&::ClearCommError) gRealClearCommError = nullptr;
BOOL WINAPI CountingClearCommError(HANDLE h, LPDWORD e, LPCOMSTAT s) {
    ++gQueries;
    return gRealClearCommError(h, e, s);
}
}  // namespace

TEST_F(EnginePty, BytesNobodyReadsAreCountedOnceHoweverOftenTheDriverReportsThem) {
    test_support::TWin32Guard guard;
    gRealClearCommError = nr::Win32.ClearCommError;
    nr::Win32.ClearCommError = &CountingClearCommError;
    Open();
    std::atomic<int> traces{0};
    com->OnTraceState = [&](TObject*, TTraceStates) { ++traces; };
    ASSERT_TRUE(peer->Write("abc"));
    ASSERT_TRUE(PumpUntil([&] { return com->TotalReceived() == 3; }));
    // The driver reports the queued bytes again at every wait: they are not
    // new. (How far such dispatches are paced is a benchmark figure.)
    gQueries = 0;
    ASSERT_TRUE(PumpUntil([] { return gQueries >= 10; }, 30000));
    EXPECT_EQ(com->TotalReceived(), 3u);
    EXPECT_EQ(com->ReadyForRead(), 3u);
    ASSERT_TRUE(peer->Write("de"));
    ASSERT_TRUE(PumpUntil([&] { return com->TotalReceived() == 5; }));
    EXPECT_EQ(com->ReadString(), "abcde");
    ASSERT_TRUE(peer->Write("f"));
    ASSERT_TRUE(PumpUntil([&] { return com->TotalReceived() == 6; }));
    EXPECT_EQ(traces, 0);
}

TEST_F(EnginePty, SendDataBehindAStuckWriteReturnsAtOnceAndEverythingArrivesInOrder) {
    Open();
    // Nobody reads the other end yet: the first block cannot drain.
    std::string first(1 << 20, 'a');
    com->SendData(first.data(), static_cast<std::uint32_t>(first.size()));
    // Calls that waited for the first block would not return: nobody reads yet.
    com->SendData("second", 6);
    com->SendString("third");
    // The peer reads: the line drains, the queued bytes follow the block.
    std::string got;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        got = peer->Read(static_cast<DWORD>(first.size() + 11), 5000);
        done = true;
    });
    // The queued bytes are started by the dispatch of the block's end.
    PumpUntil([&] { return done.load(); }, 15000);
    reader.join();
    EXPECT_EQ(got.size(), first.size() + 11);
    EXPECT_EQ(got.substr(first.size()), "secondthird");
    EXPECT_EQ(com->TotalSent(), first.size() + 11);
}

TEST_F(EnginePty, SendDataFasterThanTheLineLosesNothing) {
    const std::uint32_t total = 10u << 20;
    std::mt19937 rng(7);
    std::string data(total, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    std::atomic<std::uint32_t> lastError{0};
    com->OnCommError = [&](TObject*, std::uint32_t, std::uint32_t sys, TComStateFlags, bool&) { lastError = sys; };
    Open();
    for (bool useMainThread : {true, false}) {
        com->SetUseMainThread(useMainThread);
        std::string got;
        std::atomic<bool> done{false};
        std::thread reader([&] {
            got = peer->Read(total, 5000);
            done = true;
        });
        // Chunks of 1 byte to 250 KB, mostly small, handed over as fast as the loop runs.
        for (std::uint32_t off = 0; off < total;) {
            const std::uint32_t span = 1u << rng() % 19;
            const std::uint32_t n = std::min({1 + rng() % span, 250u << 10, total - off});
            com->SendData(data.data() + off, n);
            off += n;
        }
        PumpUntil([&] { return done.load(); }, 60000);
        reader.join();
        EXPECT_EQ(got.size(), data.size()) << "UseMainThread " << useMainThread;
        EXPECT_TRUE(got == data) << "UseMainThread " << useMainThread;
        EXPECT_EQ(lastError, 0u);
    }
    EXPECT_EQ(com->TotalSent(), 2 * total);
}
