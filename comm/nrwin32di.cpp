#include "nrwin32di.h"

#include <cfgmgr32.h>

#include <cstddef>
#include <cwchar>
#include <memory>
#include <type_traits>
#include <vector>

#include "nrclasses.h"
#include "nrsysutils.h"
#include "nrwin32.h"

namespace nr {

namespace {

// Entry points; the ones this program never calls are bound all the same,
// so a system lacking them is treated as lacking SetupAPI altogether.
struct TBinding {
    decltype(&::SetupDiGetClassDevsW) GetClassDevs = nullptr;
    decltype(&::SetupDiDestroyDeviceInfoList) DestroyDeviceInfoList = nullptr;
    decltype(&::SetupDiEnumDeviceInfo) EnumDeviceInfo = nullptr;
    decltype(&::SetupDiGetDeviceRegistryPropertyW) GetDeviceRegistryProperty = nullptr;
    decltype(&::SetupDiOpenDevRegKey) OpenDevRegKey = nullptr;
    decltype(&::SetupDiEnumDeviceInterfaces) EnumDeviceInterfaces = nullptr;
    decltype(&::SetupDiGetDeviceInterfaceDetailW) GetDeviceInterfaceDetail = nullptr;
    FARPROC CreateDeviceInfoList = nullptr;
    FARPROC CreateDeviceInfo = nullptr;
    FARPROC GetINFClass = nullptr;
    FARPROC SetDeviceRegistryProperty = nullptr;
    FARPROC CallClassInstaller = nullptr;
    decltype(&::SetupDiGetDeviceInstanceIdW) GetDeviceInstanceId = nullptr;
    FARPROC RemoveDevice = nullptr;
    FARPROC UnremoveDevice = nullptr;
    FARPROC OpenDeviceInfo = nullptr;
    FARPROC CmLocateDevNode = nullptr;
    FARPROC CmGetDevNodeRegistryProperty = nullptr;
    FARPROC CmGetParent = nullptr;
    decltype(&::CM_Get_Device_ID_List_SizeW) CmGetDeviceIdListSize = nullptr;
    decltype(&::CM_Get_Device_ID_ListW) CmGetDeviceIdList = nullptr;
    FARPROC CmGetChild = nullptr;
    FARPROC CmGetSibling = nullptr;
    FARPROC CmRequestDeviceEject = nullptr;
};

template <auto Member> void StoreEntry(TBinding& b, FARPROC p) {
    using T = std::remove_reference_t<decltype(b.*Member)>;
    b.*Member = ProcAs<T>(p);
}

template <auto Member> bool HasEntry(const TBinding& b) { return b.*Member != nullptr; }

struct TEntryPoint {
    const char* Name;  // with the ANSI suffix where the function has an A/W pair
    bool Ansi;
    bool Required;
    void (*Store)(TBinding&, FARPROC);
    bool (*Has)(const TBinding&);
};

#define NR_ENTRY(name, ansi, required, member) \
    TEntryPoint { name, ansi, required, &StoreEntry<&TBinding::member>, &HasEntry<&TBinding::member> }

const TEntryPoint kSetupEntries[] = {
    NR_ENTRY("SetupDiGetClassDevsA", true, true, GetClassDevs),
    NR_ENTRY("SetupDiDestroyDeviceInfoList", false, true, DestroyDeviceInfoList),
    NR_ENTRY("SetupDiEnumDeviceInfo", false, true, EnumDeviceInfo),
    NR_ENTRY("SetupDiGetDeviceRegistryPropertyA", true, true, GetDeviceRegistryProperty),
    NR_ENTRY("SetupDiOpenDevRegKey", false, true, OpenDevRegKey),
    NR_ENTRY("SetupDiEnumDeviceInterfaces", false, true, EnumDeviceInterfaces),
    NR_ENTRY("SetupDiGetDeviceInterfaceDetailA", true, true, GetDeviceInterfaceDetail),
    NR_ENTRY("SetupDiCreateDeviceInfoList", false, true, CreateDeviceInfoList),
    NR_ENTRY("SetupDiCreateDeviceInfoA", true, true, CreateDeviceInfo),
    NR_ENTRY("SetupDiGetINFClassA", true, true, GetINFClass),
    NR_ENTRY("SetupDiSetDeviceRegistryPropertyA", true, true, SetDeviceRegistryProperty),
    NR_ENTRY("SetupDiCallClassInstaller", false, true, CallClassInstaller),
    NR_ENTRY("SetupDiGetDeviceInstanceIdA", true, true, GetDeviceInstanceId),
    NR_ENTRY("SetupDiRemoveDevice", false, false, RemoveDevice),
    NR_ENTRY("SetupDiUnremoveDevice", false, false, UnremoveDevice),
    NR_ENTRY("SetupDiOpenDeviceInfoA", true, false, OpenDeviceInfo),
};

const TEntryPoint kLocateEntry = NR_ENTRY("CM_Locate_DevNodeA", true, true, CmLocateDevNode);

const TEntryPoint kCfgEntries[] = {
    NR_ENTRY("CM_Get_DevNode_Registry_PropertyA", true, true, CmGetDevNodeRegistryProperty),
    NR_ENTRY("CM_Get_Parent", false, true, CmGetParent),
    NR_ENTRY("CM_Get_Device_ID_List_SizeA", true, true, CmGetDeviceIdListSize),
    NR_ENTRY("CM_Get_Device_ID_ListA", true, true, CmGetDeviceIdList),
    NR_ENTRY("CM_Get_Child", false, true, CmGetChild),
    NR_ENTRY("CM_Get_Sibling", false, true, CmGetSibling),
    NR_ENTRY("CM_Request_Device_EjectA", true, false, CmRequestDeviceEject),
};

#undef NR_ENTRY

// Process-wide; used from the user-interface thread only.
HMODULE gSetupApi = nullptr;
HMODULE gCfgMgr = nullptr;
TBinding gApi;

void Bind(HMODULE lib, const TEntryPoint& e) {
    std::string name = e.Ansi ? WideEntryName(e.Name) : std::string(e.Name);
    e.Store(gApi, Win32.GetProcAddress(lib, name.c_str()));
}

bool RequiredMissing(const TEntryPoint& e) { return e.Required && !e.Has(gApi); }

void ReleaseLibraries() {
    if (gSetupApi) Win32.FreeLibrary(gSetupApi);
    if (gCfgMgr) Win32.FreeLibrary(gCfgMgr);
    gSetupApi = nullptr;
    gCfgMgr = nullptr;
    gApi = TBinding{};
}

// The cbSize SetupAPI checks differs by architecture (packed on 32-bit only):
// never a literal.
constexpr DWORD kDetailSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
constexpr DWORD kDevicePathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
static_assert(sizeof(void*) != 4 || kDetailSize == 6, "32-bit interface detail record is 6 bytes");
static_assert(sizeof(void*) != 8 || kDetailSize == 8, "64-bit interface detail record is 8 bytes");
static_assert(kDevicePathOffset == sizeof(DWORD));

// The device path of a detail block of Size bytes; bounded by the block
// whether or not the system ended it with a NUL.
std::wstring DevicePathOf(const void* block, DWORD Size) {
    if (Size <= kDevicePathOffset) return {};
    const auto* path = reinterpret_cast<const wchar_t*>(static_cast<const BYTE*>(block) + kDevicePathOffset);
    size_t room = (Size - kDevicePathOffset) / sizeof(wchar_t);
    return std::wstring(path, wcsnlen(path, room));
}

// A detail block larger than this is not a device path but garbage.
constexpr DWORD kMaxDetailSize = 0x10000;

void ReadDeviceProperties(HDEVINFO Set, SP_DEVINFO_DATA* DevInfo, TnrDevice& d) {
    d.Driver = GetDevicePropertyString(Set, DevInfo, SPDRP_DRIVER);
    d.Service = GetDevicePropertyString(Set, DevInfo, SPDRP_SERVICE);
    d.NamePDO = GetDevicePropertyString(Set, DevInfo, SPDRP_PHYSICAL_DEVICE_OBJECT_NAME);
    d.Description = GetDevicePropertyString(Set, DevInfo, SPDRP_DEVICEDESC);
    d.Manufacturer = GetDevicePropertyString(Set, DevInfo, SPDRP_MFG);
}

void AppendDevice(fw::TStringList* List, std::unique_ptr<TnrDevice> d) {
    List->AddObject(d->Driver, d.get());
    d.release();
}

void CollectByDevice(HDEVINFO Set, const GUID* Guid, fw::TStringList* List, bool Interface) {
    SP_DEVINFO_DATA devInfo{};
    devInfo.cbSize = sizeof(devInfo);
    SP_DEVICE_INTERFACE_DATA ifData{};
    ifData.cbSize = sizeof(ifData);
    for (DWORD index = 0; gApi.EnumDeviceInfo(Set, index, &devInfo); ++index) {
        auto d = std::make_unique<TnrDevice>();
        ReadDeviceProperties(Set, &devInfo, *d);

        HKEY key = gApi.OpenDevRegKey(Set, &devInfo, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
        if (key != reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE) && key) {
            HKEY root = nullptr;
            GetRegistryKeyPath(key, &root, d->RegKey);
            Win32.RegCloseKey(key);
            if (!d->RegKey.empty()) {
                d->NameSymbolic = ReadRegistryString(HKEY_LOCAL_MACHINE, d->RegKey, L"SymbolicName");
                d->PortName = ReadRegistryString(HKEY_LOCAL_MACHINE, d->RegKey, L"PortName");
            }
        }

        wchar_t id[256];
        DWORD required = 0;
        if (gApi.GetDeviceInstanceId(Set, &devInfo, id, 256, &required) && required > 0) {
            if (required > 256) required = 256;
            d->InstanceId.assign(id, wcsnlen(id, required - 1));
            d->DevInst = devInfo.DevInst;
            d->BusRelations = GetDeviceRelationList(d->InstanceId, L";", true);
        }

        if (Interface && Guid && gApi.EnumDeviceInterfaces(Set, &devInfo, Guid, 0, &ifData)) {
            DWORD needed = 0;
            gApi.GetDeviceInterfaceDetail(Set, &ifData, nullptr, 0, &needed, nullptr);
            if (needed > 0 && needed < kMaxDetailSize) {
                if (HLOCAL block = Win32.LocalAlloc(LPTR, needed)) {
                    const TScopeExit release([block] { Win32.LocalFree(block); });
                    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(block);
                    detail->cbSize = kDetailSize;
                    DWORD size = needed;
                    if (gApi.GetDeviceInterfaceDetail(Set, &ifData, detail, size, &needed, nullptr))
                        d->NameSymbolic = DevicePathOf(block, size);
                }
            }
        }
        AppendDevice(List, std::move(d));
    }
}

void CollectByInterface(HDEVINFO Set, const GUID* Guid, fw::TStringList* List) {
    SP_DEVINFO_DATA devInfo{};
    devInfo.cbSize = sizeof(devInfo);
    SP_DEVICE_INTERFACE_DATA ifData{};
    ifData.cbSize = sizeof(ifData);
    for (DWORD index = 0; gApi.EnumDeviceInterfaces(Set, nullptr, Guid, index, &ifData); ++index) {
        DWORD needed = 0;
        gApi.GetDeviceInterfaceDetail(Set, &ifData, nullptr, 0, &needed, &devInfo);
        if (needed == 0 || Win32.GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed >= kMaxDetailSize) continue;
        HLOCAL block = Win32.LocalAlloc(LPTR, needed);
        if (!block) continue;
        const TScopeExit release([block] { Win32.LocalFree(block); });
        auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(block);
        detail->cbSize = kDetailSize;
        DWORD size = needed;
        if (gApi.GetDeviceInterfaceDetail(Set, &ifData, detail, size, &needed, &devInfo)) {
            auto d = std::make_unique<TnrDevice>();
            ReadDeviceProperties(Set, &devInfo, *d);
            d->NameSymbolic = DevicePathOf(block, size);
            AppendDevice(List, std::move(d));
        }
    }
}

// Frees the libraries when the program ends.
const TScopeExit gUnloadAtExit(&UnloadSetupApi);

}  // namespace

bool LoadSetupApi() {
    if (gSetupApi) return true;
    gSetupApi = Win32.LoadLibraryW(L"SetupAPI.dll");
    if (!gSetupApi) return false;
    for (const auto& e : kSetupEntries) Bind(gSetupApi, e);

    HMODULE cm = gSetupApi;
    Bind(gSetupApi, kLocateEntry);
    if (!gApi.CmLocateDevNode) {
        if (!gCfgMgr) gCfgMgr = Win32.LoadLibraryW(L"cfgmgr32.dll");
        cm = gCfgMgr;
        if (cm) Bind(cm, kLocateEntry);
    }
    if (cm)
        for (const auto& e : kCfgEntries) Bind(cm, e);

    bool missing = RequiredMissing(kLocateEntry);
    for (const auto& e : kSetupEntries) missing = missing || RequiredMissing(e);
    for (const auto& e : kCfgEntries) missing = missing || RequiredMissing(e);
    if (missing) {
        ReleaseLibraries();
        return false;
    }
    return true;
}

void UnloadSetupApi() { ReleaseLibraries(); }

std::wstring GetDevicePropertyString(HDEVINFO DeviceInfoSet, SP_DEVINFO_DATA* DeviceInfoData, DWORD Property) {
    if (!gApi.GetDeviceRegistryProperty) return {};
    constexpr DWORD kSize = 512;
    wchar_t buf[kSize / sizeof(wchar_t)] = {};
    DWORD required = 0;
    if (!gApi.GetDeviceRegistryProperty(DeviceInfoSet, DeviceInfoData, Property, nullptr, reinterpret_cast<BYTE*>(buf),
                                        kSize, &required))
        return {};
    if (required > kSize) required = kSize;
    if (required < sizeof(wchar_t)) return {};
    return std::wstring(buf, required / sizeof(wchar_t) - 1);
}

void CollectDevices(const GUID* Guid, bool PresentOnly, bool ByDevice, fw::TStringList* List, bool Interface) {
    if (!List || !LoadSetupApi()) return;
    DWORD flags = 0;
    if (PresentOnly) flags |= DIGCF_PRESENT;
    if (Interface) flags |= DIGCF_DEVICEINTERFACE;
    if (!Guid) flags |= DIGCF_ALLCLASSES;
    HDEVINFO set = gApi.GetClassDevs(Guid, nullptr, nullptr, flags);
    if (set == INVALID_HANDLE_VALUE) return;
    // The set is destroyed however the walk ends.
    const TScopeExit destroy([set] { gApi.DestroyDeviceInfoList(set); });
    if (ByDevice)
        CollectByDevice(set, Guid, List, Interface);
    else
        CollectByInterface(set, Guid, List);
}

std::wstring GetDeviceRelationList(const std::wstring& InstanceId, const std::wstring& Separator, bool BusRelations) {
    if (!gApi.CmGetDeviceIdListSize || !gApi.CmGetDeviceIdList) return {};
    ULONG filter = BusRelations ? CM_GETIDLIST_FILTER_BUSRELATIONS : CM_GETIDLIST_FILTER_REMOVALRELATIONS;
    ULONG len = 0;
    if (gApi.CmGetDeviceIdListSize(&len, InstanceId.c_str(), filter) != CR_SUCCESS || len == 0) return {};
    constexpr ULONG kMaxChars = 0x100000;  // beyond this the size is not to be believed
    if (len > kMaxChars) return {};
    std::vector<wchar_t> buf(len, L'\0');
    if (gApi.CmGetDeviceIdList(InstanceId.c_str(), buf.data(), len, filter) != CR_SUCCESS) return {};
    return MultiSzToText(buf.data(), len, Separator);
}

}  // namespace nr
