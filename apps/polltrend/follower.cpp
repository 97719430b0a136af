#include "polltrend/follower.h"

#include <QFileInfo>
#include <QStringList>

#include <limits>
#include <vector>

namespace polltrend {
namespace {

// Read in pieces, so a week's file (45 MB) never sits in memory whole.
constexpr qint64 kChunkSize = 1 << 20;

} // namespace

RecordingFollower::RecordingFollower(const QString& path, ui::TrendView& view, QObject* parent)
    : QObject(parent), m_path(path), m_view(view), m_file(path), m_reader(path), m_timer(this)
{
    // A file viewer keeps the whole file: the samples are allocated as they
    // come, so this bounds nothing but what is read.
    m_view.setCapacity(std::numeric_limits<qsizetype>::max() / 2);
    connect(&m_timer, &QTimer::timeout, this, &RecordingFollower::check);
}

std::optional<QString> RecordingFollower::readAll()
{
    if (!m_file.isOpen() && !m_file.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot open %1: %2").arg(m_path, m_file.errorString());
    readMore();
    if (m_reader.state() == poll::RecordingReader::State::NotARecording)
        return m_reader.errorString();
    return std::nullopt;
}

void RecordingFollower::finish()
{
    m_reader.finish();
    emit changed();
}

void RecordingFollower::follow(std::chrono::milliseconds interval)
{
    m_timer.start(interval);
}

void RecordingFollower::check()
{
    // Cut shorter than what was read, or replaced: start over.
    const qint64 size = QFileInfo(m_path).size();
    if (size < m_offset)
        restart();
    if (size > m_offset)
        readMore();
}

void RecordingFollower::restart()
{
    m_file.close();
    m_reader = poll::RecordingReader(m_path);
    m_offset = 0;
    m_firstMs.reset();
    m_lastMs.reset();
    m_view.clear();
    if (!m_file.open(QIODevice::ReadOnly))
        emit changed();
}

void RecordingFollower::readMore()
{
    if (!m_file.isOpen() || m_reader.state() == poll::RecordingReader::State::NotARecording)
        return;
    m_file.seek(m_offset);
    std::vector<ui::TrendSample> samples;
    for (;;) {
        const QByteArray bytes = m_file.read(kChunkSize);
        if (bytes.isEmpty())
            break;
        m_offset += bytes.size();
        m_reader.feed(bytes);
        const std::vector<poll::RecordedRow> rows = m_reader.takeRows();
        samples.clear();
        samples.reserve(rows.size());
        for (const poll::RecordedRow& row : rows)
            samples.push_back({row.timeMs, row.values, row.polls, row.checksumOk});
        if (!samples.empty()) {
            if (!m_firstMs)
                m_firstMs = samples.front().timeMs;
            m_lastMs = samples.back().timeMs;
            m_view.append(samples);
        }
    }
    emit changed();
}

std::optional<std::pair<qint64, qint64>> RecordingFollower::span() const
{
    if (!m_firstMs)
        return std::nullopt;
    return std::pair(*m_firstMs, *m_lastMs);
}

QString RecordingFollower::summary() const
{
    if (m_reader.state() != poll::RecordingReader::State::Reading)
        return m_reader.errorString();
    QString text = QStringLiteral("%1: %2 rows").arg(m_path).arg(m_reader.rowCount());
    if (m_reader.skippedCount() == 0)
        return text;
    QStringList reasons;
    for (std::size_t i = 0; i < poll::kSkipReasonCount; ++i) {
        const auto reason = static_cast<poll::SkipReason>(i);
        if (const qint64 count = m_reader.skipped(reason))
            reasons << QStringLiteral("%1 %2").arg(count).arg(poll::SkipReasonText(reason));
    }
    return text + QStringLiteral(", %1 skipped (%2)")
                      .arg(m_reader.skippedCount())
                      .arg(reasons.join(QStringLiteral(", ")));
}

} // namespace polltrend
