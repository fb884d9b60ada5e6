// Bytes exchanged with the truck module: one request frame per make, the
// module's acknowledgement and the start frame. Shared by the programming
// window and the module simulator.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace truck {

struct TMake {
    const wchar_t* Name;
    std::uint8_t Code;  // byte 2 of the request; byte 3 is Code - 1
};

// In make-list order. No make uses 0x04; RENAULT and VOLVO share 0x07.
inline constexpr std::array<TMake, 7> Makes{{
    {L"DAF", 0x01},
    {L"MAN", 0x02},
    {L"IVECO", 0x03},
    {L"MERCEDES", 0x05},
    {L"SCANIA", 0x06},
    {L"RENAULT", 0x07},
    {L"VOLVO", 0x07},
}};

inline constexpr std::uint8_t FrameLead0 = 0xAA;
inline constexpr std::uint8_t FrameLead1 = 0x55;

using TRequestFrame = std::array<std::uint8_t, 4>;

inline constexpr TRequestFrame RequestFrame(std::size_t makeIndex) {
    const std::uint8_t code = Makes[makeIndex].Code;
    return {FrameLead0, FrameLead1, code, static_cast<std::uint8_t>(code - 1)};
}

inline constexpr std::array<std::uint8_t, 2> AckFrame{0xAA, 0x0C};
inline constexpr std::array<std::uint8_t, 3> StartFrame{0xAA, 0x55, 0x00};

// Only one receive event carrying exactly these two bytes is an acknowledgement.
inline bool IsAck(const void* buffer, std::uint32_t received) {
    const auto* b = static_cast<const std::uint8_t*>(buffer);
    return received == 2 && b && b[0] == AckFrame[0] && b[1] == AckFrame[1];
}

// The first make whose request frame carries this code, if any.
inline std::optional<std::size_t> MakeOfCode(std::uint8_t code) {
    for (std::size_t i = 0; i < Makes.size(); ++i)
        if (Makes[i].Code == code) return i;
    return std::nullopt;
}

}  // namespace truck
