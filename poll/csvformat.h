// A recording's form, both ways: the samples as CSV lines (RFC 4180), and
// the lines read back as samples. The reader is incremental, so a viewer can
// follow a file while a poller is still appending to it: feed it what has
// arrived, take the rows that are whole.
#pragma once

#include "codec/protocol.h"
#include "poll/sample.h"

#include <QDateTime>
#include <QTimeZone>

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <array>
#include <cstddef>
#include <limits>
#include <optional>
#include <vector>

namespace poll {

// The columns of a recording. Files made before the module's address was
// recorded end at ch7; appended to, they keep that form, so a script that
// reads them sees no change.
enum class CsvColumns
{
    Values,          // time,polls,errors,checksum_ok,ch0,...,ch7
    ValuesAndAddress // the same, then address
};

// The header line of a recording, with its CR LF.
QByteArray CsvHeader(CsvColumns columns = CsvColumns::ValuesAndAddress);
// The columns `line` is the header of, with or without its line end; nothing
// if it is no header of ours.
std::optional<CsvColumns> CsvHeaderColumns(QByteArrayView line);
// One sample as a line: its local time in ISO 8601 with milliseconds and the
// UTC offset; the values with the digits shown on screen but always a
// decimal point, whatever the locale, so the file reads the same everywhere;
// the address as a number, empty where it is not known (a file without the
// address column carries none). Ends in CR LF.
QByteArray CsvLine(const Sample& sample, CsvColumns columns = CsvColumns::ValuesAndAddress);
// The same with the time in `zone`.
QByteArray CsvLine(const Sample& sample, CsvColumns columns, const QTimeZone& zone);
// A time as a recording writes it: local, ISO 8601 with milliseconds and the
// UTC offset, "2026-12-09T14:03:05.123+01:00".
QString CsvTime(qint64 timeMs);
// The UTC offset a local time is in, as a recording writes it: "+01:00".
QString UtcOffsetText(const QDateTime& time);

// Why a line gave no row. Each is counted; none stops the reading.
enum class SkipReason
{
    FieldCount,     // not as many comma-separated fields as the header (a blank line too)
    BadTime,        // not yyyy-MM-ddTHH:mm:ss.zzz±HH:MM, or no such date or time
    BadNumber,      // a count that is not a whole number 0..2147483647, a flag not 0 or 1,
                    // a value that is not a decimal number
    OutOfRange,     // a value a float does not hold as a finite number: NaN, ±Infinity,
                    // beyond ±3.4e38, or so small it would read as 0
    TimeBackwards,  // earlier (in UTC) than the row taken before it, and the rows after it
                    // went on from that row instead (a stray), or too few followed it
    TimeAhead,      // more than a day after the row taken before it, and the next row went
                    // on from that row instead (a stray row dated 2099)
    RepeatedHeader, // the header again, as when two recordings are joined with cat
    TooLong,        // longer than RecordingReader::kMaxLineLength: nothing the recorder writes
    Truncated,      // the last line, with no line end: cut short by a crash or a full disk
};
constexpr std::size_t kSkipReasonCount = 9;

// A few words for a count: "time earlier than the row before".
QString SkipReasonText(SkipReason reason);

class RecordingReader
{
public:
    // The longest line taken in, without its LF. The longest the recorder
    // writes is about 500 bytes: 29 for the time, two counts of up to 10
    // digits, and 8 values of up to 54 characters (-0.000...1401298, the
    // smallest float, written without exponent). A file of one giant line
    // therefore costs 4 KiB, not its size.
    static constexpr qsizetype kMaxLineLength = 4096;

    // A row earlier than the last one taken, or more than kJumpAheadMs after
    // it, is held. Ahead, the next row in order confirms it (a run days
    // later); back, kRowsAfterJumpBack rows in order make a new segment (the
    // clock was set back). A row that goes on from the last row taken
    // instead makes the held ones strays, each skipped: a row dated 2099
    // among today's costs that row alone.
    static constexpr qint64 kJumpAheadMs = 24 * 3600'000;
    static constexpr qsizetype kRowsAfterJumpBack = 3;

    enum class State
    {
        NoHeaderYet,   // nothing or only part of the first line so far: a viewer waits
        Reading,       // the header was there; rows follow
        NotARecording, // the first line is not the header: nothing more is read
    };

    // `name` (the file's path) is used in errorString().
    explicit RecordingReader(QString name);

    // Takes the next bytes of the file. Every whole line (ending in LF, a CR
    // before it allowed) becomes a row or a skip; a line without its end yet
    // is held until the rest arrives, so a line the recorder is writing at
    // this moment is never torn into a bad row.
    void feed(QByteArrayView bytes);

    // The end of the file. A last line without its LF is skipped as
    // Truncated, even if it reads: the recorder writes each line with its
    // CR LF in one write and flushes it, so only a crash or a full disk
    // leaves a line without an end, and what it cut may look whole ("12.5"
    // cut from "12.53"). A follower that has reached the end of a file still
    // being written does not call this, it waits for more. Rows still held
    // after a jump in time are taken if they went ahead (takeRows() after
    // this may give rows), and skipped as TimeBackwards if they went back.
    // Calls to feed() after this one are ignored.
    void finish();

    // The rows read since the last call, oldest first.
    std::vector<Sample> takeRows();

    State state() const { return m_state; }
    // Why no rows come (yet), in one line naming the file: "values.csv is
    // empty, no header yet", "... is not a recording: ..."; empty while
    // Reading.
    QString errorString() const;

    // New segments after a jump back in time (a clock set back): rows are in
    // time order but at these jumps.
    qint64 timeJumps() const { return m_timeJumps; }

    // Lines read: the header, the rows and the skipped lines. None in a file
    // that is not a recording.
    qint64 lineCount() const { return m_lines; }
    qint64 rowCount() const { return m_rowCount; } // rows read in all, taken or not
    qint64 skipped(SkipReason reason) const { return m_skipped[static_cast<std::size_t>(reason)]; }
    qint64 skippedCount() const;

private:
    void hold(const char* begin, const char* end);
    bool couldBeHeader(QByteArrayView start) const;
    void refuse(QByteArrayView start);
    void takeLine(const char* begin, const char* end);
    void takeRow(const Sample& row);
    void accept(const Sample& row);
    void takeHeld();
    void dropHeld();
    void takeOverlongLine();
    void skip(SkipReason reason);

    QString m_name;
    QByteArray m_header;       // "time,polls,...,ch7,address", as CsvHeader() writes it, no CR LF
    QByteArray m_valuesHeader; // the same without the address, as older files begin
    CsvColumns m_columns = CsvColumns::ValuesAndAddress; // of the header read
    State m_state = State::NoHeaderYet;
    QString m_refusal; // why the first line is not the header
    bool m_finished = false;
    bool m_sawBytes = false;
    QByteArray m_pending;    // the start of a line whose LF has not arrived
    bool m_overlong = false; // the line being held grew past kMaxLineLength: dropped up to its LF
    qint64 m_lastTimeMs = std::numeric_limits<qint64>::min(); // of the last row accepted
    // Rows out of step with the last one taken, in time order among
    // themselves: taken once enough follow, strays otherwise.
    std::vector<Sample> m_held;
    qint64 m_timeJumps = 0;
    qint64 m_lines = 0;
    qint64 m_rowCount = 0;
    std::array<qint64, kSkipReasonCount> m_skipped{};
    std::vector<Sample> m_rows;
};

} // namespace poll
