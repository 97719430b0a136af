#include "acquisition/startup.h"

#include <QFile>
#include <QtGlobal>

#ifdef Q_OS_UNIX
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace acquisition {

void PrepareProcess()
{
#ifdef Q_OS_UNIX
    // Started with 2>&- the record file would get descriptor 2, and every
    // warning and port fault would land in the CSV. open() takes the lowest
    // free number, so each closed one of 0 to 2 is filled in order.
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1 && ::open("/dev/null", O_RDWR) == -1)
            break; // nothing more can be done
    }
    // A FIFO whose reader exits, or a closed pipe on standard error, would
    // otherwise end the program silently with SIGPIPE; ignored, the write
    // fails with EPIPE and is reported like a full disk.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    // Windows has neither signal nor the descriptor numbering; a closed
    // standard handle there does not shift the others.
}

std::optional<QString> TraceIntoRecording(const QString& recordPath)
{
#ifdef Q_OS_UNIX
    // The same file is the same device and inode, whatever the names; only
    // the system can tell where descriptor 2 leads.
    struct stat error
    {
    };
    struct stat record
    {
    };
    if (::fstat(2, &error) != 0)
        return std::nullopt;
    const bool toStandardOutput = recordPath == u"-";
    const int found = toStandardOutput ? ::fstat(1, &record)
                                       : ::stat(QFile::encodeName(recordPath).constData(), &record);
    // A terminal shows both, as it always has; a file or a pipe would keep them mixed.
    if (found != 0 || S_ISCHR(error.st_mode) || error.st_dev != record.st_dev ||
        error.st_ino != record.st_ino)
        return std::nullopt;
    return QStringLiteral("--trace writes to standard error, and standard error is %1: the "
                          "trace would be mixed into the recording; send standard error "
                          "elsewhere (2>trace.txt)")
        .arg(toStandardOutput ? QStringLiteral("standard output, where the recording goes")
                              : QStringLiteral("the record file %1").arg(recordPath));
#else
    // Windows: no way to ask Qt which file standard error is; the window
    // programs there have no standard error unless started from a console.
    Q_UNUSED(recordPath);
    return std::nullopt;
#endif
}

std::optional<QString> NoDisplay(const QString& remedy)
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return QStringLiteral("no display to open a window on (neither DISPLAY nor "
                              "WAYLAND_DISPLAY is set); %1")
            .arg(remedy);
#else
    Q_UNUSED(remedy);
#endif
    return std::nullopt;
}

} // namespace acquisition
