// Port enumeration: the time of one Update (device list rebuilt) in each
// depth, on the real system and on a scripted machine with 50 Plug-and-Play
// devices and 20 ports in the serial-port map.
#include <string>

#include "../tests/support/discovery_fakes.h"
#include "bench.h"
#include "comm/nrcomm.h"
#include "comm/nrwin32di.h"

namespace {

using namespace nr;

const char* ModeName(TnrEnumPorts m) {
    switch (m) {
        case epQuickAll: return "epQuickAll";
        case epFullInfo: return "epFullInfo";
        case epFullPresent: return "epFullPresent";
    }
    return "?";
}

// Runs Update Rounds times after one warm-up call; prints median and 95th
// percentile per call.
void TimeUpdates(TnrComm& com, TnrEnumPorts mode, int Rounds) {
    com.SetEnumPorts(mode);
    com.Update();
    std::vector<double> t;
    t.reserve(Rounds);
    for (int i = 0; i < Rounds; ++i) {
        double s = bench::NowMs();
        com.Update();
        t.push_back(bench::NowMs() - s);
    }
    bench::Line("  %-14s %3d ports  median %8.3f ms  p95 %8.3f ms  (%d calls)", ModeName(mode), com.DeviceCount(),
                bench::Median(t), bench::Percentile(t, 95), Rounds);
}

void Real() {
    UnloadSetupApi();
    TnrComm com(nullptr);
    for (auto mode : {epQuickAll, epFullInfo, epFullPresent}) TimeUpdates(com, mode, mode == epQuickAll ? 500 : 50);
}

void Scripted() {
    using namespace discovery_test;
    TFakeSystem sys;
    // 20 map ports, COM1..COM20.
    for (int n = 1; n <= 20; ++n)
        sys.AddMapPort(L"\\Device\\Serial" + std::to_wstring(n - 1), L"COM" + std::to_wstring(n));
    // 50 devices: 20 behind the map's ports (every fourth unplugged, every
    // second also as a COM port interface), 10 ports Plug-and-Play alone knows,
    // 20 others without a port (modems, adapters, multiport cards).
    for (int n = 1; n <= 20; ++n) {
        auto& d = sys.AddPortsDevice(L"COM" + std::to_wstring(n), L"USB Serial Port", n % 4 != 0);
        d.Children = {L"FTDIBUS\\CHILD\\" + std::to_wstring(n)};
        if (n % 2) d.Interfaces.push_back({kGuidComPortInterface, L"\\\\?\\usb#vcp" + std::to_wstring(n)});
    }
    for (int n = 30; n < 40; ++n) sys.AddPortsDevice(L"COM" + std::to_wstring(n), L"Bluetooth Serial Port", n % 3 != 0);
    const GUID others[] = {kGuidModemClass, kGuidAdapterClass, kGuidMultiportClass};
    for (int i = 0; i < 20; ++i) {
        auto& d = sys.AddDevice(others[i % 3]);
        d.Props[SPDRP_DRIVER] = L"{other}\\" + std::to_wstring(i);
        d.Props[SPDRP_DEVICEDESC] = L"Other device " + std::to_wstring(i);
        d.InstanceId = L"PCI\\OTHER\\" + std::to_wstring(i);
        if (i % 3 == 0) d.Interfaces.push_back({kGuidModemInterface, L"\\\\?\\modem#" + std::to_wstring(i)});
    }
    TnrComm com(nullptr);
    for (auto mode : {epQuickAll, epFullInfo, epFullPresent}) TimeUpdates(com, mode, mode == epQuickAll ? 2000 : 500);
}

}  // namespace

BENCH_SECTION(enum_1_real, "Update per depth, the system's own ports and devices", Real);
BENCH_SECTION(enum_2_scripted, "Update per depth, 50 scripted devices and 20 map ports", Scripted);
