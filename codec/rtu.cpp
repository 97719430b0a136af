#include "codec/rtu.h"

namespace rtu {

std::optional<Reply> DecodeReply(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() < kReplySize)
        return std::nullopt; // not a whole reply

    Reply reply;
    for (std::size_t i = 0; i < protocol::kChannelCount; ++i) {
        const std::size_t at = kRegistersAt + 2 * i;
        const auto raw = static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]);
        reply.values[i] = static_cast<float>(static_cast<std::int16_t>(raw)); // two's complement
    }
    reply.received = static_cast<std::uint16_t>(bytes[kCrcAt + 1] << 8 | bytes[kCrcAt]);
    reply.computed = Crc16(bytes, kCrcAt);
    reply.crcOk = reply.received == reply.computed;
    return reply;
}

} // namespace rtu
