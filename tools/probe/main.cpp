// Looks at a running programming window from outside, for scripts that drive
// it with real mouse clicks: where a button is on the screen, what the log
// pane says.
//   nrprobe wait SECONDS        wait until the window is shown with its port list
//   nrprobe rect CAPTION        screen rectangle of the child with that caption: "left top width height"
//   nrprobe log                 the text of the log pane
//   nrprobe title               the window caption
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

const wchar_t kCaptionStart[] = L" KORVANTE v5 - ";

BOOL CALLBACK MatchMain(HWND h, LPARAM p) {
    wchar_t buf[128] = {};
    GetWindowTextW(h, buf, 128);
    if (IsWindowVisible(h) && wcsncmp(buf, kCaptionStart, wcslen(kCaptionStart)) == 0) {
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

std::wstring ClassOf(HWND h) {
    wchar_t buf[64] = {};
    GetClassNameW(h, buf, 64);
    return buf;
}

std::wstring TextOf(HWND h) {
    LRESULT n = SendMessageW(h, WM_GETTEXTLENGTH, 0, 0);
    std::wstring s(static_cast<size_t>(n) + 1, L'\0');
    SendMessageW(h, WM_GETTEXT, s.size(), reinterpret_cast<LPARAM>(s.data()));
    s.resize(wcslen(s.c_str()));
    return s;
}

struct TFind {
    std::wstring caption;
    std::wstring cls;
    DWORD style = 0;
    HWND found = nullptr;
};

BOOL CALLBACK MatchChild(HWND h, LPARAM p) {
    auto* f = reinterpret_cast<TFind*>(p);
    bool ok = true;
    if (!f->cls.empty()) ok = ok && _wcsicmp(ClassOf(h).c_str(), f->cls.c_str()) == 0;
    if (!f->caption.empty()) ok = ok && TextOf(h) == f->caption;
    if (f->style) ok = ok && (static_cast<DWORD>(GetWindowLongW(h, GWL_STYLE)) & f->style) == f->style;
    if (ok) {
        f->found = h;
        return FALSE;
    }
    return TRUE;
}

HWND FindChild(HWND parent, TFind f) {
    EnumChildWindows(parent, &MatchChild, reinterpret_cast<LPARAM>(&f));
    return f.found;
}

void PrintUtf8(const std::wstring& s) {
    int n = WideCharToMultiByte(CP_UTF8, 0, s.c_str(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, s.c_str(), static_cast<int>(s.size()), out.data(), n, nullptr, nullptr);
    std::fwrite(out.data(), 1, out.size(), stdout);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring cmd = argc > 1 ? argv[1] : L"";
    if (cmd == L"wait") {
        DWORD ms = (argc > 2 ? _wtoi(argv[2]) : 20) * 1000;
        DWORD start = GetTickCount();
        while (GetTickCount() - start < ms) {
            HWND h = FindMain();
            HWND box = h ? FindChild(h, {L"", L"ComboBox", 0, nullptr}) : nullptr;
            if (box && SendMessageW(box, CB_GETCOUNT, 0, 0) != CB_ERR) {
                std::printf("%lu\n", static_cast<unsigned long>(GetTickCount() - start));
                return 0;
            }
            Sleep(20);
        }
        std::fprintf(stderr, "no programming window\n");
        return 1;
    }
    HWND main = FindMain();
    if (!main) {
        std::fprintf(stderr, "no programming window\n");
        return 1;
    }
    if (cmd == L"rect" && argc > 2) {
        HWND c = FindChild(main, {argv[2], L"", 0, nullptr});
        if (!c) {
            std::fprintf(stderr, "no control captioned that\n");
            return 1;
        }
        RECT r;
        GetWindowRect(c, &r);
        std::printf("%ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
        return 0;
    }
    if (cmd == L"log") {
        HWND e = FindChild(main, {L"", L"Edit", ES_MULTILINE, nullptr});
        if (!e) {
            std::fprintf(stderr, "no log pane\n");
            return 1;
        }
        PrintUtf8(TextOf(e));
        return 0;
    }
    if (cmd == L"title") {
        PrintUtf8(TextOf(main));
        std::printf("\n");
        return 0;
    }
    std::fprintf(stderr, "usage: nrprobe wait SECONDS | rect CAPTION | log | title\n");
    return 2;
}
