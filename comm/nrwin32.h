// Win32 routines of the library, and the table every Win32 call of the
// library goes through. The table holds the real API; a test may replace
// entries (a scripted serial device, registry, module loader) and restore
// them afterwards. Nothing in the library knows which it runs on. Not in the
// table: the slim locks and condition variables its own threads share, and
// the framework beneath it, which calls Windows directly.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <string>

#include "../framework/registry.h"

namespace nr {

// The registry functions of the framework's registry object are the base, so
// the library hands the object this table and its calls take the same seam.
struct TWin32Api : fw::TRegistryApi {
    // Files, overlapped I/O, events, handles
    decltype(&::CreateFileW) CreateFileW = &::CreateFileW;
    decltype(&::CloseHandle) CloseHandle = &::CloseHandle;
    decltype(&::ReadFile) ReadFile = &::ReadFile;
    decltype(&::WriteFile) WriteFile = &::WriteFile;
    decltype(&::GetOverlappedResult) GetOverlappedResult = &::GetOverlappedResult;
    decltype(&::FlushFileBuffers) FlushFileBuffers = &::FlushFileBuffers;
    decltype(&::CreateEventW) CreateEventW = &::CreateEventW;
    decltype(&::SetEvent) SetEvent = &::SetEvent;
    decltype(&::ResetEvent) ResetEvent = &::ResetEvent;
    decltype(&::PulseEvent) PulseEvent = &::PulseEvent;
    decltype(&::WaitForSingleObject) WaitForSingleObject = &::WaitForSingleObject;
    decltype(&::GetLastError) GetLastError = &::GetLastError;
    decltype(&::SetLastError) SetLastError = &::SetLastError;
    decltype(&::LocalAlloc) LocalAlloc = &::LocalAlloc;
    decltype(&::LocalFree) LocalFree = &::LocalFree;
    decltype(&::GetTickCount) GetTickCount = &::GetTickCount;
    decltype(&::Sleep) Sleep = &::Sleep;
    decltype(&::FormatMessageW) FormatMessageW = &::FormatMessageW;
    decltype(&::GetVersionExW) GetVersionExW = &::GetVersionExW;
    decltype(&::OutputDebugStringW) OutputDebugStringW = &::OutputDebugStringW;

    // Communications
    decltype(&::WaitCommEvent) WaitCommEvent = &::WaitCommEvent;
    decltype(&::SetCommMask) SetCommMask = &::SetCommMask;
    decltype(&::GetCommMask) GetCommMask = &::GetCommMask;
    decltype(&::ClearCommError) ClearCommError = &::ClearCommError;
    decltype(&::PurgeComm) PurgeComm = &::PurgeComm;
    decltype(&::SetupComm) SetupComm = &::SetupComm;
    decltype(&::GetCommState) GetCommState = &::GetCommState;
    decltype(&::SetCommState) SetCommState = &::SetCommState;
    decltype(&::GetCommConfig) GetCommConfig = &::GetCommConfig;
    decltype(&::GetDefaultCommConfigW) GetDefaultCommConfigW = &::GetDefaultCommConfigW;
    decltype(&::CommConfigDialogW) CommConfigDialogW = &::CommConfigDialogW;
    decltype(&::GetCommTimeouts) GetCommTimeouts = &::GetCommTimeouts;
    decltype(&::SetCommTimeouts) SetCommTimeouts = &::SetCommTimeouts;
    decltype(&::GetCommModemStatus) GetCommModemStatus = &::GetCommModemStatus;
    decltype(&::GetCommProperties) GetCommProperties = &::GetCommProperties;
    decltype(&::EscapeCommFunction) EscapeCommFunction = &::EscapeCommFunction;
    decltype(&::TransmitCommChar) TransmitCommChar = &::TransmitCommChar;

    // Threads and messages
    decltype(&::PostThreadMessageW) PostThreadMessageW = &::PostThreadMessageW;
    decltype(&::RegisterWindowMessageW) RegisterWindowMessageW = &::RegisterWindowMessageW;
    decltype(&::GetMessageW) GetMessageW = &::GetMessageW;
    decltype(&::PeekMessageW) PeekMessageW = &::PeekMessageW;
    decltype(&::DispatchMessageW) DispatchMessageW = &::DispatchMessageW;
    decltype(&::WaitForMultipleObjects) WaitForMultipleObjects = &::WaitForMultipleObjects;
    decltype(&::MsgWaitForMultipleObjects) MsgWaitForMultipleObjects = &::MsgWaitForMultipleObjects;
    decltype(&::GetCurrentThreadId) GetCurrentThreadId = &::GetCurrentThreadId;
    decltype(&::GetCurrentProcess) GetCurrentProcess = &::GetCurrentProcess;
    decltype(&::DuplicateHandle) DuplicateHandle = &::DuplicateHandle;

    // Windows of the components: timers, message boxes
    decltype(&::GetForegroundWindow) GetForegroundWindow = &::GetForegroundWindow;
    decltype(&::SetTimer) SetTimer = &::SetTimer;
    decltype(&::KillTimer) KillTimer = &::KillTimer;
    decltype(&::DefWindowProcW) DefWindowProcW = &::DefWindowProcW;
    decltype(&::MessageBoxW) MessageBoxW = &::MessageBoxW;

    // The terminal control: its hook, what it is sent, the code page of its text
    decltype(&::SendMessageA) SendMessageA = &::SendMessageA;
    decltype(&::SetWindowSubclass) SetWindowSubclass = &::SetWindowSubclass;
    decltype(&::RemoveWindowSubclass) RemoveWindowSubclass = &::RemoveWindowSubclass;
    decltype(&::DefSubclassProc) DefSubclassProc = &::DefSubclassProc;
    decltype(&::WideCharToMultiByte) WideCharToMultiByte = &::WideCharToMultiByte;

    // Modules (optional system libraries are bound by name)
    decltype(&::LoadLibraryW) LoadLibraryW = &::LoadLibraryW;
    decltype(&::FreeLibrary) FreeLibrary = &::FreeLibrary;
    decltype(&::GetModuleHandleW) GetModuleHandleW = &::GetModuleHandleW;
    decltype(&::GetProcAddress) GetProcAddress = &::GetProcAddress;

    // Registry (open, create, close, query and set come with the base)
    decltype(&::RegEnumValueW) RegEnumValueW = &::RegEnumValueW;
};

// The table in use. Tests swap entries through a guard that restores them.
// Constructed before ordinary static objects, so their initialisers may use it.
extern TWin32Api Win32;

// "COM%u".
std::wstring ComPortName(std::uint32_t Number);
// The inverse for a port number: true when Name is exactly ComPortName of a
// 16-bit number (COM, then decimal digits without leading zeros). Any other
// name (COMX, COM007, COM65556) cannot be opened by number.
bool ComPortNumber(const std::wstring& Name, std::uint16_t& Number);
// Opens "\\?\COMn" exclusively for overlapped I/O; INVALID_HANDLE_VALUE on
// failure, with the error left in the thread's last-error value.
HANDLE OpenComPort(std::uint32_t Number);
// The system's text for GetLastError, without trailing blanks, controls and full stops.
std::wstring LastErrorText();
// The system's text for a given error code, trimmed the same way.
std::wstring SysErrorText(DWORD Code);

// The running system's version; false when it cannot be read.
bool SystemVersion(OSVERSIONINFOW& Info);

// Readies an OVERLAPPED for the next operation: everything before its event
// zeroed (16 bytes on 32-bit, 24 on 64-bit; the status must start at 0 in full
// for a driver that writes only its low half), its event kept.
void ResetOverlapped(OVERLAPPED& Ovl);
// Whether the driver is done with an overlapped operation (a manual-reset
// event): it writes the record first and sets the event after, and only then
// are the record, its buffer and its event free to reuse or release. An
// event closed in between would be set later under another owner.
bool OverlappedEnded(const OVERLAPPED& Ovl);
// Waits up to Ms for that; false while the operation is still the driver's.
bool AwaitOverlappedEnd(const OVERLAPPED& Ovl, DWORD Ms);

// Overlapped transfers. Ovl is readied as ResetOverlapped does; Transferred
// (optional) receives the byte count.
// WriteWait: true only when all Length bytes were written; a write the driver
// ends early fails with ERROR_TIMEOUT as the last error.
bool WriteWait(HANDLE Handle, const void* Data, DWORD Length, OVERLAPPED& Ovl, DWORD* Transferred = nullptr);
// True when the write completed (Transferred set) or is pending (Pending set,
// Transferred 0).
bool WriteNoWait(HANDLE Handle, const void* Data, DWORD Length, OVERLAPPED& Ovl, DWORD* Transferred = nullptr,
                 bool* Pending = nullptr);
// True when the read completed; Transferred tells how many bytes came.
bool ReadWait(HANDLE Handle, void* Buffer, DWORD Length, OVERLAPPED& Ovl, DWORD* Transferred = nullptr);
// After a failed overlapped call: false unless the last error is
// ERROR_IO_PENDING, else the outcome of the completed operation.
bool WaitOverlapped(HANDLE Handle, OVERLAPPED& Ovl, DWORD& Count);

}  // namespace nr
