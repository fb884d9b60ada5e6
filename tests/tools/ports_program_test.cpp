// The port lister as a user runs it: nrports.exe on the test prefix, whose
// serial-port map holds only the ports a test chose.
#include <windows.h>
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>
#include <utility>
#include <vector>

namespace {

const wchar_t kMap[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";

HKEY OpenMap() {
    HKEY k = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, kMap, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &k, nullptr);
    return k;
}

// The map's own entries put aside for the test, and put back after it.
class TMapAside {
public:
    TMapAside() : key_(OpenMap()) {
        wchar_t name[256];
        BYTE data[512];
        for (;;) {
            DWORD n = 256, size = sizeof data, type = 0;
            if (RegEnumValueW(key_, 0, name, &n, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
            saved_.push_back({name, std::wstring(reinterpret_cast<wchar_t*>(data), size / sizeof(wchar_t))});
            RegDeleteValueW(key_, name);
        }
    }
    ~TMapAside() {
        for (const auto& [name, value] : saved_)
            RegSetValueExW(key_, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.data()),
                           static_cast<DWORD>(value.size() * sizeof(wchar_t)));
        RegCloseKey(key_);
    }
    bool Ready() const { return key_ != nullptr; }

private:
    HKEY key_;
    std::vector<std::pair<std::wstring, std::wstring>> saved_;
};

// A port added to the map the way a plugged-in adapter is, until destroyed.
class TMapEntry {
public:
    explicit TMapEntry(unsigned Port) : key_(OpenMap()), name_(L"\\Device\\nrPorts" + std::to_wstring(Port)) {
        const std::wstring value = L"COM" + std::to_wstring(Port);
        RegSetValueExW(key_, name_.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    }
    ~TMapEntry() {
        RegDeleteValueW(key_, name_.c_str());
        RegCloseKey(key_);
    }

private:
    HKEY key_;
    std::wstring name_;
};

struct TRun {
    DWORD Code = 0xFFFFFFFF;
    std::string Out, Err;
};

std::wstring ProgramPath() {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring dir = self;
    return dir.substr(0, dir.find_last_of(L"\\/") + 1) + L"nrports.exe";
}

std::string ReadBack(HANDLE f) {
    std::string s(GetFileSize(f, nullptr), '\0');
    DWORD n = 0;
    SetFilePointer(f, 0, nullptr, FILE_BEGIN);
    ReadFile(f, s.data(), static_cast<DWORD>(s.size()), &n, nullptr);
    s.resize(n);
    CloseHandle(f);
    return s;
}

// Runs nrports.exe with Args, on Desktop when given; its output goes through
// files, not a console.
TRun Program(const std::wstring& Args, std::wstring Desktop = {}) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    auto temp = [&] {
        wchar_t dir[MAX_PATH], path[MAX_PATH];
        GetTempPathW(MAX_PATH, dir);
        GetTempFileNameW(dir, L"npt", 0, path);
        return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    };
    HANDLE out = temp(), err = temp();
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = out;
    si.hStdError = err;
    si.lpDesktop = Desktop.empty() ? nullptr : Desktop.data();
    PROCESS_INFORMATION pi{};
    std::wstring cmd = L"\"" + ProgramPath() + L"\" " + Args;
    TRun r;
    if (CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi)) {
        WaitForSingleObject(pi.hProcess, 30000);
        GetExitCodeProcess(pi.hProcess, &r.Code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    r.Out = ReadBack(out);
    r.Err = ReadBack(err);
    return r;
}

// Wine's desktop process for a desktop whose graphics driver cannot load, as
// over SSH: no window can be made on it. Null when it does not come up.
HANDLE WindowlessDesktop(const std::wstring& Name) {
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::wstring cmd = L"explorer.exe /desktop=" + Name + L",640x480,none";
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return nullptr;
    CloseHandle(pi.hThread);
    if (WaitForInputIdle(pi.hProcess, 20000) == 0) return pi.hProcess;  // its desktop made
    TerminateProcess(pi.hProcess, 0);
    CloseHandle(pi.hProcess);
    return nullptr;
}

// A line of nrports --json: its members, name -> value as written (a string
// with its quotes); none unless it is a flat JSON object of strings and
// integers with printable ASCII only (nrports escapes the rest).
std::map<std::string, std::string> JsonObject(const std::string& Line) {
    static const std::string body = R"((?:[ !#-\[\]-~]|\\["\\/bfnrt]|\\u[0-9A-Fa-f]{4})*)";
    static const std::string member = "\"(" + body + ")\":(\"" + body + "\"|-?[0-9]+)";
    static const std::regex object("\\{" + member + "(?:," + member + ")*\\}\r\n"), one(member);
    std::map<std::string, std::string> o;
    if (std::regex_match(Line, object))
        for (std::sregex_iterator m(Line.begin(), Line.end(), one), end; m != end; ++m) o[(*m)[1]] = (*m)[2];
    return o;
}

}  // namespace

TEST(PortsProgram, ListsTheChosenPortsInEveryMode) {
    TMapAside aside;
    ASSERT_TRUE(aside.Ready());
    TMapEntry com41(41), com57(57);
    for (const wchar_t* mode : {L"quick", L"info", L"present"}) {
        // Plug and Play knows no port here: every depth lists the map.
        TRun r = Program(std::wstring(L"--mode ") + mode);
        EXPECT_EQ(r.Code, 0u) << r.Err;
        EXPECT_EQ(r.Out, "COM41\r\nCOM57\r\n") << mode;
        EXPECT_EQ(r.Err, "2 ports\r\n");
    }
    TRun v = Program(L"-v");
    EXPECT_EQ(v.Code, 0u);
    EXPECT_NE(v.Out.find("COM57\r\n  Index          1\r\n  Data           57\r\n"), std::string::npos) << v.Out;
    EXPECT_NE(v.Out.find("  NamePDO        \\Device\\nrPorts57\r\n"), std::string::npos);
}

TEST(PortsProgram, ExitCodesTellNoPortsBadArgumentsAndPortsThatDoNotOpen) {
    TMapAside aside;
    ASSERT_TRUE(aside.Ready());
    TRun none = Program(L"");
    EXPECT_EQ(none.Code, 1u);
    EXPECT_EQ(none.Out, "");
    EXPECT_EQ(none.Err, "nrports: no serial port found\r\n");

    TMapEntry com3(3);
    EXPECT_EQ(Program(L"").Out, "COM3\r\n");
    TRun bad = Program(L"--mode slow");
    EXPECT_EQ(bad.Code, 2u);
    EXPECT_EQ(bad.Out, "");
    EXPECT_EQ(bad.Err.rfind("nrports: unknown mode \"slow\": quick, info or present\r\nusage: nrports", 0), 0u)
        << bad.Err;
    // Listed, but with nothing behind it.
    TRun gone = Program(L"--pnp COM3");
    EXPECT_EQ(gone.Code, 3u);
    EXPECT_EQ(gone.Err.rfind("nrports: Device \"COM3\" Open Error !!! ", 0), 0u) << gone.Err;
}

// Over SSH Wine has no display: the list needs no window; --pnp, which does,
// says so with its own exit code.
TEST(PortsProgram, WithoutADisplayOnlyPnpFails) {
    const std::wstring desktop = L"nrports-nodisplay-" + std::to_wstring(GetCurrentProcessId());
    HANDLE explorer = WindowlessDesktop(desktop);
    if (!explorer) GTEST_SKIP() << "Wine made no desktop without a graphics driver";
    TMapAside aside;
    TMapEntry com3(3), com12(12);
    EXPECT_EQ(Program(L"-h", desktop).Code, 0u);
    TRun list = Program(L"--json --mode=info", desktop);
    EXPECT_EQ(list.Code, 0u) << list.Err;
    auto json = JsonObject(list.Out.substr(list.Out.find("\r\n") + 2));
    EXPECT_EQ(json.size(), 11u) << list.Out;
    EXPECT_EQ(json["number"], "12");
    EXPECT_EQ(json["vid"], "\"\"");  // Wine's Plug and Play knows no port
    TRun pnp = Program(L"--pnp COM3", desktop);
    EXPECT_EQ(pnp.Code, 7u);
    EXPECT_EQ(pnp.Err.rfind("nrports: --pnp needs a window for the port's events", 0), 0u) << pnp.Err;
    TerminateProcess(explorer, 0);
    CloseHandle(explorer);
}
