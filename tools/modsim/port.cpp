#include "port.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace modsim {

namespace {

std::string Failure(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

bool SetFlags(int fd, std::string& error)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0 ||
        fcntl(fd, F_SETFD, FD_CLOEXEC) < 0) {
        error = Failure("fcntl");
        return false;
    }
    return true;
}

// Raw 8N1 at 9600 baud: no echo, no line editing, no CR/LF translation, so
// the 0x0D and 0x0A inside an RTU frame pass untouched. The speed only
// matters for a real device.
bool MakeRaw(int fd, std::string& error)
{
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        error = Failure("tcgetattr");
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD | CS8;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        error = Failure("tcsetattr");
        return false;
    }
    return true;
}

std::string ReadLink(const std::string& path)
{
    std::vector<char> buffer(4096);
    const ssize_t n = readlink(path.c_str(), buffer.data(), buffer.size());
    if (n < 0 || static_cast<std::size_t>(n) >= buffer.size())
        return {};
    return std::string(buffer.data(), static_cast<std::size_t>(n));
}

} // namespace

Port::Port(std::string link, std::string device)
    : m_link(std::move(link)), m_device(std::move(device))
{
}

Port::~Port()
{
    close();
}

bool Port::open(std::string& error)
{
    const bool ok = m_link.empty() ? openDevice(error) : openPty(error);
    if (!ok)
        close();
    return ok;
}

bool Port::openPty(std::string& error)
{
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        error = Failure("openpty");
        return false;
    }
    m_fd = master;
    m_slaveFd = slave;
    char name[256] = {};
    if (ttyname_r(slave, name, sizeof name) != 0) {
        error = Failure("ttyname");
        return false;
    }
    m_slaveName = name;
    if (!MakeRaw(m_slaveFd, error) || !SetFlags(m_fd, error) ||
        fcntl(m_slaveFd, F_SETFD, FD_CLOEXEC) < 0)
        return false;
    // The link appears last: whoever sees it can open a ready pty.
    return publishLink(error);
}

bool Port::openDevice(std::string& error)
{
    m_fd = ::open(m_device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0) {
        error = Failure(m_device);
        return false;
    }
    if (!MakeRaw(m_fd, error))
        return false;
    tcflush(m_fd, TCIOFLUSH); // nothing stale from before we opened it
    return true;
}

bool Port::publishLink(std::string& error)
{
    struct stat st
    {
    };
    if (lstat(m_link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        error = m_link + " exists and is not a symbolic link; not replacing it";
        return false;
    }
    // symlink() refuses to overwrite, rename() replaces atomically: a client
    // never finds the path missing or half made.
    const std::string temporary = m_link + ".tmp";
    unlink(temporary.c_str());
    if (symlink(m_slaveName.c_str(), temporary.c_str()) != 0) {
        error = Failure("symlink " + temporary);
        return false;
    }
    if (rename(temporary.c_str(), m_link.c_str()) != 0) {
        error = Failure("rename " + temporary + " to " + m_link);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

void Port::removeLink()
{
    // Only our own link: a newer modsim may have taken the path over.
    if (!m_link.empty() && !m_slaveName.empty() && ReadLink(m_link) == m_slaveName)
        unlink(m_link.c_str());
}

void Port::close()
{
    removeLink();
    if (m_fd >= 0)
        ::close(m_fd);
    if (m_slaveFd >= 0)
        ::close(m_slaveFd);
    m_fd = -1;
    m_slaveFd = -1;
    m_slaveName.clear();
}

std::string Port::lineSettings() const
{
    termios tio{};
    const int fd = m_slaveFd >= 0 ? m_slaveFd : m_fd;
    if (fd < 0 || tcgetattr(fd, &tio) != 0)
        return "unknown";
    static constexpr std::pair<speed_t, int> kSpeeds[] = {
        {B1200, 1200},   {B2400, 2400},   {B4800, 4800},     {B9600, 9600},    {B19200, 19200},
        {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400}};
    std::string baud = "other";
    for (const auto& [speed, number] : kSpeeds)
        if (cfgetospeed(&tio) == speed)
            baud = std::to_string(number);
    const tcflag_t c = tio.c_cflag;
    const char* parity = !(c & PARENB) ? "N" : (c & PARODD) ? "O" : "E";
    const int bits = (c & CSIZE) == CS5 ? 5 : (c & CSIZE) == CS6 ? 6 : (c & CSIZE) == CS7 ? 7 : 8;
    return baud + "," + parity + "," + std::to_string(bits) + "," + ((c & CSTOPB) ? "2" : "1");
}

std::string Port::describe() const
{
    return m_link.empty() ? m_device : m_slaveName + " as " + m_link;
}

bool Port::drained() const
{
    int waiting = 0;
    if (m_slaveFd >= 0)
        return ioctl(m_slaveFd, FIONREAD, &waiting) == 0 && waiting == 0; // unread by the client
    if (m_fd >= 0)
        return ioctl(m_fd, TIOCOUTQ, &waiting) == 0 && waiting == 0; // not yet on the wire
    return true;
}

} // namespace modsim
