#include "codec/rtu.h"

#include <algorithm>

namespace rtu {

std::uint16_t Crc16(std::span<const std::uint8_t> bytes, std::size_t count)
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

Request BuildRequest(std::uint8_t address)
{
    // First register 0x0000, register count 0x0008.
    Request request{address, kReadInputRegisters, 0x00, 0x00, 0x00, kChannelCount, 0, 0};
    const std::uint16_t crc = Crc16(request, 6);
    request[6] = static_cast<std::uint8_t>(crc & 0xFF); // low byte first on the wire
    request[7] = static_cast<std::uint8_t>(crc >> 8);
    return request;
}

std::optional<Reply> DecodeReply(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() < kReplySize)
        return std::nullopt; // not a whole reply

    Reply reply;
    for (std::size_t i = 0; i < kChannelCount; ++i) {
        const auto raw = static_cast<std::uint16_t>(bytes[3 + 2 * i] << 8 | bytes[4 + 2 * i]);
        reply.values[i] = static_cast<float>(static_cast<std::int16_t>(raw)); // two's complement
    }
    reply.received = static_cast<std::uint16_t>(bytes[20] << 8 | bytes[19]);
    reply.computed = Crc16(bytes, kReplySize - 2);
    reply.crcOk = reply.received == reply.computed;
    return reply;
}

} // namespace rtu
