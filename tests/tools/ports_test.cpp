// The port lister: its listing in each depth on a scripted machine, every
// error path, and the program itself on the test prefix with chosen ports.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "discovery_fakes.h"
#include "ports.h"

using namespace discovery_test;

namespace {

struct TRun {
    int Code = -1;
    std::wstring Out, Err;
};

TRun Ports(std::vector<std::wstring> Args) {
    TRun r;
    r.Code = nrports::Run(Args, r.Out, r.Err);
    return r;
}

// COM1 built in; a USB adapter on COM3; COM5 in the map with no device
// behind it; an adapter last seen on COM7, unplugged now.
struct PortsList : testing::Test {
    TFakeSystem sys;
    PortsList() {
        sys.AddMapPort(L"\\Device\\Serial0", L"COM1");
        sys.AddMapPort(L"\\Device\\VCP0", L"COM3");
        sys.AddMapPort(L"\\Device\\Serial4", L"COM5");
        auto& com1 = sys.AddPortsDevice(L"COM1", L"Communications Port", true, L"ACPI\\PNP0501\\1");
        com1.Props[SPDRP_MFG] = L"(Standard port types)";
        com1.Props[SPDRP_SERVICE] = L"Serial";
        sys.AddPortsDevice(L"COM3", L"USB Serial Port");
        sys.AddPortsDevice(L"COM7", L"USB Serial Port", false);
    }
};

}  // namespace

TEST_F(PortsList, EachModeListsOnePortALineWithItsIdentity) {
    TRun quick = Ports({L"--mode", L"quick"});
    EXPECT_EQ(quick.Code, nrports::exListed);
    EXPECT_EQ(quick.Out, L"COM1\nCOM3\nCOM5\n");
    EXPECT_EQ(quick.Err, L"3 ports\n");

    TRun info = Ports({L"-m", L"info"});
    EXPECT_EQ(info.Code, nrports::exListed);
    EXPECT_EQ(info.Out,
              L"COM1 (Communications Port)  [(Standard port types), Serial]\n"
              L"COM3 (USB Serial Port)      [FTDI, FTSER2K, 0403:6001 1002]\n"
              L"COM5\n"
              L"COM7 (USB Serial Port)      [FTDI, FTSER2K, 0403:6001 1003]\n");

    // The default: what is plugged in now.
    const std::wstring present =
        L"COM1 (Communications Port)  [(Standard port types), Serial]\n"
        L"COM3 (USB Serial Port)      [FTDI, FTSER2K, 0403:6001 1002]\n";
    EXPECT_EQ(Ports({L"-m", L"present"}).Out, present);
    TRun plain = Ports({});
    EXPECT_EQ(plain.Code, nrports::exListed);
    EXPECT_EQ(plain.Out, present);
}

TEST_F(PortsList, VerboseShowsEveryFieldOfEachPort) {
    TRun r = Ports({L"-v", L"-m", L"present"});
    ASSERT_EQ(r.Code, nrports::exListed);
    const std::wstring com3 = r.Out.substr(r.Out.find(L"\nCOM3 (USB Serial Port)\n") + 1);
    EXPECT_NE(com3.find(L"  Index          1\n"), std::wstring::npos);
    EXPECT_NE(com3.find(L"  Data           3\n"), std::wstring::npos);
    EXPECT_NE(com3.find(L"  NameDeviceDos  COM3\n"), std::wstring::npos);
    EXPECT_NE(com3.find(L"  NamePDO        \\Device\\VCP0\n"), std::wstring::npos);
    EXPECT_NE(com3.find(L"  Description    USB Serial Port\n"), std::wstring::npos);
    EXPECT_NE(com3.find(L"  RegKey         " + sys.Devices[1]->KeyPath + L"\n"), std::wstring::npos);
    EXPECT_NE(com3.find(L"  Driver         " + sys.Devices[1]->Props[SPDRP_DRIVER] + L"\n"), std::wstring::npos);
    for (const wchar_t* field : {L"NameFriendly", L"NameSymbolic", L"Manufacturer", L"Service", L"PortName",
                                 L"InstanceId", L"BusRelations", L"DevInst", L"Handle", L"DataEx"})
        EXPECT_NE(com3.find(L"\n  " + std::wstring(field) + L" "), std::wstring::npos) << field;
    // One block per port, a blank line between them.
    EXPECT_EQ(r.Out.find(L"COM1 (Communications Port)\n  Index          0\n"), 0u);
    EXPECT_NE(r.Out.find(L"\n\nCOM3 (USB Serial Port)\n"), std::wstring::npos);
}

TEST(PortsIdentity, InstanceIdsGiveVidPidAndSerialNumber) {
    const std::vector<std::pair<std::wstring, nrports::TUsbIdentity>> cases = {
        {L"USB\\VID_0403&PID_6001\\A12345", {L"0403", L"6001", L"A12345"}},
        {L"FTDIBUS\\VID_0403+PID_6015+DK0AB1CDA\\0000", {L"0403", L"6015", L"DK0AB1CDA"}},
        {L"usb\\vid_10c4&pid_ea60\\0001", {L"10C4", L"EA60", L"0001"}},
        // Ids Windows makes up for a device without a serial number.
        {L"USB\\VID_2341&PID_0043&MI_00\\6&2E7F1B&0&0000", {L"2341", L"0043", L""}},
        {L"USB\\VID_0403", {L"0403", L"", L""}},
        {L"ACPI\\PNP0501\\1", {}},
        {L"USB\\VID_04X3&PID_6001\\A1", {}},
    };
    for (const auto& [id, want] : cases) {
        const nrports::TUsbIdentity got = nrports::ParseInstanceId(id);
        EXPECT_EQ(got.Vid + L":" + got.Pid + L":" + got.Serial, want.Vid + L":" + want.Pid + L":" + want.Serial) << id;
    }
}

TEST_F(PortsList, JsonAndFilterCarryTheAdaptersIdentity) {
    const std::wstring id = L"FTDIBUS\\VID_0403+PID_6015+DK0AB1CDA\\0000";
    sys.AddPortsDevice(L"COM9", L"Dual \"RS-485\\422\" \u00FC\u20AC\t", true, id);
    sys.AddValue(L"SYSTEM\\CurrentControlSet\\Enum\\" + id, L"LocationInformation", L"Port_#0002.Hub_#0001");
    TRun r = Ports({L"--json", L"--filter=ftdibus\\*"});
    EXPECT_EQ(r.Code, nrports::exListed) << r.Err;
    EXPECT_EQ(r.Out,
              LR"j({"number":9,"port":"COM9","name":"COM9 (Dual \"RS-485\\422\" \u00FC\u20AC\u0009)",)j"
              LR"j("description":"Dual \"RS-485\\422\" \u00FC\u20AC\u0009","manufacturer":"FTDI",)j"
              LR"j("service":"FTSER2K","instance_id":"FTDIBUS\\VID_0403+PID_6015+DK0AB1CDA\\0000",)j"
              LR"j("vid":"0403","pid":"6015","serial":"DK0AB1CDA","location":"Port_#0002.Hub_#0001"})j"
              L"\n");
    EXPECT_EQ(r.Err, L"1 port\n");

    // Whole matches, ignoring case, on the name, description, instance id or VID:PID.
    for (const auto& [pattern, ports] : std::vector<std::pair<std::wstring, std::wstring>>{
             {L"com?", L"COM1 COM3 COM9 "}, {L"COM", L""}, {L"*serial port", L"COM3 "}, {L"0403:6015", L"COM9 "}}) {
        std::wistringstream lines(Ports({L"-f", pattern}).Out);
        std::wstring names;
        for (std::wstring l; std::getline(lines, l);) names += l.substr(0, l.find(L' ')) + L" ";
        EXPECT_EQ(names, ports) << pattern;
    }
}

TEST(PortsErrors, NoPortIsAnErrorOfItsOwn) {
    TFakeSystem sys;
    TRun r = Ports({});
    EXPECT_EQ(r.Code, nrports::exNoPorts);
    EXPECT_EQ(r.Out, L"");
    EXPECT_EQ(r.Err, L"nrports: no serial port found\n");

    // A port in the map whose device is not plugged in; the only device
    // present is a printer port.
    sys.AddMapPort(L"\\Device\\Serial1", L"COM2");
    sys.AddPortsDevice(L"COM2", L"USB Serial Port", false);
    sys.AddPortsDevice(L"LPT1", L"Printer Port");
    EXPECT_EQ(Ports({L"-m", L"present"}).Code, nrports::exNoPorts);
    EXPECT_EQ(Ports({L"-m", L"quick"}).Out, L"COM2\n");
}

TEST(PortsErrors, BadArgumentsAreNamedWithTheUsage) {
    TFakeSystem sys;
    sys.AddMapPort(L"\\Device\\Serial0", L"COM1");
    const std::vector<std::pair<std::vector<std::wstring>, std::wstring>> cases = {
        {{L"--list"}, L"nrports: unknown argument \"--list\"\n"},
        {{L"-m"}, L"nrports: -m needs a mode: quick, info or present\n"},
        {{L"-v", L"--mode", L"fast"}, L"nrports: unknown mode \"fast\": quick, info or present\n"},
        {{L"COM1"}, L"nrports: unknown argument \"COM1\"\n"},
        {{L"--mode=fast"}, L"nrports: unknown mode \"fast\": quick, info or present\n"},
        {{L"--json=yes"}, L"nrports: --json takes no value\n"},
        {{L"-v", L"--json"}, L"nrports: -v and --json exclude each other\n"},
        {{L"--pnp=COM1", L"-f", L"*"}, L"nrports: --pnp takes no --json or --filter\n"},
    };
    for (const auto& [args, message] : cases) {
        TRun r = Ports(args);
        EXPECT_EQ(r.Code, nrports::exBadArgument) << message;
        EXPECT_EQ(r.Out, L"");
        EXPECT_EQ(r.Err.rfind(message, 0), 0u) << r.Err;
        EXPECT_NE(r.Err.find(L"usage: nrports"), std::wstring::npos);
    }
    TRun help = Ports({L"-h"});
    EXPECT_EQ(help.Code, nrports::exListed);
    EXPECT_EQ(help.Out.rfind(L"usage: nrports", 0), 0u);
    EXPECT_EQ(help.Err, L"");
    EXPECT_EQ(Ports({L"--version"}).Out.rfind(L"nrports ", 0), 0u);
}
