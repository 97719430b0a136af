#include "codec/numberread.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <string>

namespace {

TEST(ReadNumber, Decimal)
{
    const std::pair<const char*, double> rows[] = {
        {"67", 67},       {"  67  ", 67}, {"6 7", 67},    {"\t6\n7", 67},
        {"+5", 5},        {"-3", -3},     {"67.5", 67.5}, {".5", 0.5},
        {"-.5", -0.5},    {"5.", 5},      {"1e2", 100},   {"1E+2", 100},
        {"2.5e-1", 0.25}, {"1e", 1},      {"1e+", 1},     {"12abc", 12},
        {"3.4.5", 3.4},   {"--5", 0},     {"+-5", 0},     {"", 0},
        {"   ", 0},       {"abc", 0},     {"+", 0},       {".", 0},
        {"-", 0},         {"1,5", 1},     {"e5", 0},      {"0x1F", 0},
        {"1e-400", 0},    {"\r67", 0}, // carriage returns are not removed
    };
    for (const auto& [text, value] : rows)
        EXPECT_EQ(codec::ReadNumber(text), value) << '"' << text << '"';

    EXPECT_TRUE(std::isinf(codec::ReadNumber("1e400")));
    EXPECT_TRUE(std::isinf(codec::ReadNumber("0.001e312")));
    EXPECT_EQ(codec::ReadNumber("1000e-330"), 0) << "too small for a double is 0, not infinity";
    EXPECT_EQ(codec::ReadNumber("0." + std::string(5000, '0') + "1"), 0);
    EXPECT_EQ(codec::ReadNumber("-0." + std::string(400, '0') + "1e2"), 0);
    EXPECT_TRUE(std::isinf(codec::ReadNumber(std::string(400, '1') + ".5e-10")));
    EXPECT_TRUE(std::isinf(codec::ReadNumber("-1e99999")));
    EXPECT_EQ(codec::ReadNumber(std::string(100000, '9')), INFINITY)
        << "a huge number, read without fuss";
    EXPECT_EQ(codec::ReadNumber("６７"), 0) << "full-width digits are not digits here";
    EXPECT_EQ(codec::ReadNumber("67号"), 67);
}

TEST(ReadNumber, HexadecimalAndOctal)
{
    const std::pair<const char*, double> rows[] = {
        {"&H43", 67},       {"&h43", 67},
        {"&H7FFF", 32767},  {"&H8000", -32768},
        {"&HFFFB", -5},     {"&HFFFF", -1},
        {"&Hff", 255},      {"&H00EB", 235},
        {"&H0FFFF", 65535}, // five digits: not a 16-bit number
        {"&H10000", 65536}, {"&HFFFFFFFF", 4294967295.0},
        {"&H", 0},          {"&HG1", 0},
        {"&H1G", 1},        {"& H10", 16},
        {"&O17", 15},       {"&o17", 15},
        {"&O177777", -1},   {"&O100000", -32768},
        {"&O77777", 32767}, {"&O8", 0},
        {"&O178", 15},      {"&", 0},
        {"&X12", 0},        {"&12", 0},
    };
    for (const auto& [text, value] : rows)
        EXPECT_EQ(codec::ReadNumber(text), value) << '"' << text << '"';
}

TEST(ReadNumber, IgnoresTheLocale)
{
    // Under a decimal comma strtod would read "67.5" as 67.
    const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
#ifdef _WIN32
    const char* german = "German_Germany.1252";
#else
    const char* german = "de_DE.UTF-8";
#endif
    ASSERT_NE(std::setlocale(LC_NUMERIC, german), nullptr)
        << "no " << german << " locale: run scripts/deps.sh";
    EXPECT_STREQ(std::localeconv()->decimal_point, ",");
    EXPECT_EQ(codec::ReadNumber("67.5"), 67.5);
    std::setlocale(LC_NUMERIC, saved.c_str());
}

TEST(RoundToWhole, HalvesGoToTheEvenNeighbour)
{
    const std::pair<double, int> rows[] = {
        {2.5, 2},  {3.5, 4},  {66.5, 66},   {67.5, 68},
        {-0.5, 0}, {0.49, 0}, {254.5, 254}, {255.4, 255},
    };
    for (const auto& [value, whole] : rows)
        EXPECT_EQ(codec::RoundToWhole(value, 0, 255), whole) << value;

    EXPECT_EQ(codec::RoundToWhole(255.5, 0, 255), std::nullopt) << "rounds to 256";
    EXPECT_EQ(codec::RoundToWhole(-0.6, 0, 255), std::nullopt);
    EXPECT_EQ(codec::RoundToWhole(INFINITY, 0, 255), std::nullopt);
    EXPECT_EQ(codec::RoundToWhole(NAN, 0, 255), std::nullopt);
    EXPECT_EQ(codec::RoundToWhole(-32768.4, -32768, 32755), -32768);
    EXPECT_EQ(codec::RoundToWhole(1e300, -32768, 32755), std::nullopt);
}

} // namespace
