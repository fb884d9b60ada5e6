// A scripted machine for the port discovery tests and benchmarks: registry
// keys and values, the optional system libraries (SetupAPI.dll, cfgmgr32.dll,
// ntdll.dll, winspool.drv) as fake modules, and a Plug-and-Play device
// database behind the fake SetupAPI. Constructing a TFakeSystem replaces the
// module, registry and version entries of nr::Win32; destroying it restores
// the table. One at a time. Header-only so the benchmark can use it too.
#pragma once

#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "../../comm/nrwin32.h"
#include "../../comm/nrwin32di.h"
#include "win32_guard.h"

namespace discovery_test {

using TWin32Guard = test_support::TWin32Guard;

inline constexpr GUID kGuidModemInterface = {
    0x2C7089AA, 0x2E0E, 0x11D1, {0xB1, 0x14, 0x00, 0xC0, 0x4F, 0xC2, 0xAA, 0xE4}};
inline constexpr GUID kGuidComPortInterface = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
inline constexpr GUID kGuidPortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
inline constexpr GUID kGuidModemClass = {0x4D36E96D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
inline constexpr GUID kGuidMultiportClass = {
    0x50906CB8, 0xBA12, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};
inline constexpr GUID kGuidAdapterClass = {
    0x4D36E964, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

inline bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

// Path of the serial-port map below HKEY_LOCAL_MACHINE.
inline const std::wstring kSerialMapPath = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";

struct TFakeInterface {
    GUID Guid;
    std::wstring Path;
    bool DetailFails = false;  // the detail query fails with another error than 122
};

struct TFakeDevice {
    GUID ClassGuid{};
    bool Present = true;
    std::map<DWORD, std::wstring> Props;  // SPDRP_* -> text
    std::wstring KeyPath;                 // hardware key below HKLM; empty: none
    std::wstring InstanceId;
    std::vector<std::wstring> Children;  // bus relations
    std::vector<TFakeInterface> Interfaces;
    DWORD DevInst = 0;
};

struct TClassDevsCall {
    GUID Guid;
    bool HasGuid;
    DWORD Flags;
};

class TFakeSystem;
inline TFakeSystem* gFake = nullptr;

class TFakeSystem {
public:
    TFakeSystem();
    ~TFakeSystem() {
        nr::UnloadSetupApi();  // a binding to the fake modules must not outlive them
        for (auto* k : openKeys_) delete k;
        gFake = nullptr;
    }
    TFakeSystem(const TFakeSystem&) = delete;
    TFakeSystem& operator=(const TFakeSystem&) = delete;

    // ---- registry (paths below HKEY_LOCAL_MACHINE, case-insensitive)
    void AddKey(const std::wstring& Path) { keys_[Upper(Path)]; }
    void AddValue(const std::wstring& Path, const std::wstring& Name, const std::wstring& Text, DWORD Type = REG_SZ,
                  bool WithNul = true) {
        std::vector<BYTE> data(reinterpret_cast<const BYTE*>(Text.c_str()),
                               reinterpret_cast<const BYTE*>(Text.c_str()) + (Text.size() + (WithNul ? 1 : 0)) * 2);
        AddRawValue(Path, Name, Type, std::move(data));
    }
    void AddRawValue(const std::wstring& Path, const std::wstring& Name, DWORD Type, std::vector<BYTE> Data) {
        keys_[Upper(Path)].push_back({Name, Type, std::move(Data)});
    }
    // A value of the serial-port map.
    void AddMapPort(const std::wstring& Device, const std::wstring& Port) { AddValue(kSerialMapPath, Device, Port); }
    // Kernel names the fake ZwQueryKey gives keys opened on a path (upper-case
    // path); by default \REGISTRY\MACHINE\ + the path.
    std::map<std::wstring, std::wstring> KernelNames;
    // A key handle as if opened on Path.
    HKEY OpenFakeKey(const std::wstring& Path) {
        auto* k = new TKey{Path};
        openKeys_.insert(k);
        return reinterpret_cast<HKEY>(k);
    }
    int OpenKeys() const { return static_cast<int>(openKeys_.size()); }

    // ---- modules
    bool HasSetupApi = true;
    bool SetupApiExportsCm = true;  // else the CM_* entry points live in cfgmgr32.dll only
    bool HasCfgMgr = true;
    bool HasZwQueryKey = true;
    std::set<std::string> MissingExports;  // names that GetProcAddress does not find
    int Loads(const std::wstring& Module) const { return Count(loads_, Module); }
    int Frees(const std::wstring& Module) const { return Count(frees_, Module); }
    // The fake module that handed out an entry point, by name (last lookup).
    std::map<std::string, std::wstring> BoundFrom;

    // ---- consumer platform with the spooler's port list
    bool ConsumerPlatform = false;
    std::vector<std::wstring> SpoolerPorts;

    // ---- Plug-and-Play database
    TFakeDevice& AddDevice(const GUID& ClassGuid) {
        Devices.push_back(std::make_unique<TFakeDevice>());
        auto& d = *Devices.back();
        d.ClassGuid = ClassGuid;
        d.DevInst = ++nextDevInst_;
        return d;
    }
    // A Ports-class device whose hardware key holds PortName; an FTDI adapter
    // unless Id says otherwise.
    TFakeDevice& AddPortsDevice(const std::wstring& Port, const std::wstring& Description, bool Present = true,
                                std::wstring Id = {}) {
        auto& d = AddDevice(kGuidPortsClass);
        d.Present = Present;
        const std::wstring id = Id.empty() ? L"USB\\VID_0403&PID_6001\\" + std::to_wstring(d.DevInst) : Id;
        d.InstanceId = id;
        d.KeyPath = L"SYSTEM\\CurrentControlSet\\Enum\\" + id + L"\\Device Parameters";
        d.Props[SPDRP_DRIVER] = L"{4d36e978-e325-11ce-bfc1-08002be10318}\\" + std::to_wstring(d.DevInst);
        d.Props[SPDRP_SERVICE] = L"FTSER2K";
        d.Props[SPDRP_PHYSICAL_DEVICE_OBJECT_NAME] = L"\\Device\\VCP" + std::to_wstring(d.DevInst);
        d.Props[SPDRP_DEVICEDESC] = Description;
        d.Props[SPDRP_MFG] = L"FTDI";
        AddValue(d.KeyPath, L"PortName", Port);
        AddValue(d.KeyPath, L"SymbolicName", L"\\??\\" + id);
        return d;
    }
    std::vector<std::unique_ptr<TFakeDevice>> Devices;
    std::vector<TClassDevsCall> ClassDevsCalls;
    std::vector<ULONG> RelationFilters;
    bool ClassDevsFails = false;
    int LiveSets() const { return liveSets_; }

    // ---- state of the fake entry points
    struct TKey {
        std::wstring Path;
    };
    struct TValue {
        std::wstring Name;
        DWORD Type;
        std::vector<BYTE> Data;
    };
    struct TSet {
        std::vector<TFakeDevice*> Devs;
        std::vector<std::pair<TFakeDevice*, size_t>> Ifs;  // device, interface index
    };
    static std::wstring Upper(std::wstring s) {
        for (auto& c : s)
            if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - 32);
        return s;
    }
    TKey* FindOpen(HKEY k) const {
        auto* p = reinterpret_cast<TKey*>(k);
        return openKeys_.count(p) ? p : nullptr;
    }
    std::vector<TValue>* KeyValues(const std::wstring& Path) {
        auto it = keys_.find(Upper(Path));
        return it == keys_.end() ? nullptr : &it->second;
    }
    std::wstring KernelName(const std::wstring& Path) const {
        auto it = KernelNames.find(Upper(Path));
        return it != KernelNames.end() ? it->second : L"\\REGISTRY\\MACHINE\\" + Path;
    }
    static bool SameNoCase(const std::wstring& a, const std::wstring& b) {
        if (a.size() != b.size()) return false;
        for (size_t i = 0; i < a.size(); ++i) {
            wchar_t x = a[i], y = b[i];
            if (x >= L'a' && x <= L'z') x = static_cast<wchar_t>(x - 32);
            if (y >= L'a' && y <= L'z') y = static_cast<wchar_t>(y - 32);
            if (x != y) return false;
        }
        return true;
    }
    TFakeDevice* DeviceByInstance(const std::wstring& Id) const {
        for (auto& d : Devices)
            if (!d->InstanceId.empty() && SameNoCase(d->InstanceId, Id)) return d.get();
        return nullptr;
    }

    std::set<TKey*> openKeys_;
    std::map<std::wstring, int> loads_, frees_;
    std::map<std::wstring, std::vector<TValue>> keys_;
    int liveSets_ = 0;

    // Fake module handles: addresses of these bytes.
    inline static char modSetupApi, modCfgMgr, modNtdll, modSpool;

private:
    static int Count(const std::map<std::wstring, int>& m, const std::wstring& k) {
        auto it = m.find(Upper(k));
        return it == m.end() ? 0 : it->second;
    }
    TWin32Guard guard_;
    DWORD nextDevInst_ = 1000;
};

namespace fake {

inline HMODULE Mod(char& c) { return reinterpret_cast<HMODULE>(&c); }

inline std::wstring ModuleName(HMODULE h) {
    if (h == Mod(TFakeSystem::modSetupApi)) return L"SETUPAPI.DLL";
    if (h == Mod(TFakeSystem::modCfgMgr)) return L"CFGMGR32.DLL";
    if (h == Mod(TFakeSystem::modNtdll)) return L"NTDLL.DLL";
    if (h == Mod(TFakeSystem::modSpool)) return L"WINSPOOL.DRV";
    return L"";
}

template <class F> FARPROC Proc(F f) { return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(f)); }

// ---- registry

inline LSTATUS WINAPI RegOpenKeyExW(HKEY root, LPCWSTR sub, DWORD, REGSAM, PHKEY out) {
    std::wstring path = sub ? sub : L"";
    if (auto* parent = gFake->FindOpen(root))
        path = parent->Path + (path.empty() ? L"" : L"\\" + path);
    else if (root != HKEY_LOCAL_MACHINE)
        return ERROR_FILE_NOT_FOUND;
    if (!gFake->KeyValues(path)) return ERROR_FILE_NOT_FOUND;
    *out = gFake->OpenFakeKey(path);
    return ERROR_SUCCESS;
}

inline LSTATUS WINAPI RegCloseKey(HKEY k) {
    auto* key = gFake->FindOpen(k);
    if (!key) return ERROR_INVALID_HANDLE;
    gFake->openKeys_.erase(key);
    delete key;
    return ERROR_SUCCESS;
}

inline LSTATUS WINAPI RegEnumValueW(HKEY k, DWORD index, LPWSTR name, LPDWORD nameLen, LPDWORD, LPDWORD type,
                                    LPBYTE data, LPDWORD dataLen) {
    auto* key = gFake->FindOpen(k);
    if (!key) return ERROR_INVALID_HANDLE;
    auto* values = gFake->KeyValues(key->Path);
    if (!values || index >= values->size()) return ERROR_NO_MORE_ITEMS;
    const auto& v = (*values)[index];
    if (v.Name.size() + 1 > *nameLen) return ERROR_MORE_DATA;
    if (data && dataLen && v.Data.size() > *dataLen) return ERROR_MORE_DATA;
    std::copy(v.Name.begin(), v.Name.end(), name);
    name[v.Name.size()] = 0;
    *nameLen = static_cast<DWORD>(v.Name.size());
    if (type) *type = v.Type;
    if (data && dataLen) std::copy(v.Data.begin(), v.Data.end(), data);
    if (dataLen) *dataLen = static_cast<DWORD>(v.Data.size());
    return ERROR_SUCCESS;
}

inline LSTATUS WINAPI RegQueryValueExW(HKEY k, LPCWSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
    auto* key = gFake->FindOpen(k);
    if (!key) return ERROR_INVALID_HANDLE;
    auto* values = gFake->KeyValues(key->Path);
    const std::wstring want = name ? name : L"";
    for (const auto& v : *values) {
        if (!TFakeSystem::SameNoCase(v.Name, want)) continue;
        if (type) *type = v.Type;
        if (data) {
            if (!size || *size < v.Data.size()) {
                if (size) *size = static_cast<DWORD>(v.Data.size());
                return ERROR_MORE_DATA;
            }
            std::copy(v.Data.begin(), v.Data.end(), data);
        }
        if (size) *size = static_cast<DWORD>(v.Data.size());
        return ERROR_SUCCESS;
    }
    return ERROR_FILE_NOT_FOUND;
}

// ---- ntdll

inline LONG NTAPI ZwQueryKey(HANDLE k, int cls, PVOID buf, ULONG len, PULONG result) {
    constexpr LONG kBufferTooSmall = static_cast<LONG>(0xC0000023), kInvalidHandle = static_cast<LONG>(0xC0000008);
    auto* key = gFake->FindOpen(static_cast<HKEY>(k));
    if (!key || cls != 3) return kInvalidHandle;
    std::wstring name = gFake->KernelName(key->Path);
    ULONG need = static_cast<ULONG>(sizeof(ULONG) + name.size() * 2);
    *result = need;
    if (!buf || len < need) return kBufferTooSmall;
    auto* b = static_cast<BYTE*>(buf);
    ULONG bytes = static_cast<ULONG>(name.size() * 2);
    std::memcpy(b, &bytes, sizeof(ULONG));
    std::memcpy(b + sizeof(ULONG), name.data(), bytes);  // counted, not terminated
    return 0;
}

// ---- winspool

inline BOOL WINAPI EnumPortsW(LPWSTR, DWORD level, LPBYTE buf, DWORD size, LPDWORD needed, LPDWORD returned) {
    if (level != 1) return FALSE;
    const auto& ports = gFake->SpoolerPorts;
    DWORD need = static_cast<DWORD>(ports.size() * sizeof(LPWSTR));
    for (auto& p : ports) need += static_cast<DWORD>((p.size() + 1) * 2);
    *needed = need;
    *returned = 0;
    if (ports.empty()) return TRUE;
    if (!buf || size < need) {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    auto* infos = reinterpret_cast<LPWSTR*>(buf);
    auto* text = reinterpret_cast<wchar_t*>(buf + ports.size() * sizeof(LPWSTR));
    for (size_t i = 0; i < ports.size(); ++i) {
        infos[i] = text;
        std::copy(ports[i].begin(), ports[i].end(), text);
        text[ports[i].size()] = 0;
        text += ports[i].size() + 1;
    }
    *returned = static_cast<DWORD>(ports.size());
    return TRUE;
}

inline BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW vi) {
    vi->dwMajorVersion = gFake->ConsumerPlatform ? 4 : 6;
    vi->dwMinorVersion = gFake->ConsumerPlatform ? 10 : 1;
    vi->dwPlatformId = gFake->ConsumerPlatform ? VER_PLATFORM_WIN32_WINDOWS : VER_PLATFORM_WIN32_NT;
    return TRUE;
}

// ---- SetupAPI

inline TFakeSystem::TSet* SetOf(HDEVINFO h) { return static_cast<TFakeSystem::TSet*>(h); }
inline TFakeDevice* DevOf(const SP_DEVINFO_DATA* d) { return reinterpret_cast<TFakeDevice*>(d->Reserved); }

inline void FillDevInfo(SP_DEVINFO_DATA* out, TFakeDevice* d) {
    out->ClassGuid = d->ClassGuid;
    out->DevInst = d->DevInst;
    out->Reserved = reinterpret_cast<ULONG_PTR>(d);
}

inline HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* guid, PCWSTR, HWND, DWORD flags) {
    gFake->ClassDevsCalls.push_back({guid ? *guid : GUID{}, guid != nullptr, flags});
    if (gFake->ClassDevsFails) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto* set = new TFakeSystem::TSet;
    for (auto& up : gFake->Devices) {
        TFakeDevice* d = up.get();
        if ((flags & DIGCF_PRESENT) && !d->Present) continue;
        if (flags & DIGCF_DEVICEINTERFACE) {
            bool has = false;
            for (size_t i = 0; i < d->Interfaces.size(); ++i)
                if (!guid || SameGuid(d->Interfaces[i].Guid, *guid)) {
                    set->Ifs.push_back({d, i});
                    has = true;
                }
            if (has) set->Devs.push_back(d);
        } else if ((flags & DIGCF_ALLCLASSES) || (guid && SameGuid(d->ClassGuid, *guid))) {
            set->Devs.push_back(d);
        }
    }
    ++gFake->liveSets_;
    return set;
}

inline BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO h) {
    delete SetOf(h);
    --gFake->liveSets_;
    return TRUE;
}

inline BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO h, DWORD index, PSP_DEVINFO_DATA out) {
    auto* set = SetOf(h);
    if (out->cbSize != sizeof(SP_DEVINFO_DATA)) {
        ::SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (index >= set->Devs.size()) {
        ::SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    FillDevInfo(out, set->Devs[index]);
    return TRUE;
}

inline BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO, PSP_DEVINFO_DATA di, DWORD prop, PDWORD type, PBYTE buf,
                                                     DWORD size, PDWORD required) {
    auto* d = DevOf(di);
    auto it = d->Props.find(prop);
    if (it == d->Props.end()) {
        ::SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    DWORD bytes = static_cast<DWORD>((it->second.size() + 1) * 2);
    if (required) *required = bytes;
    if (type) *type = REG_SZ;
    if (!buf || size < bytes) {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(buf, it->second.c_str(), bytes);
    return TRUE;
}

inline HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO, PSP_DEVINFO_DATA di, DWORD scope, DWORD, DWORD type, REGSAM) {
    auto* d = DevOf(di);
    if (d->KeyPath.empty() || scope != DICS_FLAG_GLOBAL || type != DIREG_DEV || !gFake->KeyValues(d->KeyPath)) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    return gFake->OpenFakeKey(d->KeyPath);
}

inline BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO h, PSP_DEVINFO_DATA di, const GUID* guid, DWORD index,
                                               PSP_DEVICE_INTERFACE_DATA out) {
    auto* set = SetOf(h);
    if (out->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        ::SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    DWORD seen = 0;
    for (size_t i = 0; i < set->Ifs.size(); ++i) {
        auto [d, k] = set->Ifs[i];
        if (di && d != DevOf(di)) continue;
        if (guid && !SameGuid(d->Interfaces[k].Guid, *guid)) continue;
        if (seen++ != index) continue;
        out->InterfaceClassGuid = d->Interfaces[k].Guid;
        out->Flags = SPINT_ACTIVE;
        out->Reserved = i + 1;
        return TRUE;
    }
    ::SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
}

inline BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO h, PSP_DEVICE_INTERFACE_DATA ifd,
                                                    PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size,
                                                    PDWORD required, PSP_DEVINFO_DATA di) {
    auto* set = SetOf(h);
    if (ifd->Reserved == 0 || ifd->Reserved > set->Ifs.size()) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto [d, k] = set->Ifs[ifd->Reserved - 1];
    const auto& itf = d->Interfaces[k];
    if (itf.DetailFails) {
        ::SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    DWORD need =
        static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + (itf.Path.size() + 1) * 2);
    if (required) *required = need;
    if (di) {
        if (di->cbSize != sizeof(SP_DEVINFO_DATA)) {
            ::SetLastError(ERROR_INVALID_USER_BUFFER);
            return FALSE;
        }
        FillDevInfo(di, d);
    }
    if (!detail) {
        ::SetLastError(size ? ERROR_INVALID_USER_BUFFER : ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        ::SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (size < need) {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(detail->DevicePath, itf.Path.c_str(), (itf.Path.size() + 1) * 2);
    return TRUE;
}

inline BOOL WINAPI SetupDiGetDeviceInstanceIdW(HDEVINFO, PSP_DEVINFO_DATA di, PWSTR buf, DWORD size, PDWORD required) {
    auto* d = DevOf(di);
    if (d->InstanceId.empty()) {
        ::SetLastError(ERROR_NO_SUCH_DEVINST);
        return FALSE;
    }
    DWORD need = static_cast<DWORD>(d->InstanceId.size() + 1);
    if (required) *required = need;
    if (!buf || size < need) {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(buf, d->InstanceId.c_str(), need * 2);
    return TRUE;
}

// Exported, never called by the program.
inline BOOL WINAPI Unused() {
    ::SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

// ---- configuration manager

inline std::wstring RelationText(const std::wstring& id) {
    std::wstring r;
    if (auto* d = gFake->DeviceByInstance(id))
        for (auto& c : d->Children) r += c + L'\0';
    r += L'\0';
    return r;
}

inline CONFIGRET WINAPI CM_Get_Device_ID_List_SizeW(PULONG len, PCWSTR filter, ULONG flags) {
    gFake->RelationFilters.push_back(flags);
    if (!filter || !gFake->DeviceByInstance(filter)) return CR_NO_SUCH_DEVNODE;
    *len = static_cast<ULONG>(RelationText(filter).size());
    return CR_SUCCESS;
}

inline CONFIGRET WINAPI CM_Get_Device_ID_ListW(PCWSTR filter, PWCHAR buf, ULONG len, ULONG) {
    if (!filter || !gFake->DeviceByInstance(filter)) return CR_NO_SUCH_DEVNODE;
    std::wstring t = RelationText(filter);
    if (len < t.size()) return CR_BUFFER_SMALL;
    std::copy(t.begin(), t.end(), buf);
    return CR_SUCCESS;
}

// ---- modules

inline const std::map<std::string, FARPROC>& SetupApiExports() {
    static const std::map<std::string, FARPROC> m = {
        {"SetupDiGetClassDevsW", Proc(&SetupDiGetClassDevsW)},
        {"SetupDiDestroyDeviceInfoList", Proc(&SetupDiDestroyDeviceInfoList)},
        {"SetupDiEnumDeviceInfo", Proc(&SetupDiEnumDeviceInfo)},
        {"SetupDiGetDeviceRegistryPropertyW", Proc(&SetupDiGetDeviceRegistryPropertyW)},
        {"SetupDiOpenDevRegKey", Proc(&SetupDiOpenDevRegKey)},
        {"SetupDiEnumDeviceInterfaces", Proc(&SetupDiEnumDeviceInterfaces)},
        {"SetupDiGetDeviceInterfaceDetailW", Proc(&SetupDiGetDeviceInterfaceDetailW)},
        {"SetupDiCreateDeviceInfoList", Proc(&Unused)},
        {"SetupDiCreateDeviceInfoW", Proc(&Unused)},
        {"SetupDiGetINFClassW", Proc(&Unused)},
        {"SetupDiSetDeviceRegistryPropertyW", Proc(&Unused)},
        {"SetupDiCallClassInstaller", Proc(&Unused)},
        {"SetupDiGetDeviceInstanceIdW", Proc(&SetupDiGetDeviceInstanceIdW)},
        {"SetupDiRemoveDevice", Proc(&Unused)},
        {"SetupDiUnremoveDevice", Proc(&Unused)},
        {"SetupDiOpenDeviceInfoW", Proc(&Unused)},
    };
    return m;
}

inline const std::map<std::string, FARPROC>& CfgMgrExports() {
    static const std::map<std::string, FARPROC> m = {
        {"CM_Locate_DevNodeW", Proc(&Unused)},
        {"CM_Get_DevNode_Registry_PropertyW", Proc(&Unused)},
        {"CM_Get_Parent", Proc(&Unused)},
        {"CM_Get_Device_ID_List_SizeW", Proc(&CM_Get_Device_ID_List_SizeW)},
        {"CM_Get_Device_ID_ListW", Proc(&CM_Get_Device_ID_ListW)},
        {"CM_Get_Child", Proc(&Unused)},
        {"CM_Get_Sibling", Proc(&Unused)},
        {"CM_Request_Device_EjectW", Proc(&Unused)},
    };
    return m;
}

inline HMODULE WINAPI LoadLibraryW(LPCWSTR name) {
    std::wstring n = TFakeSystem::Upper(name ? name : L"");
    HMODULE h = nullptr;
    if (n == L"SETUPAPI.DLL")
        h = gFake->HasSetupApi ? Mod(TFakeSystem::modSetupApi) : nullptr;
    else if (n == L"CFGMGR32.DLL")
        h = gFake->HasCfgMgr ? Mod(TFakeSystem::modCfgMgr) : nullptr;
    else if (n == L"NTDLL.DLL")
        h = Mod(TFakeSystem::modNtdll);
    else if (n == L"WINSPOOL.DRV")
        h = Mod(TFakeSystem::modSpool);
    else
        return ::LoadLibraryW(name);
    if (!h) {
        ::SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    ++gFake->loads_[n];
    return h;
}

inline BOOL WINAPI FreeLibrary(HMODULE h) {
    std::wstring n = ModuleName(h);
    if (n.empty()) return ::FreeLibrary(h);
    ++gFake->frees_[n];
    return TRUE;
}

inline FARPROC WINAPI GetProcAddress(HMODULE h, LPCSTR name) {
    std::wstring mod = ModuleName(h);
    if (mod.empty()) return ::GetProcAddress(h, name);
    std::string n = name;
    if (gFake->MissingExports.count(n)) return nullptr;
    FARPROC p = nullptr;
    if (mod == L"SETUPAPI.DLL") {
        auto& m = SetupApiExports();
        if (auto it = m.find(n); it != m.end())
            p = it->second;
        else if (gFake->SetupApiExportsCm)
            if (auto it2 = CfgMgrExports().find(n); it2 != CfgMgrExports().end()) p = it2->second;
    } else if (mod == L"CFGMGR32.DLL") {
        if (auto it = CfgMgrExports().find(n); it != CfgMgrExports().end()) p = it->second;
    } else if (mod == L"NTDLL.DLL") {
        if (n == "ZwQueryKey" && gFake->HasZwQueryKey) p = Proc(&ZwQueryKey);
    } else if (mod == L"WINSPOOL.DRV") {
        if (n == "EnumPortsW") p = Proc(&EnumPortsW);
    }
    if (p) gFake->BoundFrom[n] = mod;
    return p;
}

}  // namespace fake

inline TFakeSystem::TFakeSystem() {
    nr::UnloadSetupApi();  // start unbound, whatever an earlier test bound
    gFake = this;
    keys_[Upper(kSerialMapPath)];
    auto& w = nr::Win32;
    w.LoadLibraryW = &fake::LoadLibraryW;
    w.FreeLibrary = &fake::FreeLibrary;
    w.GetProcAddress = &fake::GetProcAddress;
    w.RegOpenKeyExW = &fake::RegOpenKeyExW;
    w.RegCloseKey = &fake::RegCloseKey;
    w.RegEnumValueW = &fake::RegEnumValueW;
    w.RegQueryValueExW = &fake::RegQueryValueExW;
    w.GetVersionExW = &fake::GetVersionExW;
}

}  // namespace discovery_test
