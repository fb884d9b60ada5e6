// The port lister: its listing in each depth on a scripted machine, every
// error path, and the program itself on the test prefix with chosen ports.
#include <gtest/gtest.h>

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
        auto& com1 = sys.AddPortsDevice(L"COM1", L"Communications Port");
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
    EXPECT_EQ(quick.Err, L"");

    TRun info = Ports({L"-m", L"info"});
    EXPECT_EQ(info.Code, nrports::exListed);
    EXPECT_EQ(info.Out,
              L"COM1 (Communications Port)  [(Standard port types), Serial]\n"
              L"COM3 (USB Serial Port)      [FTDI, FTSER2K]\n"
              L"COM5\n"
              L"COM7 (USB Serial Port)      [FTDI, FTSER2K]\n");

    // The default: what is plugged in now.
    const std::wstring present =
        L"COM1 (Communications Port)  [(Standard port types), Serial]\n"
        L"COM3 (USB Serial Port)      [FTDI, FTSER2K]\n";
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
}
