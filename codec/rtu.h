// Modbus RTU framing for "read input registers 0 to 7": the 8-byte request
// and the 21-byte reply of the 8-channel input module.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace rtu {

constexpr std::size_t kRequestSize = 8;
constexpr std::size_t kReplySize = 21;   // address, function, count, 8 x 2 register bytes, CRC
constexpr std::size_t kChannelCount = 8;
constexpr std::uint8_t kReadInputRegisters = 0x04;

using Request = std::array<std::uint8_t, kRequestSize>;
using ChannelValues = std::array<float, kChannelCount>;

struct Reply
{
    ChannelValues values{};    // signed 16-bit registers, unscaled
    std::uint16_t received = 0; // check value carried in bytes 19 (low) and 20 (high)
    std::uint16_t computed = 0; // CRC-16 over bytes 0 to 18
    bool crcOk = false;
};

// CRC-16/MODBUS over the first `count` bytes (all of them if count is larger):
// reflected polynomial 0xA001, initial value 0xFFFF, no final XOR, bit by bit.
// Returns the standard value; frames carry it low byte first.
std::uint16_t Crc16(std::span<const std::uint8_t> bytes, std::size_t count);

Request BuildRequest(std::uint8_t address);

// Decodes the first 21 bytes; anything after them is ignored. Values are
// produced whether or not the CRC matches. Fewer than 21 bytes is not a
// reply that can be decoded: nullopt.
std::optional<Reply> DecodeReply(std::span<const std::uint8_t> bytes);

} // namespace rtu
