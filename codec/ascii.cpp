#include "codec/ascii.h"

#include "codec/numberread.h"

namespace ascii {
namespace {

// Two uppercase hexadecimal digits of the low byte.
std::string hexByte(int value)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    const auto byte = static_cast<unsigned>(value) & 0xFFu;
    return {kDigits[byte >> 4], kDigits[byte & 0xF]};
}

// Characters [position, position + count) of the text, 1-based, as far as
// they exist.
std::string_view group(std::string_view text, std::size_t position, std::size_t count)
{
    const std::size_t start = position - 1;
    if (start >= text.size())
        return {};
    return text.substr(start, count);
}

// A group read as hexadecimal by the number reading: digits up to the first
// other character, none giving 0, four digits from 8000 up negative.
double readHex(std::string_view digits)
{
    std::string number = "&H";
    number += digits;
    return codec::ReadNumber(number);
}

} // namespace

std::string BuildRequest(std::int16_t address)
{
    // The LRC is the two's complement of the byte sum: address + 04 + 08
    // (the other request bytes are 0), keeping the low byte.
    constexpr int kOtherBytes = protocol::kReadInputRegisters + protocol::kRegisterCount; // 12
    // Appended piece by piece: GCC 12 at -O3 warns, wrongly, of an overlapping
    // copy in ":" + std::string (-Wrestrict).
    std::string request = ":";
    request += hexByte(address);
    request += "0400000008";
    request += hexByte(-(address + kOtherBytes));
    request += "\r\n";
    return request;
}

Reply DecodeReply(std::string_view text)
{
    Reply reply;
    for (std::size_t i = 0; i < protocol::kChannelCount; ++i) {
        const double raw =
            readHex(group(text, kRegistersAt + kRegisterDigits * i, kRegisterDigits));
        reply.values[i] = static_cast<float>(raw / 10.0);
    }

    // The LRC over the 19 bytes of characters 2 to 39. A sum of zero is
    // written as the single digit "0", and so never matches two characters.
    std::int32_t sum = 0;
    for (std::size_t i = 0; i < protocol::kReplyBodySize; ++i)
        sum -= static_cast<std::int32_t>(readHex(group(text, kBodyAt + 2 * i, 2)));
    reply.checkText = sum == 0 ? "0" : hexByte(sum);
    reply.receivedText = std::string(group(text, kLrcAt, 2));
    reply.lrcOk = reply.checkText == reply.receivedText; // case-sensitive: "b1" is not "B1"
    return reply;
}

} // namespace ascii
