// The utility's window looked at from another program, as the scripted runs,
// the benchmark and the stress program drive it. Plain Win32.
#pragma once

#include <windows.h>

#include <string>

namespace win_window {

inline std::wstring ClassOf(HWND h) {
    wchar_t buf[64] = {};
    GetClassNameW(h, buf, 64);
    return buf;
}

// A window's text; empty when its thread does not answer within Ms.
inline std::wstring TextOf(HWND h, UINT Ms = 5000) {
    DWORD_PTR n = 0;
    if (!SendMessageTimeoutW(h, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, Ms, &n)) return {};
    std::wstring s(static_cast<size_t>(n) + 1, L'\0');
    DWORD_PTR got = 0;
    SendMessageTimeoutW(h, WM_GETTEXT, s.size(), reinterpret_cast<LPARAM>(s.data()), SMTO_ABORTIFHUNG, Ms, &got);
    s.resize(wcslen(s.c_str()));
    return s;
}

namespace detail {

struct TFindChild {
    const wchar_t* Class;
    const wchar_t* Text;
    DWORD Style;
    UINT Ms;
    HWND Found;
};

inline BOOL CALLBACK MatchChild(HWND h, LPARAM p) {
    auto* f = reinterpret_cast<TFindChild*>(p);
    if (f->Class && *f->Class && _wcsicmp(ClassOf(h).c_str(), f->Class) != 0) return TRUE;
    if ((static_cast<DWORD>(GetWindowLongW(h, GWL_STYLE)) & f->Style) != f->Style) return TRUE;
    // Last: the text is asked of the window's thread.
    if (f->Text && *f->Text && TextOf(h, f->Ms) != f->Text) return TRUE;
    f->Found = h;
    return FALSE;
}

struct TFindMain {
    DWORD Process;
    HWND Found;
};

inline BOOL CALLBACK MatchMain(HWND h, LPARAM p) {
    auto* f = reinterpret_cast<TFindMain*>(p);
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    // The window is up with its port list once its port box exists: the list
    // is loaded before the window is shown.
    if (pid == f->Process && IsWindowVisible(h) && FindWindowExW(h, nullptr, L"ComboBox", nullptr)) {
        f->Found = h;
        return FALSE;
    }
    return TRUE;
}

}  // namespace detail

// The first child (at any depth) of that class, with that text and with every
// bit of Style; a null or empty Class or Text matches any.
inline HWND FindChild(HWND Parent, const wchar_t* Class, const wchar_t* Text = nullptr, DWORD Style = 0,
                      UINT Ms = 5000) {
    detail::TFindChild f{Class, Text, Style, Ms, nullptr};
    EnumChildWindows(Parent, &detail::MatchChild, reinterpret_cast<LPARAM>(&f));
    return f.Found;
}

// The utility's window in that process once it is up with its port list; null before.
inline HWND MainWindow(DWORD Process) {
    detail::TFindMain f{Process, nullptr};
    EnumWindows(&detail::MatchMain, reinterpret_cast<LPARAM>(&f));
    return f.Found;
}

}  // namespace win_window
