#include "pty_pair.h"

#include "tools/common/serial_line.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <vector>

namespace serial_test {

namespace {

std::wstring Env(const wchar_t* name) {
    wchar_t buf[1024];
    DWORD n = GetEnvironmentVariableW(name, buf, 1024);
    return (n > 0 && n < 1024) ? std::wstring(buf, n) : std::wstring();
}

std::wstring ToZ(const std::wstring& unixPath) {
    std::wstring w = L"Z:" + unixPath;
    for (auto& c : w)
        if (c == L'/') c = L'\\';
    return w;
}

bool Exists(const std::wstring& winPath) { return GetFileAttributesW(winPath.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string ReadSmallFile(const std::wstring& winPath) {
    HANDLE h = CreateFileW(winPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return {};
    char buf[1024];
    DWORD n = 0;
    ReadFile(h, buf, sizeof buf, &n, nullptr);
    CloseHandle(h);
    return std::string(buf, n);
}

bool WaitFor(const std::wstring& winPath, DWORD ms) {
    for (DWORD t = 0; t < ms; t += 10) {
        if (Exists(winPath)) return true;
        Sleep(10);
    }
    return Exists(winPath);
}

// Arguments: $1 the pair's folder, $2 the Wine prefix, $3 the null-modem
// tool and $4 its cable file (or - for none), $5 the most seconds it lives. Written without double quotes:
// the whole script travels as one quoted Windows argument.
const wchar_t kPairScript[] =
    L"exec </dev/null >/dev/null 2>&1; "
    // Let go of every descriptor inherited from the test (its pipes included).
    L"for f in /proc/$$/fd/*; do n=${f##*/}; [ $n -gt 2 ] && exec {n}>&-; done; "
    L"D=$1; P=$2; T=$3; C=$4; mkdir -p $D && mkfifo $D/lease || exit 1; "
    // Mappings left by a pair whose script was killed outright point nowhere now.
    L"for l in $P/dosdevices/com*; do t=$(readlink $l); case $t in ${D%/*}/*) [ -e $t ] || rm -f $l;; esac; done; "
    L"timeout --foreground $5 socat pty,raw,echo=0,link=$D/a pty,raw,echo=0,link=$D/b & S=$!; "
    L"echo $S > $D/pid; "
    L"cat $D/lease & L=$!; "
    L"for i in $(seq 200); do [ -e $D/a ] && [ -e $D/b ] && break; sleep 0.02; done; "
    // The ttys go on the cable under their own names, which outlive the links.
    L"A=$(readlink -f $D/a); B=$(readlink -f $D/b); W=0; "
    L"[ -x $T ] && $T --state $C plug $A $B && W=1; "
    L"n=0; for i in $(seq 40 250); do ln -s $D/a $P/dosdevices/com$i 2>/dev/null && { n=$i; break; }; done; "
    L"m=0; for i in $(seq $((n+1)) 250); do ln -s $D/b $P/dosdevices/com$i 2>/dev/null && { m=$i; break; }; done; "
    L"echo $n $m $W > $D/ports.tmp && mv $D/ports.tmp $D/ports; "
    L"wait -n $S $L; kill $S $L 2>/dev/null; wait; "
    L"[ $W = 1 ] && $T --state $C unplug $A; "
    L"rm -f $P/dosdevices/com$n $P/dosdevices/com$m; rm -rf $D";

// Runs a command and leaves its exit code in a file: $1 the file, the rest
// the command. What it prints goes to the file's name followed by .out.
const wchar_t kRunScript[] =
    L"exec </dev/null >/dev/null 2>&1; R=$1; shift; $@ > $R.out; echo $? > $R.tmp; mv $R.tmp $R";

// Arguments: $1 the link's folder, $2 the Wine prefix, $3 what the link points
// at: file or folder (made in the link's folder) or a path such as /dev/null.
const wchar_t kLinkScript[] =
    L"exec </dev/null >/dev/null 2>&1; "
    L"for f in /proc/$$/fd/*; do n=${f##*/}; [ $n -gt 2 ] && exec {n}>&-; done; "
    L"D=$1; P=$2; mkdir -p $D && mkfifo $D/lease || exit 1; "
    L"case $3 in file) T=$D/target; : > $T;; folder) T=$D/target; mkdir $T;; *) T=$3;; esac; "
    // The reader is there before the test opens the lease.
    L"timeout 900 cat $D/lease & L=$!; "
    L"n=0; for i in $(seq 40 250); do ln -s $T $P/dosdevices/com$i 2>/dev/null && { n=$i; break; }; done; "
    L"echo $n > $D/ports.tmp && mv $D/ports.tmp $D/ports; "
    L"wait $L; rm -f $P/dosdevices/com$n; rm -rf $D";

std::atomic<int> gPairCount{0};

// Runs a bash script as a Unix program, in a session of its own: a harness
// that kills the test's process group (ctest or timeout on a hung test)
// leaves the script to clean up.
bool Shell(const std::wstring& script, const std::wstring& args) {
    std::wstring cmd = L"Z:\\usr\\bin\\setsid /bin/bash -c \"" + script + L"\" nrpty " + args;
    std::vector<wchar_t> buf(cmd.begin(), cmd.end());
    buf.push_back(0);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, buf.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
    // A Unix program gets no process handle of its own.
    if (pi.hProcess) CloseHandle(pi.hProcess);
    if (pi.hThread) CloseHandle(pi.hThread);
    return true;
}

// A folder of its own for one pair or link, beside the prefix:
// <folder of the prefix>/serial/<Tag><process>_<count>.
std::wstring ScratchDir(const std::wstring& prefix, const wchar_t* Tag) {
    const std::wstring base = prefix.substr(0, prefix.rfind(L'/'));
    return base + L"/serial/" + Tag + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++gPairCount);
}

HANDLE OpenLease(const std::wstring& winDir) {
    return CreateFileW((winDir + L"\\lease").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

// Starts a script that writes its COM numbers to <dir>/ports and lives until
// the lease, a FIFO in <dir>, is let go. Ports gets what the script wrote.
bool StartLeased(const wchar_t* script, const std::wstring& unixDir, const std::wstring& args, HANDLE& lease,
                 std::string& ports, std::string& error) {
    const std::wstring winDir = ToZ(unixDir);
    if (!Shell(script, unixDir + L" " + args)) {
        error = "cannot start bash";
        return false;
    }
    if (!WaitFor(winDir + L"\\ports", 5000)) {
        error = "the script did not come up";
        return false;
    }
    lease = OpenLease(winDir);
    if (lease == INVALID_HANDLE_VALUE) {
        error = "cannot hold the lease";
        return false;
    }
    ports = ReadSmallFile(winDir + L"\\ports");
    return true;
}

// Lets go of the lease; the script then removes its mappings and folder. Waits
// for that, so the next test starts from a clean prefix.
void EndLeased(HANDLE& lease, const std::wstring& unixDir) {
    if (lease != INVALID_HANDLE_VALUE) CloseHandle(lease);
    lease = INVALID_HANDLE_VALUE;
    if (unixDir.empty()) return;
    const std::wstring winDir = ToZ(unixDir);
    for (int i = 0; i < 300 && Exists(winDir); ++i) {
        // A short test may let go before the script's reader has opened the
        // FIFO; that reader then waits for a writer: knock once more.
        if (i % 10 == 9) {
            HANDLE knock = OpenLease(winDir);
            if (knock != INVALID_HANDLE_VALUE) CloseHandle(knock);
        }
        Sleep(10);
    }
}

std::wstring Prefix() {
    std::wstring prefix = Env(L"WINEPREFIX");
    while (prefix.size() > 1 && prefix.back() == L'/') prefix.pop_back();
    return prefix;
}

}  // namespace

bool TPtyPair::Available() {
    return !Env(L"WINEPREFIX").empty() && Exists(L"Z:\\usr\\bin\\socat") && Exists(L"Z:\\usr\\bin\\setsid");
}

TPtyPair::TPtyPair(bool OnCable, unsigned Seconds) {
    const std::wstring prefix = Prefix();
    if (prefix.empty() || !Available()) {
        error_ = "not running under Wine with socat installed";
        return;
    }
    unixDir_ = ScratchDir(prefix, L"p");
    winDir_ = ToZ(unixDir_);
    tool_ = Env(L"NR_NULLMODEM_TOOL");
    cable_ = Env(L"NR_NULLMODEM_STATE");
    const bool cable = OnCable && !tool_.empty() && !cable_.empty();
    std::string ports;
    if (!StartLeased(kPairScript, unixDir_,
                     prefix + L" " + (cable ? tool_ + L" " + cable_ : L"- -") + L" " + std::to_wstring(Seconds), lease_,
                     ports, error_))
        return;
    unsigned a = 0, b = 0, wired = 0;
    if (std::sscanf(ports.c_str(), "%u %u %u", &a, &b, &wired) != 3 || !a || !b) {
        error_ = "no free COM numbers";
        return;
    }
    portA_ = a;
    portB_ = b;
    modemLines_ = wired == 1;
    ready_ = true;
}

void TPtyPair::Unplug() {
    const std::string pid = ReadSmallFile(winDir_ + L"\\pid");
    if (pid.empty()) return;
    std::wstring wpid;
    for (char c : pid)
        if (c >= '0' && c <= '9') wpid += static_cast<wchar_t>(c);
    Shell(L"kill $1", wpid);
}

bool TPtyPair::RunTool(const std::wstring& args, std::string* Out) {
    if (!modemLines_) return false;
    const std::wstring result = L"run" + std::to_wstring(++runs_);
    if (!Shell(kRunScript, unixDir_ + L"/" + result + L" " + tool_ + L" --state " + cable_ + L" " + args)) return false;
    // A Unix program gets no process handle: its result file tells when it ended.
    const std::wstring file = winDir_ + L"\\" + result;
    if (!WaitFor(file, 5000)) return false;
    const std::string rc = ReadSmallFile(file);
    if (Out) *Out = ReadSmallFile(file + L".out");
    DeleteFileW(file.c_str());
    DeleteFileW((file + L".out").c_str());
    return rc == "0\n";
}

bool TPtyPair::SetRing(bool On) { return RunTool(L"ring " + unixDir_ + L"/a " + (On ? L"on" : L"off")); }

std::string TPtyPair::Show(TEnd End) {
    std::string out;
    if (!RunTool(L"show " + unixDir_ + (End == endA ? L"/a" : L"/b"), &out)) return {};
    return out;
}

bool TPtyPair::LineOn(TEnd End, const std::string& Line) {
    return Show(End).find(" " + Line + "=1") != std::string::npos;
}

std::vector<std::string> TPtyPair::Settings(TEnd End) {
    const std::string s = Show(End);
    std::vector<std::string> v;
    // " line=A before=B,C,..." at the end of the line.
    for (const char* field : {" line=", " before="}) {
        const size_t at = s.find(field);
        if (at == std::string::npos) continue;
        size_t p = at + std::strlen(field);
        const size_t stop = s.find_first_of(" \n", p);
        const std::string list = s.substr(p, stop == std::string::npos ? std::string::npos : stop - p);
        for (size_t from = 0; from <= list.size();) {
            const size_t comma = std::min(list.find(',', from), list.size());
            const std::string one = list.substr(from, comma - from);
            if (!one.empty() && one != "-") v.push_back(one);
            from = comma + 1;
        }
    }
    return v;
}

TPtyPair::~TPtyPair() { EndLeased(lease_, unixDir_); }

// ---- a COM port that is no serial line

TComLink::TComLink(TTarget Target) {
    const std::wstring prefix = Prefix();
    if (prefix.empty() || !TPtyPair::Available()) {
        error_ = "not running under Wine";
        return;
    }
    unixDir_ = ScratchDir(prefix, L"l");
    const wchar_t* what = Target == ltFile ? L"file" : Target == ltFolder ? L"folder" : L"/dev/null";
    std::string ports;
    if (!StartLeased(kLinkScript, unixDir_, prefix + L" " + what, lease_, ports, error_)) return;
    unsigned n = 0;
    if (std::sscanf(ports.c_str(), "%u", &n) != 1 || !n) {
        error_ = "no free COM number";
        return;
    }
    port_ = n;
    if (Target != ltDevNull) targetPath_ = ToZ(unixDir_) + L"\\target";
    ready_ = true;
}

TComLink::~TComLink() { EndLeased(lease_, unixDir_); }

// ---- peer

TPeerPort::TPeerPort(std::uint32_t Port) {
    h_ = serial_line::OpenSet(Port, FILE_FLAG_OVERLAPPED, 57600, 8);
    if (h_ == INVALID_HANDLE_VALUE) return;
    ovl_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetReadTimeout(0);
}

TPeerPort::~TPeerPort() {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    if (ovl_.hEvent) CloseHandle(ovl_.hEvent);
}

void TPeerPort::SetReadTimeout(DWORD Ms) {
    if (Ms == timeoutMs_) return;
    COMMTIMEOUTS t{};
    t.ReadTotalTimeoutConstant = Ms;  // writes: no time limit
    SetCommTimeouts(h_, &t);
    timeoutMs_ = Ms;
}

bool TPeerPort::Write(const void* Data, DWORD Len) {
    const char* p = static_cast<const char*>(Data);
    while (Len > 0) {
        ovl_.Internal = ovl_.InternalHigh = 0;
        ovl_.Offset = ovl_.OffsetHigh = 0;
        DWORD n = 0;
        if (!WriteFile(h_, p, Len, &n, &ovl_)) {
            if (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(h_, &ovl_, &n, TRUE)) return false;
        }
        if (n == 0) return false;
        p += n;
        Len -= n;
    }
    return true;
}

std::string TPeerPort::Read(DWORD Len, DWORD Ms) {
    SetReadTimeout(Ms);
    std::string out(Len, '\0');
    DWORD got = 0;
    while (got < Len) {
        ovl_.Internal = ovl_.InternalHigh = 0;
        ovl_.Offset = ovl_.OffsetHigh = 0;
        DWORD n = 0;
        if (!ReadFile(h_, out.data() + got, Len - got, &n, &ovl_)) {
            if (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(h_, &ovl_, &n, TRUE)) break;
        }
        if (n == 0) break;
        got += n;
    }
    out.resize(got);
    return out;
}

}  // namespace serial_test
