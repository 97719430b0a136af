// Modbus ASCII framing for "read input registers 0 to 7": the 17-character
// request line and the 43-character reply line with its LRC.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ascii {

constexpr std::size_t kRequestSize = 17; // ':' + 12 hex digits + LRC + CR LF
constexpr std::size_t kReplySize = 43;   // ':' + 19 bytes in hex + LRC + CR LF
constexpr std::size_t kChannelCount = 8;

using ChannelValues = std::array<float, kChannelCount>;

struct Reply
{
    ChannelValues values{};   // registers in tenths
    std::string checkText;    // LRC computed from the reply, as text
    std::string receivedText; // the characters at positions 40 and 41
    bool lrcOk = false;
};

// ":" + address low byte + "0400000008" + LRC + CR LF, hex digits uppercase.
std::string BuildRequest(std::int16_t address);

// Reads the reply text, one character per received byte, by position from its
// first character: nothing is searched for or skipped, and groups beyond the
// end are read from what is there. Never reads out of bounds.
Reply DecodeReply(std::string_view text);

} // namespace ascii
