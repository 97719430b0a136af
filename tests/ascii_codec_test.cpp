#include "codec/ascii.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(AsciiBuildRequest, MatchesTheWorkedRequests)
{
    const std::vector<std::pair<std::int16_t, std::string>> rows = {
        {67, ":430400000008B1\r\n"},    {1, ":010400000008F3\r\n"},
        {68, ":440400000008B0\r\n"},    {0, ":000400000008F4\r\n"},
        {255, ":FF0400000008F5\r\n"},   {5, ":050400000008EF\r\n"},
        {300, ":2C0400000008C8\r\n"}, // only the low byte, 0x2C, and its LRC
        {44, ":2C0400000008C8\r\n"},    {-1, ":FF0400000008F5\r\n"},
        {32755, ":F3040000000801\r\n"}, {-32768, ":000400000008F4\r\n"},
    };
    for (const auto& [address, text] : rows) {
        const std::string request = ascii::BuildRequest(address);
        EXPECT_EQ(request, text) << address;
        EXPECT_EQ(request.size(), ascii::kRequestSize);
    }
}

struct ReplyRow
{
    std::string text; // replies framed by pymodbus
    protocol::ChannelValues values;
};

TEST(AsciiDecodeReply, DecodesRepliesFramedByAnIndependentSlave)
{
    const std::vector<ReplyRow> rows = {
        {":43041000EBFFFB7FFF800000000001FFFF04D2F1\r\n",
         {23.5f, -0.5f, 3276.7f, -3276.8f, 0.0f, 0.1f, -0.1f, 123.4f}},
        {":44041000000000000000000000000000000000A8\r\n", {}},
        {":010410006400C8012C019001F4025802BC0320D1\r\n", {10, 20, 30, 40, 50, 60, 70, 80}},
        {":FF04101234ABCD00FFFF00002A7FFE8001000900\r\n", // LRC 00: a non-zero sum
         {466.0f, -2155.5f, 25.5f, -25.6f, 4.2f, 3276.6f, -3276.7f, 0.9f}},
    };
    for (const auto& row : rows) {
        ASSERT_EQ(row.text.size(), ascii::kReplySize);
        const ascii::Reply reply = ascii::DecodeReply(row.text);
        EXPECT_EQ(reply.values, row.values) << row.text;
        EXPECT_TRUE(reply.lrcOk) << row.text << " computed " << reply.checkText;
        EXPECT_EQ(reply.checkText, row.text.substr(39, 2));
    }
}

TEST(AsciiDecodeReply, FailsDamagedReplies)
{
    const std::string good = ":43041000EBFFFB7FFF800000000001FFFF04D2F1\r\n";

    std::string lowercaseLrc = good;
    lowercaseLrc.replace(39, 2, "f1");
    auto reply = ascii::DecodeReply(lowercaseLrc);
    EXPECT_FALSE(reply.lrcOk) << "the comparison is case-sensitive";
    EXPECT_EQ(reply.checkText, "F1");
    EXPECT_EQ(reply.receivedText, "f1");

    // Lowercase register digits read the same; the LRC still matches.
    std::string lowercaseData = good;
    lowercaseData.replace(7, 4, "00eb");
    EXPECT_TRUE(ascii::DecodeReply(lowercaseData).lrcOk);
    EXPECT_EQ(ascii::DecodeReply(lowercaseData).values[0], 23.5f);

    std::string wrongLrc = good;
    wrongLrc.replace(39, 2, "F2");
    reply = ascii::DecodeReply(wrongLrc);
    EXPECT_FALSE(reply.lrcOk);
    EXPECT_EQ(reply.values[0], 23.5f) << "values are produced all the same";

    // The header takes part only through the LRC.
    std::string otherAddress = good;
    otherAddress[2] = '4';
    EXPECT_FALSE(ascii::DecodeReply(otherAddress).lrcOk);
}

TEST(AsciiDecodeReply, ReadsByPositionWithoutResynchronising)
{
    const std::string good = ":43041000EBFFFB7FFF800000000001FFFF04D2F1\r\n";
    const ascii::Reply shifted = ascii::DecodeReply("?" + good);
    EXPECT_FALSE(shifted.lrcOk);
    EXPECT_EQ(shifted.receivedText, "2F") << "characters 40 and 41 of the shifted text";
    EXPECT_EQ(shifted.values[0], 1.4f) << "characters 8 to 11 are now \"000E\"";
}

TEST(AsciiDecodeReply, ShortEmptyAndStrangeTexts)
{
    const ascii::Reply empty = ascii::DecodeReply("");
    EXPECT_EQ(empty.values, protocol::ChannelValues{});
    EXPECT_EQ(empty.checkText, "0");
    EXPECT_EQ(empty.receivedText, "");
    EXPECT_FALSE(empty.lrcOk);

    // A text cut inside register 1: register 0 whole, register 1 from its two
    // existing digits, the rest from nothing.
    const ascii::Reply cut = ascii::DecodeReply(":43041000EBFF");
    EXPECT_EQ(cut.values[0], 23.5f);
    EXPECT_EQ(cut.values[1], 25.5f) << "\"FF\" alone is 255, not a negative 16-bit value";
    EXPECT_EQ(cut.values[2], 0.0f);
    EXPECT_FALSE(cut.lrcOk);

    // Non-hex characters end a group's digits; bytes above 127 are characters too.
    const ascii::Reply strange = ascii::DecodeReply(":430410001G\xff\xfe\x80zzzz\r\n");
    EXPECT_EQ(strange.values[0], 0.1f) << "\"001G\" reads as 1";
    EXPECT_EQ(strange.values[1], 0.0f);
    EXPECT_FALSE(strange.lrcOk);

    // Blanks inside a group are removed before it is read, as the field reading does.
    std::string blank = ":43041000EBFFFB7FFF800000000001FFFF04D2F1\r\n";
    blank.replace(7, 4, "0 EB");
    EXPECT_EQ(ascii::DecodeReply(blank).values[0], 23.5f);

    // Every byte value in every position: nothing reads out of bounds or throws.
    for (int b = 0; b < 256; ++b)
        for (std::size_t length : {1u, 2u, 7u, 8u, 39u, 40u, 41u, 43u, 60u})
            ascii::DecodeReply(std::string(length, static_cast<char>(b)));
}

} // namespace
