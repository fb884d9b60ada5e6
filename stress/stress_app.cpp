#include "stress_app.h"

#include <vector>

#include "stress.h"
#include "tools/common/win_window.h"

namespace stress {

using win_window::FindChild;

const wchar_t kSuccess[] = L"Programming successfull! ";
const wchar_t kWrongAck[] = L"Error: Wrong ACK Received!";
const wchar_t kTimeout[] = L"Error: Timeout!";

namespace {

constexpr LRESULT kClearAt = 16384;

// Every line a press can end with.
const wchar_t* const kOutcomes[] = {kSuccess, kWrongAck, kTimeout, L"Error: ", L"Fatal Error: "};

int Count(const std::wstring& text, const std::wstring& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::wstring::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

LRESULT Ask(HWND h, UINT msg) {
    DWORD_PTR r = 0;
    return SendMessageTimeoutW(h, msg, 0, 0, SMTO_ABORTIFHUNG, 5000, &r) ? static_cast<LRESULT>(r) : -1;
}

bool Click(HWND button) {
    DWORD_PTR r = 0;
    return button && SendMessageTimeoutW(button, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 10000, &r);
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

}  // namespace

TUtilityRig::TUtilityRig() : dir_(ExeDir()), moduleLog_(TempPath(L"module") + L".log") {}

TUtilityRig::~TUtilityRig() {
    app_.End(0);
    module_.End(0);
    DeleteFileW(moduleLog_.c_str());
}

bool TUtilityRig::StartModule(std::uint32_t PeerPort, const std::wstring& Mode) {
    module_.End(0);
    const bool up =
        module_.Start(
            L"\"" + dir_ + L"nrsim.exe\" --port " + std::to_wstring(PeerPort) + L" --mode " + Mode + L" --delay 1500",
            moduleLog_) &&
        PumpUntil([&] { return ReadFileText(moduleLog_).find("module on") != std::string::npos || !module_.Running(); },
                  10000) &&
        module_.Running();
    if (!up) {
        All("the simulated module started", 0, 1);
        Detail("%s", ReadFileText(moduleLog_).c_str());
    }
    return up;
}

bool TUtilityRig::Start(std::uint32_t Port, std::uint32_t PeerPort, const std::wstring& Mode) {
    if (GetFileAttributesW((dir_ + L"Project2.exe").c_str()) == INVALID_FILE_ATTRIBUTES ||
        GetFileAttributesW((dir_ + L"nrsim.exe").c_str()) == INVALID_FILE_ATTRIBUTES) {
        All("Project2.exe and nrsim.exe beside this program", 0, 1);
        return false;
    }
    const std::wstring port = L"COM" + std::to_wstring(Port);
    RemoveStaleMapEntries(L"\\Device\\nrStressApp");
    listed_ = std::make_unique<TMapEntry>(L"\\Device\\nrStressApp" + std::to_wstring(Port), port);
    if (!StartModule(PeerPort, Mode)) return false;
    if (app_.Start(L"\"" + dir_ + L"Project2.exe\"", L""))
        PumpUntil([&] { return (main_ = win_window::MainWindow(app_.Id())) != nullptr || !app_.Running(); }, 30000);
    HWND box = main_ ? FindChild(main_, L"ComboBox") : nullptr;
    start_ = main_ ? FindChild(main_, L"Button", L"START") : nullptr;
    clear_ = main_ ? FindChild(main_, L"Button", L"Clear Log") : nullptr;
    log_ = main_ ? FindChild(main_, L"Edit", nullptr, ES_MULTILINE) : nullptr;
    if (!box || !start_ || !clear_ || !log_) {
        All("the utility's window with its port box, START, Clear Log and log", 0, 1);
        return false;
    }
    return All(("the utility lists " + Narrow(port) + " and it can be picked").c_str(), PickPort(box, port), 1);
}

bool TUtilityRig::Press(const wchar_t* Expected, std::wstring& What) {
    What.clear();
    // The window takes input again once the previous cycle has ended.
    if (!PumpUntil([&] { return IsWindowEnabled(main_) != FALSE; }, 10000)) {
        What = L"the window stayed disabled";
        return false;
    }
    // The user clears a long log now and then, so the pane is read whole.
    if (Ask(log_, WM_GETTEXTLENGTH) > kClearAt) Click(clear_);
    const LRESULT from = std::max<LRESULT>(Ask(log_, WM_GETTEXTLENGTH), 0);
    if (!Click(start_)) {
        What = L"START did not answer";
        return false;
    }
    std::wstring lines;
    const bool ended = PumpUntil(
        [&] {
            if (Ask(log_, WM_GETTEXTLENGTH) <= from) return false;
            lines = win_window::TextOf(log_).substr(static_cast<size_t>(from));
            for (const wchar_t* o : kOutcomes)
                if (lines.find(o) != std::wstring::npos) return true;
            return false;
        },
        8000);
    What = ended ? lines : L"no outcome within 8 s: " + lines;
    return ended && lines.find(Expected) != std::wstring::npos && Count(lines, L"Error") == Count(Expected, L"Error");
}

int TUtilityRig::FramesReceived() { return Count(fw::Widen(ReadFileText(moduleLog_)), L"RX AA 55 01 00 (DAF)"); }

bool TUtilityRig::Exit() {
    if (main_) Click(FindChild(main_, L"Button", L"Exit"));
    const bool ended = PumpUntil([&] { return !app_.Running(); }, 15000);
    return ended && app_.End(0) == 0;
}

}  // namespace stress
