// The truck module, simulated on a COM port: answers every request frame with
// the acknowledgement, or fails in a chosen way, and prints what it receives.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "../../app/frames.h"
#include "../../comm/nrcomm.h"
#include "../../framework/forms.h"
#include "module_parser.h"

namespace {

enum class TMode { Ack, Silent, Wrong, Split, Delay, Noise };

struct TOptions {
    unsigned Port = 2;
    TMode Mode = TMode::Ack;
    unsigned DelayMs = 6000;
    unsigned SplitGapMs = 100;
    int Frames = 0;      // stop after this many requests (0: never)
    unsigned Seconds = 0;  // stop after this long (0: never)
};

void Usage() {
    std::printf(
        "usage: nrsim [--port N] [--mode ack|silent|wrong|split|delay|noise] [--delay MS] [--gap MS]\n"
        "             [--frames K] [--seconds S]\n"
        "  ack     answer each request with AA 0C (default)\n"
        "  silent  never answer\n"
        "  wrong   answer AA 0B\n"
        "  split   answer AA, then after --gap ms (default 100) 0C, in two writes\n"
        "  delay   answer AA 0C after --delay ms (default 6000)\n"
        "  noise   answer junk bytes followed by AA 0C in one write\n");
}

bool ParseNumber(const wchar_t* s, unsigned& out) {
    if (!s || !*s) return false;
    wchar_t* end = nullptr;
    unsigned long v = std::wcstoul(s, &end, 10);
    if (*end) return false;
    out = static_cast<unsigned>(v);
    return true;
}

bool Parse(int argc, wchar_t** argv, TOptions& o) {
    for (int i = 1; i < argc; ++i) {
        std::wstring a = argv[i];
        const wchar_t* v = i + 1 < argc ? argv[i + 1] : nullptr;
        unsigned n = 0;
        if (a == L"--port" && ParseNumber(v, n) && n > 0) o.Port = n, ++i;
        else if (a == L"--delay" && ParseNumber(v, n)) o.DelayMs = n, ++i;
        else if (a == L"--gap" && ParseNumber(v, n)) o.SplitGapMs = n, ++i;
        else if (a == L"--frames" && ParseNumber(v, n)) o.Frames = static_cast<int>(n), ++i;
        else if (a == L"--seconds" && ParseNumber(v, n)) o.Seconds = n, ++i;
        else if (a == L"--mode" && v) {
            std::wstring m = v;
            ++i;
            if (m == L"ack") o.Mode = TMode::Ack;
            else if (m == L"silent") o.Mode = TMode::Silent;
            else if (m == L"wrong") o.Mode = TMode::Wrong;
            else if (m == L"split") o.Mode = TMode::Split;
            else if (m == L"delay") o.Mode = TMode::Delay;
            else if (m == L"noise") o.Mode = TMode::Noise;
            else return false;
        } else {
            return false;
        }
    }
    return true;
}

DWORD gMainThread = 0;

BOOL WINAPI OnConsoleCtrl(DWORD) {
    PostThreadMessageW(gMainThread, WM_QUIT, 0, 0);
    return TRUE;
}

void Print(const char* fmt, const std::string& s = {}) {
    std::printf(fmt, s.c_str());
    std::fflush(stdout);
}

std::string Hex(const std::string& bytes) {
    std::string r;
    char b[4];
    for (unsigned char c : bytes) {
        std::snprintf(b, sizeof b, r.empty() ? "%02X" : " %02X", c);
        r += b;
    }
    return r;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    TOptions opt;
    if (!Parse(argc, argv, opt)) {
        Usage();
        return 2;
    }
    gMainThread = GetCurrentThreadId();
    SetConsoleCtrlHandler(&OnConsoleCtrl, TRUE);

    fw::TApplication app;
    auto* com = new nr::TnrComm(&app);
    com->SetComPortNo(static_cast<std::uint16_t>(opt.Port));
    com->SetBaudRate(57600);
    com->SetByteSize(8);
    com->SetParity(nr::pNone);
    com->SetStopBits(nr::sbOne);
    com->SetStreamProtocol(nr::spNone);

    bool failed = false;
    com->OnFatalError = [&](fw::TObject*, std::uint32_t, std::uint32_t, const std::wstring& msg, bool& raise) {
        raise = false;
        failed = true;
        Print("error: %s\n", fw::NarrowUtf8(msg));
    };
    com->OnCommError = [&](fw::TObject*, std::uint32_t code, std::uint32_t sys, nr::TComStateFlags, bool& flush) {
        std::printf("line error %u/%u\n", code, sys);
        std::fflush(stdout);
        flush = true;
    };

    int frames = 0;
    auto send = [&](const std::string& bytes) {
        com->SendString(bytes);
        Print("TX %s\n", Hex(bytes));
    };
    truck::TModuleParser parser;
    parser.OnStart = [&] { Print("RX AA 55 00 (start)\n"); };
    parser.OnJunk = [&](std::uint8_t b) { Print("RX junk %s\n", Hex(std::string(1, static_cast<char>(b)))); };
    parser.OnRequest = [&](std::uint8_t code, std::uint8_t low) {
        auto make = truck::MakeOfCode(code);
        std::string frame{'\xAA', '\x55', static_cast<char>(code), static_cast<char>(low)};
        Print("RX %s", Hex(frame));
        Print(" (%s)\n", make ? fw::NarrowUtf8(truck::Makes[*make].Name) : std::string("unknown make"));
        const std::string ack{'\xAA', '\x0C'};
        switch (opt.Mode) {
            case TMode::Ack: send(ack); break;
            case TMode::Silent: break;
            case TMode::Wrong: send(std::string{'\xAA', '\x0B'}); break;
            case TMode::Split:
                send(ack.substr(0, 1));
                Sleep(opt.SplitGapMs);
                send(ack.substr(1));
                break;
            case TMode::Delay:
                Sleep(opt.DelayMs);
                send(ack);
                break;
            case TMode::Noise: send(std::string{'\x13', '\x7F', '\x00'} + ack); break;
        }
        if (opt.Frames > 0 && ++frames >= opt.Frames) app.Terminate();
    };
    com->OnAfterReceive = [&](fw::TObject*, void* buf, std::uint32_t n) {
        parser.Feed(static_cast<const std::uint8_t*>(buf), n);
    };

    com->SetActive(true);
    if (failed || !com->Active()) return 1;
    Print("module on %s at 57600 8N1\n", fw::NarrowUtf8(com->ComName()));

    nr::TnrTimer stop;
    if (opt.Seconds) {
        stop.SetInterval(opt.Seconds * 1000);
        stop.SetOnTimer([&](fw::TObject*) { app.Terminate(); });
    }
    // A port that goes away ends the simulation.
    com->OnClose = [&](fw::TObject*) { app.Terminate(); };
    app.Run();
    com->OnClose = nullptr;
    Print("module stopped\n");
    return 0;
}
