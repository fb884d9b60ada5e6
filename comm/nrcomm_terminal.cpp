// The port engine: the terminal binding. An edit control whose typed keys
// are sent to the port and into which received bytes are written.
#include <string>

#include "../framework/controls.h"
#include "nrcomm.h"

namespace nr {

// The control's messages reach the engine through a comctl32 subclass: it
// chains with any other hook on the window (another component's included)
// and can be taken off in any order.
struct TTerminalHook {
    static LRESULT CALLBACK Proc(HWND h, UINT Msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR Ref) {
        auto* com = reinterpret_cast<TnrCustomComm*>(Ref);
        if (Msg == WM_NCDESTROY) {
            // The window goes before the control tells us it does.
            com->UnhookTerminal();
            com->hTerminal = nullptr;
            return Win32.DefSubclassProc(h, Msg, wp, lp);
        }
        fw::TMessage m{Msg, wp, lp, 0};
        // Nothing leaves a window procedure: a failure on the way (a handler
        // of a send error that raises) is reported as a dispatch's would be.
        try {
            com->TerminalWndProc(m);
        } catch (...) {
            com->ReportHandlerException();
        }
        return m.Result;
    }

    static bool Install(TnrCustomComm* com, HWND h) {
        return Win32.SetWindowSubclass(h, &Proc, Id(com), reinterpret_cast<DWORD_PTR>(com)) != FALSE;
    }
    static void Remove(TnrCustomComm* com, HWND h) { Win32.RemoveWindowSubclass(h, &Proc, Id(com)); }
    static UINT_PTR Id(TnrCustomComm* com) { return reinterpret_cast<UINT_PTR>(com); }
};

namespace {

bool IsHighSurrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Characters beyond 0xFF in the ANSI code page, the one received bytes are
// shown in. No best-fit substitutes: what cannot be sent as itself is '?'.
std::string ToAnsi(const wchar_t* s, int n) {
    char buf[8];
    BOOL usedDefault = FALSE;
    int k = Win32.WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, s, n, buf, sizeof buf, "?", &usedDefault);
    // Code pages such as UTF-8 take no flags and no default character.
    if (k == 0) k = Win32.WideCharToMultiByte(CP_ACP, 0, s, n, buf, sizeof buf, nullptr, nullptr);
    if (k <= 0 || usedDefault) return "?";
    return std::string(buf, static_cast<std::size_t>(k));
}

bool Sends(TTerminalUsage u) { return u == tuSend || u == tuBoth; }
bool Shows(TTerminalUsage u) { return u == tuReceive || u == tuBoth; }

}  // namespace

void TnrCustomComm::BindTerminal(fw::TWinControl* Value) {
    // The window first: when it cannot be made, the binding stays as it was.
    const HWND h = Value ? Value->Handle() : nullptr;
    UnhookTerminal();
    hTerminal = nullptr;
    fTerminal = Value;
    if (Value && !TTerminalHook::Install(this, h)) {
        fTerminal = nullptr;
        throw fw::EOSError(L"Cannot hook the terminal control", Win32.GetLastError());
    }
    hTerminalHooked = h;
    if (Value && Designing() && fTerminalUsage == tuNone) fTerminalUsage = tuBoth;
    ApplyTerminalUsage(fTerminalUsage);
    if (Value) FreeNotification(Value);
}

void TnrCustomComm::ApplyTerminalUsage(TTerminalUsage Value) {
    fTerminalUsage = Value;
    fTypedHighSurrogate = 0;
    if (!fTerminal) return;
    hTerminal = Shows(Value) ? static_cast<fw::TWinControl*>(fTerminal)->Handle() : nullptr;
}

// Binding applies the usage too.
void TnrCustomComm::ReapplyTerminal() { BindTerminal(static_cast<fw::TWinControl*>(fTerminal)); }

void TnrCustomComm::UnhookTerminal() {
    if (hTerminalHooked) TTerminalHook::Remove(this, hTerminalHooked);
    hTerminalHooked = nullptr;
    fTypedHighSurrogate = 0;
}

void TnrCustomComm::TerminalWndProc(fw::TMessage& Message) {
    if (Message.Msg == WM_CHAR && !fTerminalLocked && Sends(fTerminalUsage)) {
        SendTyped(static_cast<wchar_t>(Message.WParam & 0xFFFF));
        // Without echo the control shows only what comes back from the port.
        if (!fTerminalEcho) {
            Message.Result = 0;
            return;
        }
    }
    Message.Result = Win32.DefSubclassProc(hTerminalHooked, Message.Msg, Message.WParam, Message.LParam);
}

void TnrCustomComm::SendTyped(wchar_t Ch) {
    std::string bytes;
    if (fTypedHighSurrogate && !IsLowSurrogate(Ch)) bytes = "?";  // half a character
    if (IsHighSurrogate(Ch)) {
        fTypedHighSurrogate = Ch;  // sent with its second half
    } else if (IsLowSurrogate(Ch)) {
        const wchar_t pair[2] = {fTypedHighSurrogate, Ch};
        bytes += fTypedHighSurrogate ? ToAnsi(pair, 2) : "?";
        fTypedHighSurrogate = 0;
    } else {
        fTypedHighSurrogate = 0;
        bytes += Ch <= 0xFF ? std::string(1, static_cast<char>(Ch)) : ToAnsi(&Ch, 1);
    }
    if (bytes.size() == 1)
        SendChar(static_cast<unsigned char>(bytes[0]));
    else if (!bytes.empty())
        SendString(bytes);
}

}  // namespace nr
