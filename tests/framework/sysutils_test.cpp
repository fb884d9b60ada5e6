// Tests of framework/sysutils.cpp.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>

#include "framework/sysutils.h"

using fw::EConvertError;
using fw::Format;

TEST(Format, IntegersTextsAndPadding) {
    EXPECT_EQ(Format(L"Fatal Error: %u, %u, %s", {5u, 0u, L"x"}), L"Fatal Error: 5, 0, x");
    EXPECT_EQ(Format(L"%d|%5d|%-5d|%.3d", {-7, 42, 42, 7}), L"-7|   42|42   |007");
    EXPECT_EQ(Format(L"%2X %2X %x", {0xA, 0xAC, 0xAC}), L" A AC ac");
    EXPECT_EQ(Format(L"%.2X", {0x5}), L"05");
    EXPECT_EQ(Format(L"%u", {-1}), L"4294967295");
    EXPECT_EQ(Format(L"[%6s][%-6s][%.2s]", {L"ab", L"ab", L"abcd"}), L"[    ab][ab    ][ab]");
    EXPECT_EQ(Format(L"100%%", {}), L"100%");
}

TEST(Format, MismatchesRaiseConvertError) {
    EXPECT_THROW(Format(L"%d", {L"text"}), EConvertError);
    EXPECT_THROW(Format(L"%s", {3}), EConvertError);
    EXPECT_THROW(Format(L"%d %d", {3}), EConvertError);
    EXPECT_THROW(Format(L"%q", {3}), EConvertError);
    EXPECT_THROW(Format(L"50%", {}), EConvertError);
}

TEST(Format, WideValuesAreNotCutToThirtyTwoBits) {
    EXPECT_EQ(Format(L"%u", {5000000000ULL}), L"5000000000");
    EXPECT_EQ(Format(L"%x", {0x123456789ULL}), L"123456789");
    EXPECT_EQ(Format(L"%d", {static_cast<long long>(INT64_MIN)}), L"-9223372036854775808");
    EXPECT_EQ(Format(L"%X", {-2}), L"FFFFFFFE");
}

TEST(Format, MessageNamesTheFormat) {
    try {
        Format(L"Port %d", {L"COM1"});
        FAIL() << "no exception";
    } catch (const EConvertError& e) {
        EXPECT_NE(e.Message().find(L"Port %d"), std::wstring::npos);
    }
}

TEST(StrToInt, AcceptsOnlyDecimalIntegersInRange) {
    EXPECT_EQ(fw::StrToInt(L"0"), 0);
    EXPECT_EQ(fw::StrToInt(L"-17"), -17);
    EXPECT_EQ(fw::StrToInt(L"+17"), 17);
    EXPECT_EQ(fw::StrToInt(L"  42"), 42);
    EXPECT_EQ(fw::StrToInt(L"007"), 7);
    EXPECT_EQ(fw::StrToInt(L"2147483647"), 2147483647);
    EXPECT_EQ(fw::StrToInt(L"-2147483648"), INT32_MIN);
    for (const wchar_t* bad : {L"", L" ", L"-", L"+", L"12a", L"1 2", L"42 ", L"0x10", L"1.5", L"2147483648",
                               L"-2147483649", L"99999999999999999999", L"\x0663"}) {
        EXPECT_THROW(fw::StrToInt(bad), EConvertError) << fw::NarrowUtf8(bad);
        std::int32_t v = 123;
        EXPECT_FALSE(fw::TryStrToInt(bad, v));
        EXPECT_EQ(v, 123);
    }
    try {
        fw::StrToInt(L"COM");
        FAIL() << "no exception";
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), L"'COM' is not a valid integer value");
    }
}

TEST(SysUtils, TextHelpers) {
    EXPECT_EQ(fw::IntToStr(-12), L"-12");
    EXPECT_EQ(fw::AnsiUpperAscii(L"com3 \x00e9"), L"COM3 \x00e9");
    EXPECT_TRUE(fw::SameTextAscii(L"Usb", L"uSB"));
    EXPECT_FALSE(fw::SameTextAscii(L"usb", L"usb "));
    EXPECT_EQ(fw::Widen("\xAA\x0C"), std::wstring(L"\x00AA\x000C"));
    EXPECT_EQ(fw::NarrowUtf8(L"\x00e9"), "\xC3\xA9");
    fw::Exception e(L"caf\x00e9");
    EXPECT_STREQ(e.what(), "caf\xC3\xA9");
    try {
        throw std::runtime_error("plain");
    } catch (...) {
        EXPECT_EQ(fw::CurrentExceptionMessage(), L"plain");
    }
    try {
        throw 5;
    } catch (...) {
        EXPECT_EQ(fw::CurrentExceptionMessage(), L"Unknown exception");
    }
}
