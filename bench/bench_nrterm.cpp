// nrterm's window while a device sends at full speed into it: how long the
// window takes to answer, measured from outside as a user feels it. A thread
// sends WM_NULL every 10 ms (SendMessageTimeout) and notes each reply's wait:
// the longest is the longest turn of the window's message loop. The device
// sends text lines flat out for NR_BENCH_NRTERM_S seconds (default 60).
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "bench.h"
#include "framework/forms.h"
#include "framework/threads.h"
#include "term_form.h"
#include "tests/support/pty_pair.h"

using bench::Line;
using bench::NowMs;

namespace {

// The window's loop, one message at a time: under a flood its queue need
// never run empty, so a loop that drains it would not come back. Turns gets
// each message's handling time in ms, as the loop itself sees it.
void Pump(double Ms, std::vector<double>& Turns) {
    const double end = NowMs() + Ms;
    MSG m;
    while (NowMs() < end) {
        fw::CheckSynchronize();
        if (!PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
            fw::MainThreadWait(0, nullptr, 10, QS_ALLINPUT);
            continue;
        }
        const double t0 = NowMs();
        TranslateMessage(&m);
        DispatchMessageW(&m);
        Turns.push_back(NowMs() - t0);
    }
}

// Pings Window until Stop; the reply waits in ms.
std::vector<double> Ping(HWND Window, const std::atomic<bool>& Stop) {
    std::vector<double> ms;
    while (!Stop) {
        const double t0 = NowMs();
        DWORD_PTR r = 0;
        SendMessageTimeoutW(Window, WM_NULL, 0, 0, SMTO_NORMAL, 30000, &r);
        ms.push_back(NowMs() - t0);
        Sleep(10);
    }
    return ms;
}

void Flood() {
    char env[16];
    const double seconds = GetEnvironmentVariableA("NR_BENCH_NRTERM_S", env, sizeof env) ? std::atof(env) : 60;
    serial_test::TPtyPair pair;
    if (!pair.Ready()) return Line("  no pty pair: %s", pair.Error().c_str());
    auto* form = fw::CreateForm<nrterm::TTermForm>(fw::Application);
    form->Show();
    nrterm::TTermOptions o;
    o.Port = L"COM" + std::to_wstring(pair.PortA());
    o.Baud = 115200;
    if (!form->Start(o)) return Line("  the port did not open");
    serial_test::TPeerPort peer(pair.PortB());

    std::atomic<bool> stop{false}, pinged{false};
    std::atomic<std::uint64_t> sent{0};
    std::thread writer([&] {
        const std::string block = bench::TextLines(4000, 80);
        while (!stop && peer.Write(block)) sent += block.size();
    });
    std::vector<double> ms;
    std::thread pinger([&] {
        ms = Ping(form->Handle(), stop);
        pinged = true;
    });
    const double end = NowMs() + seconds * 1000;
    std::vector<double> turns;
    Pump(end - NowMs(), turns);
    stop = true;
    peer.Cancel();
    while (!pinged) Pump(10, turns);  // its last ping is answered here
    writer.join();
    pinger.join();
    const std::uint32_t received = form->Comm()->TotalReceived();
    HWND edit = nullptr;  // the terminal: the multi-line one
    while ((edit = FindWindowExW(form->Handle(), edit, L"Edit", nullptr)) &&
           !(GetWindowLongW(edit, GWL_STYLE) & ES_MULTILINE)) {
    }
    const int shown = edit ? GetWindowTextLengthW(edit) : -1;
    delete form;
    Line("  %.0f s of text lines flat out: %.1f MB sent, %.1f MB received (%.1f MB/s), %d characters shown", seconds,
         static_cast<double>(sent) / (1 << 20), received / double(1 << 20), received / double(1 << 20) / seconds,
         shown);
    Line("  window's reply to WM_NULL every 10 ms, %u pings: median %.1f ms  p99 %.1f ms  max %.1f ms",
         static_cast<unsigned>(ms.size()), bench::Median(ms), bench::Percentile(ms, 99), bench::Percentile(ms, 100));
    Line("  each message's handling in the loop, %u messages: median %.2f ms  p99 %.1f ms  max %.1f ms",
         static_cast<unsigned>(turns.size()), bench::Median(turns), bench::Percentile(turns, 99),
         bench::Percentile(turns, 100));
}

}  // namespace

BENCH_SECTION(nrterm_flood, "nrterm while a device sends flat out: the window's longest reply", Flood);
