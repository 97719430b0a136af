#include "acquisition/recorder.h"

#include <QFileInfo>
#include <QLocale>

#include <algorithm>
#include <cstring>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#endif

namespace acquisition {

using poll::CsvColumns;
using poll::CsvHeader;
using poll::CsvHeaderColumns;
using poll::CsvLine;

std::variant<std::unique_ptr<Recorder>, QString> Recorder::Open(const QString& path)
{
    std::unique_ptr<Recorder> recorder(new Recorder(path));
    if (const std::optional<QString> why = recorder->open())
        return *why;
    return recorder;
}

std::optional<QString> Recorder::open()
{
    const auto cannot = [this](const QString& why) {
        return QStringLiteral("cannot open %1 for recording: %2").arg(m_path, why);
    };
    if (m_path == u"-") {
        // By descriptor, not through C's buffered stdout: each line is then
        // one write, and a failed one is known at once.
        m_headerOwed = true;
        if (!m_file.open(1, QIODevice::WriteOnly | QIODevice::Unbuffered))
            return cannot(m_file.errorString());
        return std::nullopt;
    }

    const QFileInfo info(m_path);
    if (info.isFile() && info.size() > 0) {
        // Appending to another program's file would glue our rows to its last
        // line and mix two kinds of data.
        QFile existing(m_path);
        if (!existing.open(QIODevice::ReadOnly))
            return cannot(existing.errorString());
        const std::optional<CsvColumns> columns = CsvHeaderColumns(existing.readLine(4096));
        if (!columns)
            return QStringLiteral("%1 is not a recording (its first line is not the header %2); "
                                  "choose another file")
                .arg(m_path, QString::fromLatin1(CsvHeader().trimmed()));
        m_columns = *columns;
        // A last line cut short (a crash of another writer) gets its line end
        // before our first row.
        m_lineOwed = existing.seek(existing.size() - 1) && existing.read(1) != "\n";
    }

#ifdef Q_OS_UNIX
    // Opening a FIFO for writing blocks until a reader comes; without one the
    // program would hang before its window. Opened without blocking instead,
    // and kept so: a reader that stops reading then costs a line, never a poll.
    struct stat status
    {
    };
    if (::stat(QFile::encodeName(m_path).constData(), &status) == 0 && S_ISFIFO(status.st_mode)) {
        const int fd =
            ::open(QFile::encodeName(m_path).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return cannot(errno == ENXIO ? QStringLiteral("it is a FIFO that no program is reading")
                                         : QString::fromLocal8Bit(std::strerror(errno)));
        m_file.open(fd, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle);
        m_headerOwed = true;
        return std::nullopt;
    }
#endif

    // A device (/dev/full) cannot be appended to, only written.
    const QIODevice::OpenMode mode =
        info.exists() && !info.isFile() ? QIODevice::WriteOnly : QIODevice::Append;
    m_file.setFileName(m_path);
    if (!m_file.open(mode | QIODevice::Unbuffered))
        return cannot(m_file.errorString());
    // A new or empty file gets the header; a recording goes on after its
    // lines, so a second run appends to the first.
    m_headerOwed = !m_file.isSequential() ? m_file.size() == 0 : true;
    if (m_headerOwed && append(CsvHeader()))
        m_headerOwed = false;
    return std::nullopt;
}

bool Recorder::record(const poll::Sample& sample)
{
    // One write for all that is owed, so it reaches the file whole or not at all.
    QByteArray bytes;
    if (m_lineOwed)
        bytes += "\r\n";
    if (m_headerOwed)
        bytes += CsvHeader(m_columns);
    bytes += CsvLine(sample, m_columns);
    if (!append(bytes))
        return false;
    m_lineOwed = m_headerOwed = false;
    return true;
}

bool Recorder::append(const QByteArray& bytes)
{
    qint64 written = std::max<qint64>(m_file.write(bytes), 0);
    if (written > 0 && written < bytes.size() && m_file.error() == QFileDevice::NoError) {
        // Qt reports a short write without a reason; writing the rest brings
        // the system's own ("No space left on device"), or the rest.
        written +=
            std::max<qint64>(m_file.write(bytes.constData() + written, bytes.size() - written), 0);
    }
    if (written == bytes.size())
        return true;
    m_error = m_file.error() == QFileDevice::NoError
                  ? QStringLiteral("only part of a line could be written")
                  : m_file.errorString();
    m_file.unsetError(); // the next write tries afresh
    cutOff(written);
    return false;
}

void Recorder::cutOff(qint64 bytes)
{
    // A file is cut back to where it stood before the write, so it ends in a
    // whole line. A pipe or a device takes a line whole or not at all: a line
    // is far shorter than the 4096 bytes a pipe writes at once.
    if (bytes <= 0 || m_file.isSequential())
        return;
    const qint64 end = m_file.size() - bytes;
    if (end >= 0 && m_file.resize(end))
        m_file.seek(end);
}

} // namespace acquisition
