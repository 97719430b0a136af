#include "poll/recorder.h"

#include "poll/numberformat.h"

#include <QFileInfo>
#include <QLocale>

#include <cstdio>

namespace poll {

QString CsvHeader()
{
    QString header = QStringLiteral("time,polls,errors,checksum_ok");
    for (std::size_t i = 0; i < protocol::kChannelCount; ++i)
        header += QStringLiteral(",ch%1").arg(i);
    return header + QStringLiteral("\r\n");
}

QString CsvLine(const Reading& reading)
{
    // No field can hold a comma, a quote or a line break, so none is quoted.
    const int offset = reading.time.offsetFromUtc();
    const QString zone = QStringLiteral("%1%2:%3")
                             .arg(QChar(offset < 0 ? u'-' : u'+'))
                             .arg(std::abs(offset) / 3600, 2, 10, QLatin1Char('0'))
                             .arg(std::abs(offset) % 3600 / 60, 2, 10, QLatin1Char('0'));
    QString line = reading.time.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")) + zone;
    line += u',' + QString::number(reading.polls) + u',' + QString::number(reading.errors) + u',';
    line += reading.checksumOk ? u'1' : u'0';
    for (float value : reading.values)
        line += u',' + FormatChannelNumber(value, QLocale::c());
    return line + QStringLiteral("\r\n");
}

std::variant<std::unique_ptr<Recorder>, QString> Recorder::Open(const QString& path)
{
    std::unique_ptr<Recorder> recorder(new Recorder(path));
    QFile& file = recorder->m_file;
    // A device (/dev/full, a FIFO) cannot be appended to, only written.
    const QFileInfo info(path);
    const QIODevice::OpenMode mode = info.exists() && !info.isFile() ? QIODevice::WriteOnly : QIODevice::Append;
    const bool opened = path == u"-" ? file.open(stdout, QIODevice::WriteOnly | QIODevice::Unbuffered)
                                     : (file.setFileName(path), file.open(mode | QIODevice::Unbuffered));
    if (!opened)
        return QStringLiteral("cannot open %1 for recording: %2").arg(path, file.errorString());
    // A new or empty file gets the header; a file that already holds lines
    // goes on after them, so a second run appends to the first.
    recorder->m_headerOwed = path == u"-" || file.size() == 0;
    if (recorder->m_headerOwed && recorder->append(CsvHeader()))
        recorder->m_headerOwed = false;
    return recorder;
}

bool Recorder::record(const Reading& reading)
{
    if (m_headerOwed) {
        if (!append(CsvHeader()))
            return false;
        m_headerOwed = false;
    }
    return append(CsvLine(reading));
}

bool Recorder::append(const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    const bool written = m_file.write(bytes) == bytes.size() && m_file.flush();
    if (!written) {
        m_error = m_file.errorString();
        m_file.unsetError(); // the next write tries afresh
    }
    return written;
}

} // namespace poll
