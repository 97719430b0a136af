// Modbus ASCII framing for "read input registers 0 to 7": the 17-character
// request line and the 43-character reply line with its LRC.
#pragma once

#include "codec/protocol.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace ascii {

struct Reply
{
    protocol::ChannelValues values{}; // registers in tenths
    std::string checkText;            // LRC computed from the reply, as text
    std::string receivedText;         // the characters at positions 40 and 41
    bool lrcOk = false;
};

// ":" + address low byte + "0400000008" + LRC + CR LF, hex digits uppercase.
std::string BuildRequest(std::int16_t address);

// Reads the reply text, one character per received byte, by position from its
// first character: nothing is searched for or skipped, and groups beyond the
// end are read from what is there. Never reads out of bounds.
Reply DecodeReply(std::string_view text);

} // namespace ascii
