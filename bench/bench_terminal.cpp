// A terminal control bound to the port engine, fed a 4-8 KB block with a NUL
// byte in every 16, next to the same text without NULs: the longest turn of
// the user-interface thread's message loop while the block is shown
// (UseMainThread true), and how long a Close waits that comes as the block
// starts to be shown (UseMainThread false). Cases in rounds of random order,
// each on a fresh pty pair; what the control shows is checked against what came.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "bench.h"
#include "framework/controls.h"
#include "framework/threads.h"
#include "tests/support/engine_components.h"
#include "tests/support/pty_pair.h"
#include "tests/support/win32_guard.h"

using namespace nr;
using namespace serial_test;
using bench::Line;
using bench::NowMs;

namespace {

std::string Text(std::size_t n) { return bench::TextLines(n, 64); }

// The same text with a NUL in every 16 bytes (between a CR and its LF too).
std::string WithNuls(const std::string& text) {
    std::string s;
    for (char c : text) {
        if (s.size() % 16 == 15) s += '\0';
        s += c;
    }
    return s;
}

// What a terminal shows of bytes: all but the NULs.
std::wstring Shown(const std::string& bytes) {
    std::wstring w;
    for (char c : bytes)
        if (c) w += static_cast<wchar_t>(static_cast<unsigned char>(c));
    return w;
}

// A shown memo bound (tuReceive) to a component on a fresh pair's end A; the
// block is written at end B from a thread of its own.
class TTerminal {
public:
    explicit TTerminal(bool useMainThread) {
        if (!pair_.Ready()) return;
        memo_ = new fw::TMemo(&form_);
        memo_->SetParent(&form_);
        memo_->SetBounds(8, 8, 600, 400);
        form_.Show();
        com_ = std::make_unique<TTestComm>(nullptr, pair_.PortA());
        com_->SetBaudRate(57600);
        com_->SetByteSize(8);
        com_->SetStreamProtocol(spNone);
        com_->OnFatalError = [](TObject*, std::uint32_t, std::uint32_t, const std::wstring& m, bool& raise) {
            Line("  %s", fw::NarrowUtf8(m).c_str());
            raise = false;
        };
        com_->SetUseMainThread(useMainThread);
        // Read on the user-interface thread only once the dispatch is idle or ran there.
        com_->OnAfterReceive = [this](TObject*, void* b, std::uint32_t n) {
            Received.append(static_cast<const char*>(b), n);
            Count += n;
        };
        com_->SetTerminal(memo_);
        com_->SetTerminalUsage(tuReceive);
        com_->SetActive(true);
        peer_ = std::make_unique<TPeerPort>(pair_.PortB());
    }
    ~TTerminal() {
        if (com_) {
            auto ts = com_->Threads();
            com_.reset();
            WaitThreads(ts);
        }
        if (!writer_.joinable()) return;
        peer_->Cancel();  // a write still blocked fails
        writer_.join();
    }
    bool Ready() const { return com_ && com_->Active() && peer_->IsOpen(); }
    void Send(const std::string& block) {
        writer_ = std::thread([this, block] { peer_->Write(block); });
    }
    TTestComm& Com() { return *com_; }
    bool ShowsReceived() const { return !Received.empty() && memo_->Text() == Shown(Received); }

    std::string Received;
    std::atomic<std::size_t> Count{0};

private:
    TPtyPair pair_;
    fw::TForm form_{nullptr};
    fw::TMemo* memo_ = nullptr;
    std::unique_ptr<TTestComm> com_;
    std::unique_ptr<TPeerPort> peer_;
    std::thread writer_;
};

// Runs the message loop until done() and settle ms more; the longest turn
// (the work of one wake-up, between two waits). -1 when done() never came.
double LongestTurn(const std::function<bool()>& done, double settle) {
    const HANDLE sync = fw::SyncEvent();
    const double giveUp = NowMs() + 30000;
    double longest = 0, doneAt = 0;
    while (NowMs() < (doneAt ? doneAt + settle : giveUp)) {
        MsgWaitForMultipleObjects(1, &sync, FALSE, 10, QS_ALLINPUT);
        const double t0 = NowMs();
        fw::Application->ProcessMessages();
        longest = std::max(longest, NowMs() - t0);
        if (!doneAt && done()) doneAt = NowMs();
    }
    return doneAt ? longest : -1;
}

// UseMainThread true: the longest turn until the whole block is shown.
double TurnCase(const std::string& block, bool& shown) {
    TTerminal t(true);
    if (!t.Ready()) return -1;
    t.Send(block);
    const double ms = LongestTurn([&] { return t.Count == block.size(); }, 100);
    shown = t.ShowsReceived();
    return ms;
}

// Set when the component sends its first message of a write to the control
// (it asks for the selection before it inserts), before the user-interface
// thread has served it.
HANDLE gInserting = CreateEventW(nullptr, TRUE, FALSE, nullptr);
decltype(&::SendMessageA) gRealSend = nullptr;
LRESULT WINAPI NotingSend(HWND h, UINT Msg, WPARAM wp, LPARAM lp) {
    if (Msg == EM_GETSEL || Msg == EM_REPLACESEL) SetEvent(gInserting);
    return gRealSend(h, Msg, wp, lp);
}

// UseMainThread false: Close the moment the message thread starts to write
// the block into the control; Close serves the writes still to come.
double CloseCase(const std::string& block, bool& shown) {
    test_support::TWin32Guard guard;
    gRealSend = nr::Win32.SendMessageA;
    nr::Win32.SendMessageA = &NotingSend;
    ResetEvent(gInserting);
    TTerminal t(false);
    if (!t.Ready()) return -1;
    t.Send(block);
    if (WaitForSingleObject(gInserting, 10000) != WAIT_OBJECT_0) return -1;
    const double t0 = NowMs();
    t.Com().SetActive(false);
    const double ms = NowMs() - t0;
    shown = t.ShowsReceived();
    return ms;
}

enum TKind { kTurnNul, kTurnPlain, kCloseNul, kClosePlain };
const char* const kKindName[] = {"UseMainThread true, longest turn, NULs", "UseMainThread true, longest turn, no NULs",
                                 "UseMainThread false, Close, NULs", "UseMainThread false, Close, no NULs"};

void Terminal() {
    std::mt19937 rng(20261209);
    const int kRounds = 5;
    std::vector<double> ms[4];
    int wrong = 0, failed = 0;
    Line("  %d rounds; each: one 4-8 KB block (a NUL in every 16 bytes, or the same text without them) per case,",
         kRounds);
    Line("  the four cases in random order, each on a fresh pty pair; the control's text checked against what came");
    bool shown = false;
    TurnCase(Text(1024), shown);  // warm-up
    for (int r = 0; r < kRounds; ++r) {
        const std::string plain = Text(std::uniform_int_distribution<std::size_t>(3840, 7680)(rng));
        const std::string nuls = WithNuls(plain);
        std::vector<TKind> kinds = {kTurnNul, kTurnPlain, kCloseNul, kClosePlain};
        std::shuffle(kinds.begin(), kinds.end(), rng);
        for (TKind k : kinds) {
            const std::string& block = (k == kTurnNul || k == kCloseNul) ? nuls : plain;
            shown = false;
            const double v = (k == kTurnNul || k == kTurnPlain) ? TurnCase(block, shown) : CloseCase(block, shown);
            if (v < 0) {
                ++failed;
                continue;
            }
            if (!shown) ++wrong;
            ms[k].push_back(v);
        }
        Line("  round %d: %u bytes with NULs, %u without", r + 1, static_cast<unsigned>(nuls.size()),
             static_cast<unsigned>(plain.size()));
    }
    for (TKind k : {kTurnNul, kTurnPlain, kCloseNul, kClosePlain})
        Line("  %-42s median %8.1f ms  max %8.1f ms  (%u rounds)", kKindName[k], bench::Median(ms[k]),
             bench::Percentile(ms[k], 100), static_cast<unsigned>(ms[k].size()));
    Line("  content: %d cases showing other than what came, %d cases failed", wrong, failed);
}

}  // namespace

BENCH_SECTION(engine_5_terminal, "a terminal fed NUL bytes: longest message-loop turn, Close", Terminal);
