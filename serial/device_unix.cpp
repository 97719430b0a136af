// The serial device on Unix: a terminal device of our own, the only reader
// and writer of its descriptor. QSerialPort would keep a buffer and a
// notifier of its own on it, and write the request from a later turn of the
// event loop; each of these costs a wake-up a poll.
#include "serial/device.h"

#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSocketNotifier>
#include <QtGlobal>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <utility>

namespace serial {
namespace {

// The folders a port's lock file goes in, as UUCP, QSerialPort and the
// terminal programs look for it: the first this user may write to.
QString LockFolder()
{
    for (const char* folder :
         {"/var/lock", "/etc/locks", "/var/spool/locks", "/var/spool/uucp", "/tmp"}) {
        const QFileInfo info(QString::fromLatin1(folder));
        if (info.isDir() && info.isReadable() && info.isWritable())
            return info.filePath();
    }
    return {};
}

// The lock file's name as QSerialPort gives it, so that each program sees
// the other's: /dev/ttyUSB0 is LCK..ttyUSB0, /tmp/x/tty is LCK.._tmp_x_tty.
QString LockFileName(const QString& path)
{
    QString name = path.startsWith(QLatin1String("/dev/")) ? path.mid(5) : path;
    return QStringLiteral("LCK..") + name.replace(u'/', u'_');
}

std::optional<speed_t> SpeedOf(qint32 baudRate)
{
    static constexpr std::pair<qint32, speed_t> kSpeeds[] = {
        {50, B50},         {75, B75},         {110, B110},       {134, B134},     {150, B150},
        {200, B200},       {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
        {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
        {57600, B57600},   {115200, B115200}, {230400, B230400},
#ifdef B460800
        {460800, B460800}, {921600, B921600},
#endif
    };
    for (const auto& [rate, speed] : kSpeeds)
        if (rate == baudRate)
            return speed;
    return std::nullopt;
}

// The line settings into `attributes`, raw: every byte as it comes, no echo,
// no flow control, the modem lines ignored (CLOCAL), receiving on.
std::optional<QString> SetLine(termios& attributes, const LineSettings& settings)
{
    const std::optional<speed_t> speed = SpeedOf(settings.baudRate);
    if (!speed)
        return QStringLiteral("%1 baud is not a rate this system sets").arg(settings.baudRate);
    ::cfmakeraw(&attributes);
    ::cfsetispeed(&attributes, *speed);
    ::cfsetospeed(&attributes, *speed);
    attributes.c_cflag |= CLOCAL | CREAD;
    attributes.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CSTOPB | PARENB | PARODD | CSIZE);
    attributes.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
    switch (settings.dataBits) {
    case QSerialPort::Data5:
        attributes.c_cflag |= CS5;
        break;
    case QSerialPort::Data6:
        attributes.c_cflag |= CS6;
        break;
    case QSerialPort::Data7:
        attributes.c_cflag |= CS7;
        break;
    default:
        attributes.c_cflag |= CS8;
        break;
    }
    switch (settings.parity) {
    case QSerialPort::EvenParity:
        attributes.c_cflag |= PARENB;
        break;
    case QSerialPort::OddParity:
        attributes.c_cflag |= PARENB | PARODD;
        break;
#ifdef CMSPAR
    case QSerialPort::MarkParity: // the parity bit always 1
        attributes.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case QSerialPort::SpaceParity: // always 0
        attributes.c_cflag |= PARENB | CMSPAR;
        break;
#endif
    case QSerialPort::NoParity:
        break;
    default:
        return QStringLiteral("mark and space parity are not set on this system");
    }
    if (settings.stopBits == QSerialPort::OneAndHalfStop)
        return QStringLiteral("1.5 stop bits are not set on this system");
    if (settings.stopBits == QSerialPort::TwoStop)
        attributes.c_cflag |= CSTOPB;
    return std::nullopt;
}

// The errors of a device that is no longer there: unplugged, or the far end
// of a pseudo-terminal closed.
bool IsGone(int error)
{
    return error == EIO || error == ENXIO || error == ENODEV || error == EBADF;
}

} // namespace

class Device::Private
{
public:
    explicit Private(Device* device)
        : q(device), readNotifier(QSocketNotifier::Read, device),
          writeNotifier(QSocketNotifier::Write, device)
    {
    }

    bool sendPending();
    qsizetype writeNow(const char* data, qsizetype size);

    Device* q;
    int handle = -1;
    std::unique_ptr<QLockFile> lock;
    QSocketNotifier readNotifier;
    QSocketNotifier writeNotifier; // on only while bytes wait for room in the driver
    termios attributes{};          // as set now
    termios restored{};            // as found at the open, put back at the close
    QByteArray pending;            // written here, not yet taken by the driver
    int minimum = 1;
};

Device::Device(QObject* parent) : QObject(parent), d(std::make_unique<Private>(this))
{
    connect(&d->readNotifier, &QSocketNotifier::activated, this, &Device::readyRead);
    connect(&d->writeNotifier, &QSocketNotifier::activated, this, [this] { d->sendPending(); });
}

Device::~Device()
{
    close();
}

std::optional<QString> Device::open(const QString& name, const LineSettings& settings)
{
    if (d->handle >= 0)
        return std::nullopt;
    const QString path = name.startsWith(u'/') ? name : QStringLiteral("/dev/") + name;
    const QByteArray encodedPath = QFile::encodeName(path);

    // The lock first, as QSerialPort takes it: a program that holds it has
    // the port, opened or about to be. One left by a program that ended
    // without closing (killed) holds nothing: QLockFile takes it over.
    const QString folder = LockFolder();
    auto lock = std::make_unique<QLockFile>(folder + u'/' + LockFileName(path));
    if (folder.isEmpty() || !lock->tryLock(0)) {
        qint64 pid = 0;
        QString host;
        QString program;
        if (lock->error() == QLockFile::LockFailedError) {
            if (lock->getLockInfo(&pid, &host, &program))
                return QStringLiteral("in use by another program: %1 (process %2) holds %3")
                    .arg(program)
                    .arg(pid)
                    .arg(lock->fileName());
            return QStringLiteral("in use by another program: %1 is held").arg(lock->fileName());
        }
        // No lock file can be made for this name (a path of 5,000
        // characters, say): the device's own reason, if it has one, helps more.
        const int probe = ::open(encodedPath.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (probe < 0)
            return qt_error_string(errno);
        ::close(probe);
        return folder.isEmpty()
                   ? QStringLiteral("no folder for its lock file may be written (/var/lock, /tmp)")
                   : QStringLiteral("its lock file %1 cannot be made").arg(lock->fileName());
    }

    const int handle = ::open(encodedPath.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (handle < 0) {
        const int error = errno;
        QString reason = qt_error_string(error);
        if (error == EBUSY) // opened exclusively by another program
            reason += QStringLiteral(" (in use by another program)");
        else if (error == EACCES || error == EPERM)
            reason += QStringLiteral(" (no permission to open it)");
        return reason;
    }
    // No other opener, root aside, while we have it.
    ::ioctl(handle, TIOCEXCL);
    termios attributes{};
    if (::tcgetattr(handle, &attributes) != 0) {
        const int error = errno;
        ::close(handle);
        return qt_error_string(error) + QStringLiteral(" (not a serial port)");
    }
    d->restored = attributes;
    if (auto refused = SetLine(attributes, settings)) {
        ::ioctl(handle, TIOCNXCL);
        ::close(handle);
        return refused;
    }
    // Woken by each byte until told otherwise; never VMIN 0, with which an
    // empty read returns 0 and cannot be told from a hang-up.
    attributes.c_cc[VMIN] = 1;
    attributes.c_cc[VTIME] = 0;
    if (::tcsetattr(handle, TCSANOW, &attributes) != 0) {
        const int error = errno;
        ::ioctl(handle, TIOCNXCL);
        ::close(handle);
        return qt_error_string(error);
    }
    d->handle = handle;
    d->lock = std::move(lock);
    d->attributes = attributes;
    d->minimum = 1;
    d->readNotifier.setSocket(handle);
    d->writeNotifier.setSocket(handle);
    d->readNotifier.setEnabled(true);
    return std::nullopt;
}

void Device::close()
{
    if (d->handle < 0)
        return;
    d->readNotifier.setEnabled(false);
    d->writeNotifier.setEnabled(false);
    d->pending.resize(0);
    // Put back as found; a device that has gone refuses, which is no matter.
    ::tcsetattr(d->handle, TCSANOW, &d->restored);
    ::ioctl(d->handle, TIOCNXCL);
    ::close(d->handle);
    d->handle = -1;
    d->lock.reset(); // removes the lock file
}

bool Device::isOpen() const
{
    return d->handle >= 0;
}

std::optional<QString> Device::apply(const LineSettings& settings)
{
    if (d->handle < 0)
        return std::nullopt; // taken at the next open
    termios attributes = d->attributes;
    if (auto refused = SetLine(attributes, settings))
        return refused;
    attributes.c_cc[VMIN] = static_cast<cc_t>(d->minimum);
    attributes.c_cc[VTIME] = 0;
    if (::tcsetattr(d->handle, TCSANOW, &attributes) != 0)
        return qt_error_string(errno);
    d->attributes = attributes;
    return std::nullopt;
}

bool Device::write(const char* data, qsizetype size)
{
    if (d->handle < 0)
        return false;
    if (!d->pending.isEmpty()) {
        d->pending.append(data, size); // behind what waits, in order
        return d->sendPending();
    }
    const qsizetype sent = d->writeNow(data, size);
    if (sent < 0)
        return false;
    if (sent < size) {
        // The driver's queue is full: the rest goes as it makes room.
        d->pending.append(data + sent, size - sent);
        d->writeNotifier.setEnabled(true);
    }
    return true;
}

bool Device::Private::sendPending()
{
    const qsizetype sent = writeNow(pending.constData(), pending.size());
    if (sent < 0)
        return false;
    pending.remove(0, sent);
    writeNotifier.setEnabled(!pending.isEmpty());
    return true;
}

// What the driver took now (0 when it has no room), or -1 when the device
// failed: it is closed and failed() has told why.
qsizetype Device::Private::writeNow(const char* data, qsizetype size)
{
    const ssize_t written = ::write(handle, data, static_cast<size_t>(size));
    if (written > 0) {
        emit q->bytesWritten(written);
        return written;
    }
    if (written == 0 || errno == EAGAIN || errno == EINTR)
        return 0;
    const int error = errno;
    q->close();
    emit q->failed(poll::LinkError::PortLost,
                   IsGone(error)
                       ? QStringLiteral("writing failed: the device hung up or was removed (%1)")
                             .arg(qt_error_string(error))
                       : QStringLiteral("writing failed: %1").arg(qt_error_string(error)));
    return -1;
}

qsizetype Device::bytesToWrite() const
{
    return d->pending.size();
}

qsizetype Device::read(char* data, qsizetype maxSize)
{
    if (d->handle < 0 || maxSize <= 0)
        return 0;
    const ssize_t count = ::read(d->handle, data, static_cast<size_t>(maxSize));
    if (count > 0)
        return count;
    if (count < 0 && (errno == EAGAIN || errno == EINTR))
        return 0; // nothing there now
    // With VMIN at least 1, a read of nothing is the end of the line: the
    // device hung up (the far end of a pseudo-terminal closed). EIO: it was
    // unplugged, or the pseudo-terminal's master went.
    const int error = count < 0 ? errno : 0;
    close();
    QString reason = QStringLiteral("reading failed: the device hung up or was removed");
    if (error != 0 && !IsGone(error))
        reason = QStringLiteral("reading failed: %1").arg(qt_error_string(error));
    else if (error != 0)
        reason += QStringLiteral(" (%1)").arg(qt_error_string(error));
    emit failed(poll::LinkError::PortLost, reason);
    return 0;
}

qsizetype Device::bytesHeld() const
{
    int count = 0;
    if (d->handle < 0 || ::ioctl(d->handle, FIONREAD, &count) != 0)
        return 0;
    return count;
}

void Device::clearInput()
{
    if (d->handle >= 0)
        ::tcflush(d->handle, TCIFLUSH);
}

void Device::clearOutput()
{
    d->pending.resize(0);
    d->writeNotifier.setEnabled(false);
    if (d->handle >= 0)
        ::tcflush(d->handle, TCOFLUSH);
}

void Device::setWakeUpMinimum(int count)
{
    count = qBound(1, count, 255); // VMIN is one byte
    if (d->handle < 0 || count == d->minimum)
        return; // the usual case: every poll asks for the same reply length
    termios attributes = d->attributes;
    attributes.c_cc[VMIN] = static_cast<cc_t>(count);
    attributes.c_cc[VTIME] = 0; // no timer: a partial reply waits for its tick
    if (::tcsetattr(d->handle, TCSANOW, &attributes) != 0)
        return; // every byte keeps waking the reader, as before
    d->attributes = attributes;
    d->minimum = count;
}

int Device::wakeUpMinimum() const
{
    return d->minimum;
}

} // namespace serial
#endif // Q_OS_UNIX
