// The truck module, simulated on a COM port: answers every request frame with
// the acknowledgement, or fails in a chosen way, and prints what it receives.
// With a pnp mode it is a serial Plug-and-Play device instead (pnp_device.h).
//
// It stands for a device outside the system, so it talks to the port with
// plain Win32 calls rather than through the library it is used to test.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "../../app/frames.h"
#include "../common/serial_line.h"
#include "module_parser.h"
#include "pnp_device.h"

namespace {

enum class TMode { Ack, Silent, Wrong, Split, Delay, Noise };

struct TOptions {
    unsigned Port = 2;
    TMode Mode = TMode::Ack;
    unsigned DelayMs = 6000;
    unsigned SplitGapMs = 100;
    unsigned Frames = 0;   // stop after this many requests (0: never)
    unsigned Seconds = 0;  // stop after this long (0: never)
    bool Pnp = false;      // a Plug-and-Play device rather than the module
    pnpsim::TOptions PnpDevice;
};

void Usage() {
    std::printf(
        "usage: nrsim [--port N] [--mode ack|silent|wrong|split|delay|noise] [--delay MS] [--gap MS]\n"
        "             [--frames K] [--seconds S]\n"
        "       nrsim [--port N] --mode pnp|pnp6|pnp-other|pnp-late|pnp-silent|pnp-nodsr|pnp-endless\n"
        "             [--id TEXT] [--char-ms MS] [--dsr-delay MS] [--seconds S]\n"
        "the truck module, at 57600 8N1:\n"
        "  ack     answer each request with AA 0C (default)\n"
        "  silent  never answer\n"
        "  wrong   answer AA 0B\n"
        "  split   answer AA, then after --gap ms (default 100) 0C, in two writes\n"
        "  delay   answer AA 0C after --delay ms (default 6000)\n"
        "  noise   answer junk bytes followed by AA 0C in one write\n"
        "a serial Plug-and-Play device, at 1200 7N1, DSR on (the host's DSR is its DTR):\n"
        "  pnp          answer the host's power-up signature (DTR, then RTS) with\n"
        "               ( 01 24 TEXT ), TEXT from --id (default NRS0001)\n"
        "  pnp6         the same in 6-bit characters: 08 01 24 TEXT-0x20 09\n"
        "  pnp-other    an old mouse's M ahead of the string\n"
        "  pnp-late     answer only DTR and RTS rising together (the second attempt)\n"
        "  pnp-silent   never answer\n"
        "  pnp-nodsr    never raise DSR, never answer\n"
        "  pnp-endless  ( 01 24 TEXT and digits for as long as RTS stays on\n"
        "  --char-ms    time per character (default 7.5: 1200 bit/s); sending stops\n"
        "               when the host drops DTR or RTS\n"
        "  --dsr-delay  DSR follows the host's DTR this many ms late (default: always on)\n");
}

std::string Narrow(const wchar_t* s) {
    std::string r;
    for (; *s; ++s) r += static_cast<char>(*s < 0x80 ? *s : '?');
    return r;
}

bool ParseNumber(const wchar_t* s, unsigned& out) {
    if (!s || !*s) return false;
    wchar_t* end = nullptr;
    const unsigned long v = std::wcstoul(s, &end, 10);
    if (*end || v > 0xFFFFFFFFul) return false;
    out = static_cast<unsigned>(v);
    return true;
}

bool Parse(int argc, wchar_t** argv, TOptions& o) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring a = argv[i];
        const wchar_t* v = i + 1 < argc ? argv[i + 1] : nullptr;
        unsigned n = 0;
        if (a == L"--port" && ParseNumber(v, n) && n > 0 && n < 256)
            o.Port = n, ++i;
        else if (a == L"--delay" && ParseNumber(v, n))
            o.DelayMs = n, ++i;
        else if (a == L"--gap" && ParseNumber(v, n))
            o.SplitGapMs = n, ++i;
        else if (a == L"--frames" && ParseNumber(v, n))
            o.Frames = n, ++i;
        else if (a == L"--seconds" && ParseNumber(v, n))
            o.Seconds = n, ++i;
        else if (a == L"--char-ms" && ParseNumber(v, n) && n > 0)
            o.PnpDevice.CharMs = n, ++i;
        else if (a == L"--dsr-delay" && ParseNumber(v, n))
            o.PnpDevice.DsrDelayMs = n, ++i;
        else if (a == L"--id" && v)
            o.PnpDevice.Id = Narrow(v), ++i;
        else if (a == L"--mode" && v) {
            const std::wstring m = v;
            ++i;
            if (pnpsim::ParseVariant(m, o.PnpDevice.Variant))
                o.Pnp = true;
            else if (m == L"ack")
                o.Mode = TMode::Ack;
            else if (m == L"silent")
                o.Mode = TMode::Silent;
            else if (m == L"wrong")
                o.Mode = TMode::Wrong;
            else if (m == L"split")
                o.Mode = TMode::Split;
            else if (m == L"delay")
                o.Mode = TMode::Delay;
            else if (m == L"noise")
                o.Mode = TMode::Noise;
            else
                return false;
        } else {
            return false;
        }
    }
    return true;
}

HANDLE gStop = nullptr;

BOOL WINAPI OnConsoleCtrl(DWORD) {
    SetEvent(gStop);
    return TRUE;
}

void Say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// The module's end of the line: 57600 8N1, no flow control, overlapped I/O.
class TLine {
public:
    bool Open(unsigned port) {
        h_ = serial_line::OpenSet(port, FILE_FLAG_OVERLAPPED, 57600, 8, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE);
        if (h_ == INVALID_HANDLE_VALUE) return false;
        // No time-outs: a read stays pending until its byte comes.
        COMMTIMEOUTS t{};
        SetCommTimeouts(h_, &t);
        PurgeComm(h_, PURGE_RXCLEAR | PURGE_TXCLEAR);
        read_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        write_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        return read_.hEvent && write_.hEvent;
    }

    ~TLine() {
        if (h_ != INVALID_HANDLE_VALUE) {
            // A read still pending must end before its buffer and record go.
            if (reading_) {
                CancelIo(h_);
                DWORD n = 0;
                GetOverlappedResult(h_, &read_, &n, TRUE);
            }
            CloseHandle(h_);
        }
        if (read_.hEvent) CloseHandle(read_.hEvent);
        if (write_.hEvent) CloseHandle(write_.hEvent);
    }

    // Starts a one-byte read unless one is pending; false when the line is gone.
    bool StartRead() {
        if (reading_) return true;
        Reset(read_);
        DWORD n = 0;
        if (ReadFile(h_, buf_, 1, &n, &read_)) {
            SetEvent(read_.hEvent);  // done at once: collect it like a completion
        } else if (GetLastError() != ERROR_IO_PENDING) {
            error_ = GetLastError();
            return false;
        }
        reading_ = true;
        return true;
    }

    HANDLE ReadEvent() const { return read_.hEvent; }

    // After the read event: the byte that came and everything queued behind it.
    bool Collect(std::string& out) {
        DWORD n = 0;
        reading_ = false;
        if (!GetOverlappedResult(h_, &read_, &n, FALSE)) {
            error_ = GetLastError();
            return false;
        }
        out.assign(buf_, n);
        DWORD errors = 0;
        COMSTAT st{};
        if (!ClearCommError(h_, &errors, &st)) {
            error_ = GetLastError();
            return false;
        }
        while (st.cbInQue > 0) {
            char more[256];
            const DWORD want = st.cbInQue < sizeof more ? st.cbInQue : sizeof more;
            Reset(read_);
            if (!ReadFile(h_, more, want, &n, &read_)) {
                if (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(h_, &read_, &n, TRUE)) {
                    error_ = GetLastError();
                    return false;
                }
            }
            out.append(more, n);
            st.cbInQue -= n < st.cbInQue ? n : st.cbInQue;
        }
        return true;
    }

    bool Write(const std::string& bytes) {
        Reset(write_);
        DWORD n = 0;
        if (!WriteFile(h_, bytes.data(), static_cast<DWORD>(bytes.size()), &n, &write_)) {
            if (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(h_, &write_, &n, TRUE)) {
                error_ = GetLastError();
                return false;
            }
        }
        return n == bytes.size();
    }

    DWORD Error() const { return error_; }

private:
    static void Reset(OVERLAPPED& o) {
        o.Internal = o.InternalHigh = 0;
        o.Offset = o.OffsetHigh = 0;
        ResetEvent(o.hEvent);
    }
    HANDLE h_ = INVALID_HANDLE_VALUE;
    OVERLAPPED read_{};
    OVERLAPPED write_{};
    char buf_[1];
    bool reading_ = false;
    DWORD error_ = 0;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    TOptions opt;
    if (!Parse(argc, argv, opt)) {
        Usage();
        return 2;
    }
    gStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(&OnConsoleCtrl, TRUE);
    if (opt.Pnp) {
        opt.PnpDevice.Port = opt.Port;
        opt.PnpDevice.Seconds = opt.Seconds;
        return pnpsim::Run(opt.PnpDevice, gStop);
    }

    TLine line;
    if (!line.Open(opt.Port)) {
        std::printf("error: cannot open COM%u (error %lu)\n", opt.Port, GetLastError());
        return 1;
    }
    std::printf("module on COM%u at 57600 8N1\n", opt.Port);
    std::fflush(stdout);

    bool lost = false;
    unsigned frames = 0;
    auto send = [&](const std::string& bytes) {
        if (line.Write(bytes)) {
            Say("TX " + serial_line::Hex(bytes));
        } else {
            Say("TX failed (error " + std::to_string(line.Error()) + ")");
            lost = true;
        }
    };
    truck::TModuleParser parser;
    parser.OnStart = [&] { Say("RX AA 55 00 (start)"); };
    parser.OnJunk = [&](std::uint8_t b) { Say("RX junk " + serial_line::Hex(std::string(1, static_cast<char>(b)))); };
    parser.OnRequest = [&](std::uint8_t code, std::uint8_t low) {
        const auto make = truck::MakeOfCode(code);
        const std::string frame{'\xAA', '\x55', static_cast<char>(code), static_cast<char>(low)};
        Say("RX " + serial_line::Hex(frame) + " (" +
            (make ? Narrow(truck::Makes[*make].Name) : std::string("unknown make")) + ")");
        const std::string ack(truck::AckFrame.begin(), truck::AckFrame.end());
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
        ++frames;
    };

    const DWORD start = GetTickCount();
    while (!lost && !(opt.Frames && frames >= opt.Frames)) {
        if (!line.StartRead()) {
            lost = true;
            break;
        }
        DWORD wait = INFINITE;
        if (opt.Seconds) {
            const DWORD spent = GetTickCount() - start;
            if (spent >= opt.Seconds * 1000) break;
            wait = opt.Seconds * 1000 - spent;
        }
        HANDLE hs[2] = {line.ReadEvent(), gStop};
        const DWORD w = WaitForMultipleObjects(2, hs, FALSE, wait);
        if (w == WAIT_OBJECT_0 + 1 || w == WAIT_TIMEOUT) break;
        if (w != WAIT_OBJECT_0) {
            lost = true;
            break;
        }
        std::string bytes;
        if (!line.Collect(bytes)) {
            lost = true;
            break;
        }
        parser.Feed(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    if (lost) Say("the line went away (error " + std::to_string(line.Error()) + ")");
    Say("module stopped");
    return 0;
}
