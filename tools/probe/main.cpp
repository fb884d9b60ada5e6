// Looks at a running programming window from outside, for scripts that drive
// it with real mouse clicks: where a control is on the screen, what the log
// pane and the port box show. Output is plain "\n"-separated UTF-8.
//   nrprobe wait SECONDS             wait until the window is shown with its port list; prints the ms waited
//   nrprobe rect CAPTION             screen rectangle of the child with that caption: "left top width height"
//   nrprobe press CAPTION            click the button with that caption without a mouse (no display needed)
//   nrprobe window                   screen rectangle of the window itself
//   nrprobe client L T W H           screen rectangle of a rectangle given in client pixels
//   nrprobe boxrect                  screen rectangle of the port box
//   nrprobe item TEXT                screen rectangle of that entry in the dropped-down port list
//   nrprobe box                      the port box's entries, one a line, the selected one marked "*"
//   nrprobe list                     the make list, the same way
//   nrprobe log                      the log pane, one line each
//   nrprobe until SECONDS FROM TEXT...
//                                    wait until a log line at index FROM or later contains one of the
//                                    texts; prints that line (exit 1 on time-out, 3 when the window is gone)
//   nrprobe enabled                  "1" when the window takes input, else "0"
//   nrprobe paint                    have the window repaint itself now (before a screenshot)
//   nrprobe title                    the window caption
//   nrprobe checked CAPTION          "1" when the check box with that caption is ticked, else "0"
//   nrprobe labels                   the texts of the window's labels, one a line
//   nrprobe version FILE             ProductName, FileVersion and FileDescription of a program file
// NR_PROBE_TITLE names another window to look at: the start of its caption.
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <vector>

#include "../common/win_window.h"

namespace {

using win_window::ClassOf;

std::wstring CaptionStart() {
    wchar_t buf[256];
    const DWORD n = GetEnvironmentVariableW(L"NR_PROBE_TITLE", buf, 256);
    return n > 0 && n < 256 ? std::wstring(buf, n) : L" KORVANTE v5 - ";
}

// Scripts ask in polling loops: a hung window costs a question at most this.
constexpr UINT kAnswerMs = 2000;

std::wstring TextOf(HWND h) { return win_window::TextOf(h, kAnswerMs); }

BOOL CALLBACK MatchMain(HWND h, LPARAM p) {
    // The application's own hidden window carries the same title: only a
    // visible window with controls is the programming window.
    if (IsWindowVisible(h) && GetWindow(h, GW_CHILD) && TextOf(h).rfind(CaptionStart(), 0) == 0) {
        *reinterpret_cast<HWND*>(p) = h;
        return FALSE;
    }
    return TRUE;
}

HWND FindMain() {
    HWND found = nullptr;
    EnumWindows(&MatchMain, reinterpret_cast<LPARAM>(&found));
    return found;
}

HWND FindChild(HWND parent, const wchar_t* cls, const wchar_t* text = nullptr, DWORD style = 0) {
    return win_window::FindChild(parent, cls, text, style, kAnswerMs);
}

struct TDropList {
    DWORD process;
    HWND found;
};

BOOL CALLBACK MatchDropList(HWND h, LPARAM p) {
    auto* d = reinterpret_cast<TDropList*>(p);
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    if (pid == d->process && IsWindowVisible(h) && _wcsicmp(ClassOf(h).c_str(), L"ComboLBox") == 0) {
        d->found = h;
        return FALSE;
    }
    return TRUE;
}

HWND FindBox(HWND main) { return FindChild(main, L"ComboBox"); }
HWND FindLog(HWND main) { return FindChild(main, L"Edit", nullptr, ES_MULTILINE); }

void PrintUtf8(const std::wstring& s) {
    int n = WideCharToMultiByte(CP_UTF8, 0, s.c_str(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, s.c_str(), static_cast<int>(s.size()), out.data(), n, nullptr, nullptr);
    std::fwrite(out.data(), 1, out.size(), stdout);
}

void PrintRect(const RECT& r) { std::printf("%ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top); }

std::vector<std::wstring> LogLines(HWND log) {
    std::vector<std::wstring> lines;
    const std::wstring text = TextOf(log);
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find(L'\n', at);
        if (end == std::wstring::npos) end = text.size();
        std::wstring line = text.substr(at, end - at);
        while (!line.empty() && line.back() == L'\r') line.pop_back();
        lines.push_back(line);
        at = end + 1;
    }
    return lines;
}

std::wstring BoxEntry(HWND box, int i) {
    LRESULT n = SendMessageW(box, CB_GETLBTEXTLEN, i, 0);
    if (n == CB_ERR) return {};
    std::wstring s(static_cast<size_t>(n) + 1, L'\0');
    SendMessageW(box, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(s.data()));
    s.resize(wcslen(s.c_str()));
    return s;
}

int Fail(const char* why) {
    std::fprintf(stderr, "nrprobe: %s\n", why);
    return 1;
}

// The strings of a program file's version resource.
int Version(const wchar_t* File) {
    DWORD ignored = 0;
    std::vector<BYTE> info(GetFileVersionInfoSizeW(File, &ignored));
    if (info.empty() || !GetFileVersionInfoW(File, 0, static_cast<DWORD>(info.size()), info.data()))
        return Fail("no version resource");
    for (const wchar_t* name : {L"ProductName", L"FileVersion", L"FileDescription"}) {
        wchar_t* value = nullptr;
        UINT len = 0;
        const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
        if (!VerQueryValueW(info.data(), path.c_str(), reinterpret_cast<void**>(&value), &len)) value = nullptr;
        PrintUtf8(std::wstring(name) + L": " + (value ? value : L"") + L"\n");
    }
    return 0;
}

int Wait(DWORD ms) {
    const DWORD start = GetTickCount();
    for (;;) {
        HWND h = FindMain();
        HWND box = h ? FindBox(h) : nullptr;
        if (box && SendMessageW(box, CB_GETCOUNT, 0, 0) != CB_ERR) {
            std::printf("%lu\n", static_cast<unsigned long>(GetTickCount() - start));
            return 0;
        }
        if (GetTickCount() - start >= ms) return Fail("no programming window");
        Sleep(10);
    }
}

int Until(DWORD ms, size_t from, const std::vector<std::wstring>& texts) {
    const DWORD start = GetTickCount();
    for (;;) {
        HWND main = FindMain();
        HWND log = main ? FindLog(main) : nullptr;
        if (!log) {
            std::fprintf(stderr, "nrprobe: the programming window is gone\n");
            return 3;
        }
        const auto lines = LogLines(log);
        for (size_t i = from; i < lines.size(); ++i)
            for (const auto& t : texts)
                if (lines[i].find(t) != std::wstring::npos) {
                    PrintUtf8(lines[i] + L"\n");
                    return 0;
                }
        if (GetTickCount() - start >= ms) return Fail("time-out waiting for the log");
        Sleep(10);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    const std::wstring cmd = argc > 1 ? argv[1] : L"";
    if (cmd == L"wait") return Wait(static_cast<DWORD>(argc > 2 ? _wtoi(argv[2]) : 20) * 1000);
    if (cmd == L"until" && argc > 4) {
        std::vector<std::wstring> texts(argv + 4, argv + argc);
        return Until(static_cast<DWORD>(_wtoi(argv[2])) * 1000, static_cast<size_t>(_wtoi(argv[3])), texts);
    }

    if (cmd == L"version" && argc > 2) return Version(argv[2]);

    HWND main = FindMain();
    if (!main) return Fail("no programming window");
    if (cmd == L"rect" && argc > 2) {
        HWND c = FindChild(main, nullptr, argv[2]);
        if (!c) return Fail("no control captioned that");
        RECT r;
        GetWindowRect(c, &r);
        PrintRect(r);
        return 0;
    }
    if (cmd == L"press" && argc > 2) {
        HWND c = FindChild(main, L"Button", argv[2]);
        if (!c) return Fail("no button captioned that");
        PostMessageW(c, BM_CLICK, 0, 0);
        return 0;
    }
    if (cmd == L"window") {
        RECT r;
        GetWindowRect(main, &r);
        PrintRect(r);
        return 0;
    }
    if (cmd == L"client" && argc > 5) {
        POINT o{0, 0};
        ClientToScreen(main, &o);
        const long l = o.x + _wtol(argv[2]), t = o.y + _wtol(argv[3]);
        PrintRect({l, t, l + _wtol(argv[4]), t + _wtol(argv[5])});
        return 0;
    }
    if (cmd == L"boxrect") {
        HWND box = FindBox(main);
        if (!box) return Fail("no port box");
        RECT r;
        GetWindowRect(box, &r);
        PrintRect(r);
        return 0;
    }
    if (cmd == L"paint") {
        // Sent to the window's thread: returns once it has painted.
        RedrawWindow(main, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
        return 0;
    }
    if (cmd == L"item" && argc > 2) {
        // The dropped-down list is a top-level window of the program's own.
        TDropList d{};
        GetWindowThreadProcessId(main, &d.process);
        EnumWindows(&MatchDropList, reinterpret_cast<LPARAM>(&d));
        if (!d.found) return Fail("the port list is not dropped down");
        const LRESULT i =
            SendMessageW(d.found, LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(argv[2]));
        RECT r{};
        if (i == LB_ERR || SendMessageW(d.found, LB_GETITEMRECT, i, reinterpret_cast<LPARAM>(&r)) == LB_ERR)
            return Fail("no such entry");
        MapWindowPoints(d.found, nullptr, reinterpret_cast<POINT*>(&r), 2);
        PrintRect(r);
        return 0;
    }
    if (cmd == L"box") {
        HWND box = FindBox(main);
        if (!box) return Fail("no port box");
        const LRESULT n = SendMessageW(box, CB_GETCOUNT, 0, 0);
        const LRESULT sel = SendMessageW(box, CB_GETCURSEL, 0, 0);
        for (LRESULT i = 0; i < n; ++i)
            PrintUtf8((i == sel ? L"*" : L" ") + BoxEntry(box, static_cast<int>(i)) + L"\n");
        return 0;
    }
    if (cmd == L"list") {
        HWND list = FindChild(main, L"ListBox");
        if (!list) return Fail("no make list");
        const LRESULT n = SendMessageW(list, LB_GETCOUNT, 0, 0);
        const LRESULT sel = SendMessageW(list, LB_GETCURSEL, 0, 0);
        for (LRESULT i = 0; i < n; ++i) {
            const LRESULT len = SendMessageW(list, LB_GETTEXTLEN, i, 0);
            std::wstring t(len == LB_ERR ? 0 : static_cast<size_t>(len) + 1, L'\0');
            if (!t.empty()) SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(t.data()));
            t.resize(wcslen(t.c_str()));
            PrintUtf8((i == sel ? L"*" : L" ") + t + L"\n");
        }
        return 0;
    }
    if (cmd == L"log") {
        HWND e = FindLog(main);
        if (!e) return Fail("no log pane");
        for (const auto& l : LogLines(e)) PrintUtf8(l + L"\n");
        return 0;
    }
    if (cmd == L"enabled") {
        std::printf("%d\n", IsWindowEnabled(main) ? 1 : 0);
        return 0;
    }
    if (cmd == L"checked" && argc > 2) {
        HWND c = FindChild(main, L"Button", argv[2], BS_CHECKBOX);
        if (!c) return Fail("no check box captioned that");
        std::printf("%d\n", SendMessageW(c, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0);
        return 0;
    }
    if (cmd == L"labels") {
        for (HWND c = GetWindow(main, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
            if (_wcsicmp(ClassOf(c).c_str(), L"Static") == 0) PrintUtf8(TextOf(c) + L"\n");
        return 0;
    }
    if (cmd == L"title") {
        PrintUtf8(TextOf(main) + L"\n");
        return 0;
    }
    std::fprintf(stderr,
                 "usage: nrprobe wait SECONDS | rect CAPTION | press CAPTION | window | item TEXT | box | list | log | "
                 "client L T W H | boxrect | until SECONDS FROM TEXT... | enabled | paint | title | checked CAPTION | "
                 "labels | version FILE\n");
    return 2;
}
