#include "support/modsim_process.h"

#include <csignal>

#include "support/wait.h"

#include <QFile>
#include <QFileInfo>

namespace testing_support {

ModsimProcess::ModsimProcess(QStringList arguments, QString link)
    : m_link(link.isEmpty() ? uniqueLinkPath(m_dir) : link),
      m_logPath(m_dir.filePath(QStringLiteral("modsim.log"))), m_arguments(std::move(arguments))
{
    m_arguments << QStringLiteral("--link") << m_link << QStringLiteral("--log") << m_logPath;
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

ModsimProcess::~ModsimProcess()
{
    stop();
}

QString ModsimProcess::uniqueLinkPath(const QTemporaryDir& dir)
{
    return dir.filePath(QStringLiteral("tty") + QFileInfo(dir.path()).fileName());
}

bool ModsimProcess::start()
{
    m_process.start(QStringLiteral(MODSIM_PATH), m_arguments);
    if (!m_process.waitForStarted())
        return false;
    return waitFor([this] {
               return QFileInfo::exists(m_link) || m_process.state() == QProcess::NotRunning;
           }) &&
           m_process.state() == QProcess::Running;
}

void ModsimProcess::pause(bool paused)
{
    if (m_process.state() != QProcess::NotRunning)
        ::kill(static_cast<pid_t>(m_process.processId()), paused ? SIGSTOP : SIGCONT);
}

void ModsimProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000))
        m_process.kill();
    m_process.waitForFinished(1000);
}

QStringList ModsimProcess::logLines() const
{
    QFile log(m_logPath);
    if (!log.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(log.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

int ModsimProcess::logCount(const QString& kind) const
{
    int count = 0;
    for (const QString& line : logLines())
        if (line.section(QLatin1Char(' '), 1, 1) == kind)
            ++count;
    return count;
}

} // namespace testing_support
