// Tests of comm/nrsysutils.cpp.
// The serial-port map and the registry helpers, against a scripted registry
// and, where Wine can show it, the real one.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "../../comm/nrsysutils.h"
#include "../support/discovery_fakes.h"

using namespace nr;
using namespace discovery_test;

namespace {

struct Entry {
    std::wstring Text;
    std::int32_t Number;
    bool operator==(const Entry&) const = default;
};

std::vector<Entry> Entries(const fw::TStringList& l) {
    std::vector<Entry> r;
    for (int i = 0; i < l.Count(); ++i) r.push_back({l.Strings(i), SerialPortNumber(&l, i)});
    return r;
}

FARPROC WINAPI NoProc(HMODULE, LPCSTR) { return nullptr; }
HMODULE WINAPI NoModule(LPCWSTR) { return nullptr; }

void PrintTo(const Entry& e, std::ostream* os) { *os << fw::NarrowUtf8(e.Text) << "/" << e.Number; }

}  // namespace

TEST(SerialPortMap, SortsByNumberAndCarriesIt) {
    TFakeSystem sys;
    sys.AddMapPort(L"\\Device\\Serial0", L"COM1");
    sys.AddMapPort(L"\\Device\\VCP0", L"COM10");
    sys.AddMapPort(L"\\Device\\Serial1", L"COM2");
    fw::TStringList l;
    l.Add(L"stale");
    ListSerialPorts(&l, true);
    EXPECT_EQ(Entries(l),
              (std::vector<Entry>{
                  {L"COM1=\\Device\\Serial0", 1}, {L"COM2=\\Device\\Serial1", 2}, {L"COM10=\\Device\\VCP0", 10}}));
    ListSerialPorts(&l, false);
    EXPECT_EQ(Entries(l), (std::vector<Entry>{{L"COM1", 1}, {L"COM2", 2}, {L"COM10", 10}}));
    EXPECT_EQ(sys.OpenKeys(), 0);
}

TEST(SerialPortMap, NormalisesCaseAndKeepsTheFirstOfADuplicate) {
    TFakeSystem sys;
    sys.AddMapPort(L"\\Device\\Serial3", L"com4");
    sys.AddMapPort(L"\\Device\\Other", L"COM4");
    sys.AddMapPort(L"\\Device\\Modem0", L"MODEM1");  // not a COM port
    fw::TStringList l;
    ListSerialPorts(&l, true);
    EXPECT_EQ(Entries(l), (std::vector<Entry>{{L"COM4=\\Device\\Serial3", 4}}));
}

TEST(SerialPortMap, OddValuesAreSkippedAndTheRestListed) {
    TFakeSystem sys;
    sys.AddMapPort(L"\\Device\\A", L"COMX");
    sys.AddMapPort(L"\\Device\\B", L"COM3A");
    sys.AddMapPort(L"\\Device\\C", L"COM");
    sys.AddMapPort(L"\\Device\\D", L"COM 5");
    sys.AddMapPort(L"\\Device\\E", L"COM-6");
    sys.AddMapPort(L"\\Device\\F", L"COM99999999999");
    sys.AddMapPort(L"\\Device\\I", L"COM65536");  // numbers the port number cannot hold
    sys.AddMapPort(L"\\Device\\J", L"COM99999");
    sys.AddMapPort(L"\\Device\\K", L"COM007");  // leading zeros: not the name of port 7
    sys.AddMapPort(L"\\Device\\L", L"COM00");
    sys.AddMapPort(L"\\Device\\M", L"COM65535");
    sys.AddValue(kSerialMapPath, L"\\Device\\G", std::wstring(200, L'C'));  // data longer than the buffer
    sys.AddValue(kSerialMapPath, std::wstring(300, L'N'), L"COM8");         // name longer than the buffer
    sys.AddValue(kSerialMapPath, L"\\Device\\H", L"COM7", REG_SZ, false);   // stored without its NUL
    sys.AddMapPort(L"\\Device\\Serial1", L"COM2");
    fw::TStringList l;
    ASSERT_NO_THROW(ListSerialPorts(&l, true));
    EXPECT_EQ(Entries(l),
              (std::vector<Entry>{
                  {L"COM2=\\Device\\Serial1", 2}, {L"COM7=\\Device\\H", 7}, {L"COM65535=\\Device\\M", 65535}}));
    EXPECT_EQ(sys.OpenKeys(), 0);
}

TEST(SerialPortMap, MissingMapGivesAnEmptyList) {
    TFakeSystem sys;
    sys.keys_.clear();
    fw::TStringList l;
    l.Add(L"old");
    ListSerialPorts(&l, true);
    EXPECT_EQ(l.Count(), 0);
}

TEST(SerialPortMap, ConsumerPlatformUsesTheSpoolerPortList) {
    TFakeSystem sys;
    sys.ConsumerPlatform = true;
    sys.AddMapPort(L"\\Device\\Serial0", L"COM9");  // not consulted there
    sys.SpoolerPorts = {L"LPT1:", L"COM2:", L"COM1:", L"com3:", L"FILE:", L"COMX:", L"COM2:", L"COM65556:", L"COM04:"};
    fw::TStringList l;
    ListSerialPorts(&l, true);
    EXPECT_EQ(Entries(l), (std::vector<Entry>{{L"COM1=", 1}, {L"COM2=", 2}}));
    EXPECT_EQ(sys.Loads(L"winspool.drv"), sys.Frees(L"winspool.drv"));

    sys.SpoolerPorts.clear();
    ListSerialPorts(&l, true);
    EXPECT_EQ(l.Count(), 0);
}

TEST(SerialPortMap, AddSortedInsertsAppendsAndRefuses) {
    fw::TStringList l;
    AddSerialPortSorted(L"COM5", 5, &l);
    AddSerialPortSorted(L"COM1", 1, &l);
    AddSerialPortSorted(L"COM3", 3, &l);
    AddSerialPortSorted(L"COM7", 7, &l);
    AddSerialPortSorted(L"COM5=\\Device\\X", 5, &l);  // same number as the last
    AddSerialPortSorted(L"COM03", 3, &l);             // same number in the middle
    AddSerialPortSorted(L"com1", 1, &l);              // same text
    EXPECT_EQ(Entries(l), (std::vector<Entry>{{L"COM1", 1}, {L"COM3", 3}, {L"COM5", 5}, {L"COM7", 7}}));
}

TEST(RegistryRoutines, MultiSzToText) {
    const wchar_t ab[] = {L'A', 0, L'B', 0, 0};
    EXPECT_EQ(MultiSzToText(ab, 5, L";"), L"A;B");
    EXPECT_EQ(MultiSzToText(ab, 5, L", "), L"A, B");
    const wchar_t end[] = {0, 0};
    EXPECT_EQ(MultiSzToText(end, 2, L";"), L"");
    const wchar_t x[] = {L'X', 0, 0};
    EXPECT_EQ(MultiSzToText(x, 3, L";"), L"X");
    EXPECT_EQ(MultiSzToText(x, 1, L";"), L"");
    EXPECT_EQ(MultiSzToText(nullptr, 5, L";"), L"");
    const wchar_t words[] = {L'U', L'S', L'B', L'\\', L'1', 0, L'X', L'Y', 0, 0};
    EXPECT_EQ(MultiSzToText(words, 10, L";"), L"USB\\1;XY");
}

TEST(RegistryRoutines, ReadRegistryStringTypes) {
    TFakeSystem sys;
    const std::wstring key = L"SYSTEM\\Dev\\Device Parameters";
    sys.AddValue(key, L"PortName", L"COM3");
    sys.AddValue(key, L"Bare", L"COM4", REG_SZ, false);
    sys.AddValue(key, L"Multi", std::wstring(L"A\0B\0", 4), REG_MULTI_SZ);
    sys.AddRawValue(key, L"Number", REG_DWORD, {0x41, 0, 0x42, 0});
    sys.AddRawValue(key, L"Empty", REG_SZ, {});
    EXPECT_EQ(ReadRegistryString(HKEY_LOCAL_MACHINE, key, L"PortName"), L"COM3");
    EXPECT_EQ(ReadRegistryString(HKEY_LOCAL_MACHINE, key, L"Bare"), L"COM4");
    EXPECT_EQ(ReadRegistryString(HKEY_LOCAL_MACHINE, key, L"Multi"), std::wstring(L"A\0B\0\0", 5));
    EXPECT_EQ(ReadRegistryString(HKEY_LOCAL_MACHINE, key, L"Number"), L"AB");
    EXPECT_EQ(ReadRegistryString(HKEY_LOCAL_MACHINE, key, L"Empty"), L"");
    EXPECT_EQ(ReadRegistryString(HKEY_LOCAL_MACHINE, key, L"Missing"), L"");
    EXPECT_EQ(ReadRegistryString(HKEY_LOCAL_MACHINE, L"SYSTEM\\Nowhere", L"PortName"), L"");
    EXPECT_EQ(sys.OpenKeys(), 0);
}

TEST(RegistryRoutines, KeyPathRecognisesTheRootsInAnyCase) {
    TFakeSystem sys;
    auto pathOf = [&](const std::wstring& kernel, HKEY& root) {
        sys.KernelNames[TFakeSystem::Upper(L"K")] = kernel;
        HKEY k = sys.OpenFakeKey(L"K");
        root = reinterpret_cast<HKEY>(0x1234);
        std::wstring path;
        GetRegistryKeyPath(k, &root, path);
        nr::Win32.RegCloseKey(k);
        return path;
    };
    HKEY root;
    EXPECT_EQ(pathOf(L"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Enum\\USB\\X\\Device Parameters", root),
              L"SYSTEM\\ControlSet001\\Enum\\USB\\X\\Device Parameters");
    EXPECT_EQ(root, HKEY_LOCAL_MACHINE);
    EXPECT_EQ(pathOf(L"\\REGISTRY\\Machine\\Hardware\\DeviceMap", root), L"Hardware\\DeviceMap");
    EXPECT_EQ(root, HKEY_LOCAL_MACHINE);
    EXPECT_EQ(pathOf(L"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1000\\Software\\Test", root), L"Software\\Test");
    EXPECT_EQ(root, HKEY_CURRENT_USER);
    EXPECT_EQ(pathOf(L"\\Registry\\User\\S-1-5-21-1", root), L"");
    EXPECT_EQ(root, HKEY_CURRENT_USER);
    EXPECT_EQ(pathOf(L"\\REGISTRY\\A\\MACHINE\\X", root), L"\\REGISTRY\\A\\MACHINE\\X");
    EXPECT_EQ(root, nullptr);

    // Without a root request the kernel's name comes back as it is.
    sys.KernelNames[L"K"] = L"\\REGISTRY\\MACHINE\\SOFTWARE";
    HKEY k = sys.OpenFakeKey(L"K");
    std::wstring path;
    GetRegistryKeyPath(k, nullptr, path);
    EXPECT_EQ(path, L"\\REGISTRY\\MACHINE\\SOFTWARE");

    root = reinterpret_cast<HKEY>(0x1234);
    GetRegistryKeyPath(reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE), &root, path);
    EXPECT_EQ(path, L"");
    EXPECT_EQ(root, reinterpret_cast<HKEY>(0x1234));

    sys.HasZwQueryKey = false;
    path = L"x";
    GetRegistryKeyPath(k, &root, path);
    EXPECT_EQ(path, L"");
    EXPECT_EQ(sys.Loads(L"ntdll.dll"), sys.Frees(L"ntdll.dll"));
    nr::Win32.RegCloseKey(k);
}

TEST(RegistryRoutines, CallCancelIo) {
    TWin32Guard guard;
    wchar_t dir[MAX_PATH], file[MAX_PATH];
    ASSERT_NE(GetTempPathW(MAX_PATH, dir), 0u);
    ASSERT_NE(GetTempFileNameW(dir, L"nrc", 0, file), 0u);
    HANDLE h = CreateFileW(file, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CallCancelIo(h));

    nr::Win32.GetProcAddress = &NoProc;
    EXPECT_FALSE(CallCancelIo(h));
    nr::Win32.GetModuleHandleW = &NoModule;
    EXPECT_FALSE(CallCancelIo(h));
    CloseHandle(h);
}

// The real map of the Wine prefix: a value added to it shows up at the next
// listing, and nothing else of the prefix's map is lost.
TEST(SerialPortMapReal, AddedValueShowsUp) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr, REG_OPTION_VOLATILE,
                              KEY_SET_VALUE | KEY_QUERY_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    fw::TStringList before;
    ListSerialPorts(&before, true);
    const std::wstring dev = L"\\Device\\DiscoveryTest47", port = L"COM247";
    ASSERT_EQ(RegSetValueExW(key, dev.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(port.c_str()),
                             static_cast<DWORD>((port.size() + 1) * 2)),
              ERROR_SUCCESS);
    fw::TStringList after;
    ListSerialPorts(&after, true);
    RegDeleteValueW(key, dev.c_str());
    RegCloseKey(key);

    int i = after.IndexOf(port + L"=" + dev);
    ASSERT_GE(i, 0) << fw::NarrowUtf8(after.Text());
    EXPECT_EQ(SerialPortNumber(&after, i), 247);
    EXPECT_EQ(after.Count(), before.Count() + 1);
    for (int j = 1; j < after.Count(); ++j) EXPECT_LT(SerialPortNumber(&after, j - 1), SerialPortNumber(&after, j));
}

TEST(RegistryRoutinesReal, KeyPathOfARealKey) {
    HKEY key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP", 0, KEY_READ, &key), ERROR_SUCCESS);
    HKEY root = nullptr;
    std::wstring path;
    GetRegistryKeyPath(key, &root, path);
    RegCloseKey(key);
    EXPECT_EQ(root, HKEY_LOCAL_MACHINE);
    EXPECT_TRUE(fw::SameTextAscii(path, L"HARDWARE\\DEVICEMAP")) << fw::NarrowUtf8(path);
}
