// The 8-channel input module and the one question the programs ask it: read
// input registers 0 to 7 (Modbus function 04), in RTU or ASCII framing. Every
// size and position of those frames is named here, once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace protocol {

constexpr std::size_t kChannelCount = 8;
constexpr std::uint8_t kReadInputRegisters = 0x04;
constexpr std::uint16_t kFirstRegister = 0;
constexpr std::uint16_t kRegisterCount = kChannelCount; // one register a channel
constexpr std::size_t kReplyBodySize =
    3 + 2 * kRegisterCount; // address, function, byte count, registers

// The address bytepoll and textpoll start with.
constexpr int kDefaultAddress = 67;

// One value a channel, indices 0 to 7.
using ChannelValues = std::array<float, kChannelCount>;

} // namespace protocol

namespace rtu {

constexpr std::size_t kRequestSize = 8;                          // 6 bytes and the CRC
constexpr std::size_t kReplySize = protocol::kReplyBodySize + 2; // 19 bytes and the CRC: 21
constexpr std::size_t kRegistersAt = 3;                  // register i at 3 + 2i, high byte first
constexpr std::size_t kCrcAt = protocol::kReplyBodySize; // 19 (low byte), 20 (high byte)

} // namespace rtu

namespace ascii {

// Positions are 1-based character positions in the line, as a technician
// counts them on a terminal.
constexpr std::size_t kRequestSize = 17; // ':' + 6 bytes in hex + LRC + CR LF
constexpr std::size_t kReplySize =
    1 + 2 * protocol::kReplyBodySize + 2 + 2; // ':' + 19 bytes + LRC + CR LF: 43
constexpr std::size_t kBodyAt = 2;            // byte i at 2 + 2i
constexpr std::size_t kRegistersAt = 8;       // register i at 8 + 4i, 4 digits
constexpr std::size_t kRegisterDigits = 4;
constexpr std::size_t kLrcAt = kBodyAt + 2 * protocol::kReplyBodySize; // 40 and 41

} // namespace ascii
