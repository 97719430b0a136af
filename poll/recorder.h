// Recording the values: one CSV line (RFC 4180) for each decoded reply, so a
// run can be read back in a spreadsheet or a script. Runs on the acquisition
// thread, beside the poller, so a stalled window never holds it up.
#pragma once

#include "poll/reading.h"

#include <QFile>
#include <QString>

#include <cstdint>
#include <memory>
#include <variant>

namespace poll {

// "time,polls,errors,checksum_ok,ch0,...,ch7"
QString CsvHeader();
// The time in ISO 8601 with milliseconds and the UTC offset; the values with
// the digits shown on screen but always a decimal point, whatever the
// locale, so the file reads the same everywhere. Ends in CR LF.
QString CsvLine(const Reading& reading);

class Recorder
{
public:
    // Opens `path` for appending ("-": standard output), and writes the
    // header when the file is new or empty. Returns the recorder, or why the
    // file cannot be opened.
    static std::variant<std::unique_ptr<Recorder>, QString> Open(const QString& path);

    // Writes and flushes one line, so a crash loses at most the line being
    // written. False when the write failed; the next record tries again.
    bool record(const Reading& reading);
    QString errorString() const { return m_error; }
    QString path() const { return m_path; }

private:
    explicit Recorder(const QString& path)
        : m_path(path)
    {
    }
    bool append(const QString& text);

    QString m_path;
    QFile m_file;
    QString m_error; // why the last write failed
    bool m_headerOwed = false; // the header has not reached the file yet
};

} // namespace poll
