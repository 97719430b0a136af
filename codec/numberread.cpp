#include "codec/numberread.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace codec {
namespace {

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

int digitValue(char c, int radix)
{
    int value = -1;
    if (c >= '0' && c <= '9')
        value = c - '0';
    else if (c >= 'A' && c <= 'F')
        value = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f')
        value = c - 'a' + 10;
    return value < radix ? value : -1;
}

// Digits of `radix` from the start of `digits`. Values of at most
// `shortDigits` digits whose top bit of 16 is set are two's complement.
double readRadix(std::string_view digits, int radix, std::size_t shortDigits)
{
    double value = 0;
    std::size_t count = 0;
    for (char c : digits) {
        const int d = digitValue(c, radix);
        if (d < 0)
            break;
        value = value * radix + d;
        ++count;
    }
    if (count <= shortDigits && value >= 0x8000 && value <= 0xFFFF)
        value -= 0x10000;
    return value;
}

// Where the first significant digit of an unsigned decimal stands: 1 for
// "5", 3 for "500", 0 for "0.5", -4 for "0.00005e0". Only its sign matters
// (too large or too small for a double), so the exponent saturates.
long long decimalOrder(std::string_view number)
{
    const std::size_t e = number.find_first_of("eE");
    const std::string_view mantissa = number.substr(0, e);
    long long exponent = 0;
    if (e != std::string_view::npos) {
        std::string_view digits = number.substr(e + 1);
        const bool negative = !digits.empty() && digits.front() == '-';
        for (char c : digits)
            if (isDigit(c))
                exponent = std::min(exponent * 10 + (c - '0'), 1'000'000'000'000LL);
        if (negative)
            exponent = -exponent;
    }
    const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
    const std::size_t first = mantissa.find_first_of("123456789");
    if (first == std::string_view::npos)
        return std::numeric_limits<long long>::min(); // all zeros
    const long long position = first < point ? static_cast<long long>(point - first)
                                             : -static_cast<long long>(first - point - 1);
    return position + exponent;
}

double readDecimal(std::string_view text)
{
    // Longest prefix of the form [sign] digits [. digits] [e [sign] digits],
    // with at least one digit before the exponent.
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    const std::size_t start = i;
    std::size_t mantissaDigits = 0;
    while (i < text.size() && isDigit(text[i]))
        ++i, ++mantissaDigits;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && isDigit(text[i]))
            ++i, ++mantissaDigits;
    }
    if (mantissaDigits == 0)
        return 0;
    std::size_t end = i;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < text.size() && (text[j] == '+' || text[j] == '-'))
            ++j;
        if (j < text.size() && isDigit(text[j])) {
            while (j < text.size() && isDigit(text[j]))
                ++j;
            end = j;
        }
    }

    // from_chars ignores the C locale, so a decimal comma setting cannot
    // change how "67.5" reads. It takes no '+' in the exponent.
    std::string number(text.substr(start, end - start));
    if (const auto plus = number.find("e+"); plus != std::string::npos)
        number.erase(plus + 1, 1);
    else if (const auto plusUpper = number.find("E+"); plusUpper != std::string::npos)
        number.erase(plusUpper + 1, 1);
    double value = 0;
    const auto [ptr, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (ec == std::errc::result_out_of_range)
        value = decimalOrder(number) > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    return negative ? -value : value;
}

} // namespace

double ReadNumber(std::string_view text)
{
    // Blanks, tabs and line feeds go; any other byte that is not part of a
    // number (a non-ASCII byte included) ends it.
    std::string ascii;
    ascii.reserve(text.size());
    for (char c : text)
        if (c != ' ' && c != '\t' && c != '\n')
            ascii.push_back(c);

    const std::string_view view(ascii);
    if (view.size() >= 2 && view[0] == '&') {
        if (view[1] == 'H' || view[1] == 'h')
            return readRadix(view.substr(2), 16, 4);
        if (view[1] == 'O' || view[1] == 'o')
            return readRadix(view.substr(2), 8, 6);
        return 0;
    }
    return readDecimal(view);
}

std::optional<int> RoundToWhole(double value, int low, int high)
{
    if (!std::isfinite(value))
        return std::nullopt;
    const double whole = std::nearbyint(value); // the default rounding: half to even
    if (whole < low || whole > high)
        return std::nullopt;
    return static_cast<int>(whole);
}

} // namespace codec
