// Tests of comm/nrcomm_serial.cpp (port identity and selection).
// The COM port component's identity and selection: built defaults, port
// number and enumeration, DeviceIndex, external handles; and the whole path
// on real ports of the Wine prefix (serial-port map, selection, open, bytes).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "../../comm/nrcomm.h"
#include "../../comm/nrsysutils.h"
#include "../support/discovery_fakes.h"
#include "../support/engine_components.h"
#include "../support/pty_pair.h"

using namespace nr;
using namespace discovery_test;
using namespace serial_test;

namespace {

// Shows protected state the tests look at.
class TProbeComm : public TnrComm {
public:
    using TnrComm::TnrComm;
    HANDLE PendingExtHandle() const { return fExtHandle; }
    DWORD ConfigSize() const { return CommCfg.dwSize; }
    DWORD ConfigBaud() const { return CommCfg.dcb.BaudRate; }
    // The worker threads of the current open.
    void AddThreads(std::vector<std::shared_ptr<fw::TThreadControl>>& v) const {
        if (fMsgThreadControl) v.push_back(fMsgThreadControl);
        if (fCommThreadControl) v.push_back(fCommThreadControl);
    }
};

int gCreateCalls = 0;
HANDLE WINAPI CountingCreateFile(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    ++gCreateCalls;
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

// COM1's defaults held by a provider with private data: the size asked for
// is bigger than the record, nothing is written.
BOOL WINAPI BigDefaultConfig(LPCWSTR, LPCOMMCONFIG, LPDWORD Size) {
    *Size = 400;
    ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
}

std::vector<std::wstring> Friendly(TnrComm& c) {
    std::vector<std::wstring> v;
    for (int i = 0; i < c.DeviceCount(); ++i) v.push_back(c.GetDevice(i)->NameFriendly);
    return v;
}

}  // namespace

TEST(SerialComm, BuiltDefaults) {
    TnrComm com(nullptr);
    EXPECT_EQ(com.BaudRate(), 19200u);
    EXPECT_EQ(com.ByteSize(), 8);
    EXPECT_EQ(com.Parity(), pNone);
    EXPECT_EQ(com.StopBits(), sbOne);
    EXPECT_EQ(com.StreamProtocol(), spHardware);
    EXPECT_EQ(com.EventChar(), L'\0');
    EXPECT_EQ(com.ComPortNo(), 1);
    EXPECT_EQ(com.ComPort(), cpCOM1);
    EXPECT_EQ(com.ComName(), L"COM1");
    EXPECT_EQ(com.EnumPorts(), epQuickAll);
    EXPECT_EQ(com.BufferInSize(), 8192);
    EXPECT_EQ(com.BufferOutSize(), 8192);
    EXPECT_EQ(com.TimeoutRead(), 0u);
    EXPECT_EQ(com.TimeoutWrite(), 100u);
    EXPECT_TRUE(com.UseMainThread());
    EXPECT_FALSE(com.RS485Mode());
    EXPECT_TRUE(com.TraceStates().Empty());
    EXPECT_FALSE(com.Active());
    EXPECT_EQ(com.DeviceCount(), 0);
    EXPECT_EQ(com.ClassName(), L"TnrComm");

    // The published ordinal properties reach the same state.
    EXPECT_TRUE(fw::SetOrdProp(&com, L"ComPortNo", 4));
    EXPECT_TRUE(fw::SetOrdProp(&com, L"EnumPorts", epFullPresent));
    EXPECT_TRUE(fw::SetOrdProp(&com, L"BaudRate", 57600));
    std::int64_t v = 0;
    EXPECT_TRUE(fw::GetOrdProp(&com, L"ComPort", v));
    EXPECT_EQ(v, cpCOM4);
    EXPECT_EQ(com.EnumPorts(), epFullPresent);
    EXPECT_EQ(com.BaudRate(), 57600u);
}

TEST(SerialComm, DefaultConfigurationNeverLeavesAnOversizedRecord) {
    TWin32Guard guard;
    Win32.GetDefaultCommConfigW = &BigDefaultConfig;
    TProbeComm com(nullptr);
    EXPECT_EQ(com.ConfigSize(), sizeof(COMMCONFIG));
    EXPECT_EQ(com.ConfigBaud(), 19200u);
}

TEST(SerialComm, PortNumberAndEnumeration) {
    TnrComm com(nullptr);
    std::vector<int> notes;
    com.NotifyAdd([&](TObject*, std::int32_t c) { notes.push_back(c); });
    com.SetComPort(cpCOM5);
    EXPECT_EQ(com.ComPortNo(), 5);
    EXPECT_EQ(com.ComName(), L"COM5");
    com.SetComPortNo(12);
    EXPECT_EQ(com.ComPort(), cpCOMxx);
    EXPECT_EQ(com.ComName(), L"COM12");
    notes.clear();
    com.SetComPort(cpCOMxx);
    EXPECT_EQ(com.ComPortNo(), 12);
    EXPECT_TRUE(notes.empty());
    com.SetComPortNo(8);
    EXPECT_EQ(com.ComPort(), cpCOM8);
    com.SetComPortNo(9);
    EXPECT_EQ(com.ComPort(), cpCOMxx);
    com.SetComPortNo(9);  // the same number still tells the listeners
    EXPECT_EQ(notes, (std::vector<int>{3, 3, 3}));
}

TEST(SerialComm, DeviceIndexSelectsByPositionOnly) {
    TFakeSystem sys;
    sys.AddMapPort(L"\\Device\\Serial0", L"COM1");
    sys.AddMapPort(L"\\Device\\Serial2", L"COM3");
    sys.AddMapPort(L"\\Device\\Serial4", L"COM5");
    TnrComm com(nullptr);
    com.Update();
    std::vector<int> notes;
    com.NotifyAdd([&](TObject*, std::int32_t c) { notes.push_back(c); });
    ASSERT_EQ(com.DeviceCount(), 3);
    EXPECT_EQ(com.DeviceIndex(), 0);

    com.SetDeviceIndex(-1);
    com.SetDeviceIndex(com.DeviceCount());
    EXPECT_EQ(com.ComPortNo(), 1);
    EXPECT_TRUE(notes.empty());

    com.SetDeviceIndex(2);
    EXPECT_EQ(com.ComPortNo(), 5);
    EXPECT_EQ(com.DeviceIndex(), 2);
    com.SetDeviceIndex(2);
    EXPECT_EQ(notes, (std::vector<int>{3, 3}));

    com.SetComPortNo(4);  // not listed
    EXPECT_EQ(com.DeviceIndex(), -1);
    EXPECT_FALSE(com.Active());
}

TEST(SerialComm, ExtHandleZeroOrInvalidDoesNothing) {
    TWin32Guard guard;
    Win32.CreateFileW = &CountingCreateFile;
    gCreateCalls = 0;
    TProbeComm com(nullptr);
    std::vector<int> notes;
    com.NotifyAdd([&](TObject*, std::int32_t c) { notes.push_back(c); });
    com.SetExtHandle(nullptr);
    com.SetExtHandle(INVALID_HANDLE_VALUE);
    EXPECT_FALSE(com.Active());
    EXPECT_EQ(com.PendingExtHandle(), nullptr);
    EXPECT_TRUE(notes.empty());
    EXPECT_EQ(gCreateCalls, 0);
}

// ---- real ports: a pty pair whose first end is entered in the prefix's
// serial-port map, as Wine does for the ports it makes itself.

namespace {

// A volatile value of the real serial-port map, removed again at the end.
class TMapEntry {
public:
    TMapEntry(const std::wstring& Device, std::uint32_t Port) : device_(Device) {
        const std::wstring port = L"COM" + std::to_wstring(Port);
        ok_ = RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr, REG_OPTION_VOLATILE,
                              KEY_SET_VALUE, nullptr, &key_, nullptr) == ERROR_SUCCESS &&
              RegSetValueExW(key_, device_.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(port.c_str()),
                             static_cast<DWORD>((port.size() + 1) * 2)) == ERROR_SUCCESS;
    }
    ~TMapEntry() {
        if (key_) {
            RegDeleteValueW(key_, device_.c_str());
            RegCloseKey(key_);
        }
    }
    bool Ok() const { return ok_; }

private:
    std::wstring device_;
    HKEY key_ = nullptr;
    bool ok_ = false;
};

struct SerialCommPty : testing::Test {
    std::unique_ptr<TPtyPair> pair;
    std::unique_ptr<TMapEntry> entry;
    std::unique_ptr<TProbeComm> com;
    std::vector<int> notes;
    std::string received;
    std::vector<std::shared_ptr<fw::TThreadControl>> workers;

    void SetUp() override {
        if (!TPtyPair::Available()) GTEST_SKIP() << "needs Wine and socat";
        pair = std::make_unique<TPtyPair>();
        ASSERT_TRUE(pair->Ready()) << pair->Error();
        entry = std::make_unique<TMapEntry>(L"\\Device\\DiscoveryPty", pair->PortA());
        ASSERT_TRUE(entry->Ok());
        com = std::make_unique<TProbeComm>(nullptr);
        com->SetBaudRate(57600);
        com->SetStreamProtocol(spNone);
        com->NotifyAdd([this](TObject*, std::int32_t c) { notes.push_back(c); });
        com->OnAfterReceive = [this](TObject*, void* b, std::uint32_t n) {
            received.append(static_cast<const char*>(b), n);
        };
    }
    void TearDown() override {
        com.reset();
        EXPECT_TRUE(WaitThreads(workers));
        entry.reset();
        pair.reset();
    }
    // Bytes both ways between the component and a peer on Port.
    void Exchange(std::uint32_t Port) {
        com->AddThreads(workers);
        TPeerPort peer(Port);
        ASSERT_TRUE(peer.IsOpen());
        com->SendString("ping");
        EXPECT_EQ(peer.Read(4, 2000), "ping");
        received.clear();
        ASSERT_TRUE(peer.Write("pong"));
        EXPECT_TRUE(PumpUntil([&] { return received.size() >= 4; }, 3000));
        EXPECT_EQ(received, "pong");
    }
};

}  // namespace

TEST_F(SerialCommPty, MapPortIsListedSelectedOpenedAndCarriesBytes) {
    const std::wstring name = L"COM" + std::to_wstring(pair->PortA());
    fw::TStringList map;
    ListSerialPorts(&map, false);
    for (auto mode : {epQuickAll, epFullInfo, epFullPresent}) {
        com->SetEnumPorts(mode);
        com->Update();
        // Wine's Plug-and-Play knows no port: the map, plain names, in every mode.
        std::vector<std::wstring> expected;
        for (int i = 0; i < map.Count(); ++i) expected.push_back(map.Strings(i));
        EXPECT_EQ(Friendly(*com), expected) << int(mode);
    }
    int at = com->IndexOfDeviceData(static_cast<std::int32_t>(pair->PortA()));
    ASSERT_GE(at, 0);
    EXPECT_EQ(com->GetDevice(at)->NameFriendly, name);
    EXPECT_EQ(com->GetDevice(at)->NamePDO, L"\\Device\\DiscoveryPty");

    notes.clear();
    com->SetDeviceIndex(at);
    EXPECT_EQ(com->ComPortNo(), pair->PortA());
    EXPECT_EQ(com->DeviceIndex(), at);
    EXPECT_EQ(com->ComName(), name);
    EXPECT_EQ(notes, (std::vector<int>{3}));

    com->SetActive(true);
    ASSERT_TRUE(com->Active()) << fw::NarrowUtf8(com->LastOpenError());
    Exchange(pair->PortB());
}

TEST_F(SerialCommPty, WritingThePortNumberReopensOnTheNewPort) {
    com->SetComPortNo(static_cast<std::uint16_t>(pair->PortA()));
    com->SetActive(true);
    ASSERT_TRUE(com->Active());
    notes.clear();
    com->SetComPortNo(static_cast<std::uint16_t>(pair->PortB()));
    EXPECT_TRUE(com->Active());
    EXPECT_EQ(notes, (std::vector<int>{ncMediumClosed, ncMediumOpened, ncDevicesChanged}));
    Exchange(pair->PortA());  // the component is on the other end now

    notes.clear();
    com->SetComPortNo(static_cast<std::uint16_t>(pair->PortB()));  // same number: closed and reopened
    EXPECT_TRUE(com->Active());
    EXPECT_EQ(notes, (std::vector<int>{ncMediumClosed, ncMediumOpened, ncDevicesChanged}));
}

TEST_F(SerialCommPty, ExternalHandleReplacesTheOpenPortForOneOpen) {
    com->SetComPortNo(static_cast<std::uint16_t>(pair->PortA()));
    com->SetActive(true);
    ASSERT_TRUE(com->Active());
    HANDLE ext = OpenComPort(pair->PortB());
    ASSERT_NE(ext, INVALID_HANDLE_VALUE);
    notes.clear();
    com->SetExtHandle(ext);
    EXPECT_TRUE(com->Active());
    EXPECT_EQ(com->Handle(), ext);
    EXPECT_EQ(com->PendingExtHandle(), nullptr);
    EXPECT_EQ(notes, (std::vector<int>{ncMediumClosed, ncMediumOpened}));
    Exchange(pair->PortA());  // the port it held before is free again

    com->SetActive(false);
    // The external handle was released with the close.
    HANDLE again = OpenComPort(pair->PortB());
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    if (again != INVALID_HANDLE_VALUE) CloseHandle(again);

    com->SetActive(true);  // by number again
    ASSERT_TRUE(com->Active());
    Exchange(pair->PortB());
}
