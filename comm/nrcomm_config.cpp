// The COM port component's configuration in the registry: port number, line
// settings and time-outs in one binary value whose layout other programs
// share, so a value they stored loads here and ours loads there.
#include <array>
#include <cstddef>
#include <cstring>

#include "../framework/registry.h"
#include "nrcomm.h"

namespace nr {

namespace {

// The value: the port byte, then the DCB and the COMMTIMEOUTS as held in memory.
constexpr std::size_t kPortAt = 0;
constexpr std::size_t kDcbAt = 1;
constexpr std::size_t kTimeOutsAt = 29;
constexpr std::size_t kConfigSize = 49;
// Stored values travel between 32-bit and 64-bit programs: both records must
// keep the layout they have always had, field by field.
static_assert(sizeof(DCB) == 28 && sizeof(COMMTIMEOUTS) == 20);
static_assert(offsetof(DCB, DCBlength) == 0 && offsetof(DCB, BaudRate) == 4 && offsetof(DCB, wReserved) == 12 &&
              offsetof(DCB, XonLim) == 14 && offsetof(DCB, XoffLim) == 16 && offsetof(DCB, ByteSize) == 18 &&
              offsetof(DCB, Parity) == 19 && offsetof(DCB, StopBits) == 20 && offsetof(DCB, XonChar) == 21 &&
              offsetof(DCB, XoffChar) == 22 && offsetof(DCB, ErrorChar) == 23 && offsetof(DCB, EofChar) == 24 &&
              offsetof(DCB, EvtChar) == 25 && offsetof(DCB, wReserved1) == 26);
static_assert(offsetof(COMMTIMEOUTS, ReadIntervalTimeout) == 0 &&
              offsetof(COMMTIMEOUTS, ReadTotalTimeoutMultiplier) == 4 &&
              offsetof(COMMTIMEOUTS, ReadTotalTimeoutConstant) == 8 &&
              offsetof(COMMTIMEOUTS, WriteTotalTimeoutMultiplier) == 12 &&
              offsetof(COMMTIMEOUTS, WriteTotalTimeoutConstant) == 16);
static_assert(kDcbAt == kPortAt + 1 && kTimeOutsAt == kDcbAt + sizeof(DCB) &&
              kConfigSize == kTimeOutsAt + sizeof(COMMTIMEOUTS));

using TConfigValue = std::array<std::uint8_t, kConfigSize>;
static_assert(sizeof(TConfigValue) == kConfigSize);

}  // namespace

void TnrCustomSerialComm::SaveConfig(HKEY Root, const std::wstring& Key, const std::wstring& Name) {
    bool saved = false;
    // The value keeps one byte of port number: a larger number would come
    // back as another port, so nothing is stored for it.
    if (fComPortNo <= 0xFF) {
        TConfigValue v{};
        v[kPortAt] = static_cast<std::uint8_t>(fComPortNo);
        std::memcpy(&v[kDcbAt], &CommCfg.dcb, sizeof(DCB));
        std::memcpy(&v[kTimeOutsAt], TimeOuts(), sizeof(COMMTIMEOUTS));
        try {
            fw::TRegistry reg(Root, KEY_READ | KEY_WRITE, Win32);
            if (reg.OpenKey(Key, true)) {
                reg.WriteBinaryData(Name, v.data(), kConfigSize);
                saved = true;
            }
        } catch (const fw::Exception&) {
        }
    }
    if (!saved) {
        ReportFatalError(1, 0, L"Error on save config information from registry", false);
        return;
    }
    WriteLog(dlDetail, L"Configuration was saved");
}

void TnrCustomSerialComm::LoadConfig(HKEY Root, const std::wstring& Key, const std::wstring& Name) {
    TConfigValue v{};
    bool found = false, failed = false;
    try {
        // The key is opened as SaveConfig opens it, and created when it is
        // missing (nothing is written in it). A key the caller may read but
        // not write is still read.
        fw::TRegistry reg(Root, KEY_READ | KEY_WRITE, Win32);
        const bool open = reg.OpenKey(Key, true) || reg.OpenKeyReadOnly(Key);
        found = open && reg.GetDataSize(Name) == static_cast<std::int32_t>(kConfigSize) &&
                reg.ReadBinaryData(Name, v.data(), kConfigSize) == kConfigSize;
    } catch (const fw::Exception&) {
        failed = true;
    }
    if (failed) {
        ReportFatalError(1, 0, L"Error on load config information from registry", false);
        return;
    }
    if (found) {
        // Settings first, the port last: listeners told of the port see the
        // whole configuration, and a port that fails to open has its settings.
        std::memcpy(&CommCfg.dcb, &v[kDcbAt], sizeof(DCB));
        // Flow control as the stored DCB has it, not as the settings had it.
        FlowControlFromDcb();
        ApplyLineSettings();
        COMMTIMEOUTS t;
        std::memcpy(&t, &v[kTimeOutsAt], sizeof t);
        SetTimeOuts(&t);
        SetComPortNo(v[kPortAt]);
    }
    WriteLog(dlDetail, L"Configuration was loaded");
}

}  // namespace nr
