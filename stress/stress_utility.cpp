// The utility itself (Project2.exe) against the simulated module (nrsim
// --mode ack) on a pty pair: its port picked in the port box and START
// pressed again and again, as a user would; every press must log the
// success line, and the module must have received every frame.
#include <algorithm>
#include <string>
#include <vector>

#include "stress.h"
#include "stress_support.h"
#include "tools/common/win_window.h"

using namespace stress;
using serial_test::TPtyPair;
using win_window::FindChild;
using win_window::TextOf;

namespace {

const wchar_t kSuccess[] = L"Programming successfull! ";

int Count(const std::wstring& text, const std::wstring& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::wstring::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

// Picks the entry named port in the box, as a click would: the selection,
// then the change notice to the window.
bool PickPort(HWND box, const std::wstring& port) {
    const LRESULT n = SendMessageW(box, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < n; ++i) {
        const LRESULT len = SendMessageW(box, CB_GETLBTEXTLEN, i, 0);
        if (len == CB_ERR) continue;
        std::wstring s(static_cast<size_t>(len) + 1, L'\0');
        SendMessageW(box, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(s.data()));
        s.resize(wcslen(s.c_str()));
        if (s != port) continue;
        SendMessageW(box, CB_SETCURSEL, i, 0);
        SendMessageW(GetParent(box), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(box), CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(box));
        return SendMessageW(box, CB_GETCURSEL, 0, 0) == i;
    }
    return false;
}

void Utility() {
    const std::wstring dir = ExeDir();
    if (GetFileAttributesW((dir + L"Project2.exe").c_str()) == INVALID_FILE_ATTRIBUTES ||
        GetFileAttributesW((dir + L"nrsim.exe").c_str()) == INVALID_FILE_ATTRIBUTES) {
        All("Project2.exe and nrsim.exe beside this program", 0, 1);
        return;
    }
    TPtyPair pair;
    if (!PairReady(pair, "the utility")) return;
    const std::wstring port = L"COM" + std::to_wstring(pair.PortA());
    RemoveStaleMapEntries(L"\\Device\\nrStressApp");
    TMapEntry listed(L"\\Device\\nrStressApp" + std::to_wstring(pair.PortA()), port);

    const std::wstring moduleLog = TempPath(L"module") + L".log";
    TChild module;
    const bool moduleUp =
        module.Start(
            L"\"" + dir + L"nrsim.exe\" --port " + std::to_wstring(pair.PortB()) + L" --mode ack --seconds 1800",
            moduleLog) &&
        PumpUntil([&] { return ReadFileText(moduleLog).find("module on") != std::string::npos || !module.Running(); },
                  10000) &&
        module.Running();
    if (!moduleUp) {
        All("the simulated module started", 0, 1);
        Detail("%s", ReadFileText(moduleLog).c_str());
        return;
    }
    TChild app;
    HWND main = nullptr;
    if (app.Start(L"\"" + dir + L"Project2.exe\"", L""))
        PumpUntil([&] { return (main = win_window::MainWindow(app.Id())) != nullptr || !app.Running(); }, 30000);
    HWND box = main ? FindChild(main, L"ComboBox") : nullptr;
    HWND start = main ? FindChild(main, L"Button", L"START") : nullptr;
    HWND log = main ? FindChild(main, L"Edit", nullptr, ES_MULTILINE) : nullptr;
    if (!box || !start || !log) {
        All("the utility's window with its port box, START and log", 0, 1);
        return;
    }
    All(("the utility lists " + Narrow(port) + " and it can be picked").c_str(), PickPort(box, port), 1);

    const int presses = Reps(200, 20);
    int succeeded = 0;
    std::vector<double> ms;
    for (int i = 0; i < presses; ++i) {
        // The window takes input again once the previous cycle has ended.
        if (!PumpUntil([&] { return IsWindowEnabled(main) != FALSE; }, 10000)) {
            Detail("press %d: the window stayed disabled", i + 1);
            break;
        }
        const std::wstring before = TextOf(log);
        const int done = Count(before, kSuccess);
        const double t0 = NowMs();
        DWORD_PTR r = 0;
        if (!SendMessageTimeoutW(start, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 10000, &r)) {
            Detail("press %d: START did not answer", i + 1);
            break;
        }
        std::wstring now;
        const bool ok = PumpUntil(
            [&] {
                now = TextOf(log);
                return Count(now, kSuccess) > done || now.find(L"Error", before.size()) != std::wstring::npos;
            },
            8000);
        if (ok && Count(now, kSuccess) == done + 1) {
            ++succeeded;
            ms.push_back(NowMs() - t0);
        } else {
            Detail("press %d: the log ends with: %s", i + 1, Narrow(now.substr(before.size())).c_str());
        }
    }
    All("START presses that logged \"Programming successfull! \"", succeeded, presses);
    Pump(100);
    All("request frames the module received", Count(fw::Widen(ReadFileText(moduleLog)), L"RX AA 55 01 00 (DAF)"),
        presses);
    if (!ms.empty()) {
        std::sort(ms.begin(), ms.end());
        Reference("START to the success line, median", ms[ms.size() / 2], "ms");
    }
    // Exit, as the user leaves.
    const HWND exit = FindChild(main, L"Button", L"Exit");
    DWORD_PTR r = 0;
    if (exit) SendMessageTimeoutW(exit, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 5000, &r);
    const bool ended = PumpUntil([&] { return !app.Running(); }, 15000);
    All("Exit ends the utility with exit code 0", ended && app.End(0) == 0, 1);
    module.End(0);
    DeleteFileW(moduleLog.c_str());
}

}  // namespace

STRESS_SECTION(utility, "The utility pressed against the simulated module", Utility, 300, 90);
