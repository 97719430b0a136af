// rtu::DecodeReply and rtu::Crc16 on arbitrary bytes.
//
// - The decoder reads only the bytes it is given (the input sits in a block
//   of exactly its size) and refuses fewer than 21.
// - Each value is the signed big-endian register at its place, a whole
//   number in -32768..32767.
// - The check value is Crc16 over bytes 0 to 18, the received one is bytes
//   19 (low) and 20 (high), and the CRC passes exactly when they agree.
// - Crc16 agrees with a table-driven CRC-16/MODBUS, and a frame followed by
//   its own CRC (low byte first) leaves a remainder of zero.
// - A reply rebuilt from the input with its CRC passes, and the same reply
//   with any one bit flipped fails: CRC-16 catches every single-bit error.

#include "codec/rtu.h"
#include "fuzzcheck.h"

#include <array>
#include <cmath>
#include <vector>

namespace {

// CRC-16/MODBUS a byte at a time from a 256-entry table, built once from the
// reflected polynomial 0xA001.
std::uint16_t TableCrc(std::span<const std::uint8_t> bytes)
{
    static const auto table = [] {
        std::array<std::uint16_t, 256> t{};
        for (unsigned n = 0; n < 256; ++n) {
            unsigned c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1u) ? (c >> 1) ^ 0xA001u : c >> 1;
            t[n] = static_cast<std::uint16_t>(c);
        }
        return t;
    }();
    unsigned crc = 0xFFFF;
    for (std::uint8_t b : bytes)
        crc = (crc >> 8) ^ table[(crc ^ b) & 0xFFu];
    return static_cast<std::uint16_t>(crc);
}

void CheckDecode(std::span<const std::uint8_t> bytes)
{
    const auto reply = rtu::DecodeReply(bytes);
    if (bytes.size() < rtu::kReplySize) {
        FUZZ_CHECK(!reply.has_value());
        return;
    }
    FUZZ_CHECK(reply.has_value());
    for (std::size_t i = 0; i < protocol::kChannelCount; ++i) {
        const float v = reply->values[i];
        FUZZ_CHECK(std::isfinite(v) && v == std::trunc(v));
        FUZZ_CHECK(v >= -32768.0f && v <= 32767.0f);
        const int expected =
            (bytes[3 + 2 * i] << 8 | bytes[4 + 2 * i]) - ((bytes[3 + 2 * i] & 0x80) ? 0x10000 : 0);
        FUZZ_CHECK(v == static_cast<float>(expected));
    }
    FUZZ_CHECK(reply->received == (bytes[19] | bytes[20] << 8));
    FUZZ_CHECK(reply->computed == TableCrc(bytes.first(19)));
    FUZZ_CHECK(reply->crcOk == (reply->received == reply->computed));
}

void CheckCrc(std::span<const std::uint8_t> bytes, std::size_t count)
{
    const std::size_t used = count < bytes.size() ? count : bytes.size();
    const std::uint16_t crc = rtu::Crc16(bytes, count);
    FUZZ_CHECK(crc == TableCrc(bytes.first(used)));

    std::vector<std::uint8_t> framed(bytes.begin(),
                                     bytes.begin() + static_cast<std::ptrdiff_t>(used));
    framed.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    framed.push_back(static_cast<std::uint8_t>(crc >> 8));
    FUZZ_CHECK(rtu::Crc16(framed, framed.size()) == 0);
}

// A reply with registers and header taken from the input and a correct CRC.
void CheckRebuilt(std::span<const std::uint8_t> bytes)
{
    std::vector<std::uint8_t> reply(rtu::kReplySize, 0);
    for (std::size_t i = 0; i < 19 && i < bytes.size(); ++i)
        reply[i] = bytes[i];
    const std::uint16_t crc = TableCrc(std::span(reply).first(19));
    reply[19] = static_cast<std::uint8_t>(crc & 0xFF);
    reply[20] = static_cast<std::uint8_t>(crc >> 8);

    const fuzz::ExactCopy exact(reply);
    const auto decoded = rtu::DecodeReply(exact.bytes());
    FUZZ_CHECK(decoded && decoded->crcOk);

    // The bit to flip comes from the input too, when there is enough of it.
    const std::size_t bit = bytes.size() > 19 ? bytes[19] % (8 * rtu::kReplySize)
                                              : bytes.size() % (8 * rtu::kReplySize);
    reply[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    const fuzz::ExactCopy flipped(reply);
    const auto damaged = rtu::DecodeReply(flipped.bytes());
    FUZZ_CHECK(damaged && !damaged->crcOk);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const fuzz::ExactCopy input({data, size});
    CheckDecode(input.bytes());
    // Counts below, at and beyond the length; the first byte picks one.
    const std::size_t count = size == 0 ? 0 : data[0] % (size + 3);
    CheckCrc(input.bytes(), count);
    CheckCrc(input.bytes(), static_cast<std::size_t>(-1));
    CheckRebuilt(input.bytes());
    return 0;
}
