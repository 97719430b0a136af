#include "poll/numberformat.h"

#include <charconv>
#include <cmath>
#include <string>

namespace poll {

QString FormatPlainInteger(std::int32_t value)
{
    return QString::number(value);
}

QString FormatLeadingBlankInteger(std::int32_t value)
{
    return value >= 0 ? QLatin1Char(' ') + QString::number(value) : QString::number(value);
}

QString FormatChannelNumber(float value, const QLocale& locale)
{
    if (!std::isfinite(value))
        return value != value
                   ? QStringLiteral("NaN")
                   : (value > 0 ? QStringLiteral("Infinity") : QStringLiteral("-Infinity"));
    if (value == 0.0f)
        return QStringLiteral("0"); // -0 too

    // Let the standard library round to 7 significant digits ("d.dddddde+XX"),
    // then place the point ourselves so no exponent is ever shown.
    char buffer[32];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value),
                                         std::chars_format::scientific, 6);
    if (ec != std::errc())
        return QString();
    const std::string text(buffer, end);
    const std::size_t e = text.find('e');
    std::string digits = text.substr(0, 1) + text.substr(2, e - 2); // 7 digits, no point
    const int exponent = std::stoi(text.substr(e + 1));

    std::string whole, fraction;
    if (exponent < 0) {
        whole = "0";
        fraction = std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
    } else if (static_cast<std::size_t>(exponent) + 1 >= digits.size()) {
        whole = digits + std::string(static_cast<std::size_t>(exponent) + 1 - digits.size(), '0');
    } else {
        whole = digits.substr(0, static_cast<std::size_t>(exponent) + 1);
        fraction = digits.substr(static_cast<std::size_t>(exponent) + 1);
    }
    while (!fraction.empty() && fraction.back() == '0')
        fraction.pop_back();

    QString result = value < 0 ? QStringLiteral("-") : QString();
    result += QString::fromLatin1(whole.data(), static_cast<qsizetype>(whole.size()));
    if (!fraction.empty())
        result += locale.decimalPoint() +
                  QString::fromLatin1(fraction.data(), static_cast<qsizetype>(fraction.size()));
    return result;
}

QString FormatFrameText(const QByteArray& bytes)
{
    QString text;
    text.reserve(bytes.size());
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20)
            text += QChar(0x2400 + byte); // Control Pictures: U+240D for CR, U+240A for LF
        else if (byte == 0x7F)
            text += QChar(0x2421);
        else
            text += QChar(byte); // Latin-1: bytes above 127 stay one character each
    }
    return text;
}

QString FormatClockTime(const QDateTime& time, const QDateTime& now)
{
    const QDateTime local = time.toLocalTime();
    return local.toString(local.date() == now.toLocalTime().date()
                              ? QStringLiteral("HH:mm:ss")
                              : QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

} // namespace poll
