#include "poll/numberformat.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

TEST(IntegerFormats, PlainAndLeadingBlank)
{
    const std::int32_t max = std::numeric_limits<std::int32_t>::max();
    const std::int32_t min = std::numeric_limits<std::int32_t>::min();
    EXPECT_EQ(poll::FormatPlainInteger(0), "0");
    EXPECT_EQ(poll::FormatPlainInteger(17), "17");
    EXPECT_EQ(poll::FormatPlainInteger(-3), "-3");
    EXPECT_EQ(poll::FormatPlainInteger(max), "2147483647");
    EXPECT_EQ(poll::FormatLeadingBlankInteger(0), " 0");
    EXPECT_EQ(poll::FormatLeadingBlankInteger(1), " 1");
    EXPECT_EQ(poll::FormatLeadingBlankInteger(250), " 250");
    EXPECT_EQ(poll::FormatLeadingBlankInteger(-3), "-3");
    EXPECT_EQ(poll::FormatLeadingBlankInteger(min), "-2147483648");
}

TEST(ChannelNumber, SevenSignificantDigitsWithoutExponent)
{
    const QLocale c = QLocale::c();
    const std::pair<float, const char*> rows[] = {
        {23.5f, "23.5"},
        {-0.5f, "-0.5"},
        {0.0f, "0"},
        {-0.0f, "0"},
        {-32768.0f, "-32768"},
        {32767.0f, "32767"},
        {32767.0f / 10.0f, "3276.7"}, // 3276.699951... in single precision
        {-32768.0f / 10.0f, "-3276.8"},
        {0.1f, "0.1"}, // 0.100000001... in single precision
        {1.0f / 3.0f, "0.3333333"},
        {1234567.8f, "1234568"},
        {123456789.0f, "123456800"}, // rounded, never "1.234568E+08"
        {0.0000001f, "0.0000001"},
        {-0.000012345678f, "-0.00001234568"},
        {9999999.5f, "10000000"}, // rounding carries into a new digit
    };
    for (const auto& [value, text] : rows)
        EXPECT_EQ(poll::FormatChannelNumber(value, c), QLatin1String(text)) << text;
}

TEST(ChannelNumber, UsesTheLocaleDecimalSeparator)
{
    const QLocale german(QLocale::German, QLocale::Germany);
    EXPECT_EQ(poll::FormatChannelNumber(23.5f, german), "23,5");
    EXPECT_EQ(poll::FormatChannelNumber(-3276.8f, german), "-3276,8");
    EXPECT_EQ(poll::FormatChannelNumber(32767.0f, german), "32767") << "no group separators";
}

} // namespace

namespace {

TEST(FrameText, ShowsLineEndsAndKeepsEveryByteAsOneCharacter)
{
    EXPECT_EQ(poll::FormatFrameText(":430400000008B1\r\n"), QString::fromUtf8(":430400000008B1␍␊"));
    EXPECT_EQ(poll::FormatFrameText(QByteArray("a\0b\x7f", 4)), QString::fromUtf8("a␀b␡"));
    const QString high = poll::FormatFrameText("\xe9\xff\x80");
    ASSERT_EQ(high.size(), 3) << "bytes above 127 stay one character each";
    EXPECT_EQ(high, QString::fromUtf8("é\u00ff\u0080"));
    EXPECT_EQ(poll::FormatFrameText({}), "");
}

} // namespace
