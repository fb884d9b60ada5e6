// The registry object: one key below a root key, opened on request, its
// values tested, sized, read and written; the key is closed with the object.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "sysutils.h"

namespace fw {

// The registry functions the object calls. It defaults to the real API; a
// program with a table of its own passes that (or the part of it that is
// this), so every call goes where the program's other calls go.
struct TRegistryApi {
    decltype(&::RegOpenKeyExW) RegOpenKeyExW = &::RegOpenKeyExW;
    decltype(&::RegCreateKeyExW) RegCreateKeyExW = &::RegCreateKeyExW;
    decltype(&::RegCloseKey) RegCloseKey = &::RegCloseKey;
    decltype(&::RegQueryValueExW) RegQueryValueExW = &::RegQueryValueExW;
    decltype(&::RegSetValueExW) RegSetValueExW = &::RegSetValueExW;
};

// A failed registry call; ErrorCode is the Win32 status it returned.
class ERegistryException : public EOSError {
public:
    using EOSError::EOSError;
};

struct TRegDataInfo {
    DWORD Type = REG_NONE;
    DWORD Size = 0;  // in bytes
};

class TRegistry {
public:
    // Access is what OpenKey asks for; OpenKeyReadOnly asks for KEY_READ.
    explicit TRegistry(HKEY Root = HKEY_CURRENT_USER, REGSAM Access = KEY_READ | KEY_WRITE,
                       const TRegistryApi& Api = TRegistryApi{});
    ~TRegistry();
    TRegistry(const TRegistry&) = delete;
    TRegistry& operator=(const TRegistry&) = delete;

    HKEY RootKey() const { return root_; }
    // Closes the open key first.
    void SetRootKey(HKEY Value);
    // The open key; 0 when none is.
    HKEY CurrentKey() const { return key_; }

    // Opens Key (a path below the root) with the object's access, creating it
    // when it is missing and CanCreate holds. False when it cannot be opened or
    // created; the key open before is closed either way.
    bool OpenKey(const std::wstring& Key, bool CanCreate);
    // Opens an existing key for reading only; never creates one.
    bool OpenKeyReadOnly(const std::wstring& Key);
    void CloseKey();

    // The value operations work on the open key, or on the root while none is open.
    bool ValueExists(const std::wstring& Name);
    // False when the value is missing or cannot be queried.
    bool GetDataInfo(const std::wstring& Name, TRegDataInfo& Info);
    // The size in bytes; -1 when the value is missing.
    std::int32_t GetDataSize(const std::wstring& Name);
    // Reads a REG_BINARY value into Buffer and returns its size. Raises when
    // the value is missing, of another type or larger than BufSize.
    DWORD ReadBinaryData(const std::wstring& Name, void* Buffer, DWORD BufSize);
    // Writes Buffer as a REG_BINARY value; raises when it cannot.
    void WriteBinaryData(const std::wstring& Name, const void* Buffer, DWORD BufSize);

private:
    HKEY Target() const { return key_ ? key_ : root_; }
    bool Open(const std::wstring& Key, REGSAM Access, bool CanCreate);

    TRegistryApi api_;
    HKEY root_;
    REGSAM access_;
    HKEY key_ = nullptr;
};

}  // namespace fw
