#include "nrwin32.h"

#include <cstddef>
#include <cstring>

#include "../framework/sysutils.h"

namespace nr {

// Other units register window messages and the like from their static
// initialisers through the table, so it is built ahead of them.
TWin32Api Win32 __attribute__((init_priority(200)));

std::wstring ComPortName(std::uint32_t Number) { return fw::Format(L"COM%u", {Number}); }

bool ComPortNumber(const std::wstring& Name, std::uint16_t& Number) {
    if (Name.size() < 4 || Name.size() > 8 || Name.compare(0, 3, L"COM") != 0) return false;
    if (Name[3] == L'0' && Name.size() > 4) return false;
    std::uint32_t v = 0;
    for (size_t i = 3; i < Name.size(); ++i) {
        if (Name[i] < L'0' || Name[i] > L'9') return false;
        v = v * 10 + static_cast<std::uint32_t>(Name[i] - L'0');
    }
    if (v > 0xFFFF) return false;
    Number = static_cast<std::uint16_t>(v);
    return true;
}

HANDLE OpenComPort(std::uint32_t Number) {
    std::wstring name = L"\\\\?\\" + ComPortName(Number);
    return Win32.CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
}

std::wstring SysErrorText(DWORD Code) {
    wchar_t* buf = nullptr;
    DWORD n = Win32.FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                       FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                   nullptr, Code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                   reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
    std::wstring s;
    if (buf) {
        s.assign(buf, n);
        Win32.LocalFree(buf);
    }
    while (!s.empty() && (s.back() <= L' ' || s.back() == L'.')) s.pop_back();
    return s;
}

std::wstring LastErrorText() { return SysErrorText(Win32.GetLastError()); }

bool SystemVersion(OSVERSIONINFOW& Info) {
    Info = OSVERSIONINFOW{};
    Info.dwOSVersionInfoSize = sizeof Info;
    return Win32.GetVersionExW(&Info) != FALSE;
}

void ResetOverlapped(OVERLAPPED& Ovl) { std::memset(&Ovl, 0, offsetof(OVERLAPPED, hEvent)); }

bool OverlappedEnded(const OVERLAPPED& Ovl) { return AwaitOverlappedEnd(Ovl, 0); }

bool AwaitOverlappedEnd(const OVERLAPPED& Ovl, DWORD Ms) {
    return Win32.WaitForSingleObject(Ovl.hEvent, Ms) == WAIT_OBJECT_0 && HasOverlappedIoCompleted(&Ovl);
}

bool WaitOverlapped(HANDLE Handle, OVERLAPPED& Ovl, DWORD& Count) {
    if (Win32.GetLastError() != ERROR_IO_PENDING) return false;
    return Win32.GetOverlappedResult(Handle, &Ovl, &Count, TRUE) != FALSE;
}

bool WriteWait(HANDLE Handle, const void* Data, DWORD Length, OVERLAPPED& Ovl, DWORD* Transferred) {
    ResetOverlapped(Ovl);
    DWORD n = 0;
    bool ok = Win32.WriteFile(Handle, Data, Length, &n, &Ovl) != FALSE;
    if (!ok) ok = WaitOverlapped(Handle, Ovl, n);
    if (Transferred) *Transferred = n;
    if (ok && n < Length) {
        // The driver gave up early (its write time-out): not everything went out.
        Win32.SetLastError(ERROR_TIMEOUT);
        return false;
    }
    return ok;
}

bool WriteNoWait(HANDLE Handle, const void* Data, DWORD Length, OVERLAPPED& Ovl, DWORD* Transferred, bool* Pending) {
    ResetOverlapped(Ovl);
    DWORD n = 0;
    bool ok = Win32.WriteFile(Handle, Data, Length, &n, &Ovl) != FALSE;
    bool pending = !ok && Win32.GetLastError() == ERROR_IO_PENDING;
    if (Transferred) *Transferred = ok ? n : 0;
    if (Pending) *Pending = pending;
    return ok || pending;
}

bool ReadWait(HANDLE Handle, void* Buffer, DWORD Length, OVERLAPPED& Ovl, DWORD* Transferred) {
    ResetOverlapped(Ovl);
    DWORD n = 0;
    bool ok = Win32.ReadFile(Handle, Buffer, Length, &n, &Ovl) != FALSE;
    if (!ok) ok = WaitOverlapped(Handle, Ovl, n);
    if (Transferred) *Transferred = ok ? n : 0;
    return ok;
}

}  // namespace nr
