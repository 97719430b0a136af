// Recording the values: one CSV line (RFC 4180) for each decoded reply, so a
// run can be read back in a spreadsheet or a script. Runs on the acquisition
// thread, beside the poller, so a stalled window never holds it up.
#pragma once

#include "poll/csvformat.h"
#include "poll/sample.h"

#include <QByteArrayView>
#include <QFile>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <variant>

namespace acquisition {

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
    bool record(const poll::Sample& sample);
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
    poll::CsvColumns m_columns =
        poll::CsvColumns::ValuesAndAddress; // an older file's own, when appending
};

} // namespace acquisition
