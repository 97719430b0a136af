#include "support/pty.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

namespace testing_support {

PseudoTerminal::PseudoTerminal()
{
    char name[256] = {};
    if (openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    termios raw{};
    tcgetattr(m_slave, &raw);
    cfmakeraw(&raw); // no echo, no line editing: bytes pass as they are
    tcsetattr(m_slave, TCSANOW, &raw);
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_slaveName = QString::fromLocal8Bit(name);
}

PseudoTerminal::~PseudoTerminal()
{
    hangUp();
}

void PseudoTerminal::write(const QByteArray& bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ::write(m_master, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            throw std::runtime_error("write to pty master failed");
        if (n > 0)
            done += n;
        else
            ::poll(nullptr, 0, 1);
    }
}

QByteArray PseudoTerminal::read(qsizetype count, std::chrono::milliseconds timeout)
{
    QByteArray bytes;
    QDeadlineTimer deadline(timeout);
    while (bytes.size() < count && !deadline.hasExpired()) {
        // The comm control writes from the event loop, so keep it running.
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        pollfd fd{m_master, POLLIN, 0};
        if (::poll(&fd, 1, 5) <= 0)
            continue;
        char chunk[256];
        const ssize_t n =
            ::read(m_master, chunk,
                   static_cast<size_t>(qMin<qsizetype>(count - bytes.size(), sizeof chunk)));
        if (n > 0)
            bytes.append(chunk, n);
    }
    return bytes;
}

bool PseudoTerminal::receivesWithoutEvents(std::chrono::milliseconds timeout) const
{
    pollfd fd{m_master, POLLIN, 0};
    return ::poll(&fd, 1, static_cast<int>(timeout.count())) > 0;
}

void PseudoTerminal::hangUp()
{
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_master >= 0)
        ::close(m_master);
    m_slave = m_master = -1;
}

double processCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

} // namespace testing_support
