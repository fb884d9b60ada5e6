// Malformed entries in the machine's serial-port map, listed in every
// enumeration mode: nothing may crash, a name the component cannot open by
// number is left out, and every listed entry opens under its own name.
#include <map>
#include <set>
#include <string>
#include <vector>

#include "stress.h"
#include "stress_support.h"

using namespace stress;
using serial_test::TPeerPort;
using serial_test::TPtyPair;

namespace {

const wchar_t kPrefix[] = L"\\Device\\nrStress";

struct TValue {
    std::wstring Name;  // the value name: the kernel device name
    DWORD Type;
    std::vector<BYTE> Data;
};

std::vector<BYTE> Bytes(const std::wstring& s, size_t extraNuls = 1) {
    std::wstring t = s + std::wstring(extraNuls, L'\0');
    const auto* p = reinterpret_cast<const BYTE*>(t.data());
    return std::vector<BYTE>(p, p + t.size() * sizeof(wchar_t));
}

std::wstring Com(std::uint32_t n) { return L"COM" + std::to_wstring(n); }

// The paths the library opens, as it asks for them.
std::wstring gLastPath;
decltype(&::CreateFileW) gRealCreateFileW = nullptr;

HANDLE WINAPI RecordingCreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disp,
                                   DWORD flags, HANDLE tmpl) {
    gLastPath = name ? name : L"";
    return gRealCreateFileW(name, access, share, sa, disp, flags, tmpl);
}

void Map() {
    TPtyPair one, two;
    if (!PairReady(one, "the map entries") || !PairReady(two, "the map entries")) return;
    RemoveStaleMapEntries(kPrefix);
    // The ports of the two pairs, each with the other end of its line.
    const std::map<std::uint32_t, std::uint32_t> otherEnd = {
        {one.PortA(), one.PortB()}, {one.PortB(), one.PortA()}, {two.PortA(), two.PortB()}, {two.PortB(), two.PortA()}};
    std::vector<TValue> values;
    int k = 0;
    auto add = [&](DWORD type, std::vector<BYTE> data, std::wstring name = L"") {
        if (name.empty()) name = kPrefix + std::to_wstring(++k);
        values.push_back({name, type, std::move(data)});
    };
    // Names no port number stands for.
    for (const wchar_t* s : {L"COMX", L"COM3A", L"COM65536", L"COM99999", L"COM007", L"COM00", L"COM 242", L" COM243",
                             L"COM\x0663", L"COM12345678901234567890", L""})
        add(REG_SZ, Bytes(s));
    add(REG_SZ, {});                                                   // empty, not even a NUL
    add(REG_SZ, Bytes(L"COM248" + std::wstring(140, L'7')));           // data longer than a map entry holds
    add(REG_SZ, Bytes(L"COM249"), kPrefix + std::wstring(300, L'L'));  // value name longer than one
    add(REG_DWORD, {5, 0, 0, 0});                                      // wrong type, no text at all
    add(REG_BINARY, {0xFF, 0xFE, 0x00});
    // Names that do stand for a port, however they are stored.
    add(REG_SZ, Bytes(L"COM0"));
    add(REG_SZ, Bytes(L"COM65535"));
    std::wstring lower = Com(one.PortA());
    for (auto& c : lower) c = static_cast<wchar_t>(towlower(c));
    add(REG_SZ, Bytes(lower));  // lower case
    add(REG_SZ, Bytes(Com(one.PortB())));
    add(REG_SZ, Bytes(Com(one.PortB())));  // duplicates
    add(REG_SZ, Bytes(L"Com" + std::to_wstring(one.PortB())));
    add(REG_SZ, Bytes(Com(two.PortA()), 6));                                      // NUL-padded
    add(REG_SZ, Bytes(Com(two.PortB()) + std::wstring(1, L'\0') + L"junk"));      // text after the NUL
    add(REG_MULTI_SZ, Bytes(L"COM247" + std::wstring(1, L'\0') + L"COM246", 2));  // wrong type, first string counts
    {
        auto b = Bytes(L"COM245", 0);  // wrong type: binary, no NUL
        add(REG_BINARY, b);
        auto odd = Bytes(L"COM244");
        odd.pop_back();  // odd size
        add(REG_SZ, odd);
    }
    std::vector<std::unique_ptr<TMapEntry>> entries;
    int stored = 0;
    for (const auto& v : values) {
        entries.push_back(
            std::make_unique<TMapEntry>(v.Name, v.Type, v.Data.data(), static_cast<DWORD>(v.Data.size())));
        stored += entries.back()->Ready();
    }
    All("map entries stored", stored, static_cast<long long>(values.size()));

    const std::set<std::wstring> expected = {L"COM0",          L"COM65535",      Com(one.PortA()),
                                             Com(one.PortB()), Com(two.PortA()), Com(two.PortB()),
                                             L"COM247",        L"COM245",        L"COM244"};
    gRealCreateFileW = nr::Win32.CreateFileW;
    nr::Win32.CreateFileW = &RecordingCreateFileW;
    const char* const modes[] = {"epQuickAll", "epFullInfo", "epFullPresent"};
    for (nr::TnrEnumPorts mode : {nr::epQuickAll, nr::epFullInfo, nr::epFullPresent}) {
        const std::string m = modes[mode];
        TStressComm com;
        UseUtilityLine(com);
        com.SetEnumPorts(mode);
        int fatal = 0;
        std::wstring fatalText;
        com.OnFatalError = [&](fw::TObject*, std::uint32_t, std::uint32_t, const std::wstring& msg, bool& raise) {
            ++fatal;
            fatalText = msg;
            raise = false;
        };
        bool updated = true;
        try {
            com.Update();
        } catch (...) {
            updated = false;
            Detail("%s: Update raised %s", m.c_str(), Narrow(fw::CurrentExceptionMessage()).c_str());
        }
        All((m + ": the list loads with malformed entries in the map").c_str(), updated, 1);

        std::multiset<std::wstring> ours;
        int consistent = 0, opened = 0, oursTotal = 0;
        for (int i = 0; i < com.DeviceCount(); ++i) {
            const nr::TnrDevice* d = com.GetDevice(i);
            const std::wstring name = d->NameDeviceDos;
            com.SetDeviceIndex(i);
            const bool same = com.ComName() == name && com.DeviceIndex() == i &&
                              name == nr::ComPortName(static_cast<std::uint32_t>(d->Data));
            consistent += same;
            if (!same)
                Detail("%s: entry %s selects %s", m.c_str(), Narrow(name).c_str(), Narrow(com.ComName()).c_str());
            if (d->NamePDO.rfind(kPrefix, 0) != 0) continue;  // not ours: not opened
            ++oursTotal;
            ours.insert(name);
            // Opens that very name: the bytes reach the other end of that line,
            // or the failure names it.
            gLastPath.clear();
            fatal = 0;
            com.SetActive(true);
            bool ok = gLastPath == L"\\\\?\\" + name;
            const auto line = otherEnd.find(static_cast<std::uint32_t>(d->Data));
            if (line != otherEnd.end()) {
                TPeerPort peer(line->second);
                com.SendString("to " + Narrow(name));
                ok = ok && com.Active() && peer.Read(static_cast<DWORD>(3 + name.size()), 2000) == "to " + Narrow(name);
            } else {
                ok = ok && !com.Active() && fatal == 1 && fatalText.find(L"\"" + name + L"\"") != std::wstring::npos;
            }
            const auto threads = com.Threads();
            com.SetActive(false);
            ok = WaitThreadsEnd(threads, 10000) && ok;
            opened += ok;
            if (!ok)
                Detail("%s: %s opened %s (active %d, fatal %d)", m.c_str(), Narrow(name).c_str(),
                       Narrow(gLastPath).c_str(), com.Active(), fatal);
        }
        All((m + ": listed entries selected under their own name").c_str(), consistent, com.DeviceCount());
        All((m + ": entries of ours that open that very name").c_str(), opened, oursTotal);
        int rightSet = 0;
        for (const auto& e : expected) rightSet += ours.count(e) == 1;
        All((m + ": well-formed names listed once each").c_str(), rightSet, static_cast<long long>(expected.size()));
        All((m + ": names no port number stands for left out").c_str(), ours.size() == expected.size(), 1);
    }
    nr::Win32.CreateFileW = gRealCreateFileW;
}

}  // namespace

STRESS_SECTION(map, "Malformed serial-map entries in every enumeration mode", Map, 120, 90);
