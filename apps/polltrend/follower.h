// A recording read into a trend view, and followed while a poller appends to
// it: each check reads what was added since the last one, so a day's file is
// read once, not once a second.
#pragma once

#include "poll/recording.h"
#include "ui/trendview.h"

#include <QFile>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <utility>

#include <optional>

namespace polltrend {

class RecordingFollower : public QObject
{
    Q_OBJECT

public:
    RecordingFollower(const QString& path, ui::TrendView& view, QObject* parent = nullptr);

    // Reads all there is now. Why the file cannot be shown if it cannot be
    // opened or is not a recording; nothing otherwise (an empty file is
    // waited for).
    std::optional<QString> readAll();
    // The file is read to its end and will not grow: a last line without its
    // end is counted as cut short.
    void finish();
    // From now on, checks the file for more every `interval`.
    void follow(std::chrono::milliseconds interval);

    const poll::RecordingReader& reader() const { return m_reader; }
    // What the view was given, and what was skipped: "86400 rows, 2 skipped
    // (1 not 12 fields, 1 time earlier than the row before)".
    QString summary() const;
    // The times of the first and last row read; nothing before a row.
    std::optional<std::pair<qint64, qint64>> span() const;

signals:
    // New rows reached the view, or the summary changed.
    void changed();

private:
    void check();
    void readMore();
    void restart();

    QString m_path;
    ui::TrendView& m_view;
    QFile m_file;
    poll::RecordingReader m_reader;
    qint64 m_offset = 0; // bytes of the file read so far
    std::optional<qint64> m_firstMs, m_lastMs;
    QTimer m_timer;
};

} // namespace polltrend
