// The simulated module with made-up times: which requests it answers, its
// named faults, random faults from a seed, and the live values.

#include "harness.h"
#include "module.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

using namespace modsim;
using namespace modsim::test;
using namespace std::chrono_literals;

namespace {

struct LoggedModule
{
    explicit LoggedModule(Options o)
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

// ---------------------------------------------------------------- module and named faults

TEST(Module, AnswersItsOwnRequestsOnly)
{
    LoggedModule m(Fixed());
    const Clock::time_point t{1s};
    // Another module's request, and read holding registers (03): valid frames,
    // but not for this module.
    EXPECT_EQ(m.module.receive(FromHex("44 04 00 00 00 08 FF 59"), t), 0u);
    EXPECT_EQ(m.module.receive(FromHex("43 03 00 00 00 08 4B 2E"), t + 1s), 0u);
    EXPECT_TRUE(m.module.idle());
    EXPECT_EQ(m.module.receive(kRequest67, t + 2s), 1u);
    EXPECT_EQ(m.module.takeDue(t + 2s), kReply67);
    EXPECT_EQ(m.log, (std::vector<std::string>{
                         "rx 44 04 00 00 00 08 FF 59", "rx 43 03 00 00 00 08 4B 2E",
                         "rx 43 04 00 00 00 08 FE EE",
                         "tx 43 04 10 00 00 00 01 FF FF 7F FF 80 00 00 64 FF 9C 04 D2 23 38"}));
}

TEST(Module, SilentCountsButNeverSends)
{
    Options o = Fixed();
    o.silent = true;
    LoggedModule m(o);
    EXPECT_EQ(m.module.receive(kRequest67, Clock::time_point{}), 1u);
    EXPECT_TRUE(m.module.idle());
    EXPECT_TRUE(m.module.takeDue(Clock::time_point{1h}).empty());
    EXPECT_EQ(m.log, std::vector<std::string>{"rx 43 04 00 00 00 08 FE EE"});
}

TEST(Module, CorruptsAndTruncatesEveryNthReplyOfBothFramings)
{
    for (const Framing framing : {Framing::Rtu, Framing::Ascii}) {
        SCOPED_TRACE(framing == Framing::Rtu ? "rtu" : "ascii");
        Options o = Fixed(framing);
        o.corruptEvery = 2;
        o.truncateEvery = 3;
        LoggedModule m(o);
        const bool rtu = framing == Framing::Rtu;
        const Bytes good = rtu ? kReply67 : FromText(kAsciiReply67);
        const Bytes bad = rtu ? kCorruptReply67 : FromText(kAsciiCorruptReply67);
        const Bytes half(good.begin(), good.begin() + static_cast<long>(good.size() / 2));
        std::vector<Bytes> replies;
        std::vector<std::string> events;
        for (int i = 0; i < 6; ++i) {
            const Clock::time_point t{std::chrono::seconds(i)};
            ASSERT_EQ(m.module.receive(rtu ? kRequest67 : FromText(kAsciiRequest67), t), 1u);
            replies.push_back(m.module.takeDue(t));
            events.push_back(m.log.back().substr(0, m.log.back().find(' ')));
        }
        // The 6th is due both: truncated, it never gets as far as the checksum.
        EXPECT_EQ(replies, (std::vector<Bytes>{good, bad, half, bad, good, half}));
        EXPECT_EQ(events, (std::vector<std::string>{"tx", "tx-corrupt", "tx-truncated",
                                                    "tx-corrupt", "tx", "tx-truncated"}));
    }
}

TEST(Module, DelaySplitAndStrayShapeTheTimeline)
{
    Options o = Fixed();
    o.delay = 100ms;
    o.splitPieces = 4;
    o.splitGap = 10ms;
    o.stray = 2;
    LoggedModule m(o);
    const Clock::time_point t0{5s};
    m.module.receive(kRequest67, t0);
    EXPECT_TRUE(m.module.takeDue(t0 + 99ms).empty());
    EXPECT_EQ(m.module.deadline(), t0 + 100ms);

    // 21 bytes in 4 pieces: 6, 5, 5, 5, the first behind two stray 00 bytes.
    Bytes first = m.module.takeDue(t0 + 100ms);
    EXPECT_EQ(first, (Bytes{0x00, 0x00, 0x43, 0x04, 0x10, 0x00, 0x00, 0x00}));
    Bytes all(first.begin() + 2, first.end());
    for (const auto step : {110ms, 120ms, 130ms}) {
        EXPECT_EQ(m.module.deadline(), t0 + step);
        const Bytes piece = m.module.takeDue(t0 + step);
        EXPECT_EQ(piece.size(), 5u);
        all.insert(all.end(), piece.begin(), piece.end());
    }
    EXPECT_EQ(all, kReply67);
    EXPECT_TRUE(m.module.idle());
    EXPECT_EQ(m.log[1], "tx-stray 00 00");
}

TEST(Module, LowercaseAsciiReply)
{
    Options o = Fixed(Framing::Ascii);
    o.lowercase = true;
    LoggedModule m(o);
    m.module.receive(FromText(kAsciiRequest67), Clock::time_point{});
    EXPECT_EQ(m.module.takeDue(Clock::time_point{}),
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

const Bytes kBody67 = BuildReplyBody({67, kReadInputRegisters, 0, 8}, kSampleValues);

TEST(RandomFaults, TheSeedAloneDecidesEveryReply)
{
    const Clock::time_point t{3s};
    const Options seven = RandomFaults(7, 0.3);
    const Options eight = RandomFaults(8, 0.3);
    int differs = 0;
    for (std::uint64_t n = 1; n <= 500; ++n) {
        const auto first = PlanReply(seven, kBody67, n, t);
        ASSERT_TRUE(first == PlanReply(seven, kBody67, n, t)) << "reply " << n;
        differs += first == PlanReply(eight, kBody67, n, t) ? 0 : 1;
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

TEST(RandomFaults, MixAndShapeOfEachFaultInBothFramings)
{
    for (const Framing framing : {Framing::Rtu, Framing::Ascii}) {
        SCOPED_TRACE(framing == Framing::Rtu ? "rtu" : "ascii");
        const bool rtu = framing == Framing::Rtu;
        const Bytes good = rtu ? kReply67 : FromText(kAsciiReply67);
        const Bytes bad = rtu ? kCorruptReply67 : FromText(kAsciiCorruptReply67);
        const auto text = [&](std::span<const std::uint8_t> b) {
            return rtu ? HexBytes(b) : EscapeText(std::string(b.begin(), b.end()));
        };
        const Options o = RandomFaults(2024, 0.3, framing);
        const Clock::time_point t{1s};
        constexpr int kReplies = 6000;
        std::map<RandomFault, int> counts;
        std::set<std::size_t> pieceCounts, strayCounts;
        std::set<std::uint8_t> strayBytes;
        Clock::duration longestLate{}, shortestLate = 1h;

        for (std::uint64_t n = 1; n <= kReplies; ++n) {
            SCOPED_TRACE(n);
            const FaultDraw draw = DrawFault(o, n, good.size());
            ++counts[draw.fault];
            const std::vector<Piece> plan = PlanReply(o, kBody67, n, t);
            ASSERT_FALSE(plan.empty());
            // Pieces in time order within the longest delay, each logged with
            // its bytes; only a silent reply has a piece without bytes.
            Bytes wire;
            std::vector<std::string> logged, splitLog;
            for (std::size_t k = 0; k < plan.size(); ++k) {
                const Piece& piece = plan[k];
                EXPECT_GE(piece.due, k == 0 ? t : plan[k - 1].due);
                EXPECT_LE(piece.due, t + o.maxDelay);
                EXPECT_EQ(piece.bytes.empty(), draw.fault == RandomFault::Silent);
                wire.insert(wire.end(), piece.bytes.begin(), piece.bytes.end());
                logged.insert(logged.end(), piece.log.begin(), piece.log.end());
                splitLog.push_back("tx-split " + std::to_string(k + 1) + "/" +
                                   std::to_string(plan.size()) + " " + text(piece.bytes));
            }
            Bytes expected = good;
            std::vector<std::string> log = {"tx " + text(good)};
            switch (draw.fault) {
            case RandomFault::None:
                break;
            case RandomFault::Corrupt:
                expected = bad;
                log = {"tx-corrupt " + text(bad)};
                break;
            case RandomFault::Silent:
                expected.clear();
                log = {"silent"};
                break;
            case RandomFault::Late:
                longestLate = std::max(longestLate, plan[0].due - t);
                shortestLate = std::min(shortestLate, plan[0].due - t);
                log = {"tx-late " + text(good)};
                break;
            case RandomFault::Split:
                pieceCounts.insert(plan.size());
                log = splitLog;
                break;
            case RandomFault::Stray:
                strayCounts.insert(draw.stray.size());
                strayBytes.insert(draw.stray.begin(), draw.stray.end());
                expected.insert(expected.begin(), draw.stray.begin(), draw.stray.end());
                log.insert(log.begin(), "tx-stray " + text(draw.stray));
                break;
            }
            EXPECT_EQ(wire, expected);
            EXPECT_EQ(logged, log);
            if (draw.fault != RandomFault::Split) {
                EXPECT_EQ(plan.size(), 1u);
            }
            EXPECT_EQ(plan[0].due, draw.fault == RandomFault::Late ? t + draw.delay : t);
        }
        // 30 % faulty, a fifth of them of each kind: 1800 and 360 expected;
        // the bounds are four standard deviations (about 35 and 18).
        EXPECT_NEAR(kReplies - counts[RandomFault::None], 1800, 140);
        for (const RandomFault fault : {RandomFault::Corrupt, RandomFault::Silent,
                                        RandomFault::Late, RandomFault::Split, RandomFault::Stray})
            EXPECT_NEAR(counts[fault], 360, 75) << static_cast<int>(fault);
        // The particulars cover their ranges: 2 to 4 pieces, 1 to 3 stray
        // bytes (random in RTU, '?' in ASCII), late by up to the longest delay.
        EXPECT_EQ(pieceCounts, (std::set<std::size_t>{2, 3, 4}));
        EXPECT_EQ(strayCounts, (std::set<std::size_t>{1, 2, 3}));
        EXPECT_EQ(strayBytes.size() == 1 && strayBytes.contains('?'), !rtu);
        EXPECT_LT(shortestLate, 1ms);
        EXPECT_GT(longestLate, 9ms);
    }
}

TEST(RandomFaults, SilenceIsLoggedUnderItsRequest)
{
    const Options o = RandomFaults(11, 1.0);
    LoggedModule m(o);
    int silent = 0;
    for (std::uint64_t n = 1; n <= 40; ++n) {
        const Clock::time_point t{std::chrono::seconds(n)};
        ASSERT_EQ(m.module.receive(kRequest67, t), 1u);
        const bool quiet = DrawFault(o, n, kReply67.size()).fault == RandomFault::Silent;
        silent += quiet ? 1 : 0;
        EXPECT_EQ(m.log.back() == "silent", quiet) << n;
        EXPECT_EQ(m.log[m.log.size() - (quiet ? 2 : 1)], "rx 43 04 00 00 00 08 FE EE") << n;
        EXPECT_EQ(m.module.idle(), quiet) << "nothing queued for a silent reply";
        m.module.takeDue(t + 20ms);
        EXPECT_TRUE(m.module.idle());
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

} // namespace
