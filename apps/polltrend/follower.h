// A recording read into a trend view, and followed while a poller appends to
// it: each check reads what was added since the last one, so a day's file is
// read once, not once a second. The follower knows the file it read: when the
// path comes to name another file (renamed over, deleted and made again) or
// the bytes it read change (rewritten, cut short), it reads it afresh from
// its start, never mixing the old rows with the new.
#pragma once

#include "poll/csvformat.h"
#include "poll/history.h"
#include "polltrend/spacing.h"

#include <QFile>
#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <optional>
#include <utility>
#include <vector>

namespace polltrend {

// Which file a path names: device and inode on Unix. On Windows there is none
// to be had from Qt; a file replaced there is told by its bytes instead.
struct FileId
{
    quint64 device = 0;
    quint64 inode = 0;
    bool operator==(const FileId&) const = default;
};

// Opens `path` to read, without blocking: a regular file only. A FIFO would
// wait for a writer, maybe for ever, and neither it nor a pipe can be read
// again from its start. Why not, in one line naming the path; `id` is set
// where the system tells it.
std::optional<QString> OpenRecordingFile(QFile& file, const QString& path,
                                         std::optional<FileId>* id = nullptr);

// True if both paths name one file: the same inode (a hard link too) or the
// same canonical path. False if either does not exist.
bool SameFile(const QString& a, const QString& b);

class RecordingFollower : public QObject
{
    Q_OBJECT

public:
    // Fills `history` with the rows of the recording at `path`, and keeps
    // its interval at the rows' usual spacing, for the gap rule.
    RecordingFollower(const QString& path, poll::History& history, QObject* parent = nullptr);

    // Reads all there is now. Why the file cannot be shown if it cannot be
    // opened or is not a recording; nothing otherwise (an empty file is
    // waited for).
    std::optional<QString> readAll();
    // The file is read to its end and will not grow: a last line without its
    // end is counted as cut short.
    void finish();
    // From now on, checks the file every `interval`, and soon after the
    // system tells of a change to it or its folder.
    void follow(std::chrono::milliseconds interval);

    const poll::RecordingReader& reader() const { return m_reader; }
    // What the view was given, and what was skipped: "86400 rows, 2 skipped
    // (1 not 12 fields, 1 time earlier than the row before)", and what
    // became of the file: "file gone, waiting for it".
    QString summary() const;
    // The earliest and latest times of the rows read; nothing before a row.
    std::optional<std::pair<qint64, qint64>> span() const;

signals:
    // New rows reached the view, or the summary changed.
    void changed();
    // The view was emptied to read the file again from its start.
    void startedOver();

private:
    void check();
    void checkSoon();
    void startOver(const QString& why);
    bool readFrom(QFile& file);
    void append(const std::vector<poll::Sample>& rows);
    bool setNote(const QString& note);

    QString m_path;
    poll::History& m_history;
    SpacingMedian m_spacing; // of the first rows: the interval
    poll::RecordingReader m_reader;
    qint64 m_offset = 0; // bytes of the file read so far
    // The last bytes read, up to m_offset: the same bytes there at the next
    // check mean the file only grew.
    QByteArray m_tail;
    std::optional<FileId> m_id;
    bool m_lost = false; // the path could not be read at the last check
    QString m_note;      // what became of the file, under the plot
    std::optional<qint64> m_firstMs, m_lastMs;
    QTimer m_timer;
    QTimer m_soon; // a burst of changes told by the watcher makes one check
    QFileSystemWatcher m_watcher;
};

} // namespace polltrend
