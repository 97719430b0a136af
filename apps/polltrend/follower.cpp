#include "polltrend/follower.h"

#include <QDateTime>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>
#include <limits>
#include <vector>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace polltrend {
namespace {

// Read in pieces, so a week's file (45 MB) never sits in memory whole.
constexpr qint64 kChunkSize = 1 << 20;
// Compared at each check: 512 bytes are about five rows, which differ from
// those of any other recording in their times and counts.
constexpr qint64 kTailSize = 512;
// Bursts of changes (a line a second from the recorder, an editor's save in
// three steps) come within this of each other and make one check.
constexpr int kSoonMs = 100;

#ifdef Q_OS_UNIX
QString SystemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// What a path names when it is not a regular file, for a refusal.
QString KindOf(mode_t mode)
{
    if (S_ISFIFO(mode))
        return QStringLiteral("a pipe or FIFO, not a file; save the recording to a file and "
                              "open that");
    if (S_ISDIR(mode))
        return QStringLiteral("a folder, not a file");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("a device, not a file");
    return QStringLiteral("not a regular file");
}
#endif

} // namespace

std::optional<QString> OpenRecordingFile(QFile& file, const QString& path,
                                         std::optional<FileId>* id)
{
    const auto cannot = [&path](const QString& why) {
        return QStringLiteral("cannot open %1: %2").arg(path, why);
    };
#ifdef Q_OS_UNIX
    // O_NONBLOCK: opening a FIFO waits for a writer without it; a regular
    // file reads the same with it.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return cannot(SystemReason(errno));
    // fstat on what was opened, not stat on the path: a file renamed over it
    // in between cannot pass for it.
    struct stat status
    {
    };
    if (::fstat(fd, &status) != 0) {
        const int error = errno;
        ::close(fd);
        return cannot(SystemReason(error));
    }
    if (!S_ISREG(status.st_mode)) {
        ::close(fd);
        return QStringLiteral("%1 is %2").arg(path, KindOf(status.st_mode));
    }
    if (id)
        *id = FileId{quint64(status.st_dev), quint64(status.st_ino)};
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return cannot(file.errorString());
    }
#else
    // Windows has no FIFOs in its file system; a folder cannot be read.
    if (QFileInfo(path).isDir())
        return QStringLiteral("%1 is a folder, not a file").arg(path);
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly))
        return cannot(file.errorString());
    if (id)
        id->reset();
#endif
    return std::nullopt;
}

bool SameFile(const QString& a, const QString& b)
{
#ifdef Q_OS_UNIX
    // The inode catches a hard link and a path through a symbolic link alike.
    struct stat first
    {
    }, second{};
    if (::stat(QFile::encodeName(a).constData(), &first) == 0 &&
        ::stat(QFile::encodeName(b).constData(), &second) == 0)
        return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
#endif
    const QString canonical = QFileInfo(a).canonicalFilePath();
    return !canonical.isEmpty() && canonical == QFileInfo(b).canonicalFilePath();
}

RecordingFollower::RecordingFollower(const QString& path, poll::History& history, QObject* parent)
    : QObject(parent), m_path(path), m_history(history), m_reader(path), m_timer(this),
      m_soon(this), m_watcher(this)
{
    m_soon.setSingleShot(true);
    m_soon.setInterval(kSoonMs);
    connect(&m_timer, &QTimer::timeout, this, &RecordingFollower::check);
    connect(&m_soon, &QTimer::timeout, this, &RecordingFollower::check);
    connect(&m_watcher, &QFileSystemWatcher::fileChanged, this, &RecordingFollower::checkSoon);
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, &RecordingFollower::checkSoon);
}

std::optional<QString> RecordingFollower::readAll()
{
    QFile file;
    if (const std::optional<QString> why = OpenRecordingFile(file, m_path, &m_id))
        return why;
    readFrom(file);
    if (m_reader.state() == poll::RecordingReader::State::NotARecording)
        return m_reader.errorString();
    return std::nullopt;
}

void RecordingFollower::finish()
{
    m_reader.finish();
    append(m_reader.takeRows()); // rows held after a jump ahead in time
    emit changed();
}

void RecordingFollower::follow(std::chrono::milliseconds interval)
{
    // The watcher tells at once where the system can; the timer still checks,
    // as network and some other file systems tell nothing.
    m_watcher.addPath(QFileInfo(m_path).absolutePath());
    m_watcher.addPath(m_path);
    m_timer.start(interval);
}

void RecordingFollower::checkSoon()
{
    if (!m_soon.isActive())
        m_soon.start();
}

void RecordingFollower::check()
{
    QFile file;
    std::optional<FileId> id;
    if (const std::optional<QString> why = OpenRecordingFile(file, m_path, &id)) {
        // The last view stays; the file is read from its start once it is back.
        m_lost = true;
        if (setNote(QFileInfo::exists(m_path) ? *why : QStringLiteral("file gone, waiting for it")))
            emit changed();
        return;
    }
    QString why;
    if (m_lost)
        why = QStringLiteral("file back");
    else if (id && m_id && *id != *m_id)
        why = QStringLiteral("file replaced");
    else if (file.size() < m_offset)
        why = QStringLiteral("file cut short");
    else if (!file.seek(m_offset - m_tail.size()) || file.read(m_tail.size()) != m_tail)
        why = QStringLiteral("file rewritten");
    m_id = id;
    m_lost = false;
    // The system watches a file, not a path: the file the path names now is
    // watched afresh, once back or after another was renamed over it.
    if (m_timer.isActive() && (!why.isEmpty() || !m_watcher.files().contains(m_path))) {
        m_watcher.removePath(m_path);
        m_watcher.addPath(m_path);
    }
    if (!why.isEmpty())
        startOver(why);
    if (readFrom(file) || !why.isEmpty())
        emit changed();
}

void RecordingFollower::startOver(const QString& why)
{
    m_reader = poll::RecordingReader(m_path);
    m_offset = 0;
    m_tail.clear();
    m_firstMs.reset();
    m_lastMs.reset();
    m_history.clear();
    m_spacing.clear();
    setNote(QStringLiteral("%1 at %2, read from its start")
                .arg(why, QTime::currentTime().toString(QStringLiteral("HH:mm:ss"))));
    emit startedOver();
}

bool RecordingFollower::readFrom(QFile& file)
{
    if (m_reader.state() == poll::RecordingReader::State::NotARecording || !file.seek(m_offset))
        return false;
    const qint64 start = m_offset;
    for (;;) {
        const QByteArray bytes = file.read(kChunkSize);
        if (bytes.isEmpty())
            break;
        m_offset += bytes.size();
        m_reader.feed(bytes);
        append(m_reader.takeRows());
    }
    if (m_offset == start)
        return false;
    const qint64 tailFrom = std::max<qint64>(0, m_offset - kTailSize);
    m_tail = file.seek(tailFrom) ? file.read(m_offset - tailFrom) : QByteArray();
    return true;
}

void RecordingFollower::append(const std::vector<poll::Sample>& rows)
{
    if (rows.empty())
        return;
    bool spaced = false;
    for (const poll::Sample& row : rows) {
        spaced |= m_spacing.add(row.timeMs);
        // After a clock set back the rows are not in time order.
        m_firstMs = std::min(m_firstMs.value_or(row.timeMs), row.timeMs);
        m_lastMs = std::max(m_lastMs.value_or(row.timeMs), row.timeMs);
    }
    if (spaced)
        m_history.setInterval(m_spacing.interval());
    m_history.append(rows);
}

bool RecordingFollower::setNote(const QString& note)
{
    if (note == m_note)
        return false;
    m_note = note;
    return true;
}

std::optional<std::pair<qint64, qint64>> RecordingFollower::span() const
{
    if (!m_firstMs)
        return std::nullopt;
    return std::pair(*m_firstMs, *m_lastMs);
}

QString RecordingFollower::summary() const
{
    const QString note = m_note.isEmpty() ? QString() : QStringLiteral(" — %1").arg(m_note);
    if (m_reader.state() != poll::RecordingReader::State::Reading)
        return m_reader.errorString() + note;
    QString text = QStringLiteral("%1: %2 rows").arg(m_path).arg(m_reader.rowCount());
    if (const qint64 jumps = m_reader.timeJumps())
        text += jumps == 1
                    ? QStringLiteral(", 1 jump back in time (the clock set back)")
                    : QStringLiteral(", %1 jumps back in time (the clock set back)").arg(jumps);
    if (m_reader.skippedCount() == 0)
        return text + note;
    QStringList reasons;
    for (std::size_t i = 0; i < poll::kSkipReasonCount; ++i) {
        const auto reason = static_cast<poll::SkipReason>(i);
        if (const qint64 count = m_reader.skipped(reason))
            reasons << QStringLiteral("%1 %2").arg(count).arg(poll::SkipReasonText(reason));
    }
    return text +
           QStringLiteral(", %1 skipped (%2)")
               .arg(m_reader.skippedCount())
               .arg(reasons.join(QStringLiteral(", "))) +
           note;
}

} // namespace polltrend
