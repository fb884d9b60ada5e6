#include "nrsysutils.h"

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <vector>

#include "nrwin32.h"

namespace nr {

namespace {

bool StartsWithCOM(const std::wstring& s) { return s.compare(0, 3, L"COM") == 0; }

// The name part of an entry ("COM3" of "COM3=\Device\Serial2"; the whole
// text when it has no "=").
std::wstring EntryName(const std::wstring& s) {
    auto p = s.find(L'=');
    return p == std::wstring::npos ? s : s.substr(0, p);
}

bool ListHasPort(const fw::TStringList* List, const std::wstring& Port) {
    for (int i = 0; i < List->Count(); ++i)
        if (fw::SameTextAscii(EntryName(List->Strings(i)), Port)) return true;
    return false;
}

bool IsConsumerPlatform() {
    OSVERSIONINFOW vi;
    return SystemVersion(vi) && vi.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS;
}

struct TPortInfo1 {
    LPWSTR pName;
};
using TEnumPortsW = BOOL(WINAPI*)(LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD, LPDWORD);

void ListSpoolerPorts(fw::TStringList* List) {
    HMODULE lib = Win32.LoadLibraryW(L"winspool.drv");
    if (!lib) return;
    auto enumPorts = ProcAs<TEnumPortsW>(Win32.GetProcAddress(lib, "EnumPortsW"));
    if (enumPorts) {
        DWORD needed = 0, returned = 0;
        if (!enumPorts(nullptr, 1, nullptr, 0, &needed, &returned) &&
            Win32.GetLastError() == ERROR_INSUFFICIENT_BUFFER && needed > 0) {
            std::vector<BYTE> buf(needed);
            if (enumPorts(nullptr, 1, buf.data(), needed, &needed, &returned)) {
                auto* info = reinterpret_cast<const TPortInfo1*>(buf.data());
                size_t fits = buf.size() / sizeof(TPortInfo1);
                for (DWORD i = 0; i < returned && i < fits; ++i) {
                    if (!info[i].pName) continue;
                    std::wstring name = info[i].pName;
                    if (!StartsWithCOM(name)) continue;
                    auto colon = name.find(L':');
                    if (colon != std::wstring::npos) name.erase(colon, 1);
                    std::uint16_t n = 0;
                    if (!ComPortNumber(name, n)) continue;
                    AddSerialPortSorted(name + L"=", n, List);
                }
            }
        }
    }
    Win32.FreeLibrary(lib);
}

void ListRegistryPorts(fw::TStringList* List, bool WithDevice) {
    HKEY key = nullptr;
    if (Win32.RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS)
        return;
    wchar_t name[260];
    BYTE data[260];
    for (DWORD index = 0;; ++index) {
        DWORD nameLen = 260, dataLen = sizeof(data), type = 0;
        LONG rc = Win32.RegEnumValueW(key, index, name, &nameLen, nullptr, &type, data, &dataLen);
        // One value too long for the buffers must not hide the ones after it.
        if (rc == ERROR_MORE_DATA) continue;
        if (rc != ERROR_SUCCESS) break;
        if (nameLen >= 260) nameLen = 259;
        if (dataLen > sizeof(data)) dataLen = sizeof(data);
        const auto* chars = reinterpret_cast<const wchar_t*>(data);
        size_t count = dataLen / sizeof(wchar_t), len = 0;
        while (len < count && chars[len]) ++len;
        std::wstring port = fw::AnsiUpperAscii(std::wstring(chars, len));
        if (!StartsWithCOM(port) || ListHasPort(List, port)) continue;
        // A driver may register names the component cannot open by number
        // (COMX, COM007, COM65556): left out rather than spoiling the listing
        // or standing for another port.
        std::uint16_t n = 0;
        if (!ComPortNumber(port, n)) continue;
        if (WithDevice)
            AddSerialPortSorted(port + L"=" + std::wstring(name, nameLen), n, List);
        else
            AddSerialPortSorted(port, n, List);
    }
    Win32.RegCloseKey(key);
}

using TZwQueryKey = LONG(NTAPI*)(HANDLE, int, PVOID, ULONG, PULONG);
constexpr int KeyNameInformation = 3;

bool StartsAtNoCase(const std::wstring& s, size_t pos, const std::wstring& what) {
    return s.size() >= pos + what.size() && fw::SameTextAscii(s.substr(pos, what.size()), what);
}

// Position of the first occurrence of what in s, ignoring ASCII case.
size_t FindNoCase(const std::wstring& s, const std::wstring& what) {
    return fw::AnsiUpperAscii(s).find(fw::AnsiUpperAscii(what));
}

std::atomic<FARPROC> gCancelIo{nullptr};

}  // namespace

void AddSerialPortSorted(const std::wstring& Text, std::int32_t Number, fw::TStringList* List) {
    if (!List || List->IndexOf(Text) >= 0) return;
    auto obj = reinterpret_cast<fw::TObject*>(static_cast<std::intptr_t>(Number));
    int count = List->Count();
    if (count == 0 || SerialPortNumber(List, count - 1) < Number) {
        List->AddObject(Text, obj);
        return;
    }
    for (int i = 0; i < count; ++i) {
        std::int32_t n = SerialPortNumber(List, i);
        if (n == Number) return;  // one entry per port number
        if (n > Number) {
            List->InsertObject(i, Text, obj);
            return;
        }
    }
}

void ListSerialPorts(fw::TStringList* List, bool WithDevice) {
    if (!List) return;
    List->Clear();
    if (IsConsumerPlatform())
        ListSpoolerPorts(List);
    else
        ListRegistryPorts(List, WithDevice);
}

bool CallCancelIo(HANDLE Handle) {
    HMODULE kernel = Win32.GetModuleHandleW(L"kernel32.dll");
    if (!kernel) return false;
    FARPROC p = Win32.GetProcAddress(kernel, "CancelIo");
    gCancelIo.store(p);
    if (!p) return false;
    return ProcAs<BOOL(WINAPI*)(HANDLE)>(p)(Handle) != FALSE;
}

namespace {

// A path under the machine or the current user's hive made relative to it.
void SplitRegistryRoot(HKEY* Root, std::wstring& Path) {
    if (!Root) return;
    // Wine names the hives in mixed case (\REGISTRY\Machine\...).
    static const std::wstring kMachine = L"\\MACHINE\\", kUser = L"\\USER\\";
    constexpr size_t kAfterRegistry = 9;  // length of \REGISTRY
    if (FindNoCase(Path, kMachine) == kAfterRegistry && StartsAtNoCase(Path, 0, L"\\REGISTRY")) {
        *Root = HKEY_LOCAL_MACHINE;
        Path.erase(0, kAfterRegistry + kMachine.size());
    } else if (FindNoCase(Path, kUser) == kAfterRegistry && StartsAtNoCase(Path, 0, L"\\REGISTRY")) {
        *Root = HKEY_CURRENT_USER;
        Path.erase(0, kAfterRegistry + kUser.size());
        auto sep = Path.find(L'\\');
        // The key of the hive itself has nothing after the identifier.
        Path.erase(0, sep == std::wstring::npos ? Path.size() : sep + 1);
    } else {
        *Root = nullptr;
    }
}

// The kernel's name of a key whose name information takes Length bytes.
std::wstring KeyName(TZwQueryKey Query, HKEY Key, ULONG Length) {
    const ULONG size = Length + 2;
    auto* buf = static_cast<BYTE*>(Win32.LocalAlloc(LPTR, size));
    if (!buf) return {};
    const TScopeExit release([buf] { Win32.LocalFree(buf); });
    if (Query(Key, KeyNameInformation, buf, Length, &Length) < 0) return {};
    // The name is counted, not terminated: trust the count only as far as
    // the buffer reaches.
    const ULONG nameBytes = std::min<ULONG>(*reinterpret_cast<const ULONG*>(buf), size - sizeof(ULONG));
    const auto* name = reinterpret_cast<const wchar_t*>(buf + sizeof(ULONG));
    return std::wstring(name, wcsnlen(name, nameBytes / sizeof(wchar_t)));
}

}  // namespace

void GetRegistryKeyPath(HKEY Key, HKEY* Root, std::wstring& Path) {
    Path.clear();
    if (Key == reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE)) return;
    HMODULE ntdll = Win32.LoadLibraryW(L"ntdll.dll");
    if (!ntdll) return;
    const TScopeExit unload([ntdll] { Win32.FreeLibrary(ntdll); });
    auto query = ProcAs<TZwQueryKey>(Win32.GetProcAddress(ntdll, "ZwQueryKey"));
    if (!query) return;
    ULONG length = 0;
    query(Key, KeyNameInformation, nullptr, 0, &length);
    if (length > sizeof(ULONG) && length < 0x10000) Path = KeyName(query, Key, length);
    SplitRegistryRoot(Root, Path);
}

std::wstring ReadRegistryString(HKEY Root, const std::wstring& Path, const std::wstring& ValueName) {
    std::wstring result;
    HKEY key = nullptr;
    if (Win32.RegOpenKeyExW(Root, Path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return result;
    DWORD type = 0, size = 0;
    if (Win32.RegQueryValueExW(key, ValueName.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        std::vector<wchar_t> buf(size / sizeof(wchar_t) + 2, L'\0');
        DWORD got = size;
        if (Win32.RegQueryValueExW(key, ValueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buf.data()), &got) ==
            ERROR_SUCCESS) {
            if (got > size) got = size;
            size_t len = got / sizeof(wchar_t);
            if (type == REG_SZ && len > 0 && buf[len - 1] == L'\0') --len;
            result.assign(buf.data(), len);
        }
    }
    Win32.RegCloseKey(key);
    return result;
}

std::wstring MultiSzToText(const wchar_t* Buffer, std::uint32_t Count, const std::wstring& Separator) {
    std::wstring result;
    if (!Buffer || Count < 2) return result;
    for (std::uint32_t i = 0; i + 1 < Count; ++i) {
        wchar_t c = Buffer[i];
        if (c != L'\0')
            result += c;
        else if (i == Count - 2)
            break;
        else
            result += Separator;
    }
    return result;
}

std::string WideEntryName(const std::string& Name) {
    if (Name.empty()) return Name;
    std::string r = Name;
    r.back() = 'W';
    return r;
}

}  // namespace nr
