#include "ports.h"

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <optional>
#include <utility>

#include "comm/nrcomm.h"
#include "comm/nrsysutils.h"
#include "framework/forms.h"
#include "framework/sysutils.h"

namespace nrports {

namespace {

const wchar_t kUsage[] =
    L"usage: nrports [-v | --json] [-m quick|info|present] [-f PATTERN]\n"
    L"       nrports [-v] --pnp COMn\n"
    L"       nrports -h | --version\n"
    L"Lists the serial ports of the machine, one a line: the port's name as\n"
    L"programs show it and its Plug-and-Play identity (manufacturer, driver service,\n"
    L"a USB adapter's VID:PID and serial number); the count goes to stderr.\n"
    L"  -m, --mode quick    the serial-port map only, plain port names\n"
    L"             info     completed with every installed Plug-and-Play device\n"
    L"             present  the same with the devices plugged in now (default)\n"
    L"  -f, --filter PATTERN  only the ports whose name (COM3), description,\n"
    L"                      device instance id or VID:PID matches PATTERN as a\n"
    L"                      whole, ignoring case; * stands for any run of\n"
    L"                      characters, ? for one: -f 'COM1?', -f '0403:*'\n"
    L"  -v, --verbose       every field the port list holds, one a line\n"
    L"  --json              one JSON object a line per port: number, port, name,\n"
    L"                      description, manufacturer, service, instance_id, vid,\n"
    L"                      pid, serial, location (\"\" where unknown)\n"
    L"  --pnp COMn          the identification string of the serial Plug-and-Play\n"
    L"                      device on port COMn (other bytes than printable ASCII\n"
    L"                      as \\xNN; with -v also every byte in hex)\n"
    L"  -h, --help          this text\n"
    L"  --version           the program's version\n"
    L"A long option takes its value after '=' too: --mode=info.\n"
    L"Exit codes: 0 done, 1 no port found (or none matches), 2 bad argument,\n"
    L"3 port cannot be opened, 4 the port list cannot be read, 5 no device answers,\n"
    L"6 no identification sent, 7 no window for --pnp (no display).\n";

const std::pair<const wchar_t*, nr::TnrEnumPorts> kModes[] = {
    {L"quick", nr::epQuickAll}, {L"info", nr::epFullInfo}, {L"present", nr::epFullPresent}};

struct TOptions {
    nr::TnrEnumPorts Mode = nr::epFullPresent;
    bool Verbose = false;
    bool Json = false;
    bool Help = false;
    bool Version = false;
    std::wstring Filter;
    std::uint16_t PnpPort = 0;  // --pnp COMn: n
};

// Empty when the arguments are sound, else what is wrong with them.
std::wstring Parse(const std::vector<std::wstring>& Args, TOptions& o) {
    for (size_t i = 0; i < Args.size(); ++i) {
        std::wstring a = Args[i], value;
        const size_t eq = a.rfind(L"--", 0) == 0 ? a.find(L'=') : std::wstring::npos;
        bool valueTaken = eq == std::wstring::npos;  // false while a value after '=' waits for its option
        if (!valueTaken) {
            value = a.substr(eq + 1);
            a.resize(eq);
        }
        auto takeValue = [&] {
            if (valueTaken) {
                if (++i == Args.size()) return false;
                value = Args[i];
            }
            valueTaken = true;
            return true;
        };
        if (a == L"-v" || a == L"--verbose") {
            o.Verbose = true;
        } else if (a == L"--json") {
            o.Json = true;
        } else if (a == L"-h" || a == L"--help") {
            o.Help = true;
        } else if (a == L"--version") {
            o.Version = true;
        } else if (a == L"-m" || a == L"--mode") {
            if (!takeValue()) return a + L" needs a mode: quick, info or present";
            auto m = std::find_if(std::begin(kModes), std::end(kModes), [&](auto& k) { return value == k.first; });
            if (m == std::end(kModes)) return L"unknown mode \"" + value + L"\": quick, info or present";
            o.Mode = m->second;
        } else if (a == L"-f" || a == L"--filter") {
            if (!takeValue()) return a + L" needs a pattern";
            o.Filter = value;
        } else if (a == L"--pnp") {
            if (!takeValue() || !nr::ComPortNumber(value, o.PnpPort) || o.PnpPort == 0)
                return L"--pnp needs a port name such as COM3";
        } else {
            return L"unknown argument \"" + Args[i] + L"\"";
        }
        if (!valueTaken) return a + L" takes no value";
    }
    if (o.Json && o.Verbose) return L"-v and --json exclude each other";
    if (o.PnpPort && (o.Json || !o.Filter.empty())) return L"--pnp takes no --json or --filter";
    return {};
}

std::vector<std::wstring> Split(const std::wstring& s, const wchar_t* Separators) {
    std::vector<std::wstring> parts;
    size_t from = 0;
    for (size_t at; (at = s.find_first_of(Separators, from)) != std::wstring::npos; from = at + 1)
        parts.push_back(s.substr(from, at - from));
    parts.push_back(s.substr(from));
    return parts;
}

// A port's Plug-and-Play identity beyond what the port list holds. The list
// keeps the device's hardware key, "Device Parameters" below the device's
// own key ...\Enum\<instance id>, which holds its location too.
struct TIdentity {
    std::wstring InstanceId, Location;
    TUsbIdentity Usb;
    std::wstring VidPid() const { return Usb.Vid.empty() ? L"" : Usb.Vid + L":" + Usb.Pid; }
};

TIdentity IdentityOf(const nr::TnrDevice& d) {
    static const std::wstring kEnum = L"\\ENUM\\";
    const std::wstring key = d.RegKey.substr(0, d.RegKey.rfind(L'\\'));
    const size_t at = fw::AnsiUpperAscii(key).find(kEnum);
    if (at == std::wstring::npos) return {};
    TIdentity id;
    id.InstanceId = key.substr(at + kEnum.size());
    id.Location = nr::ReadRegistryString(HKEY_LOCAL_MACHINE, key, L"LocationInformation");
    id.Usb = ParseInstanceId(id.InstanceId);
    return id;
}

// The whole of s against a pattern with * (any run) and ? (one character).
bool Glob(const wchar_t* p, const wchar_t* s) {
    if (*p == L'*') return Glob(p + 1, s) || (*s && Glob(p, s + 1));
    if (!*p) return !*s;
    return *s && (*p == L'?' || *p == *s) && Glob(p + 1, s + 1);
}

bool Matches(const std::wstring& Filter, const nr::TnrDevice& d, const TIdentity& id) {
    if (Filter.empty()) return true;
    const std::wstring pattern = fw::AnsiUpperAscii(Filter);
    for (const std::wstring& field : {d.NameDeviceDos, d.Description, id.InstanceId, id.VidPid()})
        if (!field.empty() && Glob(pattern.c_str(), fw::AnsiUpperAscii(field).c_str())) return true;
    return false;
}

// Who stands behind the port, as far as Plug and Play knows.
std::wstring IdentityText(const nr::TnrDevice& d, const TIdentity& id) {
    std::wstring usb = id.VidPid();
    if (!id.Usb.Serial.empty()) usb += L" " + id.Usb.Serial;
    std::wstring s;
    for (const std::wstring& part : {d.Manufacturer, d.Service, usb})
        if (!part.empty()) s += (s.empty() ? L"" : L", ") + part;
    return s.empty() ? s : L"[" + s + L"]";
}

std::wstring Line(const nr::TnrDevice& d, const TIdentity& id, size_t Width) {
    std::wstring s = d.NameFriendly;
    const std::wstring text = IdentityText(d, id);
    if (!text.empty()) s += std::wstring(Width - d.NameFriendly.size() + 2, L' ') + text;
    return s + L"\n";
}

// A JSON string; everything but printable ASCII escaped, so the line stays
// ASCII whatever the console's code page.
std::wstring Json(const std::wstring& s) {
    std::wstring r = L"\"";
    for (wchar_t c : s) {
        if (c == L'"' || c == L'\\') {
            r += {L'\\', c};
        } else if (c >= 0x20 && c < 0x7F) {
            r += c;
        } else {
            wchar_t u[8];
            swprintf(u, 8, L"\\u%04X", static_cast<unsigned>(c));
            r += u;
        }
    }
    return r + L"\"";
}

std::wstring JsonLine(const nr::TnrDevice& d, const TIdentity& id) {
    const std::pair<const wchar_t*, std::wstring> f[] = {
        {L"port", d.NameDeviceDos},
        {L"name", d.NameFriendly},
        {L"description", d.Description},
        {L"manufacturer", d.Manufacturer},
        {L"service", d.Service},
        {L"instance_id", id.InstanceId},
        {L"vid", id.Usb.Vid},
        {L"pid", id.Usb.Pid},
        {L"serial", id.Usb.Serial},
        {L"location", id.Location},
    };
    std::wstring s = L"{\"number\":" + std::to_wstring(d.Data);
    for (const auto& [name, value] : f) s += L",\"" + std::wstring(name) + L"\":" + Json(value);
    return s + L"}\n";
}

std::wstring Fields(const nr::TnrDevice& d) {
    const std::pair<const wchar_t*, std::wstring> f[] = {
        {L"Index", std::to_wstring(d.Index())},
        {L"Data", std::to_wstring(d.Data)},
        {L"NameFriendly", d.NameFriendly},
        {L"NameDeviceDos", d.NameDeviceDos},
        {L"NamePDO", d.NamePDO},
        {L"NameSymbolic", d.NameSymbolic},
        {L"Description", d.Description},
        {L"Manufacturer", d.Manufacturer},
        {L"Service", d.Service},
        {L"Driver", d.Driver},
        {L"PortName", d.PortName},
        {L"RegKey", d.RegKey},
        {L"InstanceId", d.InstanceId},
        {L"BusRelations", d.BusRelations},
        {L"DevInst", std::to_wstring(d.DevInst)},
        {L"Handle", std::to_wstring(d.Handle)},
        {L"DataEx", std::to_wstring(d.DataEx)},
    };
    std::wstring s = d.NameFriendly + L"\n";
    for (const auto& [name, value] : f)
        s += L"  " + std::wstring(name) + std::wstring(15 - wcslen(name), L' ') + value + L"\n";
    return s;
}

int List(const TOptions& o, std::wstring& Out, std::wstring& Err) {
    nr::TnrComm com(nullptr);
    com.SetEnumPorts(o.Mode);
    try {
        com.Update();
    } catch (...) {
        Err += L"nrports: cannot read the port list: " + fw::CurrentExceptionMessage() + L"\n";
        return exFailed;
    }
    std::vector<std::pair<const nr::TnrDevice*, TIdentity>> ports;
    for (int i = 0; i < com.DeviceCount(); ++i) {
        TIdentity id = IdentityOf(*com.GetDevice(i));
        if (Matches(o.Filter, *com.GetDevice(i), id)) ports.emplace_back(com.GetDevice(i), std::move(id));
    }
    if (ports.empty()) {
        Err += o.Filter.empty() ? L"nrports: no serial port found\n"
                                : L"nrports: no serial port matches \"" + o.Filter + L"\"\n";
        return exNoPorts;
    }
    size_t width = 0;
    for (const auto& p : ports) width = std::max(width, p.first->NameFriendly.size());
    for (const auto& [d, id] : ports) {
        if (o.Json)
            Out += JsonLine(*d, id);
        else if (o.Verbose)
            Out += (d == ports.front().first ? L"" : L"\n") + Fields(*d);
        else
            Out += Line(*d, id, width);
    }
    Err += std::to_wstring(ports.size()) + (ports.size() == 1 ? L" port\n" : L" ports\n");
    return exListed;
}

// The text as a console can show it: printable ASCII as it is, the rest as \xNN.
std::wstring Printable(const std::wstring& s) {
    std::wstring r;
    for (wchar_t c : s) {
        if (c >= 0x20 && c < 0x7F && c != L'\\') {
            r += c;
        } else {
            wchar_t hex[8];
            swprintf(hex, 8, L"\\x%02X", static_cast<unsigned>(c & 0xFF));
            r += hex;
        }
    }
    return r;
}

std::wstring Hex(const std::wstring& s) {
    std::wstring r;
    for (wchar_t c : s) {
        wchar_t hex[8];
        swprintf(hex, 8, L"%ls%02X", r.empty() ? L"" : L" ", static_cast<unsigned>(c & 0xFF));
        r += hex;
    }
    return r;
}

// --pnp COMn: what the device says about itself after the power-up sequence.
// The port's events and waits run on the application's message window, which
// a machine without a display cannot make.
int Identify(const TOptions& o, std::wstring& Out, std::wstring& Err) {
    std::optional<fw::TApplication> app;
    try {
        if (!fw::Application) app.emplace();
    } catch (const fw::EOSError& e) {
        Err += L"nrports: --pnp needs a window for the port's events, and none can be made here (no display?): " +
               e.Message() + L"\n";
        return exNoWindow;
    }
    nr::TnrComm com(nullptr);
    com.SetComPortNo(o.PnpPort);
    bool noDevice = false;
    com.OnFatalError = [&](fw::TObject*, std::uint32_t, std::uint32_t, const std::wstring&, bool& Raise) {
        Raise = false;
        noDevice = true;  // when the port opened, the only failure left is DSR
    };
    const std::wstring id = com.GetPNPDeviceString();
    if (!com.LastOpenError().empty()) {
        std::wstring why = com.LastOpenError();
        std::replace(why.begin(), why.end(), L'\r', L' ');
        Err += L"nrports: " + why + L"\n";
        return exCannotOpen;
    }
    const std::wstring port = com.ComName();
    if (noDevice) {
        Err += L"nrports: " + port + L": no device answers (DSR stays off)\n";
        return exNoDevice;
    }
    if (id.empty()) {
        Err += L"nrports: " + port + L": the device sent no identification\n";
        return exNoIdentity;
    }
    Out += port + L"  " + Printable(id) + L"\n";
    if (o.Verbose) Out += L"  bytes  " + Hex(id) + L"\n";
    return exListed;
}

}  // namespace

TUsbIdentity ParseInstanceId(const std::wstring& InstanceId) {
    // USB\VID_0403&PID_6001\A12345; FTDI's bus: FTDIBUS\VID_0403+PID_6001+A12345\0000.
    const auto parts = Split(InstanceId, L"\\");
    const auto ids = Split(parts.size() > 1 ? parts[1] : L"", L"&+");
    auto hex4 = [&](const wchar_t* Prefix) {
        for (const auto& t : ids) {
            const std::wstring u = fw::AnsiUpperAscii(t);
            if (u.size() == 8 && u.rfind(Prefix, 0) == 0 && u.find_first_not_of(L"0123456789ABCDEF", 4) == u.npos)
                return u.substr(4);
        }
        return std::wstring();
    };
    TUsbIdentity r{hex4(L"VID_"), hex4(L"PID_"), {}};
    if (r.Vid.empty()) return {};
    // An id Windows made up for a device without a serial number holds '&'.
    if (parts[1].find(L'+') != std::wstring::npos)
        r.Serial = ids.size() > 2 ? ids[2] : L"";
    else if (parts.size() > 2 && parts[2].find(L'&') == std::wstring::npos)
        r.Serial = parts[2];
    return r;
}

int Run(const std::vector<std::wstring>& Args, std::wstring& Out, std::wstring& Err) {
    TOptions o;
    const std::wstring wrong = Parse(Args, o);
    if (!wrong.empty()) {
        Err += L"nrports: " + wrong + L"\n" + kUsage;
        return exBadArgument;
    }
    if (o.Help || o.Version) {
        Out += o.Help ? kUsage : L"nrports " NRPORTS_VERSION L"\n";
        return exListed;
    }
    return o.PnpPort ? Identify(o, Out, Err) : List(o, Out, Err);
}

}  // namespace nrports
