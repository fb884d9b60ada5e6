// The terminal's command line (term_options.cpp) and what it does to bytes
// (term_text.cpp): the forms other terminals' users type, hex, line endings.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "term_options.h"

using namespace nrterm;

namespace {

// The options given, in a fixed order; what was not given is left out.
std::wstring Describe(const TTermOptions& o) {
    std::wstring s = o.Port;
    auto add = [&s](const wchar_t* name, auto& v, auto text) {
        if (v) s += std::wstring(L" ") + name + text(*v);
    };
    add(L"b=", o.Baud, [](auto v) { return std::to_wstring(v); });
    add(L"d=", o.DataBits, [](auto v) { return std::to_wstring(v); });
    add(L"p=", o.Parity, [](auto v) { return std::wstring(1, L"NOEMS"[v]); });
    add(L"s=", o.StopBits, [](auto v) { return std::to_wstring(v); });
    add(L"f=", o.Flow, [](auto v) { return std::to_wstring(v); });
    add(L"dtr=", o.DTR, [](auto v) { return std::to_wstring(v); });
    add(L"rts=", o.RTS, [](auto v) { return std::to_wstring(v); });
    add(L"eol=", o.SendEnd, [](auto v) { return std::to_wstring(static_cast<int>(v)); });
    if (o.Echo) s += L" echo";
    if (!o.LogFile.empty()) s += L" log=" + o.LogFile;
    return s;
}

struct TArgsRow {
    std::vector<std::wstring> Args;
    std::wstring Expected;  // Describe's text, or "error: " and the start of the message
};

TEST(TermCommandLine, FormsOfOtherTerminalsAndBadInput) {
    const TArgsRow rows[] = {
        // picocom: -p is its stop bits, elsewhere the parity; the value tells.
        {{L"-b", L"115200", L"-d", L"7", L"-y", L"e", L"-f", L"h", L"COM3"}, L"COM3 b=115200 d=7 p=E f=2"},
        {{L"-p", L"2", L"-f", L"s", L"COM12"}, L"COM12 s=2 f=1"},
        {{L"-p", L"o", L"-f", L"n", L"-c", L"-g", L"C:\\s.log", L"COM1"}, L"COM1 p=O f=0 echo log=C:\\s.log"},
        // miniterm: port, rate, then options.
        {{L"COM3", L"115200", L"--parity", L"E", L"--rtscts", L"--dtr", L"0", L"--rts", L"1"},
         L"COM3 b=115200 p=E f=2 dtr=0 rts=1"},
        {{L"COM3", L"9600", L"--xonxoff", L"--eol", L"CRLF"}, L"COM3 b=9600 f=1 eol=2"},
        // The frame in one word, with or without a rate before it.
        {{L"COM3", L"115200", L"7E1", L"--rtscts"}, L"COM3 b=115200 d=7 p=E s=0 f=2"},
        {{L"COM4", L"8n2"}, L"COM4 d=8 p=N s=2"},
        {{L"--baud=57600", L"--stopbits=1.5"}, L" b=57600 s=1"},
        {{L"-b"}, L"error: -b needs a value"},
        {{L"-b", L"fast", L"COM3"}, L"error: Bad value for -b"},
        {{L"-d", L"9", L"COM3"}, L"error: Bad value for -d"},
        {{L"--parity", L"q"}, L"error: Bad value for --parity"},
        {{L"--dtr", L"2"}, L"error: Bad value for --dtr"},
        {{L"-z", L"COM3"}, L"error: Unknown option -z"},
        {{L"/dev/ttyS0"}, L"error: Not a port name"},
        {{L"COM3", L"115200", L"9N1"}, L"error: Not a rate or frame format"},
        {{L"COM3", L"115200", L"8N1", L"more"}, L"error: Not a rate or frame format"},
    };
    for (const auto& row : rows) {
        const TParsed p = ParseCommandLine(row.Args);
        const std::wstring got = p.Error.empty() ? Describe(p.Options) : L"error: " + p.Error;
        EXPECT_EQ(got.substr(0, row.Expected.size()), row.Expected) << "args start " << row.Args[0].c_str();
        EXPECT_EQ(p.Error.empty(), row.Expected.rfind(L"error: ", 0) != 0) << got.c_str();
    }
    EXPECT_TRUE(ParseCommandLine({L"--help"}).Options.Help);
}

TEST(TermText, HexSendParsing) {
    const std::pair<const wchar_t*, const char*> rows[] = {
        {L"41 42 0D", "AB\r"}, {L"41420d", "AB\r"}, {L"0x41,0x42", "AB"}, {L"d", "\r"},
        {L"", nullptr},        {L"4G", nullptr},    {L"414", nullptr},
    };
    for (const auto& [text, bytes] : rows) {
        const auto got = ParseHex(text);
        EXPECT_EQ(got.has_value(), bytes != nullptr) << text;
        if (got && bytes) {
            EXPECT_EQ(*got, bytes) << text;
        }
    }
}

// Blocks in, text out: the state carries a CR (and the hex column) across blocks.
TEST(TermText, ReceivedBytesAsShown) {
    struct TRow {
        TRxMap Map;
        bool Hex;
        std::vector<std::string> Blocks;
        std::wstring Shown;
    } rows[] = {
        {TRxMap::AsIs, false, {"a\r\nb\n"}, L"a\r\nb\n"},
        {TRxMap::LF, false, {"a\r", "\nb\n"}, L"a\r\nb\r\n"},
        {TRxMap::LF, false, {"a\rb"}, L"a\rb"},
        {TRxMap::CR, false, {"a\r", "\nb\r"}, L"a\r\nb\r\n"},
        {TRxMap::CR, false, {"a\nb", std::string("\0c", 2)}, L"a\nbc"},
        {TRxMap::LF,
         true,
         {std::string("\0\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d", 14), "\x0e\x0fZ"},
         L"00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F\r\n5A "},
    };
    for (auto& row : rows) {
        TRxText t;
        t.Map = row.Map;
        t.Hex = row.Hex;
        std::wstring got;
        for (const auto& b : row.Blocks) got += t.Show(b);
        EXPECT_EQ(got, row.Shown) << "map " << static_cast<int>(row.Map) << " hex " << row.Hex;
    }
}

TEST(TermText, StampsStartEachCapturedLine) {
    TStamper s;
    EXPECT_EQ(s.Apply("ab\ncd", "[T] "), "[T] ab\n[T] cd");
    EXPECT_EQ(s.Apply("\n", "[U] "), "\n");
    EXPECT_EQ(s.Apply("x", "[V] "), "[V] x");
}

}  // namespace
