// Faults the fuzz targets (tests/fuzz) found, kept as plain tests.

#include "harness.h"
#include "receiver.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

using namespace modsim;
using namespace modsim::test;
using namespace std::chrono_literals;

namespace {

// The bytes a report of input that made no frame stands for: RTU reports are
// "XX XX ..", ASCII reports here hold only printable characters.
Bytes ReportedBytes(Framing framing, const Received& r)
{
    return framing == Framing::Ascii ? FromText(r.text) : FromHex(r.text);
}

// Every report is no frame and at most kMaxBadChunk bytes; together they are
// `fed`, in order.
void ExpectReportedInPieces(Framing framing, const std::vector<Received>& reports, const Bytes& fed)
{
    Bytes joined;
    for (const Received& r : reports) {
        EXPECT_FALSE(r.frame);
        const Bytes bytes = ReportedBytes(framing, r);
        EXPECT_LE(bytes.size(), kMaxBadChunk);
        joined.insert(joined.end(), bytes.begin(), bytes.end());
    }
    EXPECT_EQ(joined, fed);
}

TEST(FuzzRegressions, RtuGivingUpAfterSilenceKeepsReportsWithinTheLimit)
{
    // 518 bytes that hold no request: 511 are ruled out at once and wait to
    // be reported, 7 wait for more input. After the silence both went out as
    // a single report of 518 bytes.
    Bytes noise(518);
    for (std::size_t i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<std::uint8_t>(i);
    Receiver receiver(Framing::Rtu);
    const Clock::time_point t0 = Clock::time_point{} + 1h;
    std::vector<Received> reports = receiver.feed(noise, t0);
    EXPECT_TRUE(reports.empty()) << "fewer than kMaxBadChunk bytes are held back";
    const std::vector<Received> givenUp = receiver.expire(t0 + kRtuSilenceGap);
    reports.insert(reports.end(), givenUp.begin(), givenUp.end());
    ExpectReportedInPieces(Framing::Rtu, reports, noise);
}

TEST(FuzzRegressions, AsciiWholeLinesAddedToHeldNoiseKeepReportsWithinTheLimit)
{
    const Clock::time_point t0 = Clock::time_point{} + 1h;
    // 511 characters before any ':' are held; a broken line ended by the next
    // ':', or a line grown too long, then joined them in one report of up to
    // 1024 characters.
    const std::string noise(511, 'x');
    const std::string cases[] = {
        noise + ":" + std::string(500, 'A') + ":",
        noise + ":" + std::string(kMaxAsciiLine, 'A'),
    };
    for (const std::string& text : cases) {
        const Bytes fed(text.begin(), text.end());
        Receiver receiver(Framing::Ascii);
        std::vector<Received> reports = receiver.feed(fed, t0);
        const std::vector<Received> givenUp = receiver.expire(t0 + kAsciiSilenceGap);
        reports.insert(reports.end(), givenUp.begin(), givenUp.end());
        ExpectReportedInPieces(Framing::Ascii, reports, fed);
    }
}

} // namespace
