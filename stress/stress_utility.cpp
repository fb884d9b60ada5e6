// The utility itself (Project2.exe) against the simulated module (nrsim
// --mode ack) on a pty pair: its port picked in the port box and START
// pressed again and again, as a user would; every press must log the
// success line, and the module must have received every frame.
#include <algorithm>
#include <string>
#include <vector>

#include "stress.h"
#include "stress_app.h"

using namespace stress;

namespace {

void Utility() {
    serial_test::TPtyPair pair;
    if (!PairReady(pair, "the utility")) return;
    TUtilityRig rig;
    if (!rig.Start(pair.PortA(), pair.PortB(), L"ack")) return;
    const int presses = Reps(200, 20);
    int succeeded = 0;
    std::vector<double> ms;
    for (int i = 0; i < presses; ++i) {
        const double t0 = NowMs();
        std::wstring what;
        if (rig.Press(kSuccess, what)) {
            ++succeeded;
            ms.push_back(NowMs() - t0);
        } else {
            Detail("press %d: %s", i + 1, Narrow(what).c_str());
        }
    }
    All("START presses that logged \"Programming successfull! \"", succeeded, presses);
    Pump(100);
    All("request frames the module received", rig.FramesReceived(), presses);
    if (!ms.empty()) {
        std::sort(ms.begin(), ms.end());
        Reference("START to the success line, median", ms[ms.size() / 2], "ms");
    }
    All("Exit ends the utility with exit code 0", rig.Exit(), 1);
}

}  // namespace

STRESS_SECTION(utility, "The utility pressed against the simulated module", Utility, 300, 90);
