// Tests of the simulated input module: its frames against vectors produced by
// pymodbus 3.0 (Debian python3-pymodbus) or worked by hand, its input framing
// and fault schedule with made-up times, its command line, and the real
// binary across a pseudo-terminal.

#include "frames.h"
#include "module.h"
#include "options.h"
#include "receiver.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <poll.h>
#include <random>
#include <regex>
#include <set>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

using namespace modsim;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes FromHex(std::string_view hex)
{
    Bytes bytes;
    std::istringstream in{std::string(hex)};
    std::string pair;
    while (in >> pair)
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(pair, nullptr, 16)));
    return bytes;
}

Bytes FromText(std::string_view text)
{
    return Bytes(text.begin(), text.end());
}

constexpr Registers kSampleValues{0, 1, -1, 32767, -32768, 100, -100, 1234};

// ---------------------------------------------------------------- frames

TEST(Checksums, MatchPublishedValues)
{
    const std::string check = "123456789";
    EXPECT_EQ(Crc16(FromText(check)), 0x4B37);          // CRC-16/MODBUS check value
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

TEST(RtuRequest, AcceptsPeerFrames)
{
    const RequestRow rows[] = {
        {"43 04 00 00 00 08 FE EE", 67, 0, 8}, {"44 04 00 00 00 08 FF 59", 68, 0, 8},
        {"01 04 00 00 00 08 F1 CC", 1, 0, 8},  {"FF 04 00 00 00 08 E4 12", 255, 0, 8},
        {"43 04 00 02 00 03 1E E9", 67, 2, 3}, {"11 04 00 05 00 02 63 5A", 17, 5, 2},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.frame);
        const auto frame = CheckRtuFrame(FromHex(row.frame));
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

TEST(RtuRequest, RefusesDamagedFrames)
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

TEST(RtuRequest, AnswersOnlyItsAddressAndFunction)
{
    const auto for68 = CheckRtuFrame(FromHex("44 04 00 00 00 08 FF 59"));
    ASSERT_TRUE(for68);
    EXPECT_FALSE(IsForModule(*for68, 67));

    // Read holding registers (03): a valid frame, but not one this module serves.
    const auto holding = CheckRtuFrame(FromHex("43 03 00 00 00 08 4B 2E"));
    ASSERT_TRUE(holding);
    EXPECT_FALSE(ReadRequest(*holding));
    EXPECT_FALSE(IsForModule(*holding, 67));
}

TEST(AsciiRequest, AcceptsPeerFramesInEitherCase)
{
    const RequestRow rows[] = {
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
        SCOPED_TRACE(row.frame);
        const auto frame = CheckAsciiFrame(row.frame);
        ASSERT_TRUE(frame);
        const auto request = ReadRequest(*frame);
        ASSERT_TRUE(request);
        EXPECT_EQ(request->address, row.address);
        EXPECT_EQ(request->start, row.start);
        EXPECT_EQ(request->count, row.count);
    }
}

TEST(AsciiRequest, RefusesDamagedFrames)
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
                                  ":43041000000001FFFF7FFF80000064FF9C04D2D7\r\n"},
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

TEST(Reply, LowercaseWritesEveryDigitLowercase)
{
    const auto body = BuildReplyBody({67, kReadInputRegisters, 0, 8}, kSampleValues);
    // The pymodbus reply above, lowercased, LRC included.
    EXPECT_EQ(FrameAscii(body, HexCase::Lower), ":43041000000001ffff7fff80000064ff9c04d2d7\r\n");
}

TEST(Reply, CorruptionBreaksOnlyTheChecksum)
{
    const auto body = BuildReplyBody({67, kReadInputRegisters, 0, 8}, kSampleValues);

    Bytes rtu = FrameRtu(body);
    CorruptRtu(rtu);
    const Bytes good = FromHex("43 04 10 00 00 00 01 FF FF 7F FF 80 00 00 64 FF 9C 04 D2 23 38");
    ASSERT_EQ(rtu.size(), good.size());
    EXPECT_NE(rtu[19], good[19]);
    EXPECT_TRUE(std::equal(good.begin(), good.begin() + 19, rtu.begin()));
    EXPECT_EQ(rtu[20], good[20]);
    EXPECT_NE(Crc16(std::span(rtu).first(19)) & 0xFF, rtu[19]);

    for (const HexCase hexCase : {HexCase::Upper, HexCase::Lower}) {
        std::string ascii = FrameAscii(body, hexCase);
        const std::string intact = ascii;
        CorruptAscii(ascii, hexCase);
        ASSERT_EQ(ascii.size(), intact.size());
        EXPECT_EQ(ascii.substr(0, 39), intact.substr(0, 39));
        EXPECT_EQ(ascii.substr(41), "\r\n");
        EXPECT_NE(ascii.substr(39, 2), intact.substr(39, 2));
        const std::string digits =
            hexCase == HexCase::Upper ? "0123456789ABCDEF" : "0123456789abcdef";
        EXPECT_NE(digits.find(ascii[39]), std::string::npos) << ascii;
        EXPECT_NE(digits.find(ascii[40]), std::string::npos) << ascii;
        EXPECT_FALSE(CheckAsciiFrame(ascii));
    }
}

// ---------------------------------------------------------------- input framing

std::vector<std::string> Texts(const std::vector<Received>& received, bool frames)
{
    std::vector<std::string> out;
    for (const auto& r : received)
        if (r.frame.has_value() == frames)
            out.push_back(r.text);
    return out;
}

TEST(RtuReceiver, FindsRequestsAmongNoise)
{
    const Clock::time_point t0{};
    Receiver receiver(Framing::Rtu);
    auto got = receiver.feed(FromHex("FF 00 43 04 00 00 00 08 FE EE 44 04 00 00 00 08 FF 59"), t0);
    EXPECT_EQ(Texts(got, true),
              (std::vector<std::string>{"43 04 00 00 00 08 FE EE", "44 04 00 00 00 08 FF 59"}));
    EXPECT_EQ(Texts(got, false), std::vector<std::string>{"FF 00"});
    EXPECT_FALSE(receiver.deadline()); // nothing held back
}

TEST(RtuReceiver, JoinsPiecesWithinTheGapOnly)
{
    const Clock::time_point t0{};
    Receiver receiver(Framing::Rtu);
    EXPECT_TRUE(receiver.feed(FromHex("43 04 00 00"), t0).empty());
    EXPECT_EQ(receiver.deadline(), t0 + kRtuSilenceGap);
    auto got = receiver.feed(FromHex("00 08 FE EE"), t0 + kRtuSilenceGap - 1ms);
    EXPECT_EQ(Texts(got, true).size(), 1u);

    // The same halves 21 ms apart: the first half is given up as noise.
    const Clock::time_point t1 = t0 + 1s;
    receiver.feed(FromHex("43 04 00 00"), t1);
    got = receiver.feed(FromHex("00 08 FE EE"), t1 + kRtuSilenceGap + 1ms);
    EXPECT_TRUE(Texts(got, true).empty());
    EXPECT_EQ(Texts(got, false), std::vector<std::string>{"43 04 00 00"});
    got = receiver.expire(t1 + 2 * kRtuSilenceGap + 2ms);
    EXPECT_EQ(Texts(got, false), std::vector<std::string>{"00 08 FE EE"});
}

TEST(RtuReceiver, FloodStaysBoundedAndRecovers)
{
    std::minstd_rand random(12345);
    Bytes flood(20000);
    for (auto& b : flood)
        b = static_cast<std::uint8_t>(random() & 0xFF);
    Receiver receiver(Framing::Rtu);
    const Clock::time_point t0{};
    // Random bytes pass a CRC check about once in 65536 offsets, so a few
    // frames may turn up; every byte is reported exactly once either way.
    std::size_t reported = 0;
    const auto account = [&](const std::vector<Received>& received) {
        for (const auto& r : received) {
            reported += (r.text.size() + 1) / 3; // "XX XX XX"
            EXPECT_LE(r.text.size(), 3 * kMaxBadChunk);
        }
    };
    for (std::size_t at = 0; at < flood.size(); at += 512)
        account(receiver.feed(
            std::span(flood).subspan(at, std::min<std::size_t>(512, flood.size() - at)), t0));
    // After silence the last bytes are given up and a request is understood.
    account(receiver.expire(t0 + kRtuSilenceGap));
    EXPECT_EQ(reported, flood.size());
    const auto got = receiver.feed(FromHex("43 04 00 00 00 08 FE EE"), t0 + 1s);
    EXPECT_EQ(Texts(got, true).size(), 1u);
}

TEST(AsciiReceiver, TakesLinesFromColonToCrLf)
{
    const Clock::time_point t0{};
    Receiver receiver(Framing::Ascii);
    // Noise before ':', a broken line restarted by a new ':', then two frames.
    auto got = receiver.feed(FromText("xyz:4304:430400000008B1\r\n:440400000008B0\r\n"), t0);
    EXPECT_EQ(Texts(got, true),
              (std::vector<std::string>{":430400000008B1\\r\\n", ":440400000008B0\\r\\n"}));
    EXPECT_EQ(Texts(got, false), std::vector<std::string>{"xyz:4304"});

    got = receiver.feed(FromText(":430400000008B2\r\n"), t0); // wrong LRC
    EXPECT_EQ(Texts(got, false), std::vector<std::string>{":430400000008B2\\r\\n"});
}

TEST(AsciiReceiver, OverlongLineIsDroppedAndSilenceEndsALine)
{
    const Clock::time_point t0{};
    Receiver receiver(Framing::Ascii);
    const std::string noise = ":" + std::string(5000, 'A');
    std::size_t reported = 0;
    for (const auto& r : receiver.feed(FromText(noise), t0)) {
        EXPECT_FALSE(r.frame);
        EXPECT_LE(r.text.size(), kMaxBadChunk + kMaxAsciiLine);
        reported += r.text.size();
    }
    auto got = receiver.feed(FromText("\r\n:430400000008B1\r\n"), t0);
    EXPECT_EQ(Texts(got, true).size(), 1u);

    // Half a line, then more than a second of silence: the rest is no frame.
    receiver.feed(FromText(":43040000"), t0 + 10s);
    got = receiver.feed(FromText("0008B1\r\n"), t0 + 10s + kAsciiSilenceGap + 1ms);
    EXPECT_TRUE(Texts(got, true).empty());
    EXPECT_GT(reported, 0u);
}

// ---------------------------------------------------------------- module and faults

struct Harness
{
    explicit Harness(Options o)
        : module(o, Clock::time_point{}, [this](std::string_view l) { log.emplace_back(l); })
    {
    }
    std::vector<std::string> log;
    Module module;
};

Options Fixed(Framing framing = Framing::Rtu)
{
    Options o;
    o.framing = framing;
    o.link = "/unused";
    o.values = kSampleValues;
    return o;
}

const Bytes kRequest67 = FromHex("43 04 00 00 00 08 FE EE");
const Bytes kReply67 = FromHex("43 04 10 00 00 00 01 FF FF 7F FF 80 00 00 64 FF 9C 04 D2 23 38");

TEST(Module, AnswersItsOwnRequestsOnly)
{
    Harness h(Fixed());
    const Clock::time_point t{1s};
    EXPECT_EQ(h.module.receive(FromHex("44 04 00 00 00 08 FF 59"), t), 0u);
    EXPECT_TRUE(h.module.idle());
    EXPECT_EQ(h.module.receive(kRequest67, t), 1u);
    EXPECT_EQ(h.module.takeDue(t), kReply67);
    EXPECT_EQ(h.log, (std::vector<std::string>{
                         "rx 44 04 00 00 00 08 FF 59", "rx 43 04 00 00 00 08 FE EE",
                         "tx 43 04 10 00 00 00 01 FF FF 7F FF 80 00 00 64 FF 9C 04 D2 23 38"}));
}

TEST(Module, SilentCountsButNeverSends)
{
    Options o = Fixed();
    o.silent = true;
    Harness h(o);
    EXPECT_EQ(h.module.receive(kRequest67, Clock::time_point{}), 1u);
    EXPECT_TRUE(h.module.idle());
    EXPECT_TRUE(h.module.takeDue(Clock::time_point{1h}).empty());
    EXPECT_EQ(h.log, std::vector<std::string>{"rx 43 04 00 00 00 08 FE EE"});
}

TEST(Module, CorruptsAndTruncatesEveryNthReplyOfBothFramings)
{
    for (const Framing framing : {Framing::Rtu, Framing::Ascii}) {
        SCOPED_TRACE(framing == Framing::Rtu ? "rtu" : "ascii");
        Options o = Fixed(framing);
        o.corruptEvery = 2;
        o.truncateEvery = 3;
        Harness h(o);
        const Bytes request =
            framing == Framing::Rtu ? kRequest67 : FromText(":430400000008B1\r\n");
        std::vector<Bytes> replies;
        for (int i = 0; i < 6; ++i) {
            const Clock::time_point t{std::chrono::seconds(i)};
            ASSERT_EQ(h.module.receive(request, t), 1u);
            replies.push_back(h.module.takeDue(t));
        }
        const std::size_t full = framing == Framing::Rtu ? 21 : 43;
        const auto ok = [&](const Bytes& r) {
            return framing == Framing::Rtu
                       ? r.size() == full && r[19] == (Crc16(std::span(r).first(19)) & 0xFF)
                       : CheckAsciiFrame(std::string(r.begin(), r.end())).has_value();
        };
        EXPECT_TRUE(ok(replies[0]));
        EXPECT_FALSE(ok(replies[1]));           // 2: corrupt
        EXPECT_EQ(replies[2].size(), full / 2); // 3: truncated, 10 or 21
        EXPECT_FALSE(ok(replies[3]));           // 4: corrupt
        EXPECT_TRUE(ok(replies[4]));
        EXPECT_EQ(replies[5].size(), full / 2); // 6: both; the checksum never leaves
        EXPECT_TRUE(std::equal(replies[2].begin(), replies[2].end(), replies[0].begin()));
        EXPECT_EQ(h.log[3].substr(0, 11), "tx-corrupt ");
        EXPECT_EQ(h.log[5].substr(0, 13), "tx-truncated ");
    }
}

TEST(Module, DelaySplitAndStrayShapeTheTimeline)
{
    Options o = Fixed();
    o.delay = 100ms;
    o.splitPieces = 4;
    o.splitGap = 10ms;
    o.stray = 2;
    Harness h(o);
    const Clock::time_point t0{5s};
    h.module.receive(kRequest67, t0);
    EXPECT_TRUE(h.module.takeDue(t0 + 99ms).empty());
    EXPECT_EQ(h.module.deadline(), t0 + 100ms);

    // 21 bytes in 4 pieces: 6, 5, 5, 5, the first behind two stray 00 bytes.
    Bytes first = h.module.takeDue(t0 + 100ms);
    EXPECT_EQ(first, (Bytes{0x00, 0x00, 0x43, 0x04, 0x10, 0x00, 0x00, 0x00}));
    Bytes all(first.begin() + 2, first.end());
    for (const auto step : {110ms, 120ms, 130ms}) {
        EXPECT_EQ(h.module.deadline(), t0 + step);
        const Bytes piece = h.module.takeDue(t0 + step);
        EXPECT_EQ(piece.size(), 5u);
        all.insert(all.end(), piece.begin(), piece.end());
    }
    EXPECT_EQ(all, kReply67);
    EXPECT_TRUE(h.module.idle());
    EXPECT_EQ(h.log[1], "tx-stray 00 00");
}

TEST(Module, LowercaseAsciiReply)
{
    Options o = Fixed(Framing::Ascii);
    o.lowercase = true;
    Harness h(o);
    h.module.receive(FromText(":430400000008B1\r\n"), Clock::time_point{});
    EXPECT_EQ(h.module.takeDue(Clock::time_point{}),
              FromText(":43041000000001ffff7fff80000064ff9c04d2d7\r\n"));
}

// ---------------------------------------------------------------- random faults

Options RandomFaults(std::uint64_t seed, double rate, Framing framing = Framing::Rtu)
{
    Options o = Fixed(framing);
    o.randomFaults = seed;
    o.faultRate = rate;
    o.maxDelay = 10ms;
    return o;
}

const std::vector<std::uint8_t> kBody67 =
    BuildReplyBody({67, kReadInputRegisters, 0, 8}, kSampleValues);

bool SamePlans(const std::vector<Piece>& a, const std::vector<Piece>& b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const Piece& x, const Piece& y) {
        return x.due == y.due && x.bytes == y.bytes && x.log == y.log;
    });
}

TEST(RandomFaults, TheSeedAloneDecidesEveryReply)
{
    const Clock::time_point t{3s};
    const Options seven = RandomFaults(7, 0.3);
    const Options eight = RandomFaults(8, 0.3);
    int differs = 0;
    for (std::uint64_t n = 1; n <= 500; ++n) {
        const auto first = PlanReply(seven, kBody67, n, t);
        ASSERT_TRUE(SamePlans(first, PlanReply(seven, kBody67, n, t))) << "reply " << n;
        differs += SamePlans(first, PlanReply(eight, kBody67, n, t)) ? 0 : 1;
    }
    // Replies without a fault look alike under any seed (0.7 x 0.7 of them);
    // the rest differ in fault or particulars.
    EXPECT_GT(differs, 150);
    EXPECT_LT(differs, 350);

    const auto never = RandomFaults(7, 0.0);
    const auto always = RandomFaults(7, 1.0);
    for (std::uint64_t n = 1; n <= 300; ++n) {
        EXPECT_EQ(DrawFault(never, n, 21).fault, RandomFault::None);
        EXPECT_NE(DrawFault(always, n, 21).fault, RandomFault::None);
    }
}

TEST(RandomFaults, MixAndShapeOfEachFault)
{
    const Options o = RandomFaults(2024, 0.3);
    const Clock::time_point t{1s};
    constexpr int kReplies = 6000;
    std::map<RandomFault, int> counts;
    std::set<std::size_t> pieceCounts, strayCounts;
    Clock::duration longestLate{}, shortestLate = 1h;

    for (std::uint64_t n = 1; n <= kReplies; ++n) {
        SCOPED_TRACE(n);
        const RandomFault fault = DrawFault(o, n, kReply67.size()).fault;
        ++counts[fault];
        const std::vector<Piece> plan = PlanReply(o, kBody67, n, t);
        ASSERT_FALSE(plan.empty());
        const Piece& first = plan.front();
        switch (fault) {
        case RandomFault::None:
            ASSERT_EQ(plan.size(), 1u);
            EXPECT_EQ(first.due, t);
            EXPECT_EQ(first.bytes, kReply67);
            EXPECT_EQ(first.log, std::vector<std::string>{"tx " + HexBytes(kReply67)});
            break;
        case RandomFault::Corrupt:
            ASSERT_EQ(plan.size(), 1u);
            EXPECT_EQ(first.due, t);
            ASSERT_EQ(first.bytes.size(), kReply67.size());
            EXPECT_TRUE(std::equal(kReply67.begin(), kReply67.begin() + 19, first.bytes.begin()));
            EXPECT_NE(first.bytes[19], kReply67[19]);
            EXPECT_EQ(first.log, std::vector<std::string>{"tx-corrupt " + HexBytes(first.bytes)});
            break;
        case RandomFault::Silent:
            ASSERT_EQ(plan.size(), 1u);
            EXPECT_TRUE(first.bytes.empty());
            EXPECT_EQ(first.log, std::vector<std::string>{"silent"});
            break;
        case RandomFault::Late:
            ASSERT_EQ(plan.size(), 1u);
            EXPECT_GE(first.due, t);
            EXPECT_LE(first.due, t + o.maxDelay);
            longestLate = std::max(longestLate, first.due - t);
            shortestLate = std::min(shortestLate, first.due - t);
            EXPECT_EQ(first.bytes, kReply67);
            EXPECT_EQ(first.log, std::vector<std::string>{"tx-late " + HexBytes(kReply67)});
            break;
        case RandomFault::Split: {
            ASSERT_GE(plan.size(), 2u);
            ASSERT_LE(plan.size(), 4u);
            pieceCounts.insert(plan.size());
            Bytes all;
            for (std::size_t k = 0; k < plan.size(); ++k) {
                const Piece& piece = plan[k];
                EXPECT_FALSE(piece.bytes.empty());
                EXPECT_GE(piece.due, k == 0 ? t : plan[k - 1].due);
                const std::string tag =
                    "tx-split " + std::to_string(k + 1) + "/" + std::to_string(plan.size()) + " ";
                EXPECT_EQ(piece.log, std::vector<std::string>{tag + HexBytes(piece.bytes)});
                all.insert(all.end(), piece.bytes.begin(), piece.bytes.end());
            }
            EXPECT_EQ(first.due, t);
            EXPECT_LE(plan.back().due, t + o.maxDelay);
            EXPECT_EQ(all, kReply67);
            break;
        }
        case RandomFault::Stray: {
            ASSERT_EQ(plan.size(), 1u);
            EXPECT_EQ(first.due, t);
            const std::size_t stray = first.bytes.size() - kReply67.size();
            ASSERT_GE(stray, 1u);
            ASSERT_LE(stray, 3u);
            strayCounts.insert(stray);
            EXPECT_TRUE(std::equal(kReply67.begin(), kReply67.end(), first.bytes.begin() + stray));
            const Bytes strayBytes(first.bytes.begin(), first.bytes.begin() + stray);
            EXPECT_EQ(first.log, (std::vector<std::string>{"tx-stray " + HexBytes(strayBytes),
                                                           "tx " + HexBytes(kReply67)}));
            break;
        }
        }
    }
    // 30 % faulty, a fifth of them of each kind: 1800 and 360 expected; the
    // bounds are four standard deviations (about 35 and 18).
    EXPECT_NEAR(kReplies - counts[RandomFault::None], 1800, 140);
    for (const RandomFault fault : {RandomFault::Corrupt, RandomFault::Silent, RandomFault::Late,
                                    RandomFault::Split, RandomFault::Stray})
        EXPECT_NEAR(counts[fault], 360, 75) << static_cast<int>(fault);
    // The particulars cover their ranges.
    EXPECT_EQ(pieceCounts, (std::set<std::size_t>{2, 3, 4}));
    EXPECT_EQ(strayCounts, (std::set<std::size_t>{1, 2, 3}));
    EXPECT_LT(shortestLate, 1ms);
    EXPECT_GT(longestLate, 9ms);
}

TEST(RandomFaults, AsciiRepliesBreakTheirWayToo)
{
    const Options o = RandomFaults(5, 1.0, Framing::Ascii);
    const std::string good = FrameAscii(kBody67, HexCase::Upper);
    int corrupt = 0, stray = 0;
    for (std::uint64_t n = 1; n <= 100; ++n) {
        const auto plan = PlanReply(o, kBody67, n, Clock::time_point{});
        Bytes all;
        for (const Piece& piece : plan)
            all.insert(all.end(), piece.bytes.begin(), piece.bytes.end());
        const std::string text(all.begin(), all.end());
        switch (DrawFault(o, n, good.size()).fault) {
        case RandomFault::Corrupt:
            ++corrupt;
            EXPECT_EQ(text.size(), good.size());
            EXPECT_FALSE(CheckAsciiFrame(text)) << text;
            break;
        case RandomFault::Stray:
            ++stray;
            EXPECT_TRUE(text.ends_with(good)) << text;
            EXPECT_EQ(text.find_first_not_of('?'), text.size() - good.size()) << text;
            break;
        case RandomFault::Silent:
            EXPECT_TRUE(text.empty());
            break;
        default:
            EXPECT_EQ(text, good);
        }
    }
    EXPECT_GT(corrupt, 0);
    EXPECT_GT(stray, 0);
}

TEST(RandomFaults, SilenceIsLoggedUnderItsRequest)
{
    Harness h(RandomFaults(11, 1.0));
    int silent = 0;
    for (int i = 0; i < 40; ++i) {
        const Clock::time_point t{std::chrono::seconds(i)};
        ASSERT_EQ(h.module.receive(kRequest67, t), 1u);
        const bool quiet =
            DrawFault(RandomFaults(11, 1.0), static_cast<std::uint64_t>(i + 1), 21).fault ==
            RandomFault::Silent;
        silent += quiet ? 1 : 0;
        EXPECT_EQ(h.log.back() == "silent", quiet) << i;
        if (quiet) {
            EXPECT_EQ(h.log[h.log.size() - 2], "rx 43 04 00 00 00 08 FE EE");
        }
        EXPECT_EQ(h.module.idle(), quiet) << "nothing queued for a silent reply";
        h.module.takeDue(t + 20ms);
        EXPECT_TRUE(h.module.idle());
    }
    EXPECT_GT(silent, 0);
}

TEST(LiveValues, MoveWithinTheirAmplitudes)
{
    const Registers at0 = LiveValues(0.0);
    const Registers at3 = LiveValues(3.0);
    EXPECT_NE(at0, at3);
    EXPECT_NE(at0[1], at0[2]); // channels differ from the start
    for (double t = 0; t < 120; t += 0.7) {
        const Registers v = LiveValues(t);
        for (std::size_t i = 0; i < kRegisterCount; ++i)
            EXPECT_LE(std::abs(v[i]), 100 * static_cast<int>(i + 1)) << t << " " << i;
    }
    // Amplitude 800 is reached on channel 7 within one period of 45 s.
    int peak = 0;
    for (double t = 0; t < 45; t += 0.05)
        peak = std::max(peak, std::abs(static_cast<int>(LiveValues(t)[7])));
    EXPECT_GE(peak, 799);
}

// ---------------------------------------------------------------- options

ParseResult Parse(std::vector<std::string_view> args)
{
    return ParseOptions(args);
}

TEST(Options, RefusesBadCommandLines)
{
    const std::vector<std::vector<std::string_view>> rows = {
        {},
        {"--link", "a", "--device", "b"},
        {"--link", "a", "--framing", "binary"},
        {"--link", "a", "--address", "0"},
        {"--link", "a", "--address", "256"},
        {"--link", "a", "--address", "6x"},
        {"--link", "a", "--values", "1,2,3,4,5,6,7"},
        {"--link", "a", "--values", "1,2,3,4,5,6,7,8,9"},
        {"--link", "a", "--values", "1,2,3,4,5,6,7,32768"},
        {"--link", "a", "--values", "1,2,3,4,5,6,7,-32769"},
        {"--link", "a", "--values", "1,2,3,,5,6,7,8"},
        {"--link", "a", "--corrupt-every", "0"},
        {"--link", "a", "--truncate-every", "-1"},
        {"--link", "a", "--delay", "-5"},
        {"--link", "a", "--split", "3"},
        {"--link", "a", "--split", "0:10"},
        {"--link", "a", "--split", "3:x"},
        {"--link", "a", "--lowercase"},
        {"--link", "a", "--away-after", "3"},
        {"--link", "a", "--away-for", "100"},
        {"--link", "a", "--away-repeat"},
        {"--link", "a", "--silent=yes"},
        {"--link", "a", "--bogus"},
        {"--link", "a", "--random-faults", "-1"},
        {"--link", "a", "--random-faults", "1", "--fault-rate", "1.5"},
        {"--link", "a", "--random-faults", "1", "--fault-rate", "0,3"},
        {"--link", "a", "--random-faults", "1", "--fault-rate", "0.3x"},
        {"--link", "a", "--fault-rate", "0.5"},
        {"--link", "a", "--max-delay", "3"},
        {"--link", "a", "--random-faults", "1", "--split", "2:5"},
        {"--link", "a", "--silent", "--random-faults", "1"},
        {"--link"},
    };
    for (const auto& row : rows) {
        std::string line;
        for (auto a : row)
            line += std::string(a) + " ";
        const auto result = Parse(row);
        EXPECT_FALSE(result.error.empty()) << line;
        EXPECT_FALSE(result.help) << line;
    }
}

TEST(Options, ReadsAGoodCommandLine)
{
    const auto result =
        Parse({"--link=/tmp/p", "--framing", "ascii", "--address", "255", "--values",
               "-32768,-1,0,1,2,3,4,32767", "--lowercase", "--split", "3:25", "--away-after", "2",
               "--away-for", "500", "--away-repeat", "--stray", "4", "--corrupt-every", "5"});
    ASSERT_EQ(result.error, "");
    const Options& o = result.options;
    EXPECT_EQ(o.link, "/tmp/p");
    EXPECT_EQ(o.framing, Framing::Ascii);
    EXPECT_EQ(o.address, 255);
    EXPECT_EQ(o.values, (Registers{-32768, -1, 0, 1, 2, 3, 4, 32767}));
    EXPECT_TRUE(o.lowercase);
    EXPECT_EQ(o.splitPieces, 3u);
    EXPECT_EQ(o.splitGap, 25ms);
    EXPECT_EQ(o.awayAfter, 2u);
    EXPECT_EQ(o.awayFor, 500ms);
    EXPECT_TRUE(o.awayRepeat);
    EXPECT_EQ(o.stray, 4u);
    EXPECT_EQ(o.corruptEvery, 5u);

    const auto defaults = Parse({"--device", "/dev/ttyS0"});
    ASSERT_EQ(defaults.error, "");
    EXPECT_EQ(defaults.options.framing, Framing::Rtu);
    EXPECT_EQ(defaults.options.address, 67);
    EXPECT_FALSE(defaults.options.values);
    EXPECT_FALSE(defaults.options.randomFaults);

    const auto random = Parse({"--link", "p", "--random-faults", "18446744", "--fault-rate=0.25",
                               "--max-delay", "7", "--framing", "ascii"});
    ASSERT_EQ(random.error, "");
    EXPECT_EQ(random.options.randomFaults, 18446744u);
    EXPECT_EQ(random.options.faultRate, 0.25);
    EXPECT_EQ(random.options.maxDelay, 7ms);
    const auto randomDefaults = Parse({"--link", "p", "--random-faults", "0"});
    ASSERT_EQ(randomDefaults.error, "");
    EXPECT_EQ(randomDefaults.options.randomFaults, 0u);
    EXPECT_EQ(randomDefaults.options.faultRate, 0.3);
    EXPECT_EQ(randomDefaults.options.maxDelay, 10ms);
}

TEST(Options, HelpNamesEveryOption)
{
    EXPECT_TRUE(Parse({"--help"}).help);
    const std::string help = HelpText();
    for (const char* name :
         {"--link",        "--device",         "--framing",       "--address",    "--values",
          "--log",         "--corrupt-every",  "--lowercase",     "--silent",     "--delay",
          "--split",       "--truncate-every", "--stray",         "--away-after", "--away-for",
          "--away-repeat", "--noise-for",      "--random-faults", "--fault-rate", "--max-delay"})
        EXPECT_NE(help.find(std::string("\n  ") + name + " "), std::string::npos) << name;
}

// ---------------------------------------------------------------- the real binary

// Polls `done` until it holds or `limit` passes; true if it held.
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s)
{
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() >= deadline)
            return false;
        ::poll(nullptr, 0, 5);
    }
    return true;
}

bool Exists(const std::string& path)
{
    struct stat st
    {
    };
    return lstat(path.c_str(), &st) == 0;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

// A modsim process serving a pty link in its own temporary folder.
class ModsimProcess
{
public:
    explicit ModsimProcess(std::vector<std::string> extra)
    {
        char pattern[] = "/tmp/modsim_test.XXXXXX";
        m_dir = mkdtemp(pattern);
        link = m_dir + "/port";
        log = m_dir + "/log";
        out = m_dir + "/stdout";
        std::vector<std::string> args = {MODSIM_PATH, "--link", link, "--log", log};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        m_spawned = posix_spawn(&m_pid, MODSIM_PATH, &actions, nullptr, argv.data(), environ) == 0;
        posix_spawn_file_actions_destroy(&actions);
    }

    ~ModsimProcess()
    {
        if (m_spawned && !m_reaped) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }

    bool ready()
    {
        return m_spawned && WaitFor([&] { return Exists(link); });
    }

    // SIGTERM; the exit status, or -1 if it did not exit in time.
    int stop()
    {
        kill(m_pid, SIGTERM);
        int status = 0;
        const bool exited = WaitFor([&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; });
        m_reaped = exited;
        return exited && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    pid_t pid() const { return m_pid; }

    std::string link, log, out;

private:
    std::string m_dir;
    pid_t m_pid = -1;
    bool m_spawned = false;
    bool m_reaped = false;
};

// A client's open port, raw like a poller's.
class Client
{
public:
    explicit Client(const std::string& path)
        : m_fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
    {
        termios tio{};
        if (m_fd >= 0 && tcgetattr(m_fd, &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(m_fd, TCSANOW, &tio);
        }
    }
    ~Client()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }

    bool send(const Bytes& bytes)
    {
        return write(m_fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

    // One read of at most `most` bytes, once any arrived within `limit`.
    Bytes receiveSome(std::size_t most, std::chrono::milliseconds limit = 3s)
    {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0 || !(p.revents & POLLIN))
            return {};
        Bytes buffer(most);
        const ssize_t n = read(m_fd, buffer.data(), most);
        buffer.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return buffer;
    }

    // Reads until `count` bytes arrived or `limit` passed.
    Bytes receive(std::size_t count, std::chrono::milliseconds limit = 3s)
    {
        Bytes got;
        const auto deadline = Clock::now() + limit;
        while (got.size() < count) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                break;
            const Bytes some = receiveSome(count - got.size(), left);
            if (some.empty())
                break;
            got.insert(got.end(), some.begin(), some.end());
        }
        return got;
    }

private:
    int m_fd;
};

TEST(ModsimBinary, ServesRtuAndCleansUp)
{
    ModsimProcess sim({"--values", "0,1,-1,32767,-32768,100,-100,1234"});
    ASSERT_TRUE(sim.ready());
    {
        Client client(sim.link);
        ASSERT_TRUE(client.isOpen());
        // Someone else's request first: no answer, then ours is answered.
        ASSERT_TRUE(client.send(FromHex("44 04 00 00 00 08 FF 59")));
        EXPECT_TRUE(client.receive(1, 300ms).empty());
        ASSERT_TRUE(client.send(kRequest67));
        EXPECT_EQ(client.receive(21), kReply67);
        // Out of range: exception 02.
        ASSERT_TRUE(client.send(FromHex("43 04 00 00 00 09 3F 2E")));
        EXPECT_EQ(client.receive(5), FromHex("43 84 02 62 D5"));
    }
    // The client closed its end; a new client is served as before.
    {
        Client again(sim.link);
        ASSERT_TRUE(again.send(kRequest67));
        EXPECT_EQ(again.receive(21), kReply67);
    }
    const std::regex announce("modsim: serving /dev/pts/[0-9]+ as " + sim.link + "\n");
    EXPECT_TRUE(std::regex_match(ReadFile(sim.out), announce)) << ReadFile(sim.out);
    // A log line follows its bytes onto the wire; once modsim has stopped the
    // log holds every line.
    EXPECT_EQ(sim.stop(), 0);

    const std::regex rx("[0-9]+\\.[0-9]{6} rx 43 04 00 00 00 08 FE EE");
    const std::regex tx("[0-9]+\\.[0-9]{6} tx 43 04 10 00 00 00 01 FF FF 7F FF 80 00 00 64 FF 9C "
                        "04 D2 23 38");
    std::istringstream lines(ReadFile(sim.log));
    std::vector<std::string> log;
    for (std::string line; std::getline(lines, line);)
        log.push_back(line);
    ASSERT_EQ(log.size(), 7u);
    EXPECT_NE(log[0].find(" rx 44 04 00 00 00 08 FF 59"), std::string::npos);
    EXPECT_TRUE(std::regex_match(log[1], rx)) << log[1];
    EXPECT_TRUE(std::regex_match(log[2], tx)) << log[2];
    EXPECT_FALSE(Exists(sim.link));
}

TEST(ModsimBinary, ServesAscii)
{
    ModsimProcess sim({"--framing", "ascii", "--values", "0,1,-1,32767,-32768,100,-100,1234"});
    ASSERT_TRUE(sim.ready());
    Client client(sim.link);
    ASSERT_TRUE(client.send(FromText("noise:430400000008B1\r\n")));
    EXPECT_EQ(client.receive(43), FromText(":43041000000001FFFF7FFF80000064FF9C04D2D7\r\n"));
    EXPECT_EQ(sim.stop(), 0);
}

TEST(ModsimBinary, CorruptsEverySecondReply)
{
    ModsimProcess sim({"--corrupt-every", "2"});
    ASSERT_TRUE(sim.ready());
    Client client(sim.link);
    for (int i = 1; i <= 3; ++i) {
        ASSERT_TRUE(client.send(kRequest67));
        const Bytes reply = client.receive(21);
        ASSERT_EQ(reply.size(), 21u);
        const std::uint16_t crc = Crc16(std::span(reply).first(19));
        const bool crcOk = reply[19] == (crc & 0xFF) && reply[20] == (crc >> 8);
        EXPECT_EQ(crcOk, i != 2) << "reply " << i;
    }
    EXPECT_EQ(sim.stop(), 0);
}

TEST(ModsimBinary, SilentLogsButNeverAnswers)
{
    ModsimProcess sim({"--silent"});
    ASSERT_TRUE(sim.ready());
    Client client(sim.link);
    ASSERT_TRUE(client.send(kRequest67));
    EXPECT_TRUE(WaitFor([&] {
        return ReadFile(sim.log).find(" rx 43 04 00 00 00 08 FE EE\n") != std::string::npos;
    }));
    EXPECT_TRUE(client.receive(1, 300ms).empty());
    EXPECT_EQ(ReadFile(sim.log).find(" tx"), std::string::npos);
    EXPECT_EQ(sim.stop(), 0);
}

TEST(ModsimBinary, DelaysAndSplitsTheReply)
{
    ModsimProcess sim(
        {"--values", "0,1,-1,32767,-32768,100,-100,1234", "--delay", "150", "--split", "3:50"});
    ASSERT_TRUE(sim.ready());
    Client client(sim.link);
    const auto sent = Clock::now();
    ASSERT_TRUE(client.send(kRequest67));
    // Pieces of 7 bytes at 150, 200 and 250 ms; each read returns what has
    // arrived, so the first one holds the first piece (two, if this test
    // stalled for 50 ms).
    const Bytes first = client.receiveSome(21);
    EXPECT_GE(Clock::now() - sent, 150ms);
    EXPECT_TRUE(first.size() == 7 || first.size() == 14) << first.size();
    Bytes all = first;
    const Bytes rest = client.receive(21 - first.size());
    all.insert(all.end(), rest.begin(), rest.end());
    EXPECT_EQ(all, kReply67);
    EXPECT_GE(Clock::now() - sent, 250ms); // two gaps of 50 ms after the delay
    EXPECT_EQ(sim.stop(), 0);
}

TEST(ModsimBinary, GoesAwayAndComesBack)
{
    ModsimProcess sim({"--away-after", "1", "--away-for", "800"});
    ASSERT_TRUE(sim.ready());
    Client client(sim.link);
    ASSERT_TRUE(client.send(kRequest67));
    EXPECT_EQ(client.receive(21).size(), 21u); // the Nth request is still answered

    // The open port hangs up and the link is gone.
    pollfd p{client.fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 3000), 1);
    EXPECT_TRUE(p.revents & POLLHUP) << p.revents;
    EXPECT_TRUE(WaitFor([&] { return !Exists(sim.link); }));
    const int missing = ::open(sim.link.c_str(), O_RDWR | O_NOCTTY);
    EXPECT_EQ(missing, -1);
    EXPECT_EQ(errno, ENOENT);

    // Back with a fresh pty under the same link.
    ASSERT_TRUE(WaitFor([&] { return Exists(sim.link); }));
    Client reopened(sim.link);
    ASSERT_TRUE(reopened.isOpen());
    // Only once without --away-repeat: the same port answers on and on.
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(reopened.send(kRequest67));
        EXPECT_EQ(reopened.receive(21).size(), 21u) << "request " << i;
    }
    const std::string out = ReadFile(sim.out);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2); // announced twice
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_FALSE(Exists(sim.link));
}

// A log of random faults without its times: "<event> <bytes>" lines, the
// bytes of every tx line in order, and how many replies are over (sent
// whole, or silent).
struct RandomLog
{
    std::vector<std::string> events;
    Bytes sent;
    int done = 0;
    bool inOrder = true; // times never go back
};

RandomLog ReadRandomLog(const std::string& path)
{
    RandomLog log;
    std::istringstream lines(ReadFile(path));
    double previous = 0;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        double time = 0;
        std::string event;
        words >> time >> event;
        log.inOrder = log.inOrder && time >= previous;
        previous = time;
        log.events.push_back(line.substr(line.find(' ') + 1));
        if (event == "silent")
            ++log.done;
        if (!event.starts_with("tx"))
            continue;
        std::string word;
        bool last = event != "tx-stray";
        if (event == "tx-split") {
            words >> word; // "I/N"
            last = word.substr(0, word.find('/')) == word.substr(word.find('/') + 1);
        }
        while (words >> word)
            log.sent.push_back(static_cast<std::uint8_t>(std::stoul(word, nullptr, 16)));
        log.done += last ? 1 : 0;
    }
    return log;
}

TEST(ModsimBinary, RandomFaultsLogWhatWentOutAndRepeatForASeed)
{
    constexpr int kRequests = 40;
    std::vector<std::vector<std::string>> runs;
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        ModsimProcess sim({"--values", "0,1,-1,32767,-32768,100,-100,1234", "--random-faults", "3",
                           "--fault-rate", "1", "--max-delay", "5"});
        ASSERT_TRUE(sim.ready());
        Client client(sim.link);
        for (int i = 1; i <= kRequests; ++i) {
            ASSERT_TRUE(client.send(kRequest67));
            ASSERT_TRUE(WaitFor([&] { return ReadRandomLog(sim.log).done == i; })) << i;
        }
        const RandomLog log = ReadRandomLog(sim.log);
        EXPECT_TRUE(log.inOrder);
        // What the log says went out is what arrived, byte for byte.
        EXPECT_EQ(client.receive(log.sent.size()), log.sent);
        EXPECT_TRUE(client.receive(1, 100ms).empty());

        std::map<std::string, int> kinds;
        for (const std::string& event : log.events)
            ++kinds[event.substr(0, event.find(' '))];
        EXPECT_EQ(kinds["rx"], kRequests);
        for (const char* kind : {"silent", "tx-corrupt", "tx-late", "tx-split", "tx-stray"})
            EXPECT_GT(kinds[kind], 0) << kind;
        runs.push_back(log.events);
        EXPECT_EQ(sim.stop(), 0);
    }
    EXPECT_EQ(runs[0], runs[1]) << "the same seed and requests give the same faults";
}

TEST(ModsimBinary, IdleWithoutClientCostsNoCpu)
{
    ModsimProcess sim({});
    ASSERT_TRUE(sim.ready());
    {
        Client touched(sim.link);
    } // a client opens and closes its end
    const auto cpuTicks = [&] {
        // Fields 14 and 15 of /proc/PID/stat: user and system clock ticks.
        std::istringstream stat(ReadFile("/proc/" + std::to_string(sim.pid()) + "/stat"));
        std::string field;
        long total = 0;
        for (int i = 1; i <= 15 && stat >> field; ++i)
            if (i >= 14)
                total += std::stol(field);
        return total;
    };
    const long before = cpuTicks();
    // Not a synchronisation: a measured stretch of idleness.
    ::poll(nullptr, 0, 500);
    EXPECT_LE(cpuTicks() - before, 5); // 5 ticks = 50 ms of 500: no spinning
    EXPECT_EQ(sim.stop(), 0);
}

} // namespace
