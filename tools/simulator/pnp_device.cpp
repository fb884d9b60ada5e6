// The simulated serial Plug-and-Play device. It stands for hardware outside
// the system, so it works the port with plain Win32 calls only.
//
// The host's DTR shows here as DSR, its RTS as CTS (a null-modem cable). The
// device counts as powered down once both are off; the power-up that follows
// is either the enumerator's signature (DTR first, RTS some time later) or
// both lines rising together (the second attempt, or a port being opened).
#include "pnp_device.h"

#include <cstdarg>
#include <cstdio>

#include "../common/serial_line.h"

namespace pnpsim {

namespace {

// Both lines rising this close together are one power-up.
constexpr DWORD kTogetherMs = 50;

void Say(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vprintf(fmt, ap);
    va_end(ap);
    std::printf("\n");
    std::fflush(stdout);
}

// What the device sends for a power-up it answers; empty: it stays silent.
std::string Answer(const TOptions& o) {
    const std::string rev = "\x01\x24";  // revision 1.00, 6 bits in each byte
    switch (o.Variant) {
        case TVariant::Id:
        case TVariant::Late:
        case TVariant::Endless: return "(" + rev + o.Id + (o.Variant == TVariant::Endless ? "" : ")");
        case TVariant::Other: return "M(" + rev + o.Id + ")";
        case TVariant::Id6: {
            std::string s = "\x08" + rev;
            for (char c : o.Id) s += static_cast<char>(c - 0x20);
            return s + "\x09";
        }
        case TVariant::Silent:
        case TVariant::NoDsr: break;
    }
    return {};
}

bool Answers(TVariant v, bool together) {
    if (v == TVariant::Silent || v == TVariant::NoDsr) return false;
    return v == TVariant::Late ? together : !together;
}

class TDevice {
public:
    explicit TDevice(const TOptions& o) : o_(o), answer_(Answer(o)) {}
    ~TDevice() {
        if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    }

    bool Open() {
        h_ = serial_line::OpenSet(o_.Port, 0, 1200, 7, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE);
        if (h_ == INVALID_HANDLE_VALUE) return false;
        COMMTIMEOUTS t{};
        t.WriteTotalTimeoutConstant = 1000;
        SetCommTimeouts(h_, &t);
        SetDtr(o_.Variant != TVariant::NoDsr && o_.DsrDelayMs == 0);
        return true;
    }

    // One look at the lines, and the character due, if any. False when the line is gone.
    bool Step() {
        DWORD st = 0;
        if (!GetCommModemStatus(h_, &st)) return Gone("modem status");
        const DWORD now = GetTickCount();
        const bool dtr = (st & MS_DSR_ON) != 0, rts = (st & MS_CTS_ON) != 0;
        if (dtr && !dtr_) dtrRise_ = now;
        if (rts && !rts_) rtsRise_ = now;
        dtr_ = dtr;
        rts_ = rts;
        FollowDtr(now);
        if (sending_ && !(dtr && rts)) {
            Say("host dropped %s: stopped after %u characters", dtr ? "RTS" : "DTR", sent_);
            sending_ = false;
        }
        if (!dtr && !rts && !poweredDown_) {
            poweredDown_ = true;
            Say("host powered the device down");
        }
        if (poweredDown_ && dtr && rts) PoweredUp(now);
        return !sending_ || SendDue(now);
    }

private:
    void SetDtr(bool on) {
        if (on == myDtr_) return;
        EscapeCommFunction(h_, on ? SETDTR : CLRDTR);
        myDtr_ = on;
    }

    // A device powered from the host's DTR shows DSR only some time after it.
    void FollowDtr(DWORD now) {
        if (o_.DsrDelayMs == 0 || o_.Variant == TVariant::NoDsr) return;
        SetDtr(dtr_ && now - dtrRise_ >= o_.DsrDelayMs);
    }

    void PoweredUp(DWORD now) {
        poweredDown_ = false;
        const bool together = (dtrRise_ > rtsRise_ ? dtrRise_ - rtsRise_ : rtsRise_ - dtrRise_) < kTogetherMs;
        const char* kind = together ? "DTR and RTS together" : "DTR, then RTS";
        if (!Answers(o_.Variant, together) || answer_.empty()) {
            Say("host powered the device up (%s): no answer", kind);
            return;
        }
        Say("host powered the device up (%s): answering", kind);
        sending_ = true;
        sent_ = 0;
        start_ = now;
    }

    // Characters go out at the line's pace, one frame each.
    bool SendDue(DWORD now) {
        const bool endless = o_.Variant == TVariant::Endless;
        while (sending_ && (now - start_) >= static_cast<DWORD>(sent_ * o_.CharMs)) {
            if (!endless && sent_ >= answer_.size()) {
                Say("sent %s", serial_line::Hex(answer_).c_str());
                sending_ = false;
                break;
            }
            const char c =
                sent_ < answer_.size() ? answer_[sent_] : static_cast<char>('0' + (sent_ - answer_.size()) % 10);
            DWORD n = 0;
            if (!WriteFile(h_, &c, 1, &n, nullptr) || n != 1) return Gone("write");
            ++sent_;
        }
        return true;
    }

    bool Gone(const char* what) {
        Say("the line went away (%s: error %lu)", what, GetLastError());
        return false;
    }

    const TOptions& o_;
    const std::string answer_;
    HANDLE h_ = INVALID_HANDLE_VALUE;
    bool dtr_ = false, rts_ = false, myDtr_ = false;
    DWORD dtrRise_ = 0, rtsRise_ = 0;
    bool poweredDown_ = false;
    bool sending_ = false;
    unsigned sent_ = 0;
    DWORD start_ = 0;
};

const char* Name(TVariant v) {
    switch (v) {
        case TVariant::Id: return "pnp";
        case TVariant::Id6: return "pnp6";
        case TVariant::Other: return "pnp-other";
        case TVariant::Late: return "pnp-late";
        case TVariant::Silent: return "pnp-silent";
        case TVariant::NoDsr: return "pnp-nodsr";
        case TVariant::Endless: return "pnp-endless";
    }
    return "?";
}

}  // namespace

bool ParseVariant(const std::wstring& m, TVariant& v) {
    for (TVariant c : {TVariant::Id, TVariant::Id6, TVariant::Other, TVariant::Late, TVariant::Silent, TVariant::NoDsr,
                       TVariant::Endless}) {
        const std::string n = Name(c);
        if (m == std::wstring(n.begin(), n.end())) {
            v = c;
            return true;
        }
    }
    return false;
}

int Run(const TOptions& o, HANDLE Stop) {
    for (char c : o.Id) {
        if (c < 0x20 || c > 0x5F || c == '(' || c == ')') {
            Say("error: --id takes characters 0x20 to 0x5F, no parentheses");
            return 2;
        }
    }
    TDevice dev(o);
    if (!dev.Open()) {
        Say("error: cannot open COM%u (error %lu)", o.Port, GetLastError());
        return 1;
    }
    Say("device on COM%u at 1200 7N1 (%s)", o.Port, Name(o.Variant));
    const DWORD start = GetTickCount();
    // A millisecond's look at the lines: the host holds each state for 200 ms.
    while (WaitForSingleObject(Stop, 1) == WAIT_TIMEOUT) {
        if (o.Seconds && GetTickCount() - start >= o.Seconds * 1000) break;
        if (!dev.Step()) break;
    }
    Say("device stopped");
    return 0;
}

}  // namespace pnpsim
