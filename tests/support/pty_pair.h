// A pseudo-terminal pair made by socat, both ends mapped as COM ports of the
// Wine prefix the test runs in, for tests and benchmarks on real serial lines.
//
// The pair is started from the test itself: Wine runs Unix programs through
// CreateProcessW, so a small bash script starts socat, claims two free COM
// numbers (symlinks in the prefix's dosdevices folder, claimed atomically)
// and then waits. It tears everything down when socat ends (Unplug) or when
// the test lets go of its lease (a FIFO the test holds open; the destructor or
// the end of the test process closes it). Nothing outlives the test process,
// and socat has a time limit besides.
//
// When the test runs on the virtual null-modem cable (cmake/wine-run.sh loads
// it), the script plugs the two ttys into it and out again at the end: the
// ports then have modem lines, wired as a null-modem cable (DTR to DSR and
// RLSD, RTS to CTS), and RING can be given from outside.
//
// TComLink maps a COM port the same way onto something that is no serial line.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace serial_test {

class TPtyPair {
public:
    // OnCable false keeps the pair off the cable: a plain pty pair.
    // The pair goes by itself after Seconds, so a test that dies leaves none.
    explicit TPtyPair(bool OnCable = true, unsigned Seconds = 900);
    ~TPtyPair();
    TPtyPair(const TPtyPair&) = delete;
    TPtyPair& operator=(const TPtyPair&) = delete;

    // False when the pair could not be set up; Error tells why.
    bool Ready() const { return ready_; }
    const std::string& Error() const { return error_; }

    std::uint32_t PortA() const { return portA_; }  // the end the component opens
    std::uint32_t PortB() const { return portB_; }  // the peer's end

    // Whether the pair is on the null-modem cable (asked for, and the test
    // runs with the cable's preload library).
    bool HasModemLines() const { return modemLines_; }
    // RING at end A, as a modem would give it; true when done.
    bool SetRing(bool On);

    enum TEnd { endA, endB };
    // An end as the cable shows it: its lines, its line settings and those it
    // used before ("/dev/pts/5 dtr=1 rts=0 cts=1 ... line=57600/8N1
    // before=1200/7N1,..."); empty without modem lines.
    std::string Show(TEnd End);
    // Whether a line of an end is on: "dtr", "rts", "cts", "dsr", "dcd", "ring".
    bool LineOn(TEnd End, const std::string& Line);
    // The line settings of an end, the latest first ("57600/8N1"); empty while none is known.
    std::vector<std::string> Settings(TEnd End);

    // Kills socat now, as pulling a USB adapter would: both ends go away.
    void Unplug();

    // Whether Unix programs can be started at all (false outside Wine).
    static bool Available();

private:
    // Runs the null-modem tool on this pair's cable and waits for it; Out
    // gets what it printed.
    bool RunTool(const std::wstring& args, std::string* Out = nullptr);
    std::wstring unixDir_;  // the pair's folder, Unix form
    std::wstring winDir_;   // the same, Z: form
    HANDLE lease_ = INVALID_HANDLE_VALUE;
    std::wstring tool_;   // the null-modem tool, Unix path
    std::wstring cable_;  // its cable file
    std::uint32_t portA_ = 0, portB_ = 0;
    bool modemLines_ = false;
    int runs_ = 0;
    bool ready_ = false;
    std::string error_;
};

// A COM port of the prefix that is no serial line: its link points at a
// regular file or a folder made for it, or at /dev/null. Made and removed by
// a script holding a lease, as a pair is, so it never outlives the test.
class TComLink {
public:
    enum TTarget { ltFile, ltFolder, ltDevNull };
    explicit TComLink(TTarget Target);
    ~TComLink();
    TComLink(const TComLink&) = delete;
    TComLink& operator=(const TComLink&) = delete;

    bool Ready() const { return ready_; }
    const std::string& Error() const { return error_; }
    std::uint32_t Port() const { return port_; }
    // The file or folder behind the port (Z: form); empty for /dev/null.
    const std::wstring& TargetPath() const { return targetPath_; }

private:
    std::wstring unixDir_;
    std::wstring targetPath_;
    HANDLE lease_ = INVALID_HANDLE_VALUE;
    std::uint32_t port_ = 0;
    bool ready_ = false;
    std::string error_;
};

// A raw overlapped handle on a COM port, for the peer side of a test.
class TPeerPort {
public:
    explicit TPeerPort(std::uint32_t Port);
    ~TPeerPort();
    TPeerPort(const TPeerPort&) = delete;
    TPeerPort& operator=(const TPeerPort&) = delete;

    bool IsOpen() const { return h_ != INVALID_HANDLE_VALUE; }
    HANDLE Handle() const { return h_; }
    // Writes everything (blocks while the line is full).
    bool Write(const void* Data, DWORD Len);
    bool Write(const std::string& s) { return Write(s.data(), static_cast<DWORD>(s.size())); }
    // Ends a Write or Read blocked on another thread (it then fails).
    void Cancel() { CancelIoEx(h_, nullptr); }
    // Reads until Len bytes came or Ms passed without any; returns what came.
    std::string Read(DWORD Len, DWORD Ms);

private:
    void SetReadTimeout(DWORD Ms);
    HANDLE h_ = INVALID_HANDLE_VALUE;
    OVERLAPPED ovl_{};
    DWORD timeoutMs_ = 0xFFFFFFFF;
};

}  // namespace serial_test
