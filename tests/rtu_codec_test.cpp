#include "codec/rtu.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes hex(const std::string& text)
{
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 3)
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

TEST(Crc16, MatchesPublishedCheckValues)
{
    const std::string check = "123456789";
    const Bytes bytes(check.begin(), check.end());
    EXPECT_EQ(rtu::Crc16(bytes, bytes.size()), 0x4B37); // CRC-16/MODBUS check value
    EXPECT_EQ(rtu::Crc16(bytes, 0), 0xFFFF);            // nothing folded in yet
    EXPECT_EQ(rtu::Crc16(bytes, 100), 0x4B37);          // count past the end reads no further
    EXPECT_EQ(rtu::Crc16(hex("43 04 00 00 00 08"), 6), 0xEEFE);
}

// Requests as an independent master (pymodbus) frames them.
TEST(BuildRequest, MatchesAnIndependentMaster)
{
    const std::vector<std::pair<std::uint8_t, std::string>> rows = {
        {67, "43 04 00 00 00 08 fe ee"},  {68, "44 04 00 00 00 08 ff 59"},
        {1, "01 04 00 00 00 08 f1 cc"},   {0, "00 04 00 00 00 08 f0 1d"},
        {255, "ff 04 00 00 00 08 e4 12"},
    };
    for (const auto& [address, frame] : rows) {
        const rtu::Request request = rtu::BuildRequest(address);
        EXPECT_EQ(Bytes(request.begin(), request.end()), hex(frame)) << frame;
    }
}

struct ReplyRow
{
    std::string frame; // replies framed by pymodbus
    std::array<float, 8> values;
};

TEST(DecodeReply, DecodesRepliesFramedByAnIndependentSlave)
{
    const std::vector<ReplyRow> rows = {
        {"43 04 10 00 eb ff fb 7f ff 80 00 00 00 00 01 ff ff 04 d2 e9 7c",
         {235, -5, 32767, -32768, 0, 1, -1, 1234}},
        {"44 04 10 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 8c 2f",
         {0, 0, 0, 0, 0, 0, 0, 0}},
        {"01 04 10 00 64 00 c8 01 2c 01 90 01 f4 02 58 02 bc 03 20 2e 86",
         {100, 200, 300, 400, 500, 600, 700, 800}},
        {"ff 04 10 12 34 ab cd 00 ff ff 00 00 2a 7f fe 80 01 00 09 5b 76",
         {4660, -21555, 255, -256, 42, 32766, -32767, 9}},
    };
    for (const auto& row : rows) {
        const auto reply = rtu::DecodeReply(hex(row.frame));
        ASSERT_TRUE(reply) << row.frame;
        EXPECT_EQ(reply->values, row.values) << row.frame;
        EXPECT_TRUE(reply->crcOk) << row.frame;
        EXPECT_EQ(reply->received, reply->computed) << row.frame;
    }
}

TEST(DecodeReply, FailsDamagedReplies)
{
    const Bytes good = hex("43 04 10 00 eb ff fb 7f ff 80 00 00 00 00 01 ff ff 04 d2 e9 7c");
    ASSERT_TRUE(rtu::DecodeReply(good)->crcOk);

    Bytes swapped = good; // CRC bytes in the wrong order
    std::swap(swapped[19], swapped[20]);
    auto reply = rtu::DecodeReply(swapped);
    EXPECT_FALSE(reply->crcOk);
    EXPECT_EQ(reply->received, 0xE97C);
    EXPECT_EQ(reply->computed, 0x7CE9);

    // The header is never compared with the request, but the CRC covers it.
    for (std::size_t i : {0u, 1u, 2u, 10u, 18u}) {
        Bytes damaged = good;
        damaged[i] ^= 0x01;
        EXPECT_FALSE(rtu::DecodeReply(damaged)->crcOk) << "byte " << i;
    }

    // Values are produced all the same: the poller shows them.
    Bytes flipped = good;
    flipped[20] ^= 0xFF;
    reply = rtu::DecodeReply(flipped);
    EXPECT_FALSE(reply->crcOk);
    EXPECT_EQ(reply->values[0], 235);
    EXPECT_EQ(reply->values[3], -32768);
}

TEST(DecodeReply, UsesOnlyTheFirst21Bytes)
{
    Bytes longer =
        hex("44 04 10 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 8c 2f de ad be ef");
    EXPECT_TRUE(rtu::DecodeReply(longer)->crcOk);

    // A stray leading byte shifts the frame and must fail, not be searched past.
    Bytes shifted = {0x00};
    shifted.insert(shifted.end(), longer.begin(), longer.begin() + 21);
    EXPECT_FALSE(rtu::DecodeReply(shifted)->crcOk);
}

TEST(DecodeReply, RefusesAShortReplyWithoutReadingPastIt)
{
    const Bytes good = hex("44 04 10 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 8c 2f");
    for (std::size_t size : {0u, 1u, 5u, 19u, 20u}) {
        // A vector of exactly `size` bytes: AddressSanitizer catches a read past it.
        const Bytes shortReply(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(size));
        EXPECT_FALSE(rtu::DecodeReply(shortReply)) << size << " bytes";
    }
}

} // namespace
