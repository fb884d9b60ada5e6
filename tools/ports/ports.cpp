#include "ports.h"

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <utility>

#include "comm/nrcomm.h"
#include "framework/sysutils.h"

namespace nrports {

namespace {

const wchar_t kUsage[] =
    L"usage: nrports [-v] [-m quick|info|present]\n"
    L"       nrports [-v] --pnp COMn\n"
    L"Lists the serial ports of the machine, one a line: the port's name as\n"
    L"programs show it and its Plug-and-Play identity (manufacturer, driver service).\n"
    L"  -m, --mode quick    the serial-port map only, plain port names\n"
    L"             info     completed with every installed Plug-and-Play device\n"
    L"             present  the same with the devices plugged in now (default)\n"
    L"  -v, --verbose       every field the port list holds, one a line\n"
    L"  --pnp COMn          the identification string of the serial Plug-and-Play\n"
    L"                      device on port COMn (other bytes than printable ASCII\n"
    L"                      as \\xNN; with -v also every byte in hex)\n"
    L"  -h, --help          this text\n"
    L"Exit codes: 0 done, 1 no port found, 2 bad argument, 3 port cannot be opened,\n"
    L"4 the port list cannot be read, 5 no device answers, 6 no identification sent.\n";

const std::pair<const wchar_t*, nr::TnrEnumPorts> kModes[] = {
    {L"quick", nr::epQuickAll}, {L"info", nr::epFullInfo}, {L"present", nr::epFullPresent}};

struct TOptions {
    nr::TnrEnumPorts Mode = nr::epFullPresent;
    bool Verbose = false;
    bool Help = false;
    std::uint16_t PnpPort = 0;  // --pnp COMn: n
};

// Empty when the arguments are sound, else what is wrong with them.
std::wstring Parse(const std::vector<std::wstring>& Args, TOptions& o) {
    for (size_t i = 0; i < Args.size(); ++i) {
        const std::wstring& a = Args[i];
        if (a == L"-v" || a == L"--verbose") {
            o.Verbose = true;
        } else if (a == L"-h" || a == L"--help") {
            o.Help = true;
        } else if (a == L"-m" || a == L"--mode") {
            if (++i == Args.size()) return a + L" needs a mode: quick, info or present";
            auto m = std::find_if(std::begin(kModes), std::end(kModes), [&](auto& k) { return Args[i] == k.first; });
            if (m == std::end(kModes)) return L"unknown mode \"" + Args[i] + L"\": quick, info or present";
            o.Mode = m->second;
        } else if (a == L"--pnp") {
            if (++i == Args.size() || !nr::ComPortNumber(Args[i], o.PnpPort) || o.PnpPort == 0)
                return L"--pnp needs a port name such as COM3";
        } else {
            return L"unknown argument \"" + a + L"\"";
        }
    }
    return {};
}

// Who stands behind the port, as far as Plug and Play knows.
std::wstring Identity(const nr::TnrDevice& d) {
    std::wstring s = d.Manufacturer;
    if (!d.Service.empty()) s += (s.empty() ? L"" : L", ") + d.Service;
    return s.empty() ? s : L"[" + s + L"]";
}

std::wstring Line(const nr::TnrDevice& d, size_t Width) {
    std::wstring s = d.NameFriendly;
    const std::wstring id = Identity(d);
    if (!id.empty()) s += std::wstring(Width - d.NameFriendly.size() + 2, L' ') + id;
    return s + L"\n";
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
    if (com.DeviceCount() == 0) {
        Err += L"nrports: no serial port found\n";
        return exNoPorts;
    }
    size_t width = 0;
    for (int i = 0; i < com.DeviceCount(); ++i) width = std::max(width, com.GetDevice(i)->NameFriendly.size());
    for (int i = 0; i < com.DeviceCount(); ++i) {
        const nr::TnrDevice& d = *com.GetDevice(i);
        if (o.Verbose)
            Out += (i ? L"\n" : L"") + Fields(d);
        else
            Out += Line(d, width);
    }
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
int Identify(const TOptions& o, std::wstring& Out, std::wstring& Err) {
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

int Run(const std::vector<std::wstring>& Args, std::wstring& Out, std::wstring& Err) {
    TOptions o;
    const std::wstring wrong = Parse(Args, o);
    if (!wrong.empty()) {
        Err += L"nrports: " + wrong + L"\n" + kUsage;
        return exBadArgument;
    }
    if (o.Help) {
        Out += kUsage;
        return exListed;
    }
    return o.PnpPort ? Identify(o, Out, Err) : List(o, Out, Err);
}

}  // namespace nrports
