// Tests of comm/nrcomm_config.cpp: SaveConfig and LoadConfig of the COM port
// component on the real registry (a test-only key of the current user), with
// values written by hand in the shared layout, through the Win32 table, and
// with an open port on a pty pair.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "../support/engine_components.h"
#include "../support/pty_pair.h"
#include "../support/test_components.h"
#include "../support/win32_guard.h"

using namespace nr;
using namespace serial_test;
using test_support::TWin32Guard;

namespace {

// Little-endian fields, each a value and its size in bytes: a stored value
// as another program lays it out.
std::string Fields(std::initializer_list<std::pair<std::uint32_t, int>> fields) {
    std::string b;
    for (const auto& [v, size] : fields)
        for (int i = 0; i < size; ++i) b += static_cast<char>(v >> (8 * i));
    return b;
}

// A little-endian field of a stored value.
std::uint32_t Field(const std::string& v, size_t at, size_t size) {
    std::uint32_t r = 0;
    for (size_t i = size; i-- > 0;) r = (r << 8) | static_cast<std::uint8_t>(v[at + i]);
    return r;
}

COMMTIMEOUTS Times(DWORD a, DWORD b, DWORD c, DWORD d, DWORD e) { return {a, b, c, d, e}; }

bool SameTimes(const COMMTIMEOUTS& x, const COMMTIMEOUTS& y) { return std::memcmp(&x, &y, sizeof x) == 0; }

const std::wstring kSaved = L"nrComm: Configuration was saved";
const std::wstring kLoaded = L"nrComm: Configuration was loaded";
const std::wstring kSaveError = L"Error on save config information from registry";
const std::wstring kLoadError = L"Error on load config information from registry";

// A key of its own below HKEY_CURRENT_USER, a component with a log sink, and
// what it reports.
struct SerialConfig : testing::Test {
    const std::wstring key = L"Software\\nrCommTest\\Config" + std::to_wstring(GetCurrentProcessId());
    testing_io::TMemoryLog log{nullptr};
    std::unique_ptr<TSerialComm> com = std::make_unique<TSerialComm>(nullptr);
    std::vector<int> notes;
    TFatalErrors errors;

    void SetUp() override {
        RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
        Watch(*com);
    }
    void TearDown() override {
        com.reset();
        RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
    }
    void Watch(TSerialComm& c) {
        c.SetLog(&log);
        c.NotifyAdd([this](TObject*, std::int32_t n) { notes.push_back(n); });
        errors.Watch(c);
    }
    void Forget() {
        log.Lines.clear();
        notes.clear();
        errors.clear();
    }
    // N reports of the fatal error Msg, each logged.
    void ExpectFatal(const std::wstring& Msg, size_t N) {
        EXPECT_EQ(errors, std::vector<TFatalError>(N, {1, 0, Msg}));
        EXPECT_EQ(log.Lines, std::vector<std::wstring>(N, L"Fatal Error: 1, 0, " + Msg));
    }
    // A component set up unlike the built one in every stored field.
    void Configure(TSerialComm& c) {
        c.SetComPortNo(5);
        c.SetBaudRate(38400);
        c.SetByteSize(7);
        c.SetParity(pEven);
        c.SetStopBits(sbTwo);
        c.SetEventChar(L'x');
        c.SetStreamProtocol(spXonXoff);
        const COMMTIMEOUTS t = Times(1, 2, 3, 4, 5);
        c.SetTimeOuts(&t);
    }
    void SetRaw(const std::wstring& name, DWORD type, const std::string& data) {
        HKEY k;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(k, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                                 static_cast<DWORD>(data.size())),
                  ERROR_SUCCESS);
        RegCloseKey(k);
    }
    // The stored value with its type; empty when there is none.
    std::string Raw(const std::wstring& name, DWORD* type = nullptr) {
        HKEY k;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return {};
        BYTE buf[256];
        DWORD size = sizeof buf, t = REG_NONE;
        const bool ok = RegQueryValueExW(k, name.c_str(), nullptr, &t, buf, &size) == ERROR_SUCCESS;
        RegCloseKey(k);
        if (!ok) return {};
        if (type) *type = t;
        return std::string(reinterpret_cast<const char*>(buf), size);
    }
    // Everything a load may change, to see that it did not.
    struct TState {
        std::uint16_t Port;
        std::string Dcb;
        TStreamProtocol Protocol;
        COMMTIMEOUTS Times;
        bool operator==(const TState& o) const {
            return Port == o.Port && Dcb == o.Dcb && Protocol == o.Protocol && SameTimes(Times, o.Times);
        }
    };
    TState State(TSerialComm& c) { return {c.ComPortNo(), c.DcbBytes(), c.StreamProtocol(), *c.TimeOuts()}; }
};

LSTATUS WINAPI DeniedCreate(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY, LPDWORD) {
    return ERROR_ACCESS_DENIED;
}
LSTATUS WINAPI DeniedSet(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD) { return ERROR_ACCESS_DENIED; }

}  // namespace

TEST_F(SerialConfig, SaveThenLoadRestoresPortLineSettingsAndTimeOutsWithoutTheRightToWrite) {
    Configure(*com);
    Forget();
    com->SaveConfig(HKEY_CURRENT_USER, key, L"Port");
    EXPECT_EQ(log.Lines, std::vector<std::wstring>{kSaved});
    EXPECT_TRUE(errors.empty());

    for (const bool mayWrite : {true, false}) {
        SCOPED_TRACE(mayWrite ? "may write" : "may not write");
        TSerialComm other(nullptr);
        Watch(other);
        TWin32Guard guard;
        if (!mayWrite) Win32.RegCreateKeyExW = &DeniedCreate;
        Forget();
        other.LoadConfig(HKEY_CURRENT_USER, key, L"Port");
        EXPECT_EQ(log.Lines, std::vector<std::wstring>{kLoaded});
        EXPECT_TRUE(errors.empty());
        EXPECT_EQ(notes, std::vector<int>{ncDevicesChanged});
        EXPECT_EQ(State(other), State(*com));
        EXPECT_EQ(other.BaudRate(), 38400u);
        EXPECT_EQ(other.ByteSize(), 7);
        EXPECT_EQ(other.Parity(), pEven);
        EXPECT_EQ(other.StopBits(), sbTwo);
        EXPECT_EQ(other.EventChar(), L'x');
        // Flow control comes with the stored line settings, not from what the
        // loading component had (hardware, as built).
        EXPECT_EQ(other.StreamProtocol(), spXonXoff);
    }
}

TEST_F(SerialConfig, StoredBytesAreTheSharedLayout) {
    Configure(*com);
    com->SaveConfig(HKEY_CURRENT_USER, key, L"Port");
    DWORD type = REG_NONE;
    const std::string v = Raw(L"Port", &type);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    ASSERT_EQ(v.size(), 49u);
    EXPECT_EQ(Field(v, 0, 1), 5u);                                // port
    EXPECT_EQ(v.substr(1, 28), com->DcbBytes());                  // the DCB as held in memory...
    EXPECT_EQ(Field(v, 1, 4), 28u);                               // ...DCBlength
    EXPECT_EQ(Field(v, 5, 4), 38400u);                            // BaudRate
    EXPECT_EQ(Field(v, 9, 4) & 0x1313, 0x1313u);                  // fBinary, fParity, fOutX, fInX, DTR and RTS enabled
    EXPECT_EQ(Field(v, 15, 2), 2048u);                            // XonLim
    EXPECT_EQ(Field(v, 19, 1), 7u);                               // ByteSize
    EXPECT_EQ(Field(v, 20, 1), 2u);                               // Parity: even
    EXPECT_EQ(Field(v, 21, 1), 2u);                               // StopBits: two
    EXPECT_EQ(Field(v, 22, 1), 0x11u);                            // XonChar
    EXPECT_EQ(Field(v, 26, 1), static_cast<std::uint32_t>('x'));  // EvtChar
    for (std::uint32_t i = 0; i < 5; ++i) EXPECT_EQ(Field(v, 29 + 4 * i, 4), i + 1) << i;  // time-outs in order
}

TEST_F(SerialConfig, ValueWrittenByAnotherProgramLoads) {
    // Port 9; DCBlength, BaudRate 4800, flags (fBinary, fParity, fOutxCtsFlow, DTR enabled, RTS
    // handshake), XonLim, XoffLim, ByteSize 7, Parity odd, StopBits two, XON, XOFF, EvtChar 'E'; the time-outs.
    const std::string v = Fields({{9, 1},   {28, 4}, {4800, 4}, {0x2017, 4}, {0, 2},    {2048, 2}, {2048, 2},
                                  {7, 1},   {1, 1},  {2, 1},    {0x11, 1},   {0x13, 1}, {0, 1},    {0, 1},
                                  {'E', 1}, {0, 2},  {10, 4},   {20, 4},     {30, 4},   {40, 4},   {50, 4}});
    ASSERT_EQ(v.size(), 49u);
    SetRaw(L"Port", REG_BINARY, v);
    com->SetStreamProtocol(spNone);
    Forget();
    com->LoadConfig(HKEY_CURRENT_USER, key, L"Port");
    EXPECT_EQ(log.Lines, std::vector<std::wstring>{kLoaded});
    EXPECT_EQ(com->ComPortNo(), 9);
    EXPECT_EQ(com->BaudRate(), 4800u);
    EXPECT_EQ(com->ByteSize(), 7);
    EXPECT_EQ(com->Parity(), pOdd);
    EXPECT_EQ(com->StopBits(), sbTwo);
    EXPECT_EQ(com->EventChar(), L'E');
    EXPECT_EQ(com->StreamProtocol(), spHardware);
    EXPECT_FALSE(com->RS485Mode());
    EXPECT_TRUE(SameTimes(*com->TimeOuts(), Times(10, 20, 30, 40, 50)));
    EXPECT_EQ(com->DcbBytes(), v.substr(1, 28));  // taken over byte for byte

    // Saved again, the same bytes go back.
    com->SaveConfig(HKEY_CURRENT_USER, key, L"Again");
    EXPECT_EQ(Raw(L"Again"), v);
}

TEST_F(SerialConfig, ValueOfAnotherSizeMissingValueOrMissingKeyChangeNothing) {
    Configure(*com);
    const TState before = State(*com);
    Forget();
    {
        // A key that cannot be created is read as a missing value.
        TWin32Guard guard;
        Win32.RegCreateKeyExW = &DeniedCreate;
        com->LoadConfig(HKEY_CURRENT_USER, key, L"Port");  // no key
    }
    HKEY k;
    EXPECT_NE(RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &k), ERROR_SUCCESS);
    com->LoadConfig(HKEY_CURRENT_USER, key, L"Port");  // no key
    // Loading created it, and wrote nothing in it.
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &k), ERROR_SUCCESS);
    DWORD subKeys = 1, values = 1;
    EXPECT_EQ(RegQueryInfoKeyW(k, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(k);
    EXPECT_EQ(subKeys, 0u);
    EXPECT_EQ(values, 0u);

    SetRaw(L"Short", REG_BINARY, std::string(48, '\x01'));
    SetRaw(L"Long", REG_BINARY, std::string(50, '\x01'));
    for (const wchar_t* name : {L"Short", L"Long", L"Missing"}) com->LoadConfig(HKEY_CURRENT_USER, key, name);

    EXPECT_EQ(log.Lines, std::vector<std::wstring>(5, kLoaded));
    EXPECT_TRUE(errors.empty());
    EXPECT_TRUE(notes.empty());
    EXPECT_EQ(State(*com), before);
}

TEST_F(SerialConfig, ValueOfAnotherTypeReportsTheLoadError) {
    Configure(*com);
    const TState before = State(*com);
    SetRaw(L"Port", REG_SZ, std::string(49, 'A'));  // 49 bytes, but a string
    ASSERT_EQ(Raw(L"Port").size(), 49u);
    Forget();
    com->LoadConfig(HKEY_CURRENT_USER, key, L"Port");
    ExpectFatal(kLoadError, 1);
    EXPECT_EQ(State(*com), before);

    errors.Raise = true;
    EXPECT_EQ(Thrown([&] { com->LoadConfig(HKEY_CURRENT_USER, key, L"Port"); }), kLoadError);
}

TEST_F(SerialConfig, UnwritableKeyReportsTheSaveError) {
    Configure(*com);
    TWin32Guard guard;
    Win32.RegCreateKeyExW = &DeniedCreate;
    Forget();
    com->SaveConfig(HKEY_CURRENT_USER, key, L"Port");
    Win32.RegCreateKeyExW = &::RegCreateKeyExW;
    Win32.RegSetValueExW = &DeniedSet;
    com->SaveConfig(HKEY_CURRENT_USER, key, L"Port");
    ExpectFatal(kSaveError, 2);
    EXPECT_EQ(Raw(L"Port"), "");

    errors.Raise = true;
    EXPECT_THROW(com->SaveConfig(HKEY_CURRENT_USER, key, L"Port"), fw::Exception);
}

TEST_F(SerialConfig, PortAboveTheByteIsNotStoredAsAnotherPort) {
    Configure(*com);
    com->SaveConfig(HKEY_CURRENT_USER, key, L"Port");
    const std::string earlier = Raw(L"Port");
    com->SetComPortNo(300);  // its low byte would be COM44
    com->SetBaudRate(9600);
    Forget();
    com->SaveConfig(HKEY_CURRENT_USER, key, L"Port");
    com->SaveConfig(HKEY_CURRENT_USER, key, L"Other");
    ExpectFatal(kSaveError, 2);
    EXPECT_EQ(Raw(L"Port"), earlier);
    EXPECT_EQ(Raw(L"Other"), "");

    com->SetComPortNo(255);  // the largest that fits
    Forget();
    com->SaveConfig(HKEY_CURRENT_USER, key, L"Other");
    EXPECT_EQ(log.Lines, std::vector<std::wstring>{kSaved});
    EXPECT_EQ(Field(Raw(L"Other"), 0, 1), 255u);
}

// ---- an open port

namespace {

struct SerialConfigPty : SerialConfig {
    std::unique_ptr<TPtyPair> pair;

    void SetUp() override {
        if (!TPtyPair::Available()) GTEST_SKIP() << "needs Wine and socat";
        SerialConfig::SetUp();
        pair = std::make_unique<TPtyPair>();
        ASSERT_TRUE(pair->Ready()) << pair->Error();
    }
    void TearDown() override {
        const auto workers = com->Workers;
        SerialConfig::TearDown();
        EXPECT_TRUE(WaitThreads(workers));
        pair.reset();
    }
    std::uint16_t A() const { return static_cast<std::uint16_t>(pair->PortA()); }
    std::uint16_t B() const { return static_cast<std::uint16_t>(pair->PortB()); }
    // Stores port Port with 57600 baud and time-outs (0, 200, 0, 100, 0),
    // then opens the component on port A at 9600.
    void StoreAndOpen(std::uint16_t Port) {
        TSerialComm stored(nullptr);
        stored.SetComPortNo(Port);
        stored.SetBaudRate(57600);
        stored.SetStreamProtocol(spNone);
        const COMMTIMEOUTS t = Times(0, 200, 0, 100, 0);
        stored.SetTimeOuts(&t);
        stored.SaveConfig(HKEY_CURRENT_USER, key, L"Port");
        com->SetComPortNo(A());
        com->SetBaudRate(9600);
        com->SetStreamProtocol(spNone);
        com->SetActive(true);
        ASSERT_TRUE(com->Active()) << fw::NarrowUtf8(com->LastOpenError());
        Forget();
    }
};

}  // namespace

TEST_F(SerialConfigPty, OpenPortMovesToTheStoredNumberWithItsSettings) {
    StoreAndOpen(B());
    com->LoadConfig(HKEY_CURRENT_USER, key, L"Port");
    EXPECT_TRUE(errors.empty());
    ASSERT_TRUE(com->Active());
    EXPECT_EQ(com->ComPortNo(), B());
    EXPECT_EQ(notes, (std::vector<int>{ncMediumClosed, ncMediumOpened, ncDevicesChanged}));
    EXPECT_EQ(log.Lines.back(), kLoaded);

    // The driver of the new port holds the stored settings.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(com->Handle(), &dcb));
    EXPECT_EQ(dcb.BaudRate, 57600u);
    COMMTIMEOUTS t{};
    ASSERT_TRUE(GetCommTimeouts(com->Handle(), &t));
    EXPECT_TRUE(SameTimes(t, Times(0, 200, 0, 100, 0)));

    // Bytes flow between the component, now on B, and a peer on A.
    TPeerPort peer(A());
    ASSERT_TRUE(peer.IsOpen());
    com->SendString("ping");
    EXPECT_EQ(peer.Read(4, 2000), "ping");
}

TEST_F(SerialConfigPty, StoredPortThatCannotOpenKeepsTheLoadedSettings) {
    StoreAndOpen(249);  // no such port in the prefix
    errors.Raise = true;
    const std::wstring thrown = Thrown([&] { com->LoadConfig(HKEY_CURRENT_USER, key, L"Port"); });
    EXPECT_EQ(thrown.rfind(L"Device \"COM249\" Open Error !!!", 0), 0u) << fw::NarrowUtf8(thrown);
    // The open error is reported as such, not as a registry error.
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].Code, 1u);
    EXPECT_NE(errors[0].Msg, kLoadError);
    EXPECT_FALSE(com->Active());
    EXPECT_EQ(com->ComPortNo(), 249);
    EXPECT_EQ(com->BaudRate(), 57600u);
    EXPECT_TRUE(SameTimes(*com->TimeOuts(), Times(0, 200, 0, 100, 0)));
    for (const auto& l : log.Lines) EXPECT_NE(l, kLoaded);
}
