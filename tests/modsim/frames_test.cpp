// modsim's frames against vectors produced by pymodbus 3.0 (Debian
// python3-pymodbus) or worked by hand: checksums, requests in both framings,
// replies and their damaged forms.

#include "harness.h"

#include <gtest/gtest.h>

using namespace modsim;
using namespace modsim::test;

namespace {

TEST(Checksums, MatchPublishedValues)
{
    EXPECT_EQ(Crc16(FromText("123456789")), 0x4B37); // CRC-16/MODBUS check value
    // The CRCs two peer requests carry, low byte first: 43 .. FE EE and 44 .. FF 59.
    EXPECT_EQ(Crc16(FromHex("43 04 00 00 00 08")), 0xEEFE);
    EXPECT_EQ(Crc16(FromHex("44 04 00 00 00 08")), 0x59FF);
    EXPECT_EQ(Lrc(FromHex("43 04 00 00 00 08")), 0xB1); // sum 0x4F, -0x4F = 0xB1
    EXPECT_EQ(Lrc(FromHex("01 04 00 00 00 08")), 0xF3);
    EXPECT_EQ(Lrc(FromHex("80 80")), 0x00); // the sum wraps to 0x100
}

struct RequestRow
{
    std::string frame; // RTU as hex, ASCII as text
    std::uint8_t address;
    std::uint16_t start;
    std::uint16_t count;
};

TEST(Request, AcceptsPeerFramesInBothFramings)
{
    const RequestRow rows[] = {
        {"43 04 00 00 00 08 FE EE", 67, 0, 8},
        {"44 04 00 00 00 08 FF 59", 68, 0, 8},
        {"01 04 00 00 00 08 F1 CC", 1, 0, 8},
        {"FF 04 00 00 00 08 E4 12", 255, 0, 8},
        {"43 04 00 02 00 03 1E E9", 67, 2, 3},
        {"11 04 00 05 00 02 63 5A", 17, 5, 2},
        {":430400000008B1\r\n", 67, 0, 8},
        {":010400000008F3\r\n", 1, 0, 8},
        {":440400000008B0\r\n", 68, 0, 8},
        {":FF0400000008F5\r\n", 255, 0, 8},
        {":430400020003B4\r\n", 67, 2, 3},
        // Lowercase hex is accepted in requests (as many real modules do);
        // replies are written uppercase unless --lowercase asks otherwise.
        {":430400000008b1\r\n", 67, 0, 8},
        {":ff0400000008f5\r\n", 255, 0, 8},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(EscapeText(row.frame));
        const auto frame = row.frame.starts_with(':') ? CheckAsciiFrame(row.frame)
                                                      : CheckRtuFrame(FromHex(row.frame));
        ASSERT_TRUE(frame);
        const auto request = ReadRequest(*frame);
        ASSERT_TRUE(request);
        EXPECT_EQ(request->address, row.address);
        EXPECT_EQ(request->function, kReadInputRegisters);
        EXPECT_EQ(request->start, row.start);
        EXPECT_EQ(request->count, row.count);
        EXPECT_TRUE(IsForModule(*frame, row.address));
    }
}

TEST(Request, RefusesDamagedRtuFrames)
{
    const char* rows[] = {
        "43 04 00 00 00 08 FE EF",    // CRC high byte off by one
        "43 04 00 00 00 08 EE FE",    // CRC bytes swapped (high byte first)
        "43 04 00 00 00 08 FE",       // one byte short
        "43 04 00 00 00 08 FE EE 00", // one byte long
        "43 04 00 00 00 09 FE EE",    // data changed, CRC kept
    };
    for (const char* row : rows)
        EXPECT_FALSE(CheckRtuFrame(FromHex(row))) << row;
}

TEST(Request, RefusesDamagedAsciiFrames)
{
    const char* rows[] = {
        ":430400000008B2\r\n", // LRC off by one
        ":430400000008B1\n",   // no CR
        ":430400000008B1\r",   // no LF
        "430400000008B1\r\n",  // no colon
        ":43040000008B1\r\n",  // odd number of digits
        ":43040000000GB1\r\n", // not a hex digit
        ":4304 0000008B1\r\n", // blank inside
        ":B1\r\n",             // LRC only
    };
    for (const char* row : rows)
        EXPECT_FALSE(CheckAsciiFrame(row)) << EscapeText(row);
}

struct ReplyRow
{
    std::uint8_t address;
    std::uint16_t start;
    std::uint16_t count;
    Registers registers;
    std::string rtu;
    std::string ascii;
};

TEST(Reply, MatchesPeerFrames)
{
    // clang-format off
    const ReplyRow rows[] = {
        {67, 0, 8, kSampleValues, "43 04 10 00 00 00 01 FF FF 7F FF 80 00 00 64 FF 9C 04 D2 23 38",
                                  kAsciiReply67},
        {68, 0, 8, {},            "44 04 10 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 8C 2F",
                                  ":44041000000000000000000000000000000000A8\r\n"},
        {1, 0, 8, {10, 20, 30, 40, 50, 60, 70, 80},
                                  "01 04 10 00 0A 00 14 00 1E 00 28 00 32 00 3C 00 46 00 50 D3 39",
                                  ":010410000A0014001E00280032003C0046005083\r\n"},
        {255, 0, 8, {-2, -3, -4, -5, 235, -5, 32767, -32768},
                                  "FF 04 10 FF FE FF FD FF FC FF FB 00 EB FF FB 7F FF 80 00 54 13",
                                  ":FF0410FFFEFFFDFFFCFFFB00EBFFFB7FFF80001C\r\n"},
        // Part of the registers: 2..4, and the last one alone.
        {67, 2, 3, kSampleValues, "43 04 06 FF FF 7F FF 80 00 00 0F", ":430406FFFF7FFF8000B7\r\n"},
        {67, 7, 1, kSampleValues, "43 04 02 04 D2 43 A2",             ":43040204D2E1\r\n"},
        // Exceptions: 02 for registers beyond 7, 03 for a count of 0.
        {67, 0, 9, kSampleValues, "43 84 02 62 D5",                   ":43840237\r\n"},
        {67, 8, 1, kSampleValues, "43 84 02 62 D5",                   ":43840237\r\n"},
        {67, 7, 2, kSampleValues, "43 84 02 62 D5",                   ":43840237\r\n"},
        {68, 0, 9, kSampleValues, "44 84 02 D3 14",                   ":44840236\r\n"},
        {67, 0, 0, kSampleValues, "43 84 03 A3 15",                   ":43840336\r\n"},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.rtu);
        const Request request{row.address, kReadInputRegisters, row.start, row.count};
        const auto body = BuildReplyBody(request, row.registers);
        EXPECT_EQ(FrameRtu(body), FromHex(row.rtu));
        EXPECT_EQ(FrameAscii(body, HexCase::Upper), row.ascii);
    }
}

TEST(Reply, CorruptionInvertsOnlyTheChecksum)
{
    Bytes rtu = kReply67;
    CorruptRtu(rtu);
    EXPECT_EQ(rtu, kCorruptReply67);

    std::string ascii = kAsciiReply67;
    CorruptAscii(ascii, HexCase::Upper);
    EXPECT_EQ(ascii, kAsciiCorruptReply67);
    // LRC 83 -> 7C, in the letter case of the reply; lowercase writes every digit so.
    const auto body =
        BuildReplyBody({1, kReadInputRegisters, 0, 8}, {10, 20, 30, 40, 50, 60, 70, 80});
    ascii = FrameAscii(body, HexCase::Lower);
    CorruptAscii(ascii, HexCase::Lower);
    EXPECT_EQ(ascii, ":010410000a0014001e00280032003c004600507c\r\n");
    ascii = FrameAscii(body, HexCase::Upper);
    CorruptAscii(ascii, HexCase::Upper);
    EXPECT_EQ(ascii, ":010410000A0014001E00280032003C004600507C\r\n");
}

} // namespace
