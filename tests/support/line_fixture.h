// A test on a real serial line: the engine (57600 8N1, no flow control, as
// the utility uses it) on one end of a pty pair, a peer on the other. On the
// null-modem cable when the test runs on it (cmake/wine-run.sh).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "engine_components.h"
#include "pty_pair.h"

namespace serial_test {

struct TLineTest : testing::Test {
    std::unique_ptr<TPtyPair> pair;
    std::unique_ptr<TTestComm> com;
    std::unique_ptr<TPeerPort> peer;
    std::vector<std::shared_ptr<fw::TThreadControl>> workers;

    // A derived SetUp calls this first and returns when IsSkipped() or HasFatalFailure().
    void SetUp() override {
        if (!TPtyPair::Available()) GTEST_SKIP() << "needs Wine and socat";
        pair = std::make_unique<TPtyPair>();
        ASSERT_TRUE(pair->Ready()) << pair->Error();
        com = std::make_unique<TTestComm>(nullptr, pair->PortA());
        com->SetBaudRate(57600);
        com->SetByteSize(8);
        com->SetParity(nr::pNone);
        com->SetStopBits(nr::sbOne);
        com->SetStreamProtocol(nr::spNone);
    }
    // Opens the component, then the peer's end.
    void Open() {
        com->SetActive(true);
        ASSERT_TRUE(com->Active());
        workers = com->Threads();
        peer = std::make_unique<TPeerPort>(pair->PortB());
        ASSERT_TRUE(peer->IsOpen());
    }
    void TearDown() override {
        com.reset();
        peer.reset();
        EXPECT_TRUE(WaitThreads(workers));
        pair.reset();
    }
};

}  // namespace serial_test
