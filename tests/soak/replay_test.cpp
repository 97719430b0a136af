// Tests of the soak run's replay: reading modsim's log, and the counts the
// comm control's rules give for made-up timelines of writes and ticks.

#include "replay.h"

#include "codec/rtu.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

using namespace soak;
using Bytes = std::vector<std::uint8_t>;

namespace {

Nanos Ms(double ms)
{
    return std::llround(ms * 1e6);
}

// A whole reply of module 67 whose registers all hold `value`.
Bytes Reply(std::uint8_t value)
{
    Bytes reply{67, rtu::kReadInputRegisters, 16};
    for (int i = 0; i < 16; ++i)
        reply.push_back(i % 2 ? value : 0);
    const std::uint16_t crc = rtu::Crc16(reply, reply.size());
    reply.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    reply.push_back(static_cast<std::uint8_t>(crc >> 8));
    return reply;
}

Bytes Corrupted(Bytes reply)
{
    reply[19] ^= 0xFF;
    return reply;
}

Bytes Part(const Bytes& bytes, std::size_t from, std::size_t count)
{
    return {bytes.begin() + static_cast<std::ptrdiff_t>(from),
            bytes.begin() + static_cast<std::ptrdiff_t>(from + count)};
}

// Ticks 5 ms apart, each a tenth of a millisecond after it was due.
std::vector<Nanos> Ticks(int count)
{
    std::vector<Nanos> ticks;
    for (int n = 1; n <= count; ++n)
        ticks.push_back(Ms(5.0 * n + 0.1));
    return ticks;
}

// modsim read each tick's request.
std::vector<std::size_t> Matched(const std::vector<Nanos>& ticks)
{
    std::vector<std::size_t> matched;
    for (std::size_t i = 0; i < ticks.size(); ++i)
        matched.push_back(i);
    return matched;
}

Timing FiveMs()
{
    Timing timing;
    timing.start = 0;
    timing.interval = Ms(5);
    return timing;
}

void ExpectCount(const Count& count, long long expected, long long low, long long high)
{
    EXPECT_EQ(count.expected, expected);
    EXPECT_EQ(count.low, low);
    EXPECT_EQ(count.high, high);
}

// ---------------------------------------------------------------- the log

TEST(ModsimLogReading, ReadsEveryEventAndMatchesRepliesToRequests)
{
    std::istringstream log("100.000100 rx 43 04 00 00 00 08 FE EE\n"
                           "100.000300 tx 43 04 10 00 00\n"
                           "100.005100 rx 43 04 00 00 00 08 FE EE\n"
                           "100.005150 silent\n"
                           "100.010100 rx 43 04 00 00 00 08 FE EE\n"
                           "100.012000 tx-split 1/2 43 04\n"
                           "100.015100 rx 43 04 00 00 00 08 FE EE\n"
                           "100.016000 tx-split 2/2 10 00\n"
                           "100.016000 tx-stray 0A FF\n"
                           "100.016000 tx 43 04\n"
                           "100.018000 rx-bad 00\n"
                           "100.020100 rx 43 04 00 00 00 08 FE EE\n"
                           "100.021000 tx-corrupt 43 05\n"
                           "100.025100 rx 43 04 00 00 00 08 FE EE\n"
                           "100.033000 tx-late 43 06\n");
    const ModsimLog read = ReadModsimLog(log);
    EXPECT_TRUE(read.problems.empty()) << read.problems.front();
    EXPECT_EQ(read.requests.size(), 6u);
    EXPECT_EQ(read.requests[1], 100'005'100'000);
    EXPECT_EQ(read.badInput, 1u);
    EXPECT_EQ(read.replies, 5u);

    // Request 2 was silent, so the split reply answers request 3, and the
    // stray bytes go with request 4's reply in the same write.
    ASSERT_EQ(read.pieces.size(), 6u);
    const std::vector<std::pair<std::size_t, Bytes>> expected = {
        {1, {0x43, 0x04, 0x10, 0x00, 0x00}}, {3, {0x43, 0x04}}, {3, {0x10, 0x00}},
        {4, {0x0A, 0xFF, 0x43, 0x04}},       {5, {0x43, 0x05}}, {6, {0x43, 0x06}},
    };
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(read.pieces[i].request, expected[i].first) << i;
        EXPECT_EQ(read.pieces[i].bytes, expected[i].second) << i;
    }
    EXPECT_EQ(read.pieces[3].sent, 100'016'000'000);

    const FaultCounts& f = read.faults;
    EXPECT_EQ(f.none, 1u);
    EXPECT_EQ(f.silent, 1u);
    EXPECT_EQ(f.split, 1u);
    EXPECT_EQ(f.stray, 1u);
    EXPECT_EQ(f.corrupt, 1u);
    EXPECT_EQ(f.late, 1u);
}

TEST(ModsimLogReading, NamesLinesItCannotRead)
{
    std::istringstream log("100.000100 rx 43 04 00 00 00 08 FE EE\n"
                           "100.0003 tx 43\n"  // not six digits of microseconds
                           "100.000400 tx 4\n" // half a byte
                           "100.000500 tx-wobbly 43\n"
                           "100.000600 tx-split x/2 43\n"
                           "100.000700 tx 43 04\n"   // answers request 1
                           "100.000800 tx 43 04\n"); // answers nothing
    const ModsimLog read = ReadModsimLog(log);
    ASSERT_EQ(read.problems.size(), 5u);
    EXPECT_NE(read.problems[0].find("line 2"), std::string::npos) << read.problems[0];
    EXPECT_NE(read.problems[4].find("reply for no request"), std::string::npos) << read.problems[4];
    ASSERT_EQ(read.pieces.size(), 1u);
    EXPECT_EQ(read.pieces[0].request, 1u);
}

// ---------------------------------------------------------------- requests

// modsim reads every tick's request 50 us after the tick, but tick `lost`'s.
std::vector<Nanos> ReadAllBut(const std::vector<Nanos>& ticks, std::size_t lost)
{
    std::vector<Nanos> requests;
    for (std::size_t i = 0; i < ticks.size(); ++i)
        if (i != lost)
            requests.push_back(ticks[i] + Ms(0.05));
    return requests;
}

TEST(RequestAudit, ALostRequestMustShowSomeoneFellBehind)
{
    const Timing timing = FiveMs();
    const auto audit = [&](const std::vector<Nanos>& requests, const std::vector<Nanos>& ticks,
                           const std::vector<Nanos>& waited = {}) {
        return AuditRequests(requests, MatchRequests(requests, ticks), ticks, waited, timing);
    };

    // Everyone kept up, yet tick 3's request never arrived.
    const auto ticks = Ticks(6);
    const RequestAudit keptUp = audit(ReadAllBut(ticks, 2), ticks);
    EXPECT_EQ(keptUp.read, 5u);
    EXPECT_EQ(keptUp.flushed, 1u);
    EXPECT_EQ(keptUp.unexplained, std::vector<std::size_t>{2});

    // modsim read the next request 1.5 ms after its tick: it was behind.
    auto requests = ReadAllBut(ticks, 2);
    requests[2] = ticks[3] + Ms(1.5);
    EXPECT_TRUE(audit(requests, ticks).unexplained.empty());

    // Tick 4 came 2 ms after it was due: the poller's loop was held up.
    auto lateNext = ticks;
    lateNext[3] += Ms(2);
    EXPECT_TRUE(audit(ReadAllBut(lateNext, 2), lateNext).unexplained.empty());

    // Tick 3 was 3.5 ms late, so tick 4 followed 1.6 ms after it.
    auto lateLost = ticks;
    lateLost[2] += Ms(3.5);
    EXPECT_TRUE(audit(ReadAllBut(lateLost, 2), lateLost).unexplained.empty());

    // modsim and the poller waited for a CPU for 4.5 ms of the 5.
    std::vector<Nanos> waited(ticks.size(), 0);
    waited[2] = Ms(4.5);
    EXPECT_TRUE(audit(ReadAllBut(ticks, 2), ticks, waited).unexplained.empty());
    waited[2] = Ms(3.5);
    EXPECT_EQ(audit(ReadAllBut(ticks, 2), ticks, waited).unexplained.size(), 1u);

    // No tick follows the last one to flush its request: it must arrive.
    const RequestAudit last = audit(ReadAllBut(ticks, 5), ticks);
    EXPECT_EQ(last.unexplained, std::vector<std::size_t>{5});

    // A request read twice is one more than the ticks sent.
    requests = ReadAllBut(ticks, 6);
    requests.insert(requests.begin() + 1, ticks[1] + Ms(0.06));
    const RequestAudit twice = audit(requests, ticks);
    EXPECT_EQ(twice.unmatched, 1u);
    EXPECT_EQ(twice.read, 6u);
}

// ---------------------------------------------------------------- the replay

TEST(Replay, PromptRepliesCountOnceEachAndOnlyBadOnesFail)
{
    const auto ticks = Ticks(4);
    const Bytes stray = [] {
        Bytes b{0x00};
        const Bytes r = Reply(3);
        b.insert(b.end(), r.begin(), r.end());
        return b;
    }();
    const std::vector<Piece> pieces = {
        {ticks[0] + Ms(0.3), Reply(1), 1},
        {ticks[1] + Ms(0.3), Corrupted(Reply(2)), 2},
        {ticks[2] + Ms(0.3), stray, 3}, // the first 21 bytes are off by one
        {ticks[3] + Ms(0.3), Reply(4), 4},
    };
    const Replay replay =
        ReplayPieces(pieces, Matched(ticks), ticks, ticks.back() + Ms(5), FiveMs());
    ExpectCount(replay.replies, 4, 4, 4);
    ExpectCount(replay.errors, 2, 2, 2);
    EXPECT_EQ(replay.ambiguous, 0u);
    ASSERT_EQ(replay.intervals.size(), 4u);
    EXPECT_EQ(replay.intervals[1].errors, 1);
    EXPECT_EQ(replay.intervals[2].errors, 1);
    EXPECT_EQ(replay.intervalAmbiguous, std::vector<bool>(4, false));
}

TEST(Replay, ATickCutsAReplyAndPiecesCombineIntoGarbage)
{
    // Reply 1 in two pieces either side of tick 2; reply 2 waits for its
    // last piece and goes out in the same write. Tick 2 drops the first
    // piece; the second and reply 2 fill the buffer with 11 + 10 bytes that
    // fail the CRC, and the rest of reply 2 is taken along unread.
    const auto ticks = Ticks(3);
    const Bytes first = Reply(1);
    const std::vector<Piece> pieces = {
        {ticks[0] + Ms(2.5), Part(first, 0, 10), 1},
        {ticks[1] + Ms(2.0), Part(first, 10, 11), 1},
        {ticks[1] + Ms(2.0), Reply(2), 2},
        {ticks[2] + Ms(0.3), Reply(3), 3},
    };
    const Replay replay =
        ReplayPieces(pieces, Matched(ticks), ticks, ticks.back() + Ms(5), FiveMs());
    ASSERT_EQ(replay.intervals.size(), 3u);
    EXPECT_EQ(replay.intervals[0].replies, 0);
    EXPECT_EQ(replay.intervals[1].replies, 1);
    EXPECT_EQ(replay.intervals[1].errors, 1);
    EXPECT_EQ(replay.intervals[2].replies, 1);
    EXPECT_EQ(replay.intervals[2].errors, 0);
    ExpectCount(replay.errors, 1, 1, 1);
    ExpectCount(replay.replies, 2, 2, 2);
    EXPECT_EQ(replay.ambiguous, 0u);
}

TEST(Replay, AWriteCloseToATickMayFallEitherSide)
{
    // A corrupted reply to request 1 just before tick 2: handled before it
    // (an error), cleared by it unhandled (nothing), or taken after it, when
    // it joins reply 2 in the buffer: the 21 bytes decoded are its own
    // (an error), reply 2 then fills the buffer again (a good reply).
    const auto ticks = Ticks(2);
    const std::vector<Piece> pieces = {
        {ticks[1] - Ms(0.4), Corrupted(Reply(1)), 1},
        {ticks[1] + Ms(0.3), Reply(2), 2},
    };
    const Replay replay =
        ReplayPieces(pieces, Matched(ticks), ticks, ticks.back() + Ms(5), FiveMs());
    ExpectCount(replay.errors, 1, 0, 1);
    ExpectCount(replay.replies, 2, 1, 2);
    EXPECT_EQ(replay.ambiguous, 1u);
    EXPECT_EQ(replay.intervalAmbiguous, (std::vector<bool>{true, true}));

    // Outside the window the order is certain.
    const std::vector<Piece> early = {
        {ticks[1] - Ms(1.5), Corrupted(Reply(1)), 1},
        {ticks[1] + Ms(0.3), Reply(2), 2},
    };
    const Replay certain =
        ReplayPieces(early, Matched(ticks), ticks, ticks.back() + Ms(5), FiveMs());
    ExpectCount(certain.errors, 1, 1, 1);
    EXPECT_EQ(certain.ambiguous, 0u);
}

TEST(Replay, ARepliesOwnTickIsNeverInDoubt)
{
    // Reply 2 comes 0.2 ms after tick 2, well within the window, but it
    // answers the request tick 2 sent: it cannot have come before it.
    const auto ticks = Ticks(2);
    const std::vector<Piece> pieces = {
        {ticks[0] + Ms(0.2), Corrupted(Reply(1)), 1},
        {ticks[1] + Ms(0.2), Corrupted(Reply(2)), 2},
    };
    const Replay replay =
        ReplayPieces(pieces, Matched(ticks), ticks, ticks.back() + Ms(5), FiveMs());
    ExpectCount(replay.errors, 2, 2, 2);
    EXPECT_EQ(replay.ambiguous, 0u);
}

TEST(Replay, RequestsMatchTheirTicksInOrder)
{
    // Requests read 50 us after ticks 1, 2 and 4: tick 3's was flushed
    // unread by tick 4.
    const auto ticks = Ticks(5);
    EXPECT_EQ(MatchRequests({ticks[0] + Ms(0.05), ticks[1] + Ms(0.05), ticks[3] + Ms(0.05)}, ticks),
              (std::vector<std::size_t>{0, 1, 3}));
    // Tick 2's request read in time but logged after tick 3, just before
    // tick 3's own: both still find their ticks.
    EXPECT_EQ(MatchRequests({ticks[0] + Ms(0.05), ticks[2] + Ms(0.1), ticks[2] + Ms(0.2)}, ticks),
              (std::vector<std::size_t>{0, 1, 2}));
    // More requests than ticks can have sent: the first finds none.
    EXPECT_EQ(MatchRequests({ticks[0] + Ms(0.1), ticks[0] + Ms(0.2)}, ticks),
              (std::vector<std::size_t>{kNoTick, 0}));
}

TEST(Replay, RepliesFollowTheirRequestsEvenWhenOneNeverArrived)
{
    // Tick 2's request was flushed by tick 3 before modsim read it: modsim
    // logged two requests for three ticks. Its second reply, 0.2 ms after
    // tick 3, answers tick 3 and cannot have come before it.
    const auto ticks = Ticks(3);
    const std::vector<std::size_t> matched = {0, 2};
    const std::vector<Piece> pieces = {
        {ticks[0] + Ms(0.3), Reply(1), 1},
        {ticks[2] + Ms(0.2), Corrupted(Reply(3)), 2},
    };
    const Replay replay = ReplayPieces(pieces, matched, ticks, ticks.back() + Ms(5), FiveMs());
    ExpectCount(replay.errors, 1, 1, 1);
    ExpectCount(replay.replies, 2, 2, 2);
    EXPECT_EQ(replay.ambiguous, 0u);
}

TEST(Replay, ALateTickWidensTheWindowBeforeIt)
{
    // Tick 2 was due at 10 ms but ran at 13 ms: the event loop was held up,
    // so a reply that came at 11 ms may never have reached its handler.
    std::vector<Nanos> ticks = {Ms(5.1), Ms(13.0), Ms(15.1)};
    const std::vector<Piece> pieces = {{Ms(11.0), Corrupted(Reply(1)), 1}};
    const Replay late = ReplayPieces(pieces, Matched(ticks), ticks, Ms(20), FiveMs());
    ExpectCount(late.errors, 1, 0, 1);

    // Had tick 2 run on time at 13 ms, the order would be certain.
    Timing onTime = FiveMs();
    onTime.timerSlack = Ms(5);
    const Replay certain = ReplayPieces(pieces, Matched(ticks), ticks, Ms(20), onTime);
    ExpectCount(certain.errors, 1, 1, 1);

    // ... unless the poller's side was held up for 2.5 ms meanwhile.
    Timing heldUp = onTime;
    heldUp.heldUp = {0, Ms(2.5), 0, 0};
    const Replay held = ReplayPieces(pieces, Matched(ticks), ticks, Ms(20), heldUp);
    ExpectCount(held.errors, 1, 0, 1);
}

TEST(Replay, ReadLagsAreMeasuredPerTick)
{
    const auto ticks = Ticks(3); // 5.1, 10.1, 15.1 ms
    const std::vector<Piece> pieces = {
        {Ms(6.0), Reply(1), 1},  // read at 6.05
        {Ms(7.0), Reply(1), 1},  // read at 9.8: 2.8 ms late
        {Ms(11.0), Reply(2), 2}, // not read before tick 3
        {Ms(16.0), Reply(3), 3}, // read at 16.2
    };
    const std::vector<Nanos> reads = {Ms(6.05), Ms(9.8), Ms(15.3), Ms(16.2)};
    EXPECT_EQ(ReadLags(pieces, reads, ticks, Ms(20)), (std::vector<Nanos>{0, Ms(2.8), 0, Ms(0.2)}));
}

TEST(Replay, WritesRightBehindAFullBufferMayBeTakenAlong)
{
    const auto ticks = Ticks(1);
    // Apart by 0.5 ms: the handler may have run before the second came, or not.
    const std::vector<Piece> apart = {
        {ticks[0] + Ms(1.0), Reply(1), 1},
        {ticks[0] + Ms(1.5), Corrupted(Reply(1)), 1},
    };
    const Replay replay =
        ReplayPieces(apart, Matched(ticks), ticks, ticks.back() + Ms(5), FiveMs());
    ExpectCount(replay.replies, 2, 1, 2);
    ExpectCount(replay.errors, 1, 0, 1);
    EXPECT_EQ(replay.ambiguous, 1u);

    // In one write they arrive together and the second is taken along
    // unread, unless the reads split them.
    std::vector<Piece> together = apart;
    together[1].sent = together[0].sent;
    const Replay oneWrite =
        ReplayPieces(together, Matched(ticks), ticks, ticks.back() + Ms(5), FiveMs());
    ExpectCount(oneWrite.replies, 1, 1, 2);
    ExpectCount(oneWrite.errors, 0, 0, 1);

    // Apart by 2 ms: both are handled.
    const std::vector<Piece> far = {
        {ticks[0] + Ms(1.0), Reply(1), 1},
        {ticks[0] + Ms(3.0), Corrupted(Reply(1)), 1},
    };
    const Replay certain = ReplayPieces(far, Matched(ticks), ticks, ticks.back() + Ms(5), FiveMs());
    ExpectCount(certain.replies, 2, 2, 2);
    ExpectCount(certain.errors, 1, 1, 1);
}

TEST(Replay, NothingCountsAfterThePortClosed)
{
    const auto ticks = Ticks(1);
    const std::vector<Piece> pieces = {
        {ticks[0] + Ms(0.3), Reply(1), 1},
        {ticks[0] + Ms(20), Corrupted(Reply(1)), 1},
    };
    const Replay replay = ReplayPieces(pieces, Matched(ticks), ticks, ticks[0] + Ms(10), FiveMs());
    ExpectCount(replay.replies, 1, 1, 1);
    ExpectCount(replay.errors, 0, 0, 0);
}

} // namespace
