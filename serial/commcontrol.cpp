#include "serial/commcontrol.h"

#include <QFile>
#include <QFileInfo>

#include <chrono>

#ifdef Q_OS_UNIX
#include <termios.h>
#endif

Q_LOGGING_CATEGORY(lcComm, "poll.comm", QtWarningMsg)
// Reply-to-screen latency, for the performance report: off unless asked for
// with QT_LOGGING_RULES="poll.timing.*.debug=true".
Q_LOGGING_CATEGORY(lcCommTiming, "poll.timing.comm", QtWarningMsg)

namespace {

#ifdef Q_OS_WIN
constexpr bool kPortsArePaths = false;
#else
constexpr bool kPortsArePaths = true;
#endif

std::int64_t monotonicNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

namespace serial {

CommControl::CommControl(QObject* parent)
    : poll::Link(parent), m_port(new QSerialPort(this)), m_receiveCheck(this), m_send(this)
#ifdef Q_OS_UNIX
      ,
      m_attributes(std::make_unique<termios>())
#endif
{
    m_outBuffer.reserve(kOutBufferSize);
    m_receiveCheck.setSingleShot(true);
    m_receiveCheck.setInterval(0);
    connect(&m_receiveCheck, &QTimer::timeout, this, &CommControl::checkReceiveThreshold);
    m_send.setSingleShot(true);
    m_send.setInterval(0);
    connect(&m_send, &QTimer::timeout, this, &CommControl::sendQueued);
    connect(m_port, &QSerialPort::readyRead, this, &CommControl::readArrived);
    connect(m_port, &QSerialPort::errorOccurred, this, &CommControl::portError);
    connect(m_port, &QSerialPort::bytesWritten, this, &CommControl::bytesWritten);
}

CommControl::~CommControl()
{
    // Closing here rather than in QSerialPort's own destructor keeps our
    // error handler from running on a half-destroyed object.
    disconnect(m_port, nullptr, this, nullptr);
    m_port->close();
}

void CommControl::setPortNumber(int port)
{
    m_portNumber = port;
}

bool CommControl::setSettings(const QString& text)
{
    auto parsed = ParseSettings(text);
    if (auto* message = std::get_if<QString>(&parsed)) {
        fail(poll::LinkError::BadSettings, *message);
        return false;
    }
    m_settings = std::get<LineSettings>(parsed);
    m_settingsText = text;
    if (m_port->isOpen()) {
        m_port->setBaudRate(m_settings.baudRate);
        m_port->setParity(m_settings.parity);
        m_port->setDataBits(m_settings.dataBits);
        m_port->setStopBits(m_settings.stopBits);
        m_driverMinimum = 0; // QSerialPort wrote its own terminal settings
        holdUntilThreshold();
    }
    return true;
}

bool CommControl::isPortOpen() const
{
    return m_port->isOpen();
}

bool CommControl::setPortOpen(bool open)
{
    if (open == m_port->isOpen())
        return true;
    if (!open) {
        m_outBuffer.resize(0);
        m_port->close();
        return true;
    }

    m_port->setPortName(deviceName());
    m_port->setBaudRate(m_settings.baudRate);
    m_port->setParity(m_settings.parity);
    m_port->setDataBits(m_settings.dataBits);
    m_port->setStopBits(m_settings.stopBits);
    m_port->setFlowControl(QSerialPort::NoFlowControl);
    // Modem lines (DTR, RTS) are left as the driver sets them: pseudo-terminals
    // refuse them, and the module does not need them.
    m_opening = true;
    const bool opened = m_port->open(QIODevice::ReadWrite);
    m_opening = false;
    if (!opened) {
        QString reason = m_port->errorString();
        // Qt reports a port held by another program and a port the user may
        // not open alike; say which two things to look at.
        // (Windows names ports, not files: COM7 is never looked up as a path.)
        const QString name = m_port->portName();
        const QString location =
            name.startsWith(u'/') ? name : QStringLiteral("/dev/") + name; // as Qt opens it
        if (kPortsArePaths && m_port->error() != QSerialPort::DeviceNotFoundError &&
            !QFileInfo::exists(location)) {
            // Qt takes its lock file before it opens the device, so a path
            // that cannot even be looked up (5,000 characters, say) reads as
            // a locking error. The system's reason for the path is the one
            // that helps; trying to open what does not exist has no effect.
            QFile missing(location);
            if (!missing.open(QIODevice::ReadOnly))
                reason = missing.errorString();
        } else if (m_port->error() == QSerialPort::PermissionError) {
            reason += QStringLiteral(" (in use by another program, or no permission to open it)");
        }
        fail(poll::LinkError::OpenFailed, reason);
        m_port->clearError();
        return false;
    }
    qCDebug(lcComm) << "opened" << m_port->portName() << m_settingsText;
    m_driverMinimum = 0; // as QSerialPort opened it
    holdUntilThreshold();
    return true;
}

int CommControl::bytesToWrite() const
{
    return static_cast<int>(m_outBuffer.size() + m_port->bytesToWrite());
}

void CommControl::setOutBufferCount(int count)
{
    if (count != 0) {
        qCWarning(lcComm) << "OutBufferCount can only be set to 0, not" << count;
        return;
    }
    clearOutput();
}

void CommControl::clearOutput()
{
    m_outBuffer.resize(0); // keeps its capacity
    if (m_port->isOpen())
        m_port->clear(QSerialPort::Output);
}

bool CommControl::write(const QByteArray& data)
{
    if (!m_port->isOpen()) {
        fail(poll::LinkError::NotOpen, QStringLiteral("not open"));
        return false;
    }
    if (bytesToWrite() + data.size() > kOutBufferSize) {
        fail(poll::LinkError::OutBufferFull,
             QStringLiteral("transmit buffer of %1 bytes is full").arg(kOutBufferSize));
        return false;
    }
    qCDebug(lcComm) << "tx" << data.toHex(' ');
    m_outBuffer.append(data);
    if (!m_send.isActive())
        m_send.start();
    return true;
}

void CommControl::sendQueued()
{
    m_send.stop();
    if (m_outBuffer.isEmpty() || !m_port->isOpen())
        return;
    qCDebug(lcCommTiming, "request written at %lld ns", static_cast<long long>(monotonicNs()));
    const bool queued = m_port->write(m_outBuffer) == m_outBuffer.size();
    m_outBuffer.resize(0);
    // QSerialPort buffers what it is given, and sends it when its write
    // notifier fires, on a later turn of the loop; a wait of 0 ms looks at
    // the port once and hands the bytes to the driver now, inside the tick.
    // (flush() would do the same, then wait for the line to drain: 8 ms for
    // 8 bytes at 9600 baud.) What the driver cannot take waits for the
    // notifier; a port with no room reports a timeout, which is no fault.
    if (queued) {
        m_port->waitForBytesWritten(0);
        if (m_port->error() == QSerialPort::TimeoutError)
            m_port->clearError();
    }
    // portError() has closed the port if the write error was fatal.
    if (!queued && m_port->isOpen())
        fail(poll::LinkError::WriteFailed, m_port->errorString());
}

bool CommControl::exchange(const QByteArray& request, int replyLength)
{
    if (!write(request))
        return false;
    clearInput(); // drops what came before, and sends the request
    setReceiveThreshold(replyLength);
    return true;
}

void CommControl::setInBufferCount(int count)
{
    if (count != 0) {
        qCWarning(lcComm) << "InBufferCount can only be set to 0, not" << count;
        return;
    }
    clearInput();
}

int CommControl::bytesAvailable()
{
    readHeldBytes();
    const qsizetype count = m_inBuffer.size();
    holdUntilThreshold();
    return static_cast<int>(count);
}

void CommControl::clearInput()
{
    m_inBuffer.clear();
    // Bytes the driver holds but we have not read yet belong to the same past.
    if (m_port->isOpen())
        m_port->clear(QSerialPort::Input);
    holdUntilThreshold();
    // Nothing that arrives from here on is dropped, so a request queued
    // before goes now, inside the tick: before the window hears of the poll.
    // Woken for it, the window's thread could hold a write left to the next
    // turn of the loop back by milliseconds on a busy machine.
    if (!m_outBuffer.isEmpty())
        sendQueued();
}

void CommControl::setReceiveThreshold(int threshold)
{
    m_inBuffer.setThreshold(threshold);
    holdUntilThreshold();
    // Each tick sets the threshold right after emptying the buffer: a check
    // is queued only when the buffer already holds enough, which saves a
    // turn of the event loop on every poll.
    if (m_inBuffer.receiveEventDue())
        scheduleReceiveCheck();
}

QByteArray CommControl::takeAll()
{
    // A reply that reached the threshold was read whole; what the driver got
    // after it is dropped before the next request, or taken with it.
    if (m_inBuffer.size() < m_inBuffer.threshold())
        readHeldBytes();
    QByteArray taken = m_inBuffer.take();
    holdUntilThreshold();
    return taken;
}

void CommControl::readArrived()
{
    // Straight from QSerialPort's buffer into ours, through the stack: no
    // allocation per reply.
    char chunk[ReceiveBuffer::kCapacity];
    qint64 count = 0;
    while ((count = m_port->read(chunk, sizeof chunk)) > 0) {
        qCDebug(lcComm) << "rx" << QByteArray::fromRawData(chunk, count).toHex(' ');
        if (const qsizetype dropped = m_inBuffer.append(chunk, count))
            qCDebug(lcComm) << "receive buffer full, dropped" << dropped << "bytes";
    }
    if (m_collecting)
        return; // a take or a count asked for these: it decides what follows
    m_lastArrivalNs = monotonicNs();
    // This handler is the event loop's own, for the bytes' arrival: the
    // receive event can be raised from here, without another turn of it.
    // The poller takes the reply inside it, so the minimum set after it is
    // the next reply's, as before: no change of settings on a usual poll.
    checkReceiveThreshold();
    holdUntilThreshold();
}

// Unix: the driver is told to wake us only once the bytes still missing
// to the threshold have arrived (VMIN of a raw terminal, VTIME 0), so a
// reply that comes in pieces costs one wake-up and one read, not one a
// piece (a 21-byte reply written in 3 pieces: 1 wake-up instead of 3).
// Reads stay non-blocking and take whatever is there; a hang-up still
// wakes us at once. With the threshold off, or reached, every byte wakes
// us, so what follows a reply is read as it comes. Only the settings are
// written through QSerialPort's handle; every byte is read through it.
void CommControl::holdUntilThreshold()
{
#ifdef Q_OS_UNIX
    if (!m_port->isOpen())
        return;
    const qsizetype missing = m_inBuffer.threshold() - m_inBuffer.size();
    const int wanted = m_inBuffer.threshold() > 0 && missing > 0
                           ? static_cast<int>(qMin<qsizetype>(missing, 255))
                           : 1;
    setDriverMinimum(wanted);
#endif
}

void CommControl::setDriverMinimum(int minimum)
{
#ifdef Q_OS_UNIX
    if (minimum == m_driverMinimum)
        return; // the usual case: every poll asks for the same reply length
    const int handle = static_cast<int>(m_port->handle());
    if (m_driverMinimum == 0 && ::tcgetattr(handle, m_attributes.get()) != 0)
        return; // as QSerialPort set it at the open, or with new settings
    m_attributes->c_cc[VMIN] = static_cast<cc_t>(minimum);
    m_attributes->c_cc[VTIME] = 0;
    if (::tcsetattr(handle, TCSANOW, m_attributes.get()) == 0)
        m_driverMinimum = minimum;
#else
    Q_UNUSED(minimum);
#endif
}

// Unix: what the driver holds below its wake-up minimum, into the receive
// buffer, so that a take or a count sees all that has arrived: with the
// minimum at 1 the port has it ready, and a wait of 0 ms reads it through
// QSerialPort without waiting. The caller sets the minimum again.
void CommControl::readHeldBytes()
{
#ifdef Q_OS_UNIX
    if (!m_port->isOpen() || m_driverMinimum <= 1)
        return;
    setDriverMinimum(1);
    m_collecting = true;
    m_port->waitForReadyRead(0);
    m_collecting = false;
    if (m_port->isOpen() && m_port->error() == QSerialPort::TimeoutError)
        m_port->clearError(); // nothing was held: no fault
#endif
}

void CommControl::portError(QSerialPort::SerialPortError error)
{
    // Opening emits NoError, and a failed open is reported by setPortOpen().
    if (error == QSerialPort::NoError || m_opening || !m_port->isOpen())
        return;
    if (error == QSerialPort::TimeoutError)
        return;
    // Read, write and resource errors all mean the port is gone. Qt 6.4 can
    // report a hung-up device as a read error again and again without end, so
    // close at once; the next open tries afresh.
    // Its error text comes from the system's last error, which after a
    // hang-up (a read that returns nothing) is left from an earlier call:
    // "Inappropriate ioctl for device", "No such file or directory". The
    // error itself is what happened.
    QString text;
    switch (error) {
    case QSerialPort::ReadError:
        text = QStringLiteral("reading failed: the device hung up or was removed");
        break;
    case QSerialPort::WriteError:
        text = QStringLiteral("writing failed: the device hung up or was removed");
        break;
    case QSerialPort::ResourceError:
        text = QStringLiteral("the device was removed or hung up");
        break;
    default:
        text = m_port->errorString();
        break;
    }
    m_outBuffer.resize(0);
    m_port->close();
    m_port->clearError();
    fail(poll::LinkError::PortLost, text);
}

void CommControl::fail(poll::LinkError error, const QString& reason)
{
    const poll::LinkFault fault{error, deviceName(), reason};
    qCDebug(lcComm) << fault.text();
    emit errorOccurred(fault);
}

void CommControl::scheduleReceiveCheck()
{
    // From the event loop, so the event never runs inside the handler that
    // set the threshold.
    if (!m_receiveCheck.isActive())
        m_receiveCheck.start();
}

void CommControl::checkReceiveThreshold()
{
    if (!m_inBuffer.takeReceiveEvent())
        return;
    emit replyReady();
    // The handler has run to completion: the fields hold the reply's values.
    qCDebug(lcCommTiming, "reply-to-screen %.1f us",
            static_cast<double>(monotonicNs() - m_lastArrivalNs) / 1000.0);
}

} // namespace serial
