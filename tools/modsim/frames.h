// Frames of the simulated 8-channel input module: checking a "read input
// registers" request and building the module's reply, in Modbus RTU (binary,
// CRC-16) and Modbus ASCII (text, LRC). Pure functions, no I/O.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace modsim {

enum class Framing
{
    Rtu,
    Ascii
};
enum class HexCase
{
    Upper,
    Lower
};

constexpr std::size_t kRegisterCount = 8;
constexpr std::uint8_t kDefaultAddress = 67;
constexpr std::uint8_t kReadInputRegisters = 0x04;
constexpr std::uint8_t kExceptionFlag = 0x80;
constexpr std::uint8_t kIllegalDataAddress = 0x02;
constexpr std::uint8_t kIllegalDataValue = 0x03;
// Modbus caps one read at 125 registers; a count outside 1..125 is an illegal
// value rather than an illegal address.
constexpr std::uint16_t kMaxReadCount = 125;

// address, function, first register (2), register count (2)
constexpr std::size_t kRequestBodySize = 6;
constexpr std::size_t kRtuRequestSize = kRequestBodySize + 2;                 // + CRC = 8
constexpr std::size_t kAsciiRequestSize = 1 + 2 * (kRequestBodySize + 1) + 2; // 17
// address, function, byte count (16), 8 registers of 2 bytes = 19 bytes
constexpr std::size_t kFullReplyBodySize = 3 + 2 * kRegisterCount;
constexpr std::size_t kRtuReplySize = kFullReplyBodySize + 2;                 // 21
constexpr std::size_t kAsciiReplySize = 1 + 2 * (kFullReplyBodySize + 1) + 2; // 43

using Registers = std::array<std::int16_t, kRegisterCount>;

struct Request
{
    std::uint8_t address = 0;
    std::uint8_t function = 0;
    std::uint16_t start = 0;
    std::uint16_t count = 0;
};

// A frame whose checksum and framing were right, for whatever address or
// function. `body` is address, function and data without the checksum.
struct Frame
{
    std::vector<std::uint8_t> body;
};

// CRC-16/MODBUS (reflected polynomial 0xA001, initial 0xFFFF, no final XOR);
// the standard value, e.g. 0x4B37 for "123456789".
std::uint16_t Crc16(std::span<const std::uint8_t> bytes);

// Modbus ASCII LRC: two's complement of the byte sum, low byte. For
// 43 04 00 00 00 08 the sum is 0x4F and the LRC 0xB1.
std::uint8_t Lrc(std::span<const std::uint8_t> bytes);

// An 8-byte RTU frame with a matching CRC (low byte first); nullopt for any
// other length or a CRC mismatch.
std::optional<Frame> CheckRtuFrame(std::span<const std::uint8_t> bytes);

// A text line ":" + hex pairs + LRC + CR LF. Hex digits may be upper or lower
// case: the module is lenient in what it reads and strict in what it writes.
// nullopt for anything else, including a wrong LRC.
std::optional<Frame> CheckAsciiFrame(std::string_view line);

// The request carried by a frame, if it is a whole 6-byte function-04 body.
std::optional<Request> ReadRequest(const Frame& frame);

// Whether the module at `address` answers this frame: function 04, its own
// address, the request's length. Everything else stays unanswered.
bool IsForModule(const Frame& frame, std::uint8_t address);

// Reply body (without checksum) to a request the module answers: registers
// start..start+count-1 when they lie within 0..7, otherwise an exception
// (function | 0x80, then 02 for an address range outside the module, 03 for
// a count outside 1..125).
std::vector<std::uint8_t> BuildReplyBody(const Request& request, const Registers& registers);

// Body + CRC, low byte first.
std::vector<std::uint8_t> FrameRtu(std::span<const std::uint8_t> body);

// ":" + body as hex pairs + LRC + CR LF.
std::string FrameAscii(std::span<const std::uint8_t> body, HexCase hexCase);

// Damages the checksum of a framed reply so that it no longer matches: RTU
// flips every bit of the CRC low byte; ASCII replaces the LRC digits by those
// of the LRC with every bit flipped, in the same letter case.
void CorruptRtu(std::vector<std::uint8_t>& framed);
void CorruptAscii(std::string& framed, HexCase hexCase);

// "43 04 00 ..." (uppercase) for logs.
std::string HexBytes(std::span<const std::uint8_t> bytes);
// Text with CR and LF written as \r and \n, other control bytes as \xHH.
std::string EscapeText(std::string_view text);

} // namespace modsim
