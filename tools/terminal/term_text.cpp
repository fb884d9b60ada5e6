#include "term_text.h"

#include <windows.h>

#include <array>
#include <cwctype>

namespace nrterm {

namespace {

// Bytes are shown in the ANSI code page, as the edit control's own input is.
wchar_t Widen(unsigned char b) {
    static const std::array<wchar_t, 256> table = [] {
        std::array<wchar_t, 256> t{};
        for (int i = 0; i < 256; ++i) {
            const char c = static_cast<char>(i);
            if (MultiByteToWideChar(CP_ACP, 0, &c, 1, &t[i], 1) != 1) t[i] = static_cast<wchar_t>(i);
        }
        return t;
    }();
    return table[b];
}

int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    c = static_cast<wchar_t>(std::towlower(c));
    return c >= L'a' && c <= L'f' ? c - L'a' + 10 : -1;
}

// One token: "0D", "d", "0x0d" or a run of pairs "41420D".
bool ParseToken(std::wstring t, std::string& out) {
    if (t.size() > 2 && t[0] == L'0' && (t[1] == L'x' || t[1] == L'X')) t.erase(0, 2);
    if (t.size() == 1) t.insert(t.begin(), L'0');
    if (t.size() % 2) return false;
    for (std::size_t i = 0; i < t.size(); i += 2) {
        const int hi = HexDigit(t[i]), lo = HexDigit(t[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out += static_cast<char>(hi * 16 + lo);
    }
    return true;
}

}  // namespace

std::string LineEndBytes(TLineEnd End) {
    switch (End) {
        case TLineEnd::LF: return "\n";
        case TLineEnd::CRLF: return "\r\n";
        default: return "\r";
    }
}

std::optional<std::string> ParseHex(const std::wstring& Text) {
    std::string bytes;
    std::wstring token;
    for (std::size_t i = 0; i <= Text.size(); ++i) {
        const wchar_t c = i < Text.size() ? Text[i] : L' ';
        if (c != L' ' && c != L',' && c != L'\t') {
            token += c;
            continue;
        }
        if (!token.empty() && !ParseToken(token, bytes)) return std::nullopt;
        token.clear();
    }
    if (bytes.empty()) return std::nullopt;
    return bytes;
}

std::wstring TRxText::Show(const std::string& Bytes) {
    std::wstring out;
    out.reserve(Bytes.size() * (Hex ? 3 : 1) + 16);
    for (char c : Bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (Hex)
            HexByte(b, out);
        else
            Text(b, out);
    }
    return out;
}

void TRxText::Text(unsigned char b, std::wstring& out) {
    const bool afterCR = lastCR_;
    lastCR_ = b == '\r';
    if (Map == TRxMap::CR) {
        if (b == '\r') return void(out += L"\r\n");
        if (b == '\n' && afterCR) return;  // the pair is one line break
    } else if (Map == TRxMap::LF) {
        if (b == '\r') return;  // held: a CR LF is one line break
        if (afterCR && b != '\n') out += L'\r';
        if (b == '\n') return void(out += L"\r\n");
    }
    if (b) out += Widen(b);  // a NUL would end the control's text
}

void TRxText::HexByte(unsigned char b, std::wstring& out) {
    static const wchar_t kDigits[] = L"0123456789ABCDEF";
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
    if (++column_ == 16) {
        column_ = 0;
        out += L"\r\n";
    } else {
        out += L' ';
    }
}

std::string TStamper::Apply(const std::string& Bytes, const std::string& Stamp) {
    std::string out;
    out.reserve(Bytes.size() + Stamp.size());
    for (char c : Bytes) {
        if (atLineStart_) out += Stamp;
        out += c;
        atLineStart_ = c == '\n';
    }
    return out;
}

}  // namespace nrterm
