// A COM port opened and set with plain Win32 calls, and its bytes shown in
// hex, for the programs beside the library (the simulated devices, the tests'
// peer, the benchmark's bare loops): they must not share the code under test.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

namespace serial_line {

// Opens COMn exclusively; Flags as CreateFileW takes them (FILE_FLAG_OVERLAPPED).
inline HANDLE Open(unsigned Port, DWORD Flags) {
    const std::wstring name = L"\\\\?\\COM" + std::to_wstring(Port);
    return CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, Flags, nullptr);
}

// Baud, ByteSize data bits, no parity, one stop bit, no flow control. DTR and
// RTS are left as the driver has them unless Dtr/Rts say otherwise
// (DTR_CONTROL_*, RTS_CONTROL_*; -1 keeps).
inline bool Set(HANDLE h, DWORD Baud, BYTE ByteSize, int Dtr = -1, int Rts = -1) {
    DCB d{};
    d.DCBlength = sizeof d;
    if (!GetCommState(h, &d)) return false;
    d.BaudRate = Baud;
    d.ByteSize = ByteSize;
    d.Parity = NOPARITY;
    d.StopBits = ONESTOPBIT;
    d.fBinary = TRUE;
    d.fParity = FALSE;
    d.fOutxCtsFlow = d.fOutxDsrFlow = d.fDsrSensitivity = d.fOutX = d.fInX = FALSE;
    if (Dtr >= 0) d.fDtrControl = static_cast<DWORD>(Dtr);
    if (Rts >= 0) d.fRtsControl = static_cast<DWORD>(Rts);
    return SetCommState(h, &d) != FALSE;
}

// Open and Set in one; INVALID_HANDLE_VALUE, with the error left in
// GetLastError, when either fails.
inline HANDLE OpenSet(unsigned Port, DWORD Flags, DWORD Baud, BYTE ByteSize, int Dtr = -1, int Rts = -1) {
    HANDLE h = Open(Port, Flags);
    if (h == INVALID_HANDLE_VALUE || Set(h, Baud, ByteSize, Dtr, Rts)) return h;
    const DWORD e = GetLastError();
    CloseHandle(h);
    SetLastError(e);
    return INVALID_HANDLE_VALUE;
}

// Bytes as the line's logs show them: "AA 55 01".
inline std::string Hex(const std::string& Bytes) {
    std::string r;
    char b[4];
    for (unsigned char c : Bytes) {
        std::snprintf(b, sizeof b, r.empty() ? "%02X" : " %02X", c);
        r += b;
    }
    return r;
}

}  // namespace serial_line
