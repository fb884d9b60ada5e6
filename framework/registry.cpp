#include "registry.h"

namespace fw {

namespace {

[[noreturn]] void Fail(const wchar_t* What, const std::wstring& Name, LONG Status) {
    throw ERegistryException(Format(L"Registry value \"%s\" %s (error %d)", {Name, What, Status}),
                             static_cast<std::uint32_t>(Status));
}

// A path may be given with a leading backslash; the API takes it without.
const wchar_t* Relative(const std::wstring& Key) { return Key.c_str() + (!Key.empty() && Key[0] == L'\\'); }

}  // namespace

TRegistry::TRegistry(HKEY Root, REGSAM Access, const TRegistryApi& Api) : api_(Api), root_(Root), access_(Access) {}

TRegistry::~TRegistry() { CloseKey(); }

void TRegistry::SetRootKey(HKEY Value) {
    CloseKey();
    root_ = Value;
}

bool TRegistry::Open(const std::wstring& Key, REGSAM Access, bool CanCreate) {
    CloseKey();
    HKEY k = nullptr;
    const LONG rc = CanCreate ? api_.RegCreateKeyExW(root_, Relative(Key), 0, nullptr, REG_OPTION_NON_VOLATILE, Access,
                                                     nullptr, &k, nullptr)
                              : api_.RegOpenKeyExW(root_, Relative(Key), 0, Access, &k);
    if (rc != ERROR_SUCCESS) return false;
    key_ = k;
    return true;
}

bool TRegistry::OpenKey(const std::wstring& Key, bool CanCreate) { return Open(Key, access_, CanCreate); }

bool TRegistry::OpenKeyReadOnly(const std::wstring& Key) { return Open(Key, KEY_READ, false); }

void TRegistry::CloseKey() {
    if (!key_) return;
    api_.RegCloseKey(key_);
    key_ = nullptr;
}

bool TRegistry::GetDataInfo(const std::wstring& Name, TRegDataInfo& Info) {
    DWORD type = REG_NONE, size = 0;
    if (api_.RegQueryValueExW(Target(), Name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
    Info = {type, size};
    return true;
}

bool TRegistry::ValueExists(const std::wstring& Name) {
    TRegDataInfo info;
    return GetDataInfo(Name, info);
}

std::int32_t TRegistry::GetDataSize(const std::wstring& Name) {
    TRegDataInfo info;
    return GetDataInfo(Name, info) ? static_cast<std::int32_t>(info.Size) : -1;
}

DWORD TRegistry::ReadBinaryData(const std::wstring& Name, void* Buffer, DWORD BufSize) {
    // Asked first, so a value that does not fit or is no binary data leaves Buffer alone.
    DWORD type = REG_NONE, size = 0;
    LONG rc = api_.RegQueryValueExW(Target(), Name.c_str(), nullptr, &type, nullptr, &size);
    if (rc != ERROR_SUCCESS) Fail(L"cannot be read", Name, rc);
    if (type != REG_BINARY) Fail(L"is not binary data", Name, ERROR_INVALID_DATATYPE);
    if (size > BufSize) Fail(L"is larger than its buffer", Name, ERROR_MORE_DATA);
    size = BufSize;
    rc = api_.RegQueryValueExW(Target(), Name.c_str(), nullptr, &type, static_cast<BYTE*>(Buffer), &size);
    if (rc != ERROR_SUCCESS) Fail(L"cannot be read", Name, rc);
    if (type != REG_BINARY) Fail(L"is not binary data", Name, ERROR_INVALID_DATATYPE);
    return size;
}

void TRegistry::WriteBinaryData(const std::wstring& Name, const void* Buffer, DWORD BufSize) {
    const LONG rc =
        api_.RegSetValueExW(Target(), Name.c_str(), 0, REG_BINARY, static_cast<const BYTE*>(Buffer), BufSize);
    if (rc != ERROR_SUCCESS) Fail(L"cannot be written", Name, rc);
}

}  // namespace fw
