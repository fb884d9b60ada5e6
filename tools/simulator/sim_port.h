// The simulated devices' end of the line, opened and set with plain Win32.
#pragma once

#include <windows.h>

#include <string>

namespace sim {

// Opens COMn exclusively and sets it to Baud, ByteSize data bits, no parity,
// one stop bit, no flow control, DTR and RTS off. INVALID_HANDLE_VALUE, with
// the error left in GetLastError, when it cannot be opened or set.
inline HANDLE OpenPort(unsigned Port, DWORD Baud, BYTE ByteSize, DWORD Flags) {
    const std::wstring name = L"\\\\?\\COM" + std::to_wstring(Port);
    HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, Flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) return h;
    DCB d{};
    d.DCBlength = sizeof d;
    GetCommState(h, &d);
    d.BaudRate = Baud;
    d.ByteSize = ByteSize;
    d.Parity = NOPARITY;
    d.StopBits = ONESTOPBIT;
    d.fBinary = TRUE;
    d.fParity = FALSE;
    d.fOutxCtsFlow = d.fOutxDsrFlow = d.fDsrSensitivity = d.fOutX = d.fInX = FALSE;
    d.fDtrControl = DTR_CONTROL_DISABLE;
    d.fRtsControl = RTS_CONTROL_DISABLE;
    if (!SetCommState(h, &d)) {
        const DWORD e = GetLastError();
        CloseHandle(h);
        SetLastError(e);
        return INVALID_HANDLE_VALUE;
    }
    return h;
}

}  // namespace sim
