// Tests of comm/nrcomm_io.cpp.
// Port engine: sends, synchronous reads and purges through a scripted device.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "engine_components.h"
#include "fake_serial.h"
#include "test_components.h"

using namespace nr;
using namespace serial_test;

namespace {

struct CommError {
    std::uint32_t Code, Sys;
    TComStateFlags State;
};

struct EngineIO : testing::Test {
    TFakeSerial fake{7};
    std::unique_ptr<TTestComm> com = std::make_unique<TTestComm>(nullptr, 7);
    testing_io::TMemoryLog log{nullptr};
    std::vector<CommError> errors;
    bool flash = false;
    void SetUp() override {
        com->SetLog(&log);
        com->OnCommError = [this](TObject*, std::uint32_t c, std::uint32_t s, TComStateFlags st, bool& f) {
            errors.push_back({c, s, st});
            f = flash;
        };
    }
    void Open() {
        com->SetActive(true);
        ASSERT_TRUE(com->Active());
        fake.ClearCalls();
        log.Lines.clear();
    }
    void TearDown() override {
        auto ts = com->Threads();
        com.reset();
        EXPECT_TRUE(WaitThreads(ts));
    }
};

}  // namespace

TEST_F(EngineIO, SendsPutExactlyTheirBytesOnTheLine) {
    Open();
    com->SendChar(static_cast<wchar_t>(0x1234));  // low 8 bits only
    com->SendChar(L'\x05');
    com->SendString(std::string("AB\xFF\x00Z", 5));
    const char block[] = {'\x01', '\x02', '\x03'};
    com->SendData(block, 3);
    com->SendAheadChar(L'!');
    EXPECT_EQ(fake.Output(), std::string("\x34\x05"
                                         "AB\xFF\x00Z"
                                         "\x01\x02\x03!",
                                         11));
    EXPECT_EQ(com->TotalSent(), 11u);
    EXPECT_TRUE(errors.empty());
    ASSERT_EQ(log.Lines.size(), 5u);
    EXPECT_EQ(log.Lines[0], L"nrComm: Try to send char 34h ...");
    EXPECT_EQ(log.Lines[1], L"nrComm: Try to send char  5h ...");
    EXPECT_EQ(log.Lines[2].substr(0, 30), L"nrComm: Try to send string AB\xFF");
    EXPECT_EQ(log.Lines[3], L"nrComm: Try to send the data with 3 length ...");
    EXPECT_EQ(log.Lines[4], L"nrComm: ... the data transmittion is OK!");
}

TEST_F(EngineIO, NothingHappensOnAClosedPortOrForAnEmptyString) {
    com->SendChar(L'A');
    com->SendString("abc");
    com->SendData("abc", 3);
    com->SendAheadChar(L'A');
    com->ClearDeviceBuffers();
    com->FlushOutputBuffer();
    com->SetStateDTR(true);
    EXPECT_TRUE(fake.Calls().empty());
    EXPECT_TRUE(log.Lines.empty());
    Open();
    com->SendString("");
    EXPECT_TRUE(fake.Calls().empty());
    EXPECT_TRUE(log.Lines.empty());
    EXPECT_EQ(com->TotalSent(), 0u);
}

TEST_F(EngineIO, FailedAndShortWritesReachOnCommError) {
    Open();
    fake.FailNextWrite(ERROR_GEN_FAILURE);
    com->SendChar(L'A');
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].Code, 0u);
    EXPECT_EQ(errors[0].Sys, DWORD(ERROR_GEN_FAILURE));
    EXPECT_TRUE(errors[0].State.Empty());
    EXPECT_EQ(com->TotalSent(), 0u);
    EXPECT_EQ(log.Lines.back(), L"nrComm: Communication Error 0:31");
    EXPECT_EQ(fake.CountCalls("Purge"), 0);

    // The driver's write time-out ends a write early: only what went out counts.
    fake.ShortNextWrite(2);
    flash = true;
    com->SendString("ABCDEF");
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[1].Sys, DWORD(ERROR_TIMEOUT));
    EXPECT_EQ(com->TotalSent(), 2u);
    EXPECT_EQ(fake.Output(), "AB");
    EXPECT_TRUE(fake.Called("Purge 15"));  // the handler asked for all buffers to be purged

    flash = false;
    fake.FailNextWrite(ERROR_ACCESS_DENIED);
    com->SendAheadChar(L'x');
    ASSERT_EQ(errors.size(), 3u);
    EXPECT_EQ(errors[2].Sys, DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(com->TotalSent(), 2u);

    fake.FailNextWrite(ERROR_GEN_FAILURE);
    com->SendData("xyz", 3);
    ASSERT_EQ(errors.size(), 4u);
    EXPECT_EQ(com->TotalSent(), 2u);
}

TEST_F(EngineIO, SendDataNeverWaitsForTheBlockBeforeAndKeepsTheOrder) {
    for (bool useMainThread : {true, false}) {
        com->SetUseMainThread(useMainThread);
        Open();
        fake.ClearOutput();
        fake.SetDeferWrites(true);
        std::string block = "first";
        com->SendData(block.data(), static_cast<std::uint32_t>(block.size()));
        block = "XXXXX";  // the caller's buffer is gone or reused
        // The line does not drain: the next blocks are taken at once, behind it.
        com->SendData("second", 6);
        com->SendString("+");
        com->SendData("third", 5);
        EXPECT_EQ(fake.PendingWrites(), 1);
        EXPECT_EQ(com->NotYetSend(), 12u);
        EXPECT_EQ(fake.CompleteWrites(), 1);
        // The end of the write starts the next one, the queued bytes as one block.
        ASSERT_TRUE(PumpUntil([&] { return fake.PendingWrites() == 1; }));
        EXPECT_EQ(fake.CompleteWrites(), 1);
        EXPECT_EQ(fake.Output(), "firstsecond+third");
        EXPECT_FALSE(fake.Called("Reused"));
        EXPECT_EQ(com->TotalSent(), 17u);
        EXPECT_TRUE(errors.empty());
        fake.SetDeferWrites(false);
        com->SetActive(false);
    }
}

TEST_F(EngineIO, AWriteThatFailsIsReportedWhenItEndsAndWhatQueuedIsDropped) {
    Open();
    fake.SetDeferWrites(true);
    com->SendData("abcd", 4);
    com->SendData("efgh", 4);
    EXPECT_EQ(com->TotalSent(), 4u);  // the block in flight is counted when it starts
    ASSERT_EQ(fake.FailWrites(ERROR_ACCESS_DENIED), 1);
    // No further call: the failure comes on its own.
    ASSERT_TRUE(PumpUntil([&] { return !errors.empty(); }));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].Sys, DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(com->TotalSent(), 0u);
    PumpUntil([] { return false; }, 50);
    EXPECT_EQ(fake.PendingWrites(), 0);  // "efgh" would follow a gap: not sent
    EXPECT_EQ(com->NotYetSend(), 0u);
}

TEST_F(EngineIO, SendDataBeyondTheQueueLimitIsRefusedAsBusy) {
    Open();
    fake.SetDeferWrites(true);
    com->SendData("x", 1);
    const std::string big(TTestComm::kSendQueueLimit, 'q');
    com->SendData(big.data(), static_cast<std::uint32_t>(big.size()));
    EXPECT_TRUE(errors.empty());
    com->SendData("y", 1);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].Sys, DWORD(ERROR_BUSY));
    EXPECT_EQ(com->NotYetSend(), TTestComm::kSendQueueLimit);
    // Purging the output drops the queue too.
    com->ClearDeviceOutput();
    EXPECT_EQ(com->NotYetSend(), 0u);
}

TEST_F(EngineIO, AShortAsynchronousWriteIsReportedAtTheNextSend) {
    Open();
    fake.ShortNextWrite(3);
    com->SendData("0123456789", 10);
    EXPECT_EQ(com->TotalSent(), 10u);  // counted when started
    EXPECT_TRUE(errors.empty());
    com->SendData("ab", 2);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].Sys, DWORD(ERROR_TIMEOUT));
    EXPECT_EQ(com->TotalSent(), 5u);
    EXPECT_EQ(fake.Output(), "012ab");
}

TEST_F(EngineIO, ClosingAbortsAPendingAsynchronousWrite) {
    Open();
    fake.SetDeferWrites(true);
    fake.SetOutQueue(4);
    com->SendData("abcd", 4);
    com->SetActive(false);  // must not leave the write with the component's storage
    EXPECT_FALSE(com->Active());
    EXPECT_TRUE(fake.Called("Purge 15"));
    EXPECT_EQ(com->TotalSent(), 0u);
}

TEST_F(EngineIO, ReadsTakeOnlyWhatIsQueued) {
    Open();
    char buf[16] = {};
    EXPECT_EQ(com->ReadMax(buf, -1), 0);
    EXPECT_EQ(com->ReadMax(buf, 0), 0);
    EXPECT_TRUE(fake.ReadSizes().empty());
    EXPECT_EQ(com->ReadString(), "");
    EXPECT_TRUE(fake.ReadSizes().empty());

    fake.Receive("abc");
    EXPECT_EQ(com->ReadyForRead(), 3u);
    EXPECT_EQ(com->ReadMax(buf, 5), 3);
    EXPECT_EQ(std::string(buf, 3), "abc");
    fake.Receive("0123456789");
    EXPECT_EQ(com->ReadMax(buf, 5), 5);
    EXPECT_EQ(std::string(buf, 5), "01234");
    EXPECT_EQ(com->ReadString(), "56789");
    fake.Receive("xy");
    com->ReadAll(buf);
    EXPECT_EQ(std::string(buf, 2), "xy");
    fake.Receive("zz");
    com->Read(buf, 1);
    EXPECT_EQ(buf[0], 'z');
    EXPECT_EQ(com->ReadyForRead(), 1u);
    fake.SetOutQueue(7);
    EXPECT_EQ(com->NotYetSend(), 7u);
}

TEST_F(EngineIO, PurgesAndFlush) {
    Open();
    com->ClearDeviceInput();
    com->ClearDeviceOutput();
    com->ClearDeviceBuffers();
    com->FlushOutputBuffer();
    EXPECT_EQ(fake.Calls(), (std::vector<std::string>{"Purge 10", "Purge 5", "Purge 15", "Flush"}));
}

TEST_F(EngineIO, ClosingPurgesPendingOutputThenClearsTheMask) {
    Open();
    fake.SetOutQueue(3);
    com->SetActive(false);
    auto calls = fake.Calls();
    auto at = [&](const std::string& c) { return std::find(calls.begin(), calls.end(), c) - calls.begin(); };
    ASSERT_LT(at("Purge 15"), static_cast<long>(calls.size()));
    EXPECT_LT(at("Purge 15"), at("SetCommMask 0"));
    EXPECT_LT(at("SetCommMask 0"), at("Close"));
}
