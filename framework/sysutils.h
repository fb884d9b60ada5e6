// Exceptions, formatting and conversions of the framework.
#pragma once

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <string>
#include <variant>

namespace fw {

// Base of every exception the framework and the library raise.
class Exception : public std::exception {
public:
    explicit Exception(std::wstring msg);
    const std::wstring& Message() const { return msg_; }
    void SetMessage(std::wstring m);
    const char* what() const noexcept override { return narrow_.c_str(); }

private:
    std::wstring msg_;
    std::string narrow_;
};

class EConvertError : public Exception {
    using Exception::Exception;
};
class EListError : public Exception {
    using Exception::Exception;
};
class EAbstractError : public Exception {
    using Exception::Exception;
};
class EOSError : public Exception {
public:
    EOSError(std::wstring msg, std::uint32_t code) : Exception(std::move(msg)), code_(code) {}
    std::uint32_t ErrorCode() const { return code_; }

private:
    std::uint32_t code_;
};

// One format argument: an integer or a text.
class TVarRec {
public:
    TVarRec(int v) : v_(static_cast<std::int64_t>(v)) {}
    TVarRec(long v) : v_(static_cast<std::int64_t>(v)) {}
    TVarRec(long long v) : v_(static_cast<std::int64_t>(v)) {}
    TVarRec(unsigned v) : v_(static_cast<std::int64_t>(v)) {}
    TVarRec(unsigned long v) : v_(static_cast<std::int64_t>(v)) {}
    TVarRec(unsigned long long v) : v_(static_cast<std::int64_t>(v)) {}
    TVarRec(std::wstring s) : v_(std::move(s)) {}
    TVarRec(const wchar_t* s) : v_(std::wstring(s ? s : L"")) {}
    bool IsText() const { return std::holds_alternative<std::wstring>(v_); }
    std::int64_t Int() const { return std::get<std::int64_t>(v_); }
    const std::wstring& Text() const { return std::get<std::wstring>(v_); }

private:
    std::variant<std::int64_t, std::wstring> v_;
};

// Format with %d %u %x %X %s, optional '-', width and .precision
// (width pads with blanks, precision of a number with zeros), and %%.
// A mismatched or missing argument raises EConvertError.
std::wstring Format(const std::wstring& fmt, std::initializer_list<TVarRec> args);

// Strict decimal conversion; anything else raises EConvertError.
std::int32_t StrToInt(const std::wstring& s);
bool TryStrToInt(const std::wstring& s, std::int32_t& out);
std::wstring IntToStr(std::int64_t v);

// Upper/lower case of ASCII letters only.
std::wstring AnsiUpperAscii(std::wstring s);
bool SameTextAscii(const std::wstring& a, const std::wstring& b);

// Text of a caught exception, for error displays and logs.
std::wstring CurrentExceptionMessage();

std::wstring Widen(const std::string& s);  // bytes as Latin-1 characters
std::string NarrowUtf8(const std::wstring& s);

}  // namespace fw
