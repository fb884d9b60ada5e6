// nrterm's command line, in the forms users of other terminals already type:
//   nrterm -b 115200 -d 8 -y n -f h COM3          (-p n|o|e too; -p 1|2 stop bits)
//   nrterm COM3 115200 --parity E --rtscts --dtr 0
//   nrterm COM3 115200 7E1 --xonxoff
// Only what is given is set: the rest comes from the port's saved settings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "comm/nrcomm.h"
#include "term_text.h"

namespace nrterm {

struct TTermOptions {
    std::wstring Port;  // "COM3"; empty: none named
    std::optional<std::uint32_t> Baud;
    std::optional<std::uint8_t> DataBits;
    std::optional<nr::TParity> Parity;
    std::optional<nr::TStopBits> StopBits;
    std::optional<nr::TStreamProtocol> Flow;
    std::optional<bool> DTR, RTS, Echo, HexView;
    std::optional<TLineEnd> SendEnd;
    std::optional<TRxMap> ReceiveMap;
    std::wstring LogFile;  // capture from the start
    bool TimeStamps = false;
    bool Help = false;
};

struct TParsed {
    TTermOptions Options;
    std::wstring Error;  // empty when the line was understood
};

TParsed ParseCommandLine(const std::vector<std::wstring>& Args);
const wchar_t* Usage();

}  // namespace nrterm
