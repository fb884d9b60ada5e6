// Bad settings and calls: zero and huge baud rates, byte sizes out of
// range, empty and null sends, port numbers 0 and 65535, list positions out
// of range, COM names that are a folder, a file or /dev/null, calls on a
// closed port. Each must end cleanly (a working port, or a failure reported
// once with the port closed), promptly, and write nothing where it must not.
#include <climits>
#include <functional>
#include <string>

#include "stress.h"
#include "stress_support.h"

using namespace stress;
using serial_test::TComLink;
using serial_test::TPeerPort;
using serial_test::TPtyPair;

namespace {

constexpr double kPromptMs = 2000;

class TBad {
public:
    explicit TBad(TPtyPair& pair) : pair_(pair) {
        UseUtilityLine(com);
        com.SetComPortNo(static_cast<std::uint16_t>(pair.PortA()));
        com.OnFatalError = [this](fw::TObject*, std::uint32_t, std::uint32_t, const std::wstring& msg, bool& raise) {
            ++Fatal;
            FatalText = msg;
            raise = false;
        };
        com.OnCommError = [this](fw::TObject*, std::uint32_t, std::uint32_t, nr::TComStateFlags, bool&) {
            ++CommErrors;
        };
        com.NotifyAdd([this](fw::TObject*, std::int32_t code) {
            if (code == nr::ncDevicesChanged) ++Changes;
        });
    }
    ~TBad() {
        com.SetActive(false);
        WaitThreadsEnd(threads_, 10000);
    }

    // Runs a call and keeps the slowest time.
    void Timed(const std::function<void()>& call) {
        const double t0 = NowMs();
        call();
        Slowest = std::max(Slowest, NowMs() - t0);
    }
    void Open() {
        Fatal = 0;
        Timed([&] { com.SetActive(true); });
        for (auto& t : com.Threads()) threads_.push_back(t);
    }
    // Bytes both ways on the open port.
    bool RoundTrip() {
        if (!com.Active()) return false;
        TPeerPort peer(pair_.PortB());
        std::string got;
        com.OnAfterReceive = [&](fw::TObject*, void* b, std::uint32_t n) { got.append(static_cast<char*>(b), n); };
        com.SendString("ping");
        const bool out = peer.Read(4, 2000) == "ping";
        peer.Write("pong");
        const bool in = PumpUntil([&] { return got.size() >= 4; }, 2000) && got == "pong";
        com.OnAfterReceive = nullptr;
        return out && in;
    }
    // A failed open: reported once, port closed, no worker threads.
    bool FailedCleanly(const std::wstring& name) {
        return !com.Active() && Fatal == 1 && com.Threads().empty() &&
               (name.empty() || FatalText.find(L"\"" + name + L"\"") != std::wstring::npos);
    }

    TStressComm com;
    int Fatal = 0, CommErrors = 0, Changes = 0;
    std::wstring FatalText;
    double Slowest = 0;

private:
    TPtyPair& pair_;
    std::vector<std::shared_ptr<fw::TThreadControl>> threads_;
};

void Bauds(TPtyPair& pair, double& slowest) {
    int good = 0, total = 0;
    for (std::uint32_t baud : {0u, 0xFFFFFFFFu, 3000000000u}) {
        TBad b(pair);
        // Set while closed: the open either works or fails like any other.
        b.com.SetBaudRate(baud);
        b.Open();
        const bool opened = b.com.Active();
        const bool atOpen = opened ? b.RoundTrip() : b.FailedCleanly(b.com.ComName());
        Line("    baud %u set while closed: %s", baud,
             opened ? "the driver took it" : "the driver refused it, the open failed");
        // Set while open: the port goes on working once a sound rate is back.
        b.com.SetBaudRate(57600);
        b.Open();
        b.Timed([&] { b.com.SetBaudRate(baud); });
        b.Timed([&] { b.com.SetBaudRate(57600); });
        const bool whileOpen = b.RoundTrip();
        good += atOpen + whileOpen;
        total += 2;
        if (!atOpen || !whileOpen) Detail("baud %u: at open %d, while open %d", baud, atOpen, whileOpen);
        slowest = std::max(slowest, b.Slowest);
    }
    All("baud 0, 4294967295, 3000000000: clean outcome", good, total);
}

void ByteSizes(TPtyPair& pair, double& slowest) {
    int good = 0;
    for (std::uint8_t size : {std::uint8_t{0}, std::uint8_t{255}, std::uint8_t{3}, std::uint8_t{9}}) {
        TBad b(pair);
        b.com.SetByteSize(size);
        b.Open();
        good += b.com.ByteSize() == 8 && b.RoundTrip();
        slowest = std::max(slowest, b.Slowest);
    }
    All("byte size 0, 255, 3, 9: stored as 8, the port works", good, 4);
}

void QueueSizes(TPtyPair& pair, double& slowest) {
    int good = 0;
    for (std::uint16_t size : {std::uint16_t{0}, std::uint16_t{1}, std::uint16_t{65535}}) {
        TBad b(pair);
        b.com.SetBufferInSize(size);
        b.com.SetBufferOutSize(size);
        b.Open();
        good += b.RoundTrip();
        slowest = std::max(slowest, b.Slowest);
    }
    All("queue sizes 0, 1, 65535: the port works", good, 3);
}

void EmptySends(TPtyPair& pair, double& slowest) {
    TBad b(pair);
    b.Open();
    TPeerPort peer(pair.PortB());
    const char some[] = "xyz";
    b.Timed([&] { b.com.SendData(nullptr, 100); });
    b.Timed([&] { b.com.SendData(some, 0); });
    b.Timed([&] { b.com.SendData(nullptr, 0); });
    b.Timed([&] { b.com.SendString(""); });
    b.Timed([&] { b.com.SendString(std::string()); });
    Pump(100);
    const bool nothing = peer.Read(1, 300).empty() && b.com.TotalSent() == 0 && b.CommErrors == 0;
    All("empty and null sends: nothing sent, nothing reported", nothing && b.RoundTrip(), 1);
    slowest = std::max(slowest, b.Slowest);
}

void PortNumbers(TPtyPair& pair, double& slowest) {
    int good = 0;
    for (std::uint16_t n : {std::uint16_t{0}, std::uint16_t{65535}}) {
        TBad b(pair);
        b.com.SetComPortNo(n);
        b.Open();
        good += b.FailedCleanly(L"COM" + std::to_wstring(n));
        // The component goes on to a port that is there.
        b.com.SetComPortNo(static_cast<std::uint16_t>(pair.PortA()));
        b.Open();
        good += b.RoundTrip();
        slowest = std::max(slowest, b.Slowest);
    }
    All("port numbers 0 and 65535: open fails once, naming the port", good, 4);
}

void DeviceIndexes(TPtyPair& pair, double& slowest) {
    TBad b(pair);
    b.com.Update();
    const int changes = b.Changes;
    const std::uint16_t port = b.com.ComPortNo();
    int good = 0;
    for (int i : {-1, b.com.DeviceCount(), b.com.DeviceCount() + 1, INT_MAX, INT_MIN}) {
        b.Timed([&] { b.com.SetDeviceIndex(i); });
        good += b.Changes == changes && b.com.ComPortNo() == port;
    }
    All("device index out of range: nothing changes, nobody is told", good, 5);
    slowest = std::max(slowest, b.Slowest);
}

bool FolderEmpty(const std::wstring& folder) {
    WIN32_FIND_DATAW fd;
    HANDLE f = FindFirstFileW((folder + L"\\*").c_str(), &fd);
    if (f == INVALID_HANDLE_VALUE) return false;
    int entries = 0;
    do entries += std::wstring(fd.cFileName) != L"." && std::wstring(fd.cFileName) != L"..";
    while (FindNextFileW(f, &fd));
    FindClose(f);
    return entries == 0;
}

void NotSerial(TPtyPair& pair, double& slowest) {
    const char* const names[] = {"a file", "a folder", "/dev/null"};
    int good = 0;
    for (TComLink::TTarget target : {TComLink::ltFile, TComLink::ltFolder, TComLink::ltDevNull}) {
        TComLink link(target);
        if (!link.Ready()) {
            Detail("no COM link to %s: %s", names[target], link.Error().c_str());
            continue;
        }
        TBad b(pair);
        b.com.SetComPortNo(static_cast<std::uint16_t>(link.Port()));
        b.Open();
        bool ok = b.FailedCleanly(b.com.ComName());
        b.Timed([&] { b.com.SendString("must not land"); });
        b.Timed([&] { b.com.SendData("must not land", 13); });
        if (target == TComLink::ltFile) ok = ok && ReadFileText(link.TargetPath()).empty();
        if (target == TComLink::ltFolder) ok = ok && FolderEmpty(link.TargetPath());
        if (!ok) Detail("COM%u on %s: active %d, fatal %d", link.Port(), names[target], b.com.Active(), b.Fatal);
        good += ok;
        slowest = std::max(slowest, b.Slowest);
    }
    All("COM name on a file, a folder, /dev/null: open fails, nothing written", good, 3);
}

void ClosedPort(TPtyPair& pair, double& slowest) {
    TBad b(pair);
    char buf[16] = {};
    b.Timed([&] { b.com.SendData("abc", 3); });
    b.Timed([&] { b.com.SendString("abc"); });
    b.Timed([&] { b.com.SendChar(L'a'); });
    b.Timed([&] { b.com.SendAheadChar(L'a'); });
    b.Timed([&] { b.com.ClearDeviceInput(); });
    b.Timed([&] { b.com.ClearDeviceOutput(); });
    b.Timed([&] { b.com.ClearDeviceBuffers(); });
    b.Timed([&] { b.com.FlushOutputBuffer(); });
    b.Timed([&] { b.com.Read(buf, 4); });
    b.Timed([&] { b.com.ReadMax(buf, 4); });
    b.Timed([&] { b.com.ReadString(); });
    b.Timed([&] { b.com.SetStateDTR(true); });
    b.Timed([&] { b.com.SetStateRTS(true); });
    b.Timed([&] { b.com.WaitForBytes(1, 50); });
    b.Timed([&] { b.com.SetExtHandle(nullptr); });
    b.Timed([&] { b.com.SetExtHandle(INVALID_HANDLE_VALUE); });
    const bool quiet = !b.com.Active() && b.Fatal == 0 && b.CommErrors == 0 && b.com.ReadyForRead() == 0 &&
                       b.com.NotYetSend() == 0 && b.com.TotalSent() == 0;
    All("calls on a closed port: nothing done, nothing reported", quiet, 1);
    slowest = std::max(slowest, b.Slowest);
}

void Bad() {
    TPtyPair pair;
    if (!PairReady(pair, "the bad calls")) return;
    double slowest = 0;
    Bauds(pair, slowest);
    ByteSizes(pair, slowest);
    QueueSizes(pair, slowest);
    EmptySends(pair, slowest);
    PortNumbers(pair, slowest);
    DeviceIndexes(pair, slowest);
    NotSerial(pair, slowest);
    ClosedPort(pair, slowest);
    AtMost("slowest of these calls", slowest, kPromptMs, "ms");
}

}  // namespace

STRESS_SECTION(bad, "Bad settings and calls", Bad, 120, 90);
