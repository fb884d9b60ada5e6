#include "term_options.h"

#include <cwctype>
#include <functional>
#include <map>

#include "comm/nrwin32.h"

namespace nrterm {

namespace {

std::wstring Lower(std::wstring s) {
    for (auto& c : s) c = static_cast<wchar_t>(std::towlower(c));
    return s;
}

// A whole decimal number within [Min, Max].
std::optional<std::uint32_t> Number(const std::wstring& s, std::uint32_t Min, std::uint32_t Max) {
    if (s.empty() || s.size() > 10) return std::nullopt;
    std::uint64_t v = 0;
    for (wchar_t c : s) {
        if (c < L'0' || c > L'9') return std::nullopt;
        v = v * 10 + static_cast<std::uint64_t>(c - L'0');
    }
    if (v < Min || v > Max) return std::nullopt;
    return static_cast<std::uint32_t>(v);
}

std::optional<nr::TParity> ParityOf(const std::wstring& s) {
    static const std::map<std::wstring, nr::TParity> k = {
        {L"n", nr::pNone},    {L"o", nr::pOdd},   {L"e", nr::pEven},    {L"m", nr::pMark},    {L"s", nr::pSpace},
        {L"none", nr::pNone}, {L"odd", nr::pOdd}, {L"even", nr::pEven}, {L"mark", nr::pMark}, {L"space", nr::pSpace}};
    auto it = k.find(Lower(s));
    return it == k.end() ? std::nullopt : std::optional(it->second);
}

std::optional<nr::TStopBits> StopBitsOf(const std::wstring& s) {
    if (s == L"1") return nr::sbOne;
    if (s == L"1.5") return nr::sbOneAndHalf;
    if (s == L"2") return nr::sbTwo;
    return std::nullopt;
}

std::optional<nr::TStreamProtocol> FlowOf(const std::wstring& s) {
    static const std::map<std::wstring, nr::TStreamProtocol> k = {
        {L"n", nr::spNone},       {L"none", nr::spNone},       {L"h", nr::spHardware},
        {L"s", nr::spXonXoff},    {L"x", nr::spXonXoff},       {L"hard", nr::spHardware},
        {L"soft", nr::spXonXoff}, {L"rtscts", nr::spHardware}, {L"xonxoff", nr::spXonXoff}};
    auto it = k.find(Lower(s));
    return it == k.end() ? std::nullopt : std::optional(it->second);
}

std::optional<bool> SwitchOf(const std::wstring& s) {
    if (s == L"0") return false;
    if (s == L"1") return true;
    return std::nullopt;
}

std::optional<TLineEnd> LineEndOf(const std::wstring& s) {
    const std::wstring l = Lower(s);
    if (l == L"cr") return TLineEnd::CR;
    if (l == L"lf") return TLineEnd::LF;
    if (l == L"crlf") return TLineEnd::CRLF;
    return std::nullopt;
}

std::optional<TRxMap> RxMapOf(const std::wstring& s) {
    const std::wstring l = Lower(s);
    if (l == L"asis") return TRxMap::AsIs;
    if (l == L"crcrlf") return TRxMap::CR;
    if (l == L"lfcrlf") return TRxMap::LF;
    return std::nullopt;
}

// "8N1", "7e2", "8N1.5": data bits, parity, stop bits at once.
bool ParseFormat(const std::wstring& s, TTermOptions& o) {
    if (s.size() < 3) return false;
    const auto data = Number(s.substr(0, 1), 5, 8);
    const auto parity = ParityOf(s.substr(1, 1));
    const auto stop = StopBitsOf(s.substr(2));
    if (!data || !parity || !stop) return false;
    o.DataBits = static_cast<std::uint8_t>(*data);
    o.Parity = parity;
    o.StopBits = stop;
    return true;
}

// An option that takes a value: the parser of the value into the options.
using TSetter = std::function<bool(const std::wstring&, TTermOptions&)>;
template <class T, class F> TSetter Into(std::optional<T> TTermOptions::*Field, F Parse) {
    return [Field, Parse](const std::wstring& v, TTermOptions& o) {
        auto parsed = Parse(v);
        if (!parsed) return false;
        o.*Field = static_cast<T>(*parsed);
        return true;
    };
}

const std::map<std::wstring, TSetter>& ValueOptions() {
    static const std::map<std::wstring, TSetter> k = [] {
        const auto baud = Into(&TTermOptions::Baud, [](auto& v) { return Number(v, 1, 0xFFFFFFFFu); });
        const auto data = Into(&TTermOptions::DataBits, [](auto& v) { return Number(v, 5, 8); });
        const auto parity = Into(&TTermOptions::Parity, ParityOf);
        const auto stop = Into(&TTermOptions::StopBits, StopBitsOf);
        const auto flow = Into(&TTermOptions::Flow, FlowOf);
        const TSetter log = [](const std::wstring& v, TTermOptions& o) { return !(o.LogFile = v).empty(); };
        // picocom's -p is its stop bits; others use it for the parity.
        const TSetter p = [parity, stop](const std::wstring& v, TTermOptions& o) { return parity(v, o) || stop(v, o); };
        return std::map<std::wstring, TSetter>{{L"-b", baud},
                                               {L"--baud", baud},
                                               {L"--baudrate", baud},
                                               {L"-d", data},
                                               {L"--databits", data},
                                               {L"-y", parity},
                                               {L"--parity", parity},
                                               {L"-p", p},
                                               {L"-s", stop},
                                               {L"--stopbits", stop},
                                               {L"-f", flow},
                                               {L"--flow", flow},
                                               {L"--dtr", Into(&TTermOptions::DTR, SwitchOf)},
                                               {L"--rts", Into(&TTermOptions::RTS, SwitchOf)},
                                               {L"--eol", Into(&TTermOptions::SendEnd, LineEndOf)},
                                               {L"--imap", Into(&TTermOptions::ReceiveMap, RxMapOf)},
                                               {L"-g", log},
                                               {L"--logfile", log}};
    }();
    return k;
}

// Options without a value; false for none of them.
bool Flag(const std::wstring& a, TTermOptions& o) {
    if (a == L"-h" || a == L"--help") return o.Help = true;
    if (a == L"--rtscts") return o.Flow = nr::spHardware, true;
    if (a == L"--xonxoff") return o.Flow = nr::spXonXoff, true;
    if (a == L"-c" || a == L"-e" || a == L"--echo") return o.Echo = true, true;
    if (a == L"--hex") return o.HexView = true, true;
    if (a == L"--timestamps") return o.TimeStamps = true;
    return false;
}

// The port, then a rate and a frame format, in that order; false for a
// word that is none of them.
bool Positional(const std::wstring& a, TTermOptions& o, int& seen) {
    std::uint16_t n = 0;
    if (seen == 0 && nr::ComPortNumber(a, n)) return o.Port = a, ++seen;
    if (seen == 0) return false;
    if (const auto baud = Number(a, 1, 0xFFFFFFFFu); baud && seen == 1 && !o.Baud) return o.Baud = baud, ++seen;
    return ParseFormat(a, o) && (seen = 3);
}

}  // namespace

TParsed ParseCommandLine(const std::vector<std::wstring>& Args) {
    TParsed r;
    TTermOptions& o = r.Options;
    int positionals = 0;
    for (std::size_t i = 0; i < Args.size(); ++i) {
        std::wstring a = Args[i], value;
        const bool isLong = a.rfind(L"--", 0) == 0;
        const auto eq = a.find(L'=');
        if (isLong && eq != std::wstring::npos) value = a.substr(eq + 1), a.erase(eq);
        const auto& options = ValueOptions();
        if (auto it = options.find(a); it != options.end()) {
            if (eq == std::wstring::npos || !isLong) {
                if (i + 1 == Args.size()) return r.Error = a + L" needs a value", r;
                value = Args[++i];
            }
            if (!it->second(value, o)) return r.Error = L"Bad value for " + a + L": \"" + value + L"\"", r;
        } else if (!Flag(a, o)) {
            if (a.size() > 1 && a[0] == L'-') return r.Error = L"Unknown option " + a, r;
            if (!Positional(a, o, positionals))
                return r.Error = positionals ? L"Not a rate or frame format (8N1): \"" + a + L"\""
                                             : L"Not a port name (COM3): \"" + a + L"\"",
                       r;
        }
    }
    return r;
}

const wchar_t* Usage() {
    return L"nrterm [options] [COMn [RATE] [FORMAT]]\n\n"
           L"COMn\topen this port at once\n"
           L"RATE\tbits per second, e.g. 115200\n"
           L"FORMAT\tdata bits, parity, stop bits, e.g. 8N1, 7E1\n\n"
           L"-b, --baud N\trate\n"
           L"-d, --databits 5..8\n"
           L"-y, --parity n|o|e|m|s (-p takes it too, or stop bits 1|2)\n"
           L"-s, --stopbits 1|1.5|2\n"
           L"-f, --flow n|h|s\tnone, RTS/CTS, XON/XOFF\n"
           L"--rtscts, --xonxoff\tthe same flow control\n"
           L"--dtr 0|1, --rts 0|1\tthe output lines after opening\n"
           L"--eol cr|lf|crlf\twhat Enter sends\n"
           L"--imap asis|crcrlf|lfcrlf\thow received CR and LF show\n"
           L"-c, --echo\tshow typed keys too\n"
           L"--hex\tshow received bytes in hex\n"
           L"-g, --logfile FILE\tcapture received bytes into FILE\n"
           L"--timestamps\ttime stamp each captured line\n"
           L"-h, --help\tthis text\n\n"
           L"Settings not given come from the port's last session.";
}

}  // namespace nrterm
