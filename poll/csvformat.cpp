#include "poll/csvformat.h"

#include "poll/numberformat.h"

#include <QDateTime>
#include <QLocale>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <string_view>
#include <variant>

namespace poll {

namespace {

// time, polls, errors, checksum_ok, ch0..ch7, and in newer files the address
constexpr std::size_t kValueFieldCount = 4 + protocol::kChannelCount;
constexpr std::size_t kMaxFieldCount = kValueFieldCount + 1;
// "2026-12-09T14:03:05.123+01:00"
constexpr std::size_t kTimeLength = 29;

QByteArray HeaderLine(CsvColumns columns)
{
    QByteArray header = CsvHeader(columns);
    header.chop(2); // CR LF
    return header;
}

// `count` decimal digits from `at`, or -1.
int Digits(std::string_view text, std::size_t at, std::size_t count)
{
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// The time as CsvLine writes it. By hand rather than by
// QDateTime::fromString, which costs more than the rest of the row put
// together: a week at 1 Hz is 604,800 of them.
bool ParseTime(std::string_view text, qint64& utcMs)
{
    if (text.size() != kTimeLength || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
        text[13] != ':' || text[16] != ':' || text[19] != '.' ||
        (text[23] != '+' && text[23] != '-') || text[26] != ':')
        return false;
    const int year = Digits(text, 0, 4);
    const int month = Digits(text, 5, 2);
    const int day = Digits(text, 8, 2);
    const int hour = Digits(text, 11, 2);
    const int minute = Digits(text, 14, 2);
    const int second = Digits(text, 17, 2);
    const int ms = Digits(text, 20, 3);
    const int offsetHours = Digits(text, 24, 2);
    const int offsetMins = Digits(text, 27, 2);
    // No year 0000: QDate, and so --from and --to, have none either.
    if (year < 1 || month < 0 || day < 0 || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
        second < 0 || second > 59 || ms < 0 || offsetHours < 0 || offsetHours > 23 ||
        offsetMins < 0 || offsetMins > 59)
        return false;
    const std::chrono::year_month_day date{std::chrono::year(year),
                                           std::chrono::month(static_cast<unsigned>(month)),
                                           std::chrono::day(static_cast<unsigned>(day))};
    if (!date.ok())
        return false; // 2026-02-30, month 13
    const qint64 days = std::chrono::sys_days(date).time_since_epoch().count();
    const int offset = (text[23] == '-' ? -1 : 1) * (offsetHours * 60 + offsetMins);
    const qint64 localMs = ((days * 24 + hour) * 60 + minute) * 60'000 + second * 1000 + ms;
    utcMs = localMs - qint64(offset) * 60'000;
    return true;
}

bool ParseCount(std::string_view text, qint32& count)
{
    if (text.empty() || text[0] == '-')
        return false; // from_chars takes a minus sign; a count has none
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), count);
    return ec == std::errc() && end == text.data() + text.size();
}

// The module's address: 0 to 255, or empty where the program did not know it.
bool ParseAddress(std::string_view text, qint16& address)
{
    if (text.empty()) {
        address = -1;
        return true;
    }
    qint32 value = 0;
    if (!ParseCount(text, value) || value > 255)
        return false;
    address = static_cast<qint16>(value);
    return true;
}

// A row, or why the line gives none. The time going backwards is for the
// caller to judge.
std::variant<Sample, SkipReason> ParseRow(std::string_view line, CsvColumns columns)
{
    const std::size_t fieldCount =
        columns == CsvColumns::ValuesAndAddress ? kMaxFieldCount : kValueFieldCount;
    std::array<std::string_view, kMaxFieldCount> fields;
    std::size_t count = 0;
    for (std::size_t start = 0;;) {
        const std::size_t comma = line.find(',', start);
        if (count == fieldCount)
            return SkipReason::FieldCount; // a field more than the header has
        fields[count++] =
            line.substr(start, comma == std::string_view::npos ? comma : comma - start);
        if (comma == std::string_view::npos)
            break;
        start = comma + 1;
    }
    if (count != fieldCount)
        return SkipReason::FieldCount;

    Sample row{};
    if (!ParseTime(fields[0], row.timeMs))
        return SkipReason::BadTime;
    if (!ParseCount(fields[1], row.polls) || !ParseCount(fields[2], row.errors))
        return SkipReason::BadNumber;
    if (fields[3] != "1" && fields[3] != "0")
        return SkipReason::BadNumber;
    row.checksumOk = fields[3] == "1";

    bool outOfRange = false;
    for (std::size_t i = 0; i < protocol::kChannelCount; ++i) {
        const std::string_view text = fields[4 + i];
        float& value = row.values[i];
        // Decimal, as FormatChannelNumber writes it; an exponent (1e5), as a
        // hand edit may hold, reads too. No leading '+' or blank.
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (end != text.data() + text.size() ||
            (ec != std::errc() && ec != std::errc::result_out_of_range))
            return SkipReason::BadNumber;
        // A number that does not fit is out of range, but one that does not
        // read at all counts first, whichever channel holds it.
        outOfRange = outOfRange || ec == std::errc::result_out_of_range || !std::isfinite(value);
    }
    if (outOfRange)
        return SkipReason::OutOfRange;
    if (columns == CsvColumns::ValuesAndAddress && !ParseAddress(fields[12], row.address))
        return SkipReason::BadNumber;
    return row;
}

// No earlier, and at most a day later: as one row follows another in a
// recording, pauses between runs on one day included.
bool InStep(qint64 fromMs, qint64 toMs)
{
    return toMs >= fromMs && toMs - fromMs <= RecordingReader::kJumpAheadMs;
}

constexpr QByteArrayView kByteOrderMark("\xEF\xBB\xBF");

// A spreadsheet saving as "CSV UTF-8" puts a byte-order mark before the
// header; the file is otherwise ours. Also a mark still arriving (1 or 2 of
// its bytes) reads as none.
QByteArrayView WithoutByteOrderMark(QByteArrayView start)
{
    if (start.startsWith(kByteOrderMark))
        return start.sliced(kByteOrderMark.size());
    if (start.size() < kByteOrderMark.size() && kByteOrderMark.startsWith(start))
        return {};
    return start;
}

} // namespace

QByteArray CsvHeader(CsvColumns columns)
{
    QByteArray header = "time,polls,errors,checksum_ok";
    for (std::size_t i = 0; i < protocol::kChannelCount; ++i)
        header += ",ch" + QByteArray::number(static_cast<int>(i));
    if (columns == CsvColumns::ValuesAndAddress)
        header += ",address";
    return header + "\r\n";
}

std::optional<CsvColumns> CsvHeaderColumns(QByteArrayView line)
{
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    for (const CsvColumns columns : {CsvColumns::ValuesAndAddress, CsvColumns::Values})
        if (line == QByteArrayView(CsvHeader(columns)).chopped(2))
            return columns;
    return std::nullopt;
}

QString UtcOffsetText(const QDateTime& time)
{
    const int offset = time.offsetFromUtc();
    return QStringLiteral("%1%2:%3")
        .arg(QChar(offset < 0 ? u'-' : u'+'))
        .arg(std::abs(offset) / 3600, 2, 10, QLatin1Char('0'))
        .arg(std::abs(offset) % 3600 / 60, 2, 10, QLatin1Char('0'));
}

namespace {

QString TimeText(const QDateTime& time)
{
    return time.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")) + UtcOffsetText(time);
}

QByteArray Line(const Sample& sample, CsvColumns columns, const QDateTime& time)
{
    // No field can hold a comma, a quote or a line break, so none is quoted.
    QString line = TimeText(time);
    line += u',' + QString::number(sample.polls) + u',' + QString::number(sample.errors) + u',';
    line += sample.checksumOk ? u'1' : u'0';
    for (float value : sample.values)
        line += u',' + FormatChannelNumber(value, QLocale::c());
    if (columns == CsvColumns::ValuesAndAddress) {
        line += u',';
        if (sample.address >= 0)
            line += QString::number(sample.address);
    }
    return (line + QStringLiteral("\r\n")).toLatin1();
}

} // namespace

QString CsvTime(qint64 timeMs)
{
    return TimeText(QDateTime::fromMSecsSinceEpoch(timeMs));
}

QByteArray CsvLine(const Sample& sample, CsvColumns columns)
{
    return Line(sample, columns, QDateTime::fromMSecsSinceEpoch(sample.timeMs));
}

QByteArray CsvLine(const Sample& sample, CsvColumns columns, const QTimeZone& zone)
{
    return Line(sample, columns, QDateTime::fromMSecsSinceEpoch(sample.timeMs, zone));
}

QString SkipReasonText(SkipReason reason)
{
    switch (reason) {
    case SkipReason::FieldCount:
        return QStringLiteral("not as many fields as the header");
    case SkipReason::BadTime:
        return QStringLiteral("time not readable");
    case SkipReason::BadNumber:
        return QStringLiteral("count, flag or value not a number");
    case SkipReason::OutOfRange:
        return QStringLiteral("value not a finite float");
    case SkipReason::TimeBackwards:
        return QStringLiteral("time earlier than the row before");
    case SkipReason::TimeAhead:
        return QStringLiteral("time over a day ahead of the rows around it");
    case SkipReason::RepeatedHeader:
        return QStringLiteral("header repeated");
    case SkipReason::TooLong:
        return QStringLiteral("line longer than %1 bytes").arg(RecordingReader::kMaxLineLength);
    case SkipReason::Truncated:
        return QStringLiteral("last line cut short");
    }
    return QString();
}

RecordingReader::RecordingReader(QString name)
    : m_name(std::move(name)), m_header(HeaderLine(CsvColumns::ValuesAndAddress)),
      m_valuesHeader(HeaderLine(CsvColumns::Values))
{
    m_pending.reserve(kMaxLineLength);
}

void RecordingReader::feed(QByteArrayView bytes)
{
    if (m_finished)
        return;
    m_sawBytes = m_sawBytes || !bytes.isEmpty();
    const char* at = bytes.data();
    const char* const end = at + bytes.size();
    while (at < end && m_state != State::NotARecording) {
        const auto* lf =
            static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(end - at)));
        if (!lf) {
            hold(at, end);
            return; // the rest of the line is still to come
        }
        if (m_pending.isEmpty() && !m_overlong) {
            takeLine(at, lf); // the usual case: the whole line is in this chunk, no copy
        } else {
            hold(at, lf);
            if (m_overlong)
                takeOverlongLine();
            else
                takeLine(m_pending.cbegin(), m_pending.cend());
            m_pending.truncate(0); // keeps its 4 KiB block for the next line
            m_overlong = false;
        }
        at = lf + 1;
    }
}

void RecordingReader::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    // No rows came to say whether the held ones were stray. Ahead, time
    // simply went on (the last run of a file a day later); back, they are
    // earlier than the row before, as counted.
    if (!m_held.empty() && m_held.front().timeMs > m_lastTimeMs)
        takeHeld();
    dropHeld();
    if (m_state != State::Reading || (m_pending.isEmpty() && !m_overlong))
        return; // no rows to read, or nothing after the last LF
    ++m_lines;
    skip(m_overlong ? SkipReason::TooLong : SkipReason::Truncated);
    m_pending.clear();
    m_overlong = false;
}

std::vector<Sample> RecordingReader::takeRows()
{
    std::vector<Sample> rows;
    rows.swap(m_rows);
    return rows;
}

QString RecordingReader::errorString() const
{
    switch (m_state) {
    case State::NoHeaderYet:
        return m_sawBytes ? QStringLiteral("%1 has no whole header line yet").arg(m_name)
                          : QStringLiteral("%1 is empty, no header yet").arg(m_name);
    case State::NotARecording:
        return QStringLiteral("%1 is not a recording: %2").arg(m_name, m_refusal);
    case State::Reading:
        break;
    }
    return QString();
}

qint64 RecordingReader::skippedCount() const
{
    qint64 total = 0;
    for (qint64 count : m_skipped)
        total += count;
    return total;
}

void RecordingReader::hold(const char* begin, const char* end)
{
    // Tell a file that is not a recording at once, not when its first LF
    // comes (it may have none): its first bytes already differ from the
    // header. Judged before an overlong line is let go, to say why.
    if (m_state == State::NoHeaderYet) {
        QByteArray start = m_pending; // at most the header, its mark and a CR so far
        start.append(begin, std::min<qsizetype>(end - begin, m_header.size() + 8));
        if (!couldBeHeader(start))
            refuse(start);
    }
    if (!m_overlong) {
        if (m_pending.size() + (end - begin) > kMaxLineLength) {
            m_overlong = true;
            m_pending.truncate(0); // what follows up to the LF is dropped unseen
        } else {
            m_pending.append(begin, end - begin);
        }
    }
}

bool RecordingReader::couldBeHeader(QByteArrayView start) const
{
    start = WithoutByteOrderMark(start);
    // Either header, or the start of one.
    const auto couldBe = [start](QByteArrayView header) {
        const qsizetype common = std::min(start.size(), header.size());
        if (start.first(common) != header.first(common))
            return false;
        // CRs after it may yet end in an LF: a header written as CR CR LF
        // is read as the header, whatever the bytes come in.
        const QByteArrayView rest = start.sliced(common);
        return std::all_of(rest.begin(), rest.end(), [](char c) { return c == '\r'; });
    };
    return couldBe(m_header) || couldBe(m_valuesHeader);
}

void RecordingReader::refuse(QByteArrayView start)
{
    m_state = State::NotARecording;
    const QByteArrayView line = WithoutByteOrderMark(start);
    const auto crAlone = [line](QByteArrayView header) {
        return line.startsWith(header) && line.size() > header.size() + 1 &&
               line[header.size()] == '\r' && line[header.size() + 1] != '\n';
    };
    if (crAlone(m_header) || crAlone(m_valuesHeader))
        m_refusal = QStringLiteral("its lines end in CR alone; save it with LF or CR LF line ends");
    else
        m_refusal =
            QStringLiteral("its first line is not the header %1").arg(QLatin1StringView(m_header));
}

void RecordingReader::takeOverlongLine()
{
    if (m_state != State::Reading) {
        refuse({}); // no header is that long
        return;
    }
    ++m_lines;
    skip(SkipReason::TooLong);
}

void RecordingReader::takeLine(const char* begin, const char* end)
{
    if (m_state == State::NotARecording)
        return; // told by its first bytes already
    if (m_state == State::NoHeaderYet) {
        QByteArrayView first(begin, end - begin);
        const std::optional<CsvColumns> columns =
            CsvHeaderColumns(WithoutByteOrderMark(first.endsWith('\r') ? first.chopped(1) : first));
        if (!columns) {
            refuse(first);
            return;
        }
        m_columns = *columns;
        m_state = State::Reading;
        m_lines = 1;
        return;
    }
    if (end - begin > kMaxLineLength) {
        takeOverlongLine();
        return;
    }
    if (begin != end && end[-1] == '\r')
        --end;
    const std::string_view line(begin, static_cast<std::size_t>(end - begin));
    ++m_lines;
    if (const std::optional<CsvColumns> header = CsvHeaderColumns(QByteArrayView(line))) {
        // Two recordings joined with cat: the rows after it are in its form.
        m_columns = *header;
        skip(SkipReason::RepeatedHeader);
        return;
    }
    auto parsed = ParseRow(line, m_columns);
    if (const auto* reason = std::get_if<SkipReason>(&parsed)) {
        skip(*reason);
        return;
    }
    takeRow(std::get<Sample>(parsed));
}

void RecordingReader::takeRow(const Sample& row)
{
    if (m_lastTimeMs == std::numeric_limits<qint64>::min() || InStep(m_lastTimeMs, row.timeMs)) {
        dropHeld(); // it goes on from the last row taken: what was held was stray
        accept(row);
        return;
    }
    if (!m_held.empty()) {
        // Rows after a pause may be days apart; rows after a clock set back
        // come as often as before it.
        const bool ahead = m_held.front().timeMs > m_lastTimeMs;
        const qint64 newest = m_held.back().timeMs;
        if (ahead ? row.timeMs < newest : !InStep(newest, row.timeMs))
            dropHeld(); // in step with neither: the held rows were stray, this may begin anew
    }
    m_held.push_back(row);
    // Ahead, a second row in order confirms the first: time went on (a run
    // days later). Back, three rows in order do: the clock was set back, and
    // 08:00:01, 08:00:02, 07:00:03, 07:00:04, 07:00:05 is 5 rows, one jump.
    const bool back = m_held.front().timeMs < m_lastTimeMs;
    if (std::ssize(m_held) < (back ? kRowsAfterJumpBack : 2))
        return;
    m_timeJumps += back;
    takeHeld();
}

void RecordingReader::accept(const Sample& row)
{
    m_lastTimeMs = row.timeMs;
    ++m_rowCount;
    m_rows.push_back(row);
}

void RecordingReader::takeHeld()
{
    for (const Sample& held : m_held)
        accept(held);
    m_held.clear();
}

void RecordingReader::dropHeld()
{
    for (const Sample& held : m_held)
        skip(held.timeMs < m_lastTimeMs ? SkipReason::TimeBackwards : SkipReason::TimeAhead);
    m_held.clear();
}

void RecordingReader::skip(SkipReason reason)
{
    ++m_skipped[static_cast<std::size_t>(reason)];
}

} // namespace poll
