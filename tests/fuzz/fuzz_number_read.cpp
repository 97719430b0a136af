// codec::ReadNumber and codec::RoundToWhole on arbitrary text.
//
// - ReadNumber never gives NaN, whatever the text.
// - A decimal reads exactly as the C library's strtod reads the same
//   characters (blanks, tabs and line feeds left out, cut at the first
//   character no decimal can hold): the same correctly rounded double, an
//   infinity only for a number too large for a double, zero or a subnormal
//   for one too small.
// - "&H" and "&O" numbers are whole and not negative, unless they have at
//   most 4 (hex) or 6 (octal) digits and lie in 8000..FFFF, which reads as
//   the 16-bit two's complement; up to 13 hex or 17 octal digits the value is
//   exact. "&" followed by anything else is 0.
// - RoundToWhole gives a whole number within [low, high], at most a half
//   away from the value, a half going to the even neighbour; it refuses
//   exactly the values that are not finite or round outside the bounds.
//   Checked on the number read and on the input's first 8 bytes as a double
//   (NaN, infinities and subnormals included), with fixed and input-chosen
//   bounds.

#include "codec/numberread.h"
#include "fuzzcheck.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string WithoutBlanks(std::string_view text)
{
    std::string out;
    for (char c : text)
        if (c != ' ' && c != '\t' && c != '\n')
            out.push_back(c);
    return out;
}

int DigitValue(char c, int radix)
{
    int d = -1;
    if (c >= '0' && c <= '9')
        d = c - '0';
    else if (c >= 'A' && c <= 'F')
        d = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f')
        d = c - 'a' + 10;
    return d < radix ? d : -1;
}

void CheckRadix(double value, std::string_view digits, int radix, std::size_t shortDigits,
                std::size_t exactDigits)
{
    std::size_t count = 0;
    while (count < digits.size() && DigitValue(digits[count], radix) >= 0)
        ++count;
    FUZZ_CHECK(value == std::floor(value) || std::isinf(value));
    if (count > exactDigits) {
        FUZZ_CHECK(value >= 0);
        return;
    }
    const std::string digitText(digits.substr(0, count));
    double expected =
        count == 0 ? 0.0 : static_cast<double>(std::strtoull(digitText.c_str(), nullptr, radix));
    if (count <= shortDigits && expected >= 0x8000 && expected <= 0xFFFF)
        expected -= 0x10000;
    FUZZ_CHECK(value == expected);
}

void CheckDecimal(double value, const std::string& text)
{
    const std::size_t end = text.find_first_not_of("0123456789.eE+-");
    const std::string prefix = text.substr(0, end);
    const double expected = std::strtod(prefix.c_str(), nullptr);
    if (value != expected) {
        std::fprintf(stderr, "ReadNumber gives %.17g, strtod %.17g for \"%.200s\"\n", value,
                     expected, prefix.c_str());
        FUZZ_CHECK(value == expected);
    }
}

// Round half to even by way of floor, checked against RoundToWhole.
void CheckRound(double value, int low, int high)
{
    const std::optional<int> whole = codec::RoundToWhole(value, low, high);
    if (!std::isfinite(value)) {
        FUZZ_CHECK(!whole);
        return;
    }
    const double below = std::floor(value);
    const double fraction = value - below; // exact for a double
    double nearest = below;
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(below, 2.0) != 0.0))
        nearest = below + 1;
    const bool inside = nearest >= low && nearest <= high;
    FUZZ_CHECK(whole.has_value() == inside);
    if (whole) {
        FUZZ_CHECK(*whole >= low && *whole <= high);
        FUZZ_CHECK(*whole == nearest);
        FUZZ_CHECK(std::fabs(*whole - value) <= 0.5);
    }
}

void CheckRoundings(double value, int low, int high)
{
    CheckRound(value, 0, 255);
    CheckRound(value, -32768, 32755);
    CheckRound(value, INT_MIN, INT_MAX);
    CheckRound(value, low, high);
    CheckRound(value, high, low);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const fuzz::ExactCopy input({data, size});
    const double value = codec::ReadNumber(input.text());
    FUZZ_CHECK(!std::isnan(value));

    const std::string text = WithoutBlanks(input.text());
    if (text.size() >= 2 && text[0] == '&') {
        const std::string_view digits = std::string_view(text).substr(2);
        if (text[1] == 'H' || text[1] == 'h')
            CheckRadix(value, digits, 16, 4, 13);
        else if (text[1] == 'O' || text[1] == 'o')
            CheckRadix(value, digits, 8, 6, 17);
        else
            FUZZ_CHECK(value == 0);
    } else {
        CheckDecimal(value, text);
    }

    // Bounds from the input's last bytes, the raw double from its first.
    int low = 0;
    int high = 0;
    if (size >= 8) {
        std::memcpy(&low, data + size - 8, sizeof low);
        std::memcpy(&high, data + size - 4, sizeof high);
    }
    CheckRoundings(value, low, high);
    if (size >= sizeof(double)) {
        double raw = 0;
        std::memcpy(&raw, data, sizeof raw);
        CheckRoundings(raw, low, high);
    }
    return 0;
}
