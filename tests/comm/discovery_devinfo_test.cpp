// Tests of comm/nrwin32di.cpp.
// Device-information access: run-time binding of SetupAPI and the
// configuration manager, and the device records, against a scripted
// Plug-and-Play database.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "../../comm/nrclasses.h"
#include "../../comm/nrwin32di.h"
#include "../support/discovery_fakes.h"

using namespace nr;
using namespace discovery_test;

namespace {

// A device list that owns the records CollectDevices hands over.
struct Collected {
    fw::TStringList list{true};
    int Count() const { return list.Count(); }
    TnrDevice& operator[](int i) const { return *static_cast<TnrDevice*>(list.Objects(i)); }
};

const char* kCmNames[] = {"CM_Locate_DevNodeW",     "CM_Get_DevNode_Registry_PropertyW",
                          "CM_Get_Parent",          "CM_Get_Device_ID_List_SizeW",
                          "CM_Get_Device_ID_ListW", "CM_Get_Child",
                          "CM_Get_Sibling",         "CM_Request_Device_EjectW"};

}  // namespace

TEST(SetupApiBinding, ConfigurationManagerFromCfgMgrWhenSetupApiLacksIt) {
    TFakeSystem sys;
    sys.SetupApiExportsCm = false;
    ASSERT_TRUE(LoadSetupApi());
    EXPECT_EQ(sys.Loads(L"cfgmgr32.dll"), 1);
    for (const char* n : kCmNames) EXPECT_EQ(sys.BoundFrom[n], L"CFGMGR32.DLL") << n;
    EXPECT_EQ(sys.BoundFrom["SetupDiGetClassDevsW"], L"SETUPAPI.DLL");
    EXPECT_TRUE(LoadSetupApi());  // bound once
    EXPECT_EQ(sys.Loads(L"SetupAPI.dll"), 1);
    UnloadSetupApi();
    EXPECT_EQ(sys.Frees(L"SetupAPI.dll"), 1);
    EXPECT_EQ(sys.Frees(L"cfgmgr32.dll"), 1);
}

TEST(SetupApiBinding, ConfigurationManagerFromSetupApiWhenItExportsIt) {
    TFakeSystem sys;
    ASSERT_TRUE(LoadSetupApi());
    EXPECT_EQ(sys.Loads(L"cfgmgr32.dll"), 0);
    for (const char* n : kCmNames) EXPECT_EQ(sys.BoundFrom[n], L"SETUPAPI.DLL") << n;
}

TEST(SetupApiBinding, MissingRequiredEntryPointBindsNothingAndRetries) {
    for (const char* missing :
         {"SetupDiGetINFClassW", "SetupDiGetClassDevsW", "CM_Get_Sibling", "CM_Locate_DevNodeW"}) {
        TFakeSystem sys;
        sys.SetupApiExportsCm = false;
        sys.AddPortsDevice(L"COM3", L"USB Serial Port");
        sys.MissingExports = {missing};
        Collected c;
        CollectDevices(&kGuidPortsClass, true, true, &c.list, false);
        EXPECT_EQ(c.Count(), 0) << missing;
        EXPECT_TRUE(sys.ClassDevsCalls.empty()) << missing;
        EXPECT_EQ(sys.Loads(L"SetupAPI.dll"), sys.Frees(L"SetupAPI.dll")) << missing;
        EXPECT_EQ(sys.Loads(L"cfgmgr32.dll"), sys.Frees(L"cfgmgr32.dll")) << missing;
        EXPECT_FALSE(LoadSetupApi());
        EXPECT_EQ(sys.Loads(L"SetupAPI.dll"), 2) << missing;

        sys.MissingExports.clear();
        CollectDevices(&kGuidPortsClass, true, true, &c.list, false);
        EXPECT_EQ(c.Count(), 1) << missing;
    }
}

TEST(SetupApiBinding, OptionalEntryPointsMayBeMissing) {
    TFakeSystem sys;
    sys.MissingExports = {"SetupDiRemoveDevice", "SetupDiUnremoveDevice", "SetupDiOpenDeviceInfoW",
                          "CM_Request_Device_EjectW"};
    EXPECT_TRUE(LoadSetupApi());
}

TEST(SetupApiBinding, NoSetupApiAtAll) {
    TFakeSystem sys;
    sys.HasSetupApi = false;
    sys.AddPortsDevice(L"COM3", L"USB Serial Port");
    Collected c;
    CollectDevices(&kGuidPortsClass, false, true, &c.list, false);
    EXPECT_EQ(c.Count(), 0);
    sys.SetupApiExportsCm = false;
    sys.HasSetupApi = true;
    sys.HasCfgMgr = false;
    CollectDevices(&kGuidPortsClass, false, true, &c.list, false);
    EXPECT_EQ(c.Count(), 0);
    EXPECT_EQ(sys.Loads(L"SetupAPI.dll"), sys.Frees(L"SetupAPI.dll"));
}

TEST(DeviceInfo, PropertyOf255CharactersReadsWholeAnd256Empty) {
    TFakeSystem sys;
    auto& d = sys.AddPortsDevice(L"COM3", std::wstring(255, L'd'));
    d.Props[SPDRP_MFG] = std::wstring(256, L'm');
    d.Props.erase(SPDRP_SERVICE);
    d.Props[SPDRP_DRIVER] = L"";
    Collected c;
    CollectDevices(&kGuidPortsClass, true, true, &c.list, false);
    ASSERT_EQ(c.Count(), 1);
    EXPECT_EQ(c[0].Description, std::wstring(255, L'd'));
    EXPECT_EQ(c[0].Manufacturer, L"");
    EXPECT_EQ(c[0].Service, L"");
    EXPECT_EQ(c[0].Driver, L"");
    EXPECT_EQ(c[0].PortName, L"COM3");
}

TEST(DeviceInfo, PortsClassRecordsCarryTheirFields) {
    TFakeSystem sys;
    auto& usb = sys.AddPortsDevice(L"COM3", L"USB Serial Port");
    usb.Children = {L"FTDIBUS\\CHILD\\1", L"FTDIBUS\\CHILD\\2"};
    auto& gone = sys.AddPortsDevice(L"COM4", L"Unplugged Adapter", false);
    sys.AddDevice(kGuidModemClass).Props[SPDRP_DRIVER] = L"modem";  // another class

    Collected c;
    CollectDevices(&kGuidPortsClass, true, true, &c.list, false);
    ASSERT_EQ(c.Count(), 1);
    const TnrDevice& r = c[0];
    EXPECT_EQ(c.list.Strings(0), usb.Props[SPDRP_DRIVER]);
    EXPECT_EQ(r.Driver, usb.Props[SPDRP_DRIVER]);
    EXPECT_EQ(r.Service, L"FTSER2K");
    EXPECT_EQ(r.NamePDO, usb.Props[SPDRP_PHYSICAL_DEVICE_OBJECT_NAME]);
    EXPECT_EQ(r.Description, L"USB Serial Port");
    EXPECT_EQ(r.Manufacturer, L"FTDI");
    EXPECT_EQ(r.RegKey, usb.KeyPath);
    EXPECT_EQ(r.NameSymbolic, L"\\??\\" + usb.InstanceId);
    EXPECT_EQ(r.PortName, L"COM3");
    EXPECT_EQ(r.InstanceId, usb.InstanceId);
    EXPECT_EQ(r.DevInst, usb.DevInst);
    EXPECT_EQ(r.BusRelations, L"FTDIBUS\\CHILD\\1;FTDIBUS\\CHILD\\2");
    EXPECT_EQ(r.NameFriendly, L"");
    EXPECT_EQ(r.Data, 0);
    EXPECT_EQ(sys.ClassDevsCalls.back().Flags, static_cast<DWORD>(DIGCF_PRESENT));
    EXPECT_EQ(sys.RelationFilters.back(), static_cast<ULONG>(CM_GETIDLIST_FILTER_BUSRELATIONS));

    // Installed but unplugged devices come too when not only present ones are asked.
    Collected all;
    CollectDevices(&kGuidPortsClass, false, true, &all.list, false);
    ASSERT_EQ(all.Count(), 2);
    EXPECT_EQ(all[1].PortName, L"COM4");
    EXPECT_EQ(all[1].InstanceId, gone.InstanceId);
    EXPECT_EQ(all[1].BusRelations, L"");
    EXPECT_EQ(sys.ClassDevsCalls.back().Flags, 0u);

    EXPECT_EQ(sys.LiveSets(), 0);
    EXPECT_EQ(sys.OpenKeys(), 0);
}

TEST(DeviceInfo, InterfaceRecordsCarryTheDevicePathOnly) {
    TFakeSystem sys;
    auto& a = sys.AddPortsDevice(L"COM3", L"USB Serial Port");
    a.Interfaces.push_back({kGuidComPortInterface, L"\\\\?\\usb#vid_0403&pid_6001#a#{86e0d1e0}"});
    auto& b = sys.AddPortsDevice(L"COM6", L"Broken");
    b.Interfaces.push_back({kGuidComPortInterface, L"\\\\?\\broken", true});
    auto& m = sys.AddDevice(kGuidModemClass);
    m.Interfaces.push_back({kGuidModemInterface, L"\\\\?\\modem"});

    Collected c;
    CollectDevices(&kGuidComPortInterface, true, false, &c.list, true);
    ASSERT_EQ(c.Count(), 1);
    EXPECT_EQ(c[0].NameSymbolic, L"\\\\?\\usb#vid_0403&pid_6001#a#{86e0d1e0}");
    EXPECT_EQ(c[0].Description, L"USB Serial Port");
    EXPECT_EQ(c[0].Driver, a.Props[SPDRP_DRIVER]);
    EXPECT_EQ(c[0].RegKey, L"");
    EXPECT_EQ(c[0].PortName, L"");
    EXPECT_EQ(c[0].InstanceId, L"");
    EXPECT_EQ(c[0].DevInst, 0u);
    EXPECT_EQ(sys.ClassDevsCalls.back().Flags, static_cast<DWORD>(DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));

    // By device with the interface asked for: the path replaces SymbolicName.
    Collected byDev;
    CollectDevices(&kGuidComPortInterface, true, true, &byDev.list, true);
    ASSERT_EQ(byDev.Count(), 2);
    EXPECT_EQ(byDev[0].NameSymbolic, a.Interfaces[0].Path);
    EXPECT_EQ(byDev[0].PortName, L"COM3");
    EXPECT_EQ(byDev[1].NameSymbolic, L"\\??\\" + b.InstanceId);  // its detail failed
    EXPECT_EQ(sys.LiveSets(), 0);
}

TEST(DeviceInfo, BadSystemDataNeverAbortsTheListing) {
    TFakeSystem sys;
    auto& bare = sys.AddDevice(kGuidPortsClass);  // no properties, no key, no identifier
    auto& longId = sys.AddPortsDevice(L"COM8", L"Long identifier");
    longId.InstanceId = std::wstring(256, L'I');
    auto& keyless = sys.AddPortsDevice(L"COM9", L"Keyless");
    keyless.KeyPath = L"SYSTEM\\NotThere";
    sys.AddPortsDevice(L"COM10", L"Fine");

    Collected c;
    CollectDevices(&kGuidPortsClass, true, true, &c.list, false);
    ASSERT_EQ(c.Count(), 4);
    EXPECT_EQ(c[0].Driver, L"");
    EXPECT_EQ(c[0].RegKey, L"");
    EXPECT_EQ(c[0].InstanceId, L"");
    EXPECT_EQ(c[0].DevInst, 0u);
    EXPECT_EQ(c[1].InstanceId, L"");
    EXPECT_EQ(c[1].BusRelations, L"");
    EXPECT_EQ(c[1].PortName, L"COM8");
    EXPECT_EQ(c[2].PortName, L"");
    EXPECT_EQ(c[2].RegKey, L"");
    EXPECT_EQ(c[3].PortName, L"COM10");
    (void)bare;

    sys.ClassDevsFails = true;
    Collected none;
    CollectDevices(&kGuidPortsClass, true, true, &none.list, false);
    EXPECT_EQ(none.Count(), 0);
    EXPECT_EQ(sys.LiveSets(), 0);
    EXPECT_EQ(sys.OpenKeys(), 0);
}

// Wine's SetupAPI knows no COM port: the binding works and lists nothing.
TEST(DeviceInfoReal, WineListsNoPorts) {
    UnloadSetupApi();
    EXPECT_TRUE(LoadSetupApi());
    fw::TStringList list(true);
    CollectDevices(&kGuidPortsClass, false, true, &list, false);
    CollectDevices(&kGuidComPortInterface, false, false, &list, true);
    EXPECT_EQ(list.Count(), 0);
    UnloadSetupApi();
}
