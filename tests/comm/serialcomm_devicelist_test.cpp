// Tests of comm/nrcomm_serial.cpp (the device list).
// The COM port component's device list: the serial-port map merged with the
// Plug-and-Play devices in the three depths, against a scripted machine.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "../../comm/nrcomm.h"
#include "../support/discovery_fakes.h"

using namespace nr;
using namespace discovery_test;

namespace {

using Listing = std::vector<std::pair<std::wstring, std::int32_t>>;

struct SerialCommList : testing::Test {
    TFakeSystem sys;
    std::unique_ptr<TnrComm> com = std::make_unique<TnrComm>(nullptr);
    std::vector<int> notes;

    SerialCommList() {
        com->NotifyAdd([this](TObject*, std::int32_t c) { notes.push_back(c); });
    }
    ~SerialCommList() override {
        com.reset();
        EXPECT_EQ(sys.LiveSets(), 0);
        EXPECT_EQ(sys.OpenKeys(), 0);
    }
    Listing Load(TnrEnumPorts mode) {
        com->SetEnumPorts(mode);
        com->Update();
        Listing l;
        for (int i = 0; i < com->DeviceCount(); ++i) {
            const TnrDevice* d = com->GetDevice(i);
            EXPECT_EQ(d->Index(), i);
            EXPECT_EQ(d->Parent(), com.get());
            l.emplace_back(d->NameFriendly, d->Data);
        }
        return l;
    }
    const TnrDevice& Dev(int i) { return *com->GetDevice(i); }
    // COM1 built in, a USB adapter on COM3.
    TFakeDevice* usb = nullptr;
    void Com1AndUsbAdapter() {
        sys.AddMapPort(L"\\Device\\Serial0", L"COM1");
        sys.AddMapPort(L"\\Device\\VCP0", L"COM3");
        sys.AddPortsDevice(L"COM1", L"Communications Port");
        usb = &sys.AddPortsDevice(L"COM3", L"USB Serial Port");
        usb->Children = {L"FTDIBUS\\CHILD"};
        usb->Interfaces.push_back({kGuidComPortInterface, L"\\\\?\\usb#vcp0"});
    }
};

}  // namespace

TEST_F(SerialCommList, QuickListsTheMapOnlyWithoutAskingPlugAndPlay) {
    Com1AndUsbAdapter();
    EXPECT_EQ(Load(epQuickAll), (Listing{{L"COM1", 1}, {L"COM3", 3}}));
    EXPECT_TRUE(sys.ClassDevsCalls.empty());
    EXPECT_EQ(sys.Loads(L"SetupAPI.dll"), 0);
    const TnrDevice& d = Dev(1);
    EXPECT_EQ(d.NameDeviceDos, L"COM3");
    EXPECT_EQ(d.NamePDO, L"\\Device\\VCP0");
    EXPECT_EQ(d.Description, L"");
    EXPECT_EQ(d.PortName, L"");
    EXPECT_EQ(notes, (std::vector<int>{ncDevicesChanged}));
}

TEST_F(SerialCommList, FullPresentCompletesMapPortsWithTheirDevices) {
    Com1AndUsbAdapter();
    EXPECT_EQ(Load(epFullPresent), (Listing{{L"COM1 (Communications Port)", 1}, {L"COM3 (USB Serial Port)", 3}}));
    const TnrDevice& d = Dev(1);
    EXPECT_EQ(com->GetDevice(1)->NameFriendly, L"COM3 (USB Serial Port)");
    EXPECT_EQ(d.NameDeviceDos, L"COM3");
    EXPECT_EQ(d.NamePDO, L"\\Device\\VCP0");
    EXPECT_EQ(d.PortName, L"COM3");
    EXPECT_EQ(d.Description, L"USB Serial Port");
    EXPECT_EQ(d.Service, L"FTSER2K");
    EXPECT_EQ(d.Manufacturer, L"FTDI");
    EXPECT_EQ(d.Driver, usb->Props[SPDRP_DRIVER]);
    EXPECT_EQ(d.RegKey, usb->KeyPath);
    // Not taken over from the Plug-and-Play entry.
    EXPECT_EQ(d.NameSymbolic, L"");
    EXPECT_EQ(d.InstanceId, L"");
    EXPECT_EQ(d.BusRelations, L"");
    EXPECT_EQ(d.DevInst, 0u);
    EXPECT_EQ(d.Handle, 0u);
    EXPECT_EQ(d.DataEx, 0);

    // Eleven collections in their order, present devices only.
    const std::vector<std::pair<GUID, bool>> expected = {
        {kGuidModemInterface, true},
        {kGuidComPortInterface, true},
        {kGuidPortsClass, true},
        {kGuidPortsClass, false},
        {{0x6BDD1FC5, 0x810F, 0x11D0, {0xBE, 0xC7, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}}, false},
        {kGuidAdapterClass, false},
        {{0xE0CBF06C, 0xCD8B, 0x4647, {0xBB, 0x8A, 0x26, 0x3B, 0x43, 0xF0, 0xF9, 0x74}}, false},
        {kGuidModemClass, false},
        {{0x4D36E971, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}}, false},
        {kGuidMultiportClass, false},
        {{0x8ECC055D, 0x047F, 0x11D1, {0xA5, 0x37, 0x00, 0x00, 0xF8, 0x75, 0x3E, 0xD1}}, false},
    };
    ASSERT_EQ(sys.ClassDevsCalls.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_TRUE(SameGuid(sys.ClassDevsCalls[i].Guid, expected[i].first)) << i;
        DWORD flags = DIGCF_PRESENT | (expected[i].second ? DIGCF_DEVICEINTERFACE : 0);
        EXPECT_EQ(sys.ClassDevsCalls[i].Flags, flags) << i;
    }

    sys.ClassDevsCalls.clear();
    Load(epFullInfo);
    ASSERT_EQ(sys.ClassDevsCalls.size(), expected.size());
    EXPECT_EQ(sys.ClassDevsCalls[0].Flags, static_cast<DWORD>(DIGCF_DEVICEINTERFACE));
    EXPECT_EQ(sys.ClassDevsCalls[3].Flags, 0u);
}

TEST_F(SerialCommList, MapPortWithoutPresentDeviceGoesOnlyInFullPresent) {
    sys.AddMapPort(L"\\Device\\Serial0", L"COM1");
    sys.AddMapPort(L"\\Device\\Serial1", L"COM2");
    sys.AddMapPort(L"\\Device\\Serial2", L"COM4");
    sys.AddPortsDevice(L"COM1", L"Communications Port");
    sys.AddPortsDevice(L"COM2", L"Unplugged Adapter", false);
    EXPECT_EQ(Load(epFullPresent), (Listing{{L"COM1 (Communications Port)", 1}}));
    EXPECT_EQ(Load(epFullInfo),
              (Listing{{L"COM1 (Communications Port)", 1}, {L"COM2 (Unplugged Adapter)", 2}, {L"COM4", 4}}));
}

// The present devices being used up by earlier ports does not make a later
// port without a device count as present.
TEST_F(SerialCommList, FullPresentDropsAPortAfterEveryDeviceWasMatched) {
    sys.AddMapPort(L"\\Device\\Serial0", L"COM1");
    sys.AddMapPort(L"\\Device\\Serial1", L"COM2");
    sys.AddPortsDevice(L"COM1", L"Communications Port");
    EXPECT_EQ(Load(epFullPresent), (Listing{{L"COM1 (Communications Port)", 1}}));
}

TEST_F(SerialCommList, WithoutPlugAndPlayEveryModeListsTheMapPlainly) {
    sys.HasSetupApi = false;
    sys.AddMapPort(L"\\Device\\Serial0", L"COM1");
    sys.AddMapPort(L"\\Device\\Serial1", L"COM2");
    for (auto mode : {epQuickAll, epFullInfo, epFullPresent})
        EXPECT_EQ(Load(mode), (Listing{{L"COM1", 1}, {L"COM2", 2}})) << int(mode);
    sys.HasSetupApi = true;
    sys.MissingExports = {"SetupDiGetINFClassW"};
    EXPECT_EQ(Load(epFullPresent), (Listing{{L"COM1", 1}, {L"COM2", 2}}));
}

TEST_F(SerialCommList, PlugAndPlayOnlyPortIsAddedWithoutDeviceName) {
    sys.AddMapPort(L"\\Device\\Serial0", L"COM1");
    sys.AddPortsDevice(L"COM1", L"Communications Port");
    sys.AddPortsDevice(L"COM7", L"USB Serial Port");
    sys.AddPortsDevice(L"COM9", L"Unplugged Adapter", false);
    EXPECT_EQ(Load(epFullPresent), (Listing{{L"COM1 (Communications Port)", 1}, {L"COM7 (USB Serial Port)", 7}}));
    EXPECT_EQ(Dev(1).NamePDO, L"");
    EXPECT_EQ(Dev(1).NameDeviceDos, L"COM7");
    EXPECT_EQ(Dev(1).PortName, L"COM7");
    EXPECT_EQ(Dev(1).Service, L"FTSER2K");
    EXPECT_EQ(Load(epFullInfo), (Listing{{L"COM1 (Communications Port)", 1},
                                         {L"COM7 (USB Serial Port)", 7},
                                         {L"COM9 (Unplugged Adapter)", 9}}));
}

TEST_F(SerialCommList, InterfaceAndPortsClassOfOnePortGiveOneEntry) {
    auto& d = sys.AddPortsDevice(L"COM3", L"USB Serial Port");
    d.Interfaces.push_back({kGuidComPortInterface, L"\\\\?\\usb#vcp0"});
    for (auto mode : {epFullPresent, epFullInfo}) EXPECT_EQ(Load(mode), (Listing{{L"COM3 (USB Serial Port)", 3}}));
    sys.AddMapPort(L"\\Device\\VCP0", L"COM3");
    for (auto mode : {epFullPresent, epFullInfo}) EXPECT_EQ(Load(mode), (Listing{{L"COM3 (USB Serial Port)", 3}}));
    EXPECT_EQ(Dev(0).NamePDO, L"\\Device\\VCP0");
}

TEST_F(SerialCommList, PortFoundByTheNameInItsDescription) {
    sys.AddMapPort(L"\\Device\\BthModem0", L"COM4");
    auto& m = sys.AddDevice(kGuidModemClass);
    m.Props[SPDRP_DEVICEDESC] = L"Standard Modem over Bluetooth link (COM4)";
    m.Props[SPDRP_DRIVER] = L"{modem}\\0000";
    EXPECT_EQ(Load(epFullPresent), (Listing{{L"COM4 (Standard Modem over Bluetooth link (COM4))", 4}}));
    EXPECT_EQ(Dev(0).Driver, L"{modem}\\0000");
    EXPECT_EQ(Dev(0).PortName, L"");
}

// The component opens a port by number ("COM" and the number in decimal), so
// a port whose name is no such number could only be listed to open another.
TEST_F(SerialCommList, EveryListedPortOpensUnderItsOwnName) {
    sys.AddMapPort(L"\\Device\\Serial0", L"COM1");
    sys.AddMapPort(L"\\Device\\Big", L"COM65556");  // its low 16 bits make 20
    sys.AddMapPort(L"\\Device\\Huge", L"COM99999");
    sys.AddMapPort(L"\\Device\\Zeros", L"COM007");
    sys.AddMapPort(L"\\Device\\Serial19", L"COM20");
    sys.AddMapPort(L"\\Device\\Last", L"COM65535");
    sys.AddPortsDevice(L"COM1", L"Communications Port");
    sys.AddPortsDevice(L"COMA", L"Odd Port A");
    sys.AddPortsDevice(L"COM70000", L"Odd Port B");
    sys.AddPortsDevice(L"COM08", L"Odd Port C");
    sys.AddPortsDevice(L"COM9", L"Plain Port");
    const Listing want[] = {
        {{L"COM1", 1}, {L"COM20", 20}, {L"COM65535", 65535}},
        {{L"COM1 (Communications Port)", 1}, {L"COM9 (Plain Port)", 9}, {L"COM20", 20}, {L"COM65535", 65535}},
        {{L"COM1 (Communications Port)", 1}, {L"COM9 (Plain Port)", 9}},
    };
    for (auto mode : {epQuickAll, epFullInfo, epFullPresent}) {
        EXPECT_EQ(Load(mode), want[mode]) << int(mode);
        for (int i = 0; i < com->DeviceCount(); ++i) {
            com->SetDeviceIndex(i);
            EXPECT_EQ(com->ComName(), Dev(i).NameDeviceDos);
            EXPECT_EQ(com->DeviceIndex(), i);
        }
    }
}

TEST_F(SerialCommList, MapPortWinsOverAPlugAndPlayEntryWithTheSameNumber) {
    sys.AddMapPort(L"\\Device\\Serial2", L"COM3");
    sys.AddPortsDevice(L"COM03", L"Same Number");
    EXPECT_EQ(Load(epFullInfo), (Listing{{L"COM3", 3}}));
    EXPECT_EQ(Dev(0).NamePDO, L"\\Device\\Serial2");

    // Among Plug-and-Play entries the first collected wins.
    sys.AddPortsDevice(L"COM5", L"First");
    sys.AddPortsDevice(L"COM5", L"Second", false);
    EXPECT_EQ(Load(epFullInfo), (Listing{{L"COM3", 3}, {L"COM5 (First)", 5}}));
}

TEST_F(SerialCommList, PortNamesCompareWithoutCaseAndEndAtNul) {
    sys.AddMapPort(L"\\Device\\Serial2", L"COM3");
    sys.AddPortsDevice(L"com3", L"Lower Case");
    auto& d = sys.AddPortsDevice(L"COM9", L"Padded");
    sys.KeyValues(d.KeyPath)->clear();
    sys.AddValue(d.KeyPath, L"PortName", std::wstring(L"COM9\0\0", 6));
    sys.AddPortsDevice(L"com8", L"Lower Case Only");  // not a COM port name of its own
    auto& blank = sys.AddPortsDevice(L"", L"No Description");
    blank.Props.erase(SPDRP_DEVICEDESC);
    EXPECT_EQ(Load(epFullInfo), (Listing{{L"COM3 (Lower Case)", 3}, {L"COM9 (Padded)", 9}}));
    EXPECT_EQ(Dev(1).NameDeviceDos, L"COM9");

    sys.AddPortsDevice(L"COM12", L"");
    EXPECT_EQ(Load(epFullInfo), (Listing{{L"COM3 (Lower Case)", 3}, {L"COM9 (Padded)", 9}, {L"COM12", 12}}));
}

TEST_F(SerialCommList, UpdateReloadsAndTheSelectionFollowsThePortNumber) {
    sys.AddMapPort(L"\\Device\\Serial0", L"COM1");
    sys.AddMapPort(L"\\Device\\Serial4", L"COM5");
    com->SetComPortNo(5);
    notes.clear();
    EXPECT_EQ(com->DeviceCount(), 0);
    com->GetDeviceList(nullptr);  // an empty list loads on demand
    EXPECT_EQ(com->DeviceCount(), 2);
    EXPECT_EQ(com->DeviceIndex(), 1);
    EXPECT_TRUE(notes.empty());

    sys.KeyValues(kSerialMapPath)->erase(sys.KeyValues(kSerialMapPath)->begin());  // COM1 goes
    com->Update();
    EXPECT_EQ(com->DeviceCount(), 1);
    EXPECT_EQ(com->DeviceIndex(), 0);
    EXPECT_EQ(notes, (std::vector<int>{ncDevicesChanged}));
    sys.KeyValues(kSerialMapPath)->clear();
    com->Update();
    EXPECT_EQ(com->DeviceIndex(), -1);
    EXPECT_EQ(com->ComPortNo(), 5);
}
