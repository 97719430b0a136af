// Reading a recording back: broken files, files being written, round trips.

#include "acquisition/recorder.h"
#include "poll/csvformat.h"
#include "poll/numberformat.h"

#include <gtest/gtest.h>

#include <QTimeZone>

#include <map>

namespace {

using poll::RecordingReader;
using poll::SkipReason;
using State = RecordingReader::State;

// Header and rows as the recorder's documentation shows them, not from CsvLine.
const QByteArray kHeader = "time,polls,errors,checksum_ok,ch0,ch1,ch2,ch3,ch4,ch5,ch6,ch7\r\n";
const QByteArray kRow = "2026-12-09T14:03:05.123+01:00,17,2,1,12.5,0,-3,1234567,0.1,-0.25,7,8\r\n";
// kRow at another time, or at its time with other fields.
const auto At = [](const char* time) { return time + kRow.sliced(29); };
const auto With = [](const char* fields) { return kRow.first(30) + fields + "\r\n"; };
// The same in the form with the module's address at the end.
const QByteArray kAddressHeader = kHeader.chopped(2) + ",address\r\n";
const auto Address = [](const char* address) { return kRow.chopped(2) + "," + address + "\r\n"; };

struct Outcome
{
    State state;
    QString message;
    qint64 lines;
    qint64 timeJumps;
    std::map<SkipReason, qint64> skips;
    std::vector<poll::Sample> rows;

    bool operator==(const Outcome&) const = default;
};

// Feeds the first `first` bytes of `input`, then the rest in pieces of
// `piece` bytes, then ends it.
Outcome Read(const QByteArray& input, qsizetype first, qsizetype piece)
{
    RecordingReader reader(QStringLiteral("values.csv"));
    Outcome out{};
    for (qsizetype at = 0, n = first; at < input.size(); at += n, n = piece) {
        reader.feed(QByteArrayView(input).sliced(at, std::min(n, input.size() - at)));
        for (const poll::Sample& row : reader.takeRows())
            out.rows.push_back(row);
    }
    reader.finish();
    for (const poll::Sample& row : reader.takeRows())
        out.rows.push_back(row); // held after a jump ahead, and nothing after them
    out.state = reader.state();
    out.message = reader.errorString();
    out.lines = reader.lineCount();
    out.timeJumps = reader.timeJumps();
    for (std::size_t i = 0; i < poll::kSkipReasonCount; ++i)
        if (const qint64 n = reader.skipped(SkipReason(i)))
            out.skips[SkipReason(i)] = n;
    return out;
}

TEST(RecordingReader, SkipsBrokenLinesByReasonAndReadsTheSameWhateverThePieces)
{
    const QByteArray longLine(5000, 'x');
    const struct
    {
        const char* name;
        QByteArray input;
        qint64 rows;
        std::map<SkipReason, qint64> skips;
        State state = State::Reading;
        const char* says = ""; // what the message says of a file that is not a recording
    } cases[] = {
        // clang-format off
        {"empty", "", 0, {}, State::NoHeaderYet},
        {"header cut short", kHeader.first(20), 0, {}, State::NoHeaderYet},
        {"first line not the header", "time,value\n" + kRow, 0, {}, State::NotARecording,
         "its first line is not the header time,polls,errors,checksum_ok,ch0,"},
        {"CR alone ends the lines", QByteArray(kHeader + kRow).replace("\r\n", "\r"), 0, {}, State::NotARecording,
         "its lines end in CR alone"},
        {"header with a field more", kHeader.chopped(2) + ",ch8\r\n" + kRow, 0, {}, State::NotARecording},
        {"header's start, then a line too long", "tim" + QByteArray(5000, 'x') + "\n", 0, {}, State::NotARecording},
        {"binary, no line end", QByteArray("\x7f" "ELF\0\0", 6), 0, {}, State::NotARecording},
        {"header only", kHeader, 0, {}},
        {"byte-order mark before the header", "\xEF\xBB\xBF" + kHeader + kRow, 1, {}},
        {"byte-order mark before a foreign line", "\xEF\xBB\xBF" "a,b\n", 0, {}, State::NotARecording},
        {"CR LF", kHeader + kRow + At("2026-12-09T14:03:06.123+01:00"), 2, {}},
        {"LF only", QByteArray(kHeader + kRow + At("2026-12-09T14:03:06.123+01:00")).replace("\r", ""), 2, {}},
        {"runs appended, polls restart", kHeader + kRow + At("2026-12-09T15:00:00.000+01:00").replace(",17,", ",1,"), 2, {}},
        {"wrong field count", kHeader + "\r\n" + kRow.chopped(4) + "\r\n" + kRow.chopped(2) + ",9\r\n", 0,
         {{SkipReason::FieldCount, 3}}},
        {"bad time", kHeader + At("2026-13-09T14:03:05.123+01:00") + At("2026-02-29T14:03:05.123+01:00")
             + At("2026-12-09T24:03:05.123+01:00") + At("2026-12-09T14:03:05+01:00") + At("2026-12-09T14:03:05.123Z")
             + At("2028-02-29T14:03:05.123+01:00") + At("0000-12-09T14:03:05.123+01:00"), 1, {{SkipReason::BadTime, 6}}},
        {"bad number", kHeader + With("-1,2,1,1,2,3,4,5,6,7,8") + With("17,2147483648,1,1,2,3,4,5,6,7,8")
             + With("17,2,2,1,2,3,4,5,6,7,8") + With("17,2,1,+1,2,3,4,5,6,7,8") + With("17,2,1,1,,3,4,5,6,7,Infinity")
             + With("17,2,1,1,2,3,4,5,6,7,0x8"), 0, {{SkipReason::BadNumber, 6}}},
        {"value out of range", kHeader + With("17,2,1,NaN,2,3,4,5,6,7,8") + With("17,2,1,1,-Infinity,3,4,5,6,7,8")
             + With("17,2,1,1,2,1e39,4,5,6,7,8") + With("17,2,1,1,2,3,4,5,6,7,340282300000000000000000000000000000000"),
         1, {{SkipReason::OutOfRange, 3}}},
        {"time going backwards in UTC, not in local time", kHeader + At("2026-10-25T02:30:00.000+02:00")
             + At("2026-10-25T02:10:00.000+01:00") + At("2026-10-25T02:10:00.000+01:00")
             + At("2026-10-25T01:10:00.000+01:00"), 3, {{SkipReason::TimeBackwards, 1}}},
        {"header repeated", kHeader + kRow + kHeader.chopped(2) + "\n" + kRow, 2, {{SkipReason::RepeatedHeader, 1}}},
        {"line too long", kHeader + QByteArray(4095, 'x') + "\r\n" + QByteArray(4097, 'x') + "\n" + kRow + longLine, 1,
         {{SkipReason::FieldCount, 1}, {SkipReason::TooLong, 2}}},
        {"last line without its end", kHeader + kRow + kRow.chopped(2), 1, {{SkipReason::Truncated, 1}}},
        {"with the address, known or not", kAddressHeader + Address("68") + Address("") + Address("0"), 3, {}},
        {"an address not 0 to 255, or missing", kAddressHeader + Address("256") + Address("-1") + Address("x") + kRow, 0,
         {{SkipReason::BadNumber, 3}, {SkipReason::FieldCount, 1}}},
        {"a recording without the address, then one with it", kHeader + kRow + kAddressHeader + Address("68") + kRow, 2,
         {{SkipReason::RepeatedHeader, 1}, {SkipReason::FieldCount, 1}}},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome whole = Read(c.input, c.input.size(), 0);
        EXPECT_EQ(whole.state, c.state);
        EXPECT_EQ(qsizetype(whole.rows.size()), c.rows);
        EXPECT_EQ(whole.skips, c.skips);
        if (c.state == State::Reading) {
            EXPECT_EQ(whole.lines, c.input.count('\n') + (c.input.endsWith('\n') ? 0 : 1))
                << "every line counted, the header and a last one without its end too";
        } else {
            EXPECT_TRUE(whole.message.startsWith("values.csv "))
                << "names the file: " << qPrintable(whole.message);
            EXPECT_TRUE(whole.message.contains(c.says)) << qPrintable(whole.message);
        }
        // Lines held in pieces, or some whole in a chunk and some not.
        for (auto [first, piece] : {std::pair{1, 1}, {7, 7}, {3, 1 << 20}})
            EXPECT_TRUE(Read(c.input, first, piece) == whole) << first << ", then " << piece;
    }
}

TEST(RecordingReader, ARowOutOfStepCostsItselfAndAClockSteppedStartsASegment)
{
    constexpr int kDay = 24 * 60, k2099 = 38'000'000; // minutes after 2026-12-09T08:00Z
    const struct
    {
        const char* name;
        std::vector<int> minutes, kept;
        std::map<SkipReason, qint64> skips;
        qint64 jumps = 0;
    } cases[] = {
        // clang-format off
        {"a row dated 2099 among today's", {0, 1, k2099, 2, 3}, {0, 1, 2, 3}, {{SkipReason::TimeAhead, 1}}},
        {"a row from the day before", {0, 1, -kDay, 2, 3}, {0, 1, 2, 3}, {{SkipReason::TimeBackwards, 1}}},
        {"the clock set back an hour", {60, 61, 2, 3, 4, 5}, {60, 61, 2, 3, 4, 5}, {}, 1},
        {"set back, two rows before the end", {60, 61, 2, 3}, {60, 61}, {{SkipReason::TimeBackwards, 2}}},
        {"two strays apart, then the clock set back", {60, k2099, -kDay, 2, 3, 4}, {60, 2, 3, 4},
         {{SkipReason::TimeAhead, 1}, {SkipReason::TimeBackwards, 1}}, 1},
        {"a run three days later", {0, 1, 3 * kDay, 3 * kDay + 1}, {0, 1, 3 * kDay, 3 * kDay + 1}, {}},
        {"one row a day", {0, kDay + 1, 2 * kDay + 2, 3 * kDay + 3}, {0, kDay + 1, 2 * kDay + 2, 3 * kDay + 3}, {}},
        // clang-format on
    };
    const QDateTime start(QDate(2026, 12, 9), QTime(8, 0), QTimeZone::utc());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QByteArray input = kHeader;
        for (int minute : c.minutes)
            input += At(
                start.addSecs(minute * 60LL).toString("yyyy-MM-ddTHH:mm:ss.zzz+00:00").toLatin1());
        const Outcome whole = Read(input, input.size(), 0);
        std::vector<int> kept;
        for (const poll::Sample& row : whole.rows)
            kept.push_back(int(start.msecsTo(QDateTime::fromMSecsSinceEpoch(row.timeMs)) / 60'000));
        EXPECT_EQ(kept, c.kept);
        EXPECT_EQ(whole.skips, c.skips);
        EXPECT_EQ(whole.timeJumps, c.jumps);
        EXPECT_TRUE(Read(input, 1, 1) == whole) << "a byte at a time";
    }
}

TEST(RecordingReader, ReadsBackWhatTheRecorderWrites)
{
    const QDateTime times[] = {
        QDateTime(QDate(2026, 12, 8), QTime(9, 5, 7, 45), QTimeZone(3600)),
        QDateTime(QDate(2028, 2, 29), QTime(23, 59, 59, 999), QTimeZone(-(5 * 3600 + 30 * 60))),
        QDateTime(QDate(2029, 1, 1), QTime(0, 0), QTimeZone(0)),
    };
    const protocol::ChannelValues values = {23.5f,   -0.5f,          -0.0f,  -32768.0f,
                                            3276.7f, 1.1754944e-38f, 1e-45f, 3.4028235e38f};
    QByteArray file = poll::CsvHeader();
    for (const QDateTime& time : times)
        file += poll::CsvLine({.timeMs = time.toMSecsSinceEpoch(),
                               .values = values,
                               .polls = 2147483647,
                               .address = 68},
                              poll::CsvColumns::ValuesAndAddress, time.timeZone());
    RecordingReader reader(QStringLiteral("values.csv"));
    reader.feed(file);
    const std::vector<poll::Sample> rows = reader.takeRows();
    ASSERT_EQ(rows.size(), std::size(times));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].timeMs, times[i].toMSecsSinceEpoch()) << i;
        EXPECT_EQ(rows[i].polls, 2147483647);
        EXPECT_TRUE(rows[i].checksumOk);
        EXPECT_EQ(rows[i].address, 68);
        for (std::size_t ch = 0; ch < values.size(); ++ch)
            EXPECT_EQ(poll::FormatChannelNumber(rows[i].values[ch], QLocale::c()),
                      poll::FormatChannelNumber(values[ch], QLocale::c()))
                << ch;
    }
}

} // namespace
