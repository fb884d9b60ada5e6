// Tests of comm/nrcomm_handshake.cpp: InitDeviceConnect and GetPNPDeviceString
// on a real line (a pty pair on the null-modem cable) against the simulated
// Plug-and-Play device (tools/simulator), and through the scripted device
// where the line cannot show it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "../../comm/nrcomm.h"
#include "../support/engine_components.h"
#include "../support/fake_serial.h"
#include "../support/pty_pair.h"
#include "../support/simulator.h"
#include "../support/test_components.h"

using namespace nr;
using namespace serial_test;

namespace {

const TFatalError kNoDevice{1, 0, L"Device Connect Initialization Error"};
const std::vector<TFatalError> kNoDeviceOnly{kNoDevice};
const std::wstring kTested = L"nrComm: The device connection was succesful tested";
// What the simulated device sends: revision 1.00, then its id.
const std::wstring kId = std::wstring(L"(\x01\x24") + L"NRS0001)";

// The component on end A of a pair on the cable, set up as the utility sets
// it up, the simulated device on end B.
struct Handshake : testing::Test {
    std::unique_ptr<TPtyPair> pair;
    testing_io::TMemoryLog log{nullptr};
    std::unique_ptr<TSerialComm> com;
    std::unique_ptr<TSimulator> device;
    TFatalErrors errors;
    const TTraceStates traces{tsRxChar, tsCTS, tsRing};

    void SetUp() override {
        if (!TPtyPair::Available()) GTEST_SKIP() << "needs Wine and socat";
        if (!OnCable()) GTEST_SKIP() << "not run on the null-modem cable (cmake/wine-run.sh runs tests on it)";
        pair = std::make_unique<TPtyPair>();
        ASSERT_TRUE(pair->Ready()) << pair->Error();
        ASSERT_TRUE(pair->HasModemLines());
        com = std::make_unique<TSerialComm>(nullptr);
        com->SetComPortNo(static_cast<std::uint16_t>(pair->PortA()));
        com->SetBaudRate(57600);
        com->SetByteSize(8);
        com->SetParity(pNone);
        com->SetStopBits(sbOne);
        com->SetStreamProtocol(spNone);
        com->SetTraceStates(traces);
        com->SetLog(&log);
        errors.Raise = true;
        errors.Watch(*com);
    }
    void TearDown() override {
        std::vector<std::shared_ptr<fw::TThreadControl>> workers;
        if (com) workers = com->Workers;
        com.reset();
        device.reset();
        EXPECT_TRUE(WaitThreads(workers));
        pair.reset();
    }
    void Device(const std::wstring& args) {
        device = std::make_unique<TSimulator>(pair->PortB(), args);
        ASSERT_TRUE(device->Ready()) << device->Error();
    }
    void Open() {
        com->SetActive(true);
        ASSERT_TRUE(com->Active());
    }
    // The component's DTR off and seen off, so the next power-up starts from scratch.
    void DtrOff() {
        com->SetStateDTR(false);
        ASSERT_TRUE(PumpUntil([&] { return !com->ModemSignals().Contains(msDSR); }));
    }
    bool Logged(const std::wstring& line) const { return std::ranges::count(log.Lines, line) > 0; }
    bool DeviceSees(const std::string& line) { return pair->LineOn(TPtyPair::endB, line); }
    std::vector<std::string> HostSettings() { return pair->Settings(TPtyPair::endA); }
    // The line ran at 1200 7N1 for the device, and is back at the normal rate.
    void ExpectLineGivenBack() {
        const auto used = HostSettings();
        ASSERT_FALSE(used.empty());
        EXPECT_EQ(used.front(), "57600/8N1");
        EXPECT_TRUE(std::ranges::count(used, "1200/7N1") > 0) << pair->Show(TPtyPair::endA);
    }
    // The power-ups the device saw, in order: "DTR, then RTS" (the signature)
    // or "DTR and RTS together", each with what it did.
    std::vector<std::string> PowerUps() const {
        std::vector<std::string> v;
        const std::string out = device->Output(), tag = "host powered the device up (";
        for (size_t at = out.find(tag); at != std::string::npos; at = out.find(tag, at + 1)) {
            const size_t end = out.find_first_of("\r\n", at);
            v.push_back(out.substr(at + tag.size(), end - at - tag.size()));
        }
        return v;
    }
    std::wstring TimedId(DWORD& ms) {
        TStopwatch sw;
        const std::wstring s = com->GetPNPDeviceString();
        ms = sw.Ms();
        return s;
    }
};

}  // namespace

TEST_F(Handshake, InitDeviceConnectOnlyOnAnOpenComponentAndWithDsrWithin200MsLeavesRtsOn) {
    // DSR follows the component's DTR 60 ms late, as from a device it powers.
    Device(L"--mode pnp --dsr-delay 60");
    com->InitDeviceConnect();
    EXPECT_FALSE(com->Active());
    EXPECT_TRUE(errors.empty());
    EXPECT_TRUE(log.Lines.empty());
    EXPECT_FALSE(DeviceSees("dsr"));
    EXPECT_FALSE(DeviceSees("cts"));

    Open();
    DtrOff();
    log.Lines.clear();
    com->InitDeviceConnect();
    EXPECT_TRUE(errors.empty());
    EXPECT_TRUE(Logged(kTested));
    EXPECT_TRUE(DeviceSees("cts"));
    EXPECT_TRUE(DeviceSees("dsr"));
    EXPECT_TRUE(com->Active());
}

TEST_F(Handshake, InitDeviceConnectWithoutDsrRaisesUnlessTheHandlerSaysNo) {
    Device(L"--mode pnp-nodsr");
    Open();
    EXPECT_EQ(Thrown([&] { com->InitDeviceConnect(); }), kNoDevice.Msg);
    EXPECT_EQ(errors, kNoDeviceOnly);
    // DTR stays on, RTS off; no success line.
    EXPECT_TRUE(DeviceSees("dsr"));
    EXPECT_FALSE(DeviceSees("cts"));
    EXPECT_FALSE(Logged(kTested));

    errors.Raise = false;
    errors.clear();
    EXPECT_NO_THROW(com->InitDeviceConnect());
    EXPECT_EQ(errors, kNoDeviceOnly);
    EXPECT_TRUE(com->Active());
}

TEST_F(Handshake, InitDeviceConnectGivesUpOnDsrThatComesTooLate) {
    Device(L"--mode pnp --dsr-delay 600");
    errors.Raise = false;
    Open();
    DtrOff();
    com->InitDeviceConnect();
    EXPECT_EQ(errors, kNoDeviceOnly);
    EXPECT_FALSE(Logged(kTested));
}

TEST_F(Handshake, TheIdentificationComesWithItsParenthesesAndAnOpenComponentIsLeftAsItWas) {
    Device(L"--mode pnp");
    Open();
    const std::uint32_t flags = com->DcbFlags();
    EXPECT_EQ(com->GetPNPDeviceString(), kId);
    EXPECT_TRUE(com->Active());
    EXPECT_EQ(com->TraceStates(), traces);
    EXPECT_FALSE(com->ReceiveHeld());
    EXPECT_EQ(com->BaudRate(), 57600u);
    EXPECT_EQ(com->ByteSize(), 8);
    EXPECT_EQ(com->DcbFlags(), flags);
    ExpectLineGivenBack();
    EXPECT_TRUE(DeviceSees("dsr"));
    EXPECT_TRUE(DeviceSees("cts"));
    EXPECT_EQ(device->Count("answering"), 1) << device->Output();
}

TEST_F(Handshake, AClosedComponentIsOpenedForTheHandshakeAndClosedAgain) {
    Device(L"--mode pnp");
    EXPECT_EQ(com->GetPNPDeviceString(), kId);
    EXPECT_FALSE(com->Active());
    EXPECT_EQ(com->TraceStates(), traces);
    ExpectLineGivenBack();
    EXPECT_FALSE(DeviceSees("dsr"));
}

TEST_F(Handshake, A6BitIdentificationComesWithBothMarkers) {
    Device(L"--mode pnp6");
    Open();
    std::wstring want = L"\x08\x01\x24";
    for (char c : std::string("NRS0001")) want += static_cast<wchar_t>(c - 0x20);
    EXPECT_EQ(com->GetPNPDeviceString(), want + L'\x09');
}

TEST_F(Handshake, AnotherFirstByteGivesNothing) {
    // An old mouse's M comes ahead of the string.
    Device(L"--mode pnp-other");
    Open();
    EXPECT_EQ(com->GetPNPDeviceString(), L"");
    EXPECT_EQ(device->Count("answering"), 1);
    EXPECT_TRUE(com->Active());
    EXPECT_EQ(com->TraceStates(), traces);
}

TEST_F(Handshake, SilenceGivesNothingAfterBothPowerUps) {
    Device(L"--mode pnp-silent");
    Open();
    ASSERT_TRUE(device->WaitFor("together"));  // the open powered it up
    DWORD ms = 0;
    EXPECT_EQ(TimedId(ms), L"");
    std::printf("    (silence: empty after %lu ms)\n", static_cast<unsigned long>(ms));
    RecordProperty("silence_ms", static_cast<int>(ms));
    const auto seen = PowerUps();
    ASSERT_GE(seen.size(), 3u) << device->Output();
    EXPECT_EQ(seen[1], "DTR, then RTS): no answer");
    EXPECT_EQ(seen[2], "DTR and RTS together): no answer");
    EXPECT_GE(ms, 800u);  // three waits of 200 ms and two for a byte, at the least
    EXPECT_TRUE(com->Active());
    EXPECT_TRUE(errors.empty());
}

TEST_F(Handshake, ADeviceThatAnswersOnlyWhenPoweredIsReadOnTheSecondAttempt) {
    // It also answers the open of the port; that answer is cut short and
    // must not be taken for part of the identification.
    Device(L"--mode pnp-late");
    EXPECT_EQ(com->GetPNPDeviceString(), kId);
    // On a busy machine the device may look at its lines only after the
    // handshake has powered it down again: the open's power-up is then unseen.
    const auto seen = PowerUps();
    ASSERT_GE(seen.size(), 2u) << device->Output();
    EXPECT_LE(seen.size(), 3u) << device->Output();
    if (seen.size() == 3) {
        EXPECT_EQ(seen[0], "DTR and RTS together): answering");
    }
    EXPECT_EQ(seen[seen.size() - 2], "DTR, then RTS): no answer");
    EXPECT_EQ(seen.back(), "DTR and RTS together): answering");
}

TEST_F(Handshake, AStringWithoutEndIsCutAtTheLongestTheFormatAllows) {
    Device(L"--mode pnp-endless");
    Open();
    DWORD ms = 0;
    const std::wstring s = TimedId(ms);
    EXPECT_EQ(s.size(), TnrCustomSerialComm::kPnpIdMaxChars);
    EXPECT_EQ(s.substr(0, kId.size() - 1), kId.substr(0, kId.size() - 1));
    EXPECT_EQ(s.find(L')'), std::wstring::npos);
    EXPECT_LT(ms, 10000u);
    // The device saw RTS drop and stopped; nothing of its string is left
    // for the reopened port.
    EXPECT_TRUE(device->WaitFor("stopped after")) << device->Output();
    EXPECT_TRUE(com->Active());
    PumpUntil([] { return false; }, 300);
    EXPECT_EQ(com->TotalReceived(), 0u);
    EXPECT_EQ(HostSettings().front(), "57600/8N1");
}

TEST_F(Handshake, ASlowStringWithoutEndIsCutByTime) {
    // One character every 100 ms: the characters keep coming in time, the
    // string never ends.
    Device(L"--mode pnp-endless --char-ms 100");
    Open();
    DWORD ms = 0;
    const std::wstring s = TimedId(ms);
    EXPECT_GT(s.size(), 5u);
    EXPECT_LT(s.size(), TnrCustomSerialComm::kPnpIdMaxMs / 100 + 5);
    EXPECT_EQ(s[0], L'(');
    EXPECT_LT(ms, 15000u);
}

TEST_F(Handshake, WithoutDsrThePortStaysOpenAlsoWhenTheCallOpenedIt) {
    Device(L"--mode pnp-nodsr");
    // A real handle of the driver, the one the component holds.
    const auto openOnTheLine = [&] {
        EXPECT_TRUE(com->Active());
        ASSERT_NE(com->Handle(), INVALID_HANDLE_VALUE);
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        EXPECT_TRUE(GetCommState(com->Handle(), &dcb));
        EXPECT_EQ(dcb.BaudRate, 57600u);
    };
    EXPECT_THROW(com->GetPNPDeviceString(), fw::Exception);
    EXPECT_EQ(errors, kNoDeviceOnly);
    openOnTheLine();
    EXPECT_FALSE(com->ReceiveHeld());

    errors.Raise = false;
    for (const bool open : {false, true}) {
        SCOPED_TRACE(open ? "open" : "closed");
        com->SetActive(open);
        ASSERT_EQ(com->Active(), open);
        errors.clear();
        EXPECT_EQ(com->GetPNPDeviceString(), L"");
        EXPECT_EQ(errors, kNoDeviceOnly);
        openOnTheLine();
        EXPECT_FALSE(com->ReceiveHeld());
    }
    EXPECT_EQ(com->TraceStates(), traces);
    EXPECT_EQ(device->Count("answering"), 0);
}

TEST_F(Handshake, AReceiveHandlerDoesNotTakeTheIdentification) {
    Device(L"--mode pnp");
    for (bool mainThread : {true, false}) {
        SCOPED_TRACE(mainThread ? "UseMainThread" : "message thread");
        com->SetUseMainThread(mainThread);
        std::string handed;
        com->OnAfterReceive = [&](TObject*, void* b, std::uint32_t n) {
            handed.append(static_cast<const char*>(b), n);
        };
        Open();
        EXPECT_EQ(com->GetPNPDeviceString(), kId);
        PumpUntil([] { return false; }, 200);
        EXPECT_EQ(handed, "");
        EXPECT_FALSE(com->ReceiveHeld());
        com->SetActive(false);
        com->OnAfterReceive = nullptr;
    }
}

// ---- what the line cannot show: through the scripted device

namespace {

struct HandshakeScripted : testing::Test {
    TFakeSerial fake{7};
    std::unique_ptr<TSerialComm> com = std::make_unique<TSerialComm>(nullptr);
    void SetUp() override {
        com->SetComPortNo(7);
        com->SetBaudRate(57600);
        com->SetStreamProtocol(spHardware);
        fake.SetModemStatus(MS_DSR_ON);
    }
    void Open() {
        com->SetActive(true);
        ASSERT_TRUE(com->Active());
    }
    void TearDown() override {
        const auto workers = com->Workers;
        com.reset();
        EXPECT_TRUE(WaitThreads(workers));
    }
};

std::string State(DWORD baud, DWORD flags) { return std::to_string(baud) + " " + std::to_string(flags); }

}  // namespace

TEST_F(HandshakeScripted, TheHandshakeDrivesRtsItselfWithoutFlowControlAndGivesTheLineBack) {
    Open();
    const DWORD flags = com->DcbFlags();
    ASSERT_EQ(flags & 0x3000, 0x2000u);  // RTS handshake: the driver would own RTS
    fake.ClearCalls();
    EXPECT_EQ(com->GetPNPDeviceString(), L"");
    std::vector<std::string> states;
    for (const auto& c : fake.Calls())
        if (c.rfind("SetCommState ", 0) == 0) states.push_back(c.substr(13));
    // DTR enabled, RTS disabled (ours to drive); no parity check, no CTS,
    // DSR or XON/XOFF flow control, no DSR sensitivity.
    const DWORD off = 0x0002 | 0x0004 | 0x0008 | 0x0030 | 0x0040 | 0x0100 | 0x0200 | 0x3000;
    ASSERT_GE(states.size(), 3u);
    EXPECT_EQ(states[1], State(1200, (flags & ~off) | 0x0010));
    // The saved line, then the reopen with the component's own.
    EXPECT_EQ(states[2], State(57600, flags));
    EXPECT_EQ(states.back(), State(57600, flags));
    EXPECT_TRUE(com->Active());
}

TEST_F(HandshakeScripted, AFailingHandlerMidwayStillLeavesTheComponentAsItWas) {
    const TTraceStates traces{tsRxChar, tsRing};
    com->SetTraceStates(traces);
    Open();
    int calls = 0;
    bool thrown = false;
    // The first line change of the power-up sequence fails.
    com->OnTraceState = [&](TObject*, TTraceStates e) {
        if (e == TTraceStates{tsDSR} && ++calls == 2 && !thrown) {
            thrown = true;
            throw fw::Exception(L"handler failed");
        }
    };
    EXPECT_EQ(Thrown([&] { com->GetPNPDeviceString(); }), L"handler failed");
    EXPECT_TRUE(com->Active());
    EXPECT_EQ(com->TraceStates(), traces);
    EXPECT_FALSE(com->ReceiveHeld());
    EXPECT_EQ(fake.State().BaudRate, 57600u);
}

TEST_F(HandshakeScripted, BytesOfAnEarlierPowerUpAreNotTakenForTheAnswer) {
    Open();
    int dtr = 0, rts = 0;
    // The device's late answer to an earlier power-up comes while the next
    // one is under way; its real answer comes when RTS rises.
    com->OnTraceState = [&](TObject*, TTraceStates e) {
        if (e == TTraceStates{tsDSR} && ++dtr == 3) fake.Receive("M(\x01");
        if (e == TTraceStates{tsCTS} && ++rts == 3) fake.Receive("(\x01\x24NRS0001)");
    };
    EXPECT_EQ(com->GetPNPDeviceString(), kId);
}
