// Modbus RTU framing for "read input registers 0 to 7": the 8-byte request
// and the 21-byte reply of the 8-channel input module.
#pragma once

#include "codec/protocol.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace rtu {

using Request = std::array<std::uint8_t, kRequestSize>;

struct Reply
{
    protocol::ChannelValues values{}; // signed 16-bit registers, unscaled
    std::uint16_t received = 0;       // check value carried in bytes 19 (low) and 20 (high)
    std::uint16_t computed = 0;       // CRC-16 over bytes 0 to 18
    bool crcOk = false;
};

// CRC-16/MODBUS over the first `count` bytes (all of them if count is larger):
// reflected polynomial 0xA001, initial value 0xFFFF, no final XOR, bit by bit.
// Returns the standard value; frames carry it low byte first.
constexpr std::uint16_t Crc16(std::span<const std::uint8_t> bytes, std::size_t count)
{
    std::uint16_t crc = 0xFFFF;
    for (std::uint8_t byte : bytes.first(std::min(count, bytes.size()))) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1u) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001u)
                             : static_cast<std::uint16_t>(crc >> 1);
    }
    return crc;
}

// The request for module `address`, CRC filled in. Usable at compile time,
// so the programs' fixed requests are checked when they are built.
constexpr Request BuildRequest(std::uint8_t address)
{
    Request request{address,
                    protocol::kReadInputRegisters,
                    protocol::kFirstRegister >> 8,
                    protocol::kFirstRegister & 0xFF,
                    protocol::kRegisterCount >> 8,
                    protocol::kRegisterCount & 0xFF,
                    0,
                    0};
    const std::uint16_t crc = Crc16(request, kRequestSize - 2);
    request[6] = static_cast<std::uint8_t>(crc & 0xFF); // low byte first on the wire
    request[7] = static_cast<std::uint8_t>(crc >> 8);
    return request;
}

// Decodes the first 21 bytes; anything after them is ignored. Values are
// produced whether or not the CRC matches. Fewer than 21 bytes is not a
// reply that can be decoded: nullopt.
std::optional<Reply> DecodeReply(std::span<const std::uint8_t> bytes);

} // namespace rtu
