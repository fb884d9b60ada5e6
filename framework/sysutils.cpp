#include "sysutils.h"

#include <windows.h>

namespace fw {

Exception::Exception(std::wstring msg) : msg_(std::move(msg)), narrow_(NarrowUtf8(msg_)) {}

void Exception::SetMessage(std::wstring m) {
    msg_ = std::move(m);
    narrow_ = NarrowUtf8(msg_);
}

namespace {

[[noreturn]] void BadFormat(const std::wstring& fmt) {
    throw EConvertError(L"Format '" + fmt + L"' invalid or incompatible with argument");
}

std::wstring Digits(std::uint64_t v, unsigned base, bool upper) {
    if (v == 0) return L"0";
    const wchar_t* d = upper ? L"0123456789ABCDEF" : L"0123456789abcdef";
    std::wstring r;
    while (v) {
        r.insert(r.begin(), d[v % base]);
        v /= base;
    }
    return r;
}

}  // namespace

std::wstring Format(const std::wstring& fmt, std::initializer_list<TVarRec> args) {
    std::wstring out;
    auto it = args.begin();
    for (size_t i = 0; i < fmt.size(); ++i) {
        wchar_t c = fmt[i];
        if (c != L'%') {
            out += c;
            continue;
        }
        if (++i >= fmt.size()) BadFormat(fmt);
        if (fmt[i] == L'%') {
            out += L'%';
            continue;
        }
        bool left = false;
        if (fmt[i] == L'-') {
            left = true;
            if (++i >= fmt.size()) BadFormat(fmt);
        }
        size_t width = 0;
        while (i < fmt.size() && fmt[i] >= L'0' && fmt[i] <= L'9') width = width * 10 + (fmt[i++] - L'0');
        long prec = -1;
        if (i < fmt.size() && fmt[i] == L'.') {
            prec = 0;
            ++i;
            while (i < fmt.size() && fmt[i] >= L'0' && fmt[i] <= L'9') prec = prec * 10 + (fmt[i++] - L'0');
        }
        if (i >= fmt.size() || it == args.end()) BadFormat(fmt);
        const TVarRec& a = *it++;
        std::wstring piece;
        switch (fmt[i]) {
            case L'd':
            case L'D':
            case L'u':
            case L'U':
            case L'x':
            case L'X': {
                if (a.IsText()) BadFormat(fmt);
                std::int64_t v = a.Int();
                wchar_t t = fmt[i];
                bool neg = false;
                std::uint64_t mag;
                if (t == L'd' || t == L'D') {
                    neg = v < 0;
                    mag = neg ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
                } else if (v < 0 && v >= INT32_MIN) {
                    mag = static_cast<std::uint32_t>(v);  // a negative 32-bit value as its bit pattern
                } else {
                    mag = static_cast<std::uint64_t>(v);  // wider values in full, never cut
                }
                piece = Digits(mag, (t == L'x' || t == L'X') ? 16 : 10, t == L'X');
                if (prec > 0 && piece.size() < static_cast<size_t>(prec)) piece.insert(0, prec - piece.size(), L'0');
                if (neg) piece.insert(piece.begin(), L'-');
                break;
            }
            case L's':
            case L'S':
                if (!a.IsText()) BadFormat(fmt);
                piece = a.Text();
                if (prec >= 0 && piece.size() > static_cast<size_t>(prec)) piece.resize(prec);
                break;
            default: BadFormat(fmt);
        }
        if (piece.size() < width) {
            if (left)
                piece.append(width - piece.size(), L' ');
            else
                piece.insert(0, width - piece.size(), L' ');
        }
        out += piece;
    }
    return out;
}

bool TryStrToInt(const std::wstring& s, std::int32_t& out) {
    size_t i = 0;
    while (i < s.size() && s[i] == L' ') ++i;
    bool neg = false;
    if (i < s.size() && (s[i] == L'-' || s[i] == L'+')) neg = s[i++] == L'-';
    if (i >= s.size()) return false;
    std::int64_t v = 0;
    for (; i < s.size(); ++i) {
        if (s[i] < L'0' || s[i] > L'9') return false;
        v = v * 10 + (s[i] - L'0');
        if (v > 0x80000000LL) return false;
    }
    if (neg) v = -v;
    if (v > 0x7FFFFFFFLL || v < -0x80000000LL) return false;
    out = static_cast<std::int32_t>(v);
    return true;
}

std::int32_t StrToInt(const std::wstring& s) {
    std::int32_t v = 0;
    if (!TryStrToInt(s, v)) throw EConvertError(L"'" + s + L"' is not a valid integer value");
    return v;
}

std::wstring IntToStr(std::int64_t v) { return std::to_wstring(v); }

std::wstring AnsiUpperAscii(std::wstring s) {
    for (auto& c : s)
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - 32);
    return s;
}

bool SameTextAscii(const std::wstring& a, const std::wstring& b) { return AnsiUpperAscii(a) == AnsiUpperAscii(b); }

std::wstring CurrentExceptionMessage() {
    try {
        throw;
    } catch (const Exception& e) {
        return e.Message();
    } catch (const std::exception& e) {
        return Widen(e.what());
    } catch (...) {
        return L"Unknown exception";
    }
}

std::wstring Widen(const std::string& s) {
    std::wstring r(s.size(), L'\0');
    for (size_t i = 0; i < s.size(); ++i) r[i] = static_cast<unsigned char>(s[i]);
    return r;
}

std::string NarrowUtf8(const std::wstring& s) {
    if (s.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
    std::string r(n > 0 ? n : 0, '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), r.data(), n, nullptr, nullptr);
    return r;
}

}  // namespace fw
