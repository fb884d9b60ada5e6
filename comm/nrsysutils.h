// System routines of the library: the machine's serial-port map, registry
// key paths and values, run-time entry-point names and CancelIo.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>

#include "../framework/classes.h"

namespace nr {

// Runs its action when the scope ends, however it ends. The action must not throw.
template <class F> class TScopeExit {
public:
    explicit TScopeExit(F Action) : f_(std::move(Action)) {}
    ~TScopeExit() { f_(); }
    TScopeExit(const TScopeExit&) = delete;
    TScopeExit& operator=(const TScopeExit&) = delete;

private:
    F f_;
};

// Fills List with the serial-port map: "COMn=\Device\..." entries (only
// "COMn" without WithDevice), ascending by n, n in each entry's object slot.
// Values whose port name is no port number's name (ComPortNumber) are skipped.
void ListSerialPorts(fw::TStringList* List, bool WithDevice);

// Inserts Text in ascending order of Number (kept in the object slot). An
// entry with the same text or the same number already listed wins.
void AddSerialPortSorted(const std::wstring& Text, std::int32_t Number, fw::TStringList* List);

// The number carried by an entry of the serial-port map.
inline std::int32_t SerialPortNumber(const fw::TStringList* List, int i) {
    return static_cast<std::int32_t>(List->Tags(i));
}

// An entry point found by name, as the function type it really has.
template <class F> F ProcAs(FARPROC p) { return reinterpret_cast<F>(reinterpret_cast<void (*)()>(p)); }

// CancelIo looked up at run time; false when it is missing or fails.
bool CallCancelIo(HANDLE Handle);

// The kernel's path of an open key. With Root, a path under the machine or
// the current user's hive is made relative to HKEY_LOCAL_MACHINE or
// HKEY_CURRENT_USER (Root set to that key), otherwise Root is 0 and the path
// stays as the kernel names it.
void GetRegistryKeyPath(HKEY Key, HKEY* Root, std::wstring& Path);

// One value as text; empty when the key or value cannot be read. A REG_SZ
// loses its terminating NUL; other types come back as their raw bytes.
std::wstring ReadRegistryString(HKEY Root, const std::wstring& Path, const std::wstring& ValueName);

// A NUL-separated list of Count characters (ending in a double NUL) joined
// with Separator.
std::wstring MultiSzToText(const wchar_t* Buffer, std::uint32_t Count, const std::wstring& Separator);

// The Unicode twin of an ANSI entry-point name: SetupDiGetClassDevsA gives
// SetupDiGetClassDevsW.
std::string WideEntryName(const std::string& Name);

}  // namespace nr
