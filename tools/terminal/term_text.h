// What nrterm does to bytes on their way in and out: line endings, hex,
// time stamps. Pure functions and small state machines, free of windows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace nrterm {

// What Enter sends.
enum class TLineEnd : std::uint8_t { CR, LF, CRLF };
// How received CR and LF are shown. The edit control breaks lines at CR LF
// only, so a mapped CR or LF becomes that pair, and a pair that came as such
// stays one line break.
enum class TRxMap : std::uint8_t { AsIs, CR, LF };

std::string LineEndBytes(TLineEnd End);

// "41 42 0d", "41420D" or "0x41,0x42": the bytes; none for anything else.
std::optional<std::string> ParseHex(const std::wstring& Text);

// Received bytes as the terminal shows them; the state carries across blocks.
class TRxText {
public:
    TRxMap Map = TRxMap::LF;
    bool Hex = false;
    std::wstring Show(const std::string& Bytes);
    void Reset() { lastCR_ = false, column_ = 0; }

private:
    void Text(unsigned char b, std::wstring& out);
    void HexByte(unsigned char b, std::wstring& out);
    bool lastCR_ = false;
    int column_ = 0;  // hex bytes on the current line
};

// A capture with time stamps: "[hh:mm:ss.mmm] " before each line's first
// byte. Stamp gives the text for the current time.
class TStamper {
public:
    std::string Apply(const std::string& Bytes, const std::string& Stamp);

private:
    bool atLineStart_ = true;
};

}  // namespace nrterm
