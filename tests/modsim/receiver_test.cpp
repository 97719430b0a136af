// modsim's input framing with made-up times: requests found among noise,
// pieces joined within the silence gap only, floods kept bounded.

#include "harness.h"
#include "receiver.h"

#include <gtest/gtest.h>

#include <random>

using namespace modsim;
using namespace modsim::test;
using namespace std::chrono_literals;

namespace {

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
    const auto got = receiver.feed(kRequest67, t0 + 1s);
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

} // namespace
