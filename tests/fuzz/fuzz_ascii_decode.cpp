// ascii::DecodeReply on arbitrary text.
//
// - Reading by position never goes past the text (it sits in a block of
//   exactly its size), whatever its length.
// - Each value is a whole number of tenths within -3276.8..3276.7, and is
//   the group of four characters at its place read as hexadecimal.
// - The received text is characters 40 and 41 as far as they exist; the
//   check text is the LRC over the 19 two-character groups from character 2;
//   the LRC passes exactly when the two texts are equal: with two characters
//   there, two uppercase hex digits bringing a byte sum other than zero to a
//   multiple of 256 (a sum of exactly zero is written "0"); with only
//   character 40 there, a "0" and a sum of zero.
// - A reply line built from the input's bytes with its LRC (uppercase, as
//   the module writes it) passes and gives back the registers in tenths,
//   except when every byte is zero, which never passes.

#include "codec/ascii.h"
#include "fuzzcheck.h"

#include <cmath>
#include <cstdio>
#include <string>

namespace {

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Characters [first, first + count) (0-based) as far as they exist, read as
// hexadecimal the lenient way: blanks, tabs and line feeds left out, digits
// up to the first other character.
unsigned GroupValue(std::string_view text, std::size_t first, std::size_t count)
{
    unsigned value = 0;
    for (std::size_t i = first; i < first + count && i < text.size(); ++i) {
        const char c = text[i];
        if (c == ' ' || c == '\t' || c == '\n')
            continue;
        const int d = HexDigit(c);
        if (d < 0)
            break;
        value = value * 16 + static_cast<unsigned>(d);
    }
    return value;
}

bool IsUpperHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

void CheckDecode(std::string_view text)
{
    const ascii::Reply reply = ascii::DecodeReply(text);

    for (std::size_t i = 0; i < protocol::kChannelCount; ++i) {
        const float v = reply.values[i];
        FUZZ_CHECK(std::isfinite(v));
        const long tenths = std::lround(static_cast<double>(v) * 10.0);
        FUZZ_CHECK(tenths >= -32768 && tenths <= 32767);
        FUZZ_CHECK(v == static_cast<float>(static_cast<double>(tenths) / 10.0));
        const unsigned raw = GroupValue(text, 7 + 4 * i, 4);
        FUZZ_CHECK(tenths ==
                   (raw >= 0x8000 ? static_cast<long>(raw) - 0x10000 : static_cast<long>(raw)));
    }

    const std::string_view received = text.size() > 39 ? text.substr(39, 2) : std::string_view{};
    FUZZ_CHECK(reply.receivedText == received);

    unsigned sum = 0;
    for (std::size_t i = 0; i < 19; ++i)
        sum += GroupValue(text, 1 + 2 * i, 2);
    const unsigned lrc = (0x100u - (sum & 0xFFu)) & 0xFFu;
    char expected[3];
    std::snprintf(expected, sizeof expected, "%02X", lrc);
    FUZZ_CHECK(reply.checkText == (sum == 0 ? std::string("0") : std::string(expected)));

    FUZZ_CHECK(reply.lrcOk == (reply.receivedText == reply.checkText));
    if (received.size() == 2) {
        const bool lrcMatches = IsUpperHex(received[0]) && IsUpperHex(received[1]) && sum != 0 &&
                                (sum + GroupValue(received, 0, 2)) % 0x100u == 0;
        FUZZ_CHECK(reply.lrcOk == lrcMatches);
    } else {
        // A text ending at character 40 has one character to compare: "0"
        // matches the LRC of a sum of zero, as the by-position reading has it.
        FUZZ_CHECK(reply.lrcOk == (received == "0" && sum == 0));
    }
}

// ':' + address, 04, 10 and the 16 register bytes from the input, in hex,
// then the LRC and CR LF.
void CheckRebuilt(std::string_view input)
{
    std::uint8_t body[19] = {};
    for (std::size_t i = 0; i < 19 && i < input.size(); ++i)
        body[i] = static_cast<std::uint8_t>(input[i]);
    unsigned sum = 0;
    std::string line = ":";
    char pair[3];
    for (std::uint8_t b : body) {
        std::snprintf(pair, sizeof pair, "%02X", b);
        line += pair;
        sum += b;
    }
    std::snprintf(pair, sizeof pair, "%02X", (0x100u - (sum & 0xFFu)) & 0xFFu);
    line += pair;
    line += "\r\n";
    FUZZ_CHECK(line.size() == ascii::kReplySize);

    const fuzz::ExactCopy exact({reinterpret_cast<const std::uint8_t*>(line.data()), line.size()});
    const ascii::Reply reply = ascii::DecodeReply(exact.text());
    FUZZ_CHECK(reply.lrcOk == (sum != 0));
    for (std::size_t i = 0; i < protocol::kChannelCount; ++i) {
        const auto raw = static_cast<std::int16_t>(body[3 + 2 * i] << 8 | body[4 + 2 * i]);
        FUZZ_CHECK(reply.values[i] == static_cast<float>(raw / 10.0));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const fuzz::ExactCopy input({data, size});
    CheckDecode(input.text());
    CheckRebuilt(input.text());
    return 0;
}
