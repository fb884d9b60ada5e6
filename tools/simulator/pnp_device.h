// A serial Plug-and-Play device, simulated on a COM port: it shows its
// presence on the host's DSR and answers the host's DTR/RTS power-up sequence
// with its identification string at 1200 baud 7N1, or fails in a chosen way.
#pragma once

#include <windows.h>

#include <string>

namespace pnpsim {

enum class TVariant {
    Id,       // "(" ... ")" after the DTR-then-RTS signature (first attempt)
    Id6,      // the same in 6-bit characters: 0x08 ... 0x09
    Other,    // an old mouse's "M" ahead of the string: another first byte
    Late,     // answers only a power-up with DTR and RTS together (second attempt, or an open)
    Silent,   // present (DSR), never answers
    NoDsr,    // never raises DSR, never answers
    Endless,  // "(" and characters without end while RTS stays on
};

struct TOptions {
    unsigned Port = 2;
    TVariant Variant = TVariant::Id;
    std::string Id = "NRS0001";  // the fields after the revision, ASCII 0x20..0x5F
    double CharMs = 7.5;         // one 9-bit frame at 1200 bit/s
    unsigned DsrDelayMs = 0;     // 0: DSR from the start; else it follows the host's DTR this late
    unsigned Seconds = 0;        // stop after this long (0: never)
};

// Parses a --mode value beginning with "pnp"; false when it is none of them.
bool ParseVariant(const std::wstring& Mode, TVariant& Out);

// Runs the device until Stop is set, the time is up or the line goes away.
int Run(const TOptions& Options, HANDLE Stop);

}  // namespace pnpsim
