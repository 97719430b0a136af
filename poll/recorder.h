// Recording the values: one CSV line (RFC 4180) for each decoded reply, so a
// run can be read back in a spreadsheet or a script. Runs on the acquisition
// thread, beside the poller, so a stalled window never holds it up.
#pragma once

#include "poll/reading.h"

#include <QByteArrayView>
#include <QFile>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <variant>

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
QString CsvHeader(CsvColumns columns = CsvColumns::ValuesAndAddress);
// The columns `line` is the header of, with or without its line end; nothing
// if it is no header of ours.
std::optional<CsvColumns> CsvHeaderColumns(QByteArrayView line);
// The time in ISO 8601 with milliseconds and the UTC offset; the values with
// the digits shown on screen but always a decimal point, whatever the
// locale, so the file reads the same everywhere; the address as a number,
// empty where it is not known. Ends in CR LF.
QString CsvLine(const Reading& reading, CsvColumns columns = CsvColumns::ValuesAndAddress);

class Recorder
{
public:
    // Opens `path` for appending ("-": standard output), and writes the
    // header when the file is new or empty. Returns the recorder, or why the
    // file cannot be recorded to: it cannot be opened, it is a FIFO no
    // program reads, or it holds something other than a recording.
    static std::variant<std::unique_ptr<Recorder>, QString> Open(const QString& path);

    // Writes one line in one write, unbuffered, so a crash loses at most the
    // line being written, and a line that does not fit whole (a full disk) is
    // cut off again: the file always ends in a whole line. False when the
    // write failed; the next record tries again.
    bool record(const Reading& reading);
    QString errorString() const { return m_error; }
    QString path() const { return m_path; }

private:
    explicit Recorder(const QString& path) : m_path(path) {}
    std::optional<QString> open(); // why not, or nothing
    bool append(const QByteArray& bytes);
    void cutOff(qint64 bytes);

    QString m_path;
    QFile m_file;
    QString m_error;           // why the last write failed
    bool m_headerOwed = false; // the header has not reached the file yet
    bool m_lineOwed = false;   // the file's last line has no line end: one goes first
    CsvColumns m_columns = CsvColumns::ValuesAndAddress; // an older file's own, when appending
};

} // namespace poll
