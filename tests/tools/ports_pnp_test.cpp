// nrports --pnp on a real line: a pty pair on the null-modem cable with the
// simulated Plug-and-Play device (tools/simulator) at the far end.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ports.h"
#include "pty_pair.h"
#include "simulator.h"

using namespace serial_test;

namespace {

struct PortsPnp : testing::Test {
    std::unique_ptr<TPtyPair> pair;
    std::unique_ptr<TSimulator> device;
    std::wstring port;
    void SetUp() override {
        if (!TPtyPair::Available()) GTEST_SKIP() << "needs Wine and socat";
        if (GetEnvironmentVariableW(L"NR_NULLMODEM_STATE", nullptr, 0) == 0)
            GTEST_SKIP() << "not run on the null-modem cable (cmake/wine-run.sh runs tests on it)";
        pair = std::make_unique<TPtyPair>();
        ASSERT_TRUE(pair->Ready()) << pair->Error();
        port = L"COM" + std::to_wstring(pair->PortA());
    }
    void Device(const std::wstring& Args) {
        device = std::make_unique<TSimulator>(pair->PortB(), Args);
        ASSERT_TRUE(device->Ready()) << device->Error();
    }
    int Run(std::vector<std::wstring> Args) {
        Out.clear();
        Err.clear();
        return nrports::Run(Args, Out, Err);
    }
    std::wstring Out, Err;
};

}  // namespace

TEST_F(PortsPnp, PrintsTheIdentificationWithControlBytesEscaped) {
    Device(L"--mode pnp");
    EXPECT_EQ(Run({L"--pnp", port}), nrports::exListed) << Err;
    EXPECT_EQ(Out, port + L"  (\\x01$NRS0001)\n");
    EXPECT_EQ(Err, L"");
    EXPECT_EQ(Run({L"-v", L"--pnp", port}), nrports::exListed) << Err;
    EXPECT_EQ(Out, port + L"  (\\x01$NRS0001)\n  bytes  28 01 24 4E 52 53 30 30 30 31 29\n");
}

TEST_F(PortsPnp, SixBitIdentificationKeepsItsMarkers) {
    Device(L"--mode pnp6");
    EXPECT_EQ(Run({L"--pnp", port}), nrports::exListed) << Err;
    // 08, the revision, NRS0001 less 0x20 each, 09.
    EXPECT_EQ(Out, port + L"  \\x08\\x01$.23\\x10\\x10\\x10\\x11\\x09\n");
}

TEST_F(PortsPnp, EachFailureHasItsExitCodeAndMessage) {
    Device(L"--mode pnp-nodsr");
    EXPECT_EQ(Run({L"--pnp", port}), nrports::exNoDevice);
    EXPECT_EQ(Out, L"");
    EXPECT_EQ(Err, L"nrports: " + port + L": no device answers (DSR stays off)\n");

    device.reset();
    Device(L"--mode pnp-silent");
    EXPECT_EQ(Run({L"--pnp", port}), nrports::exNoIdentity);
    EXPECT_EQ(Err, L"nrports: " + port + L": the device sent no identification\n");

    // A port the machine does not have.
    EXPECT_EQ(Run({L"--pnp", L"COM251"}), nrports::exCannotOpen);
    EXPECT_EQ(Out, L"");
    EXPECT_EQ(Err.rfind(L"nrports: Device \"COM251\" Open Error !!! ", 0), 0u) << Err;

    for (const wchar_t* bad : {L"COMX", L"COM0", L"com3", L"3"}) {
        EXPECT_EQ(Run({L"--pnp", bad}), nrports::exBadArgument) << bad;
        EXPECT_EQ(Err.rfind(L"nrports: --pnp needs a port name such as COM3\n", 0), 0u);
    }
    EXPECT_EQ(Run({L"--pnp"}), nrports::exBadArgument);
}
