#include "serial/commcontrol.h"

#include <QMetaObject>

#include <chrono>

Q_LOGGING_CATEGORY(lcComm, "poll.comm", QtWarningMsg)
// Reply-to-screen latency, for the performance report: off unless asked for
// with QT_LOGGING_RULES="poll.timing.*.debug=true".
Q_LOGGING_CATEGORY(lcCommTiming, "poll.timing.comm", QtWarningMsg)

namespace {

std::int64_t monotonicNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

namespace serial {

CommControl::CommControl(QObject* parent)
    : Comm(parent)
    , m_port(new QSerialPort(this))
{
    connect(m_port, &QSerialPort::readyRead, this, &CommControl::readArrived);
    connect(m_port, &QSerialPort::errorOccurred, this, &CommControl::portError);
}

CommControl::~CommControl()
{
    // Closing here rather than in QSerialPort's own destructor keeps our
    // error handler from running on a half-destroyed object.
    disconnect(m_port, nullptr, this, nullptr);
    m_port->close();
}

void CommControl::setCommPort(int port)
{
    m_commPort = port;
}

bool CommControl::setSettings(const QString& text)
{
    auto parsed = ParseSettings(text);
    if (auto* message = std::get_if<QString>(&parsed)) {
        fail(CommError::BadSettings, *message);
        return false;
    }
    m_settings = std::get<LineSettings>(parsed);
    m_settingsText = text;
    if (m_port->isOpen()) {
        m_port->setBaudRate(m_settings.baudRate);
        m_port->setParity(m_settings.parity);
        m_port->setDataBits(m_settings.dataBits);
        m_port->setStopBits(m_settings.stopBits);
    }
    return true;
}

bool CommControl::PortOpen() const
{
    return m_port->isOpen();
}

bool CommControl::setPortOpen(bool open)
{
    if (open == m_port->isOpen())
        return true;
    if (!open) {
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
        if (m_port->error() == QSerialPort::PermissionError)
            reason += QStringLiteral(" (in use by another program, or no permission to open it)");
        fail(CommError::OpenFailed, reason);
        m_port->clearError();
        return false;
    }
    qCDebug(lcComm) << "opened" << m_port->portName() << m_settingsText;
    m_lastError = CommError::None;
    m_errorString.clear();
    return true;
}

int CommControl::OutBufferCount() const
{
    return static_cast<int>(m_port->bytesToWrite());
}

void CommControl::setOutBufferCount(int count)
{
    if (count != 0) {
        qCWarning(lcComm) << "OutBufferCount can only be set to 0, not" << count;
        return;
    }
    if (m_port->isOpen())
        m_port->clear(QSerialPort::Output);
}

bool CommControl::Output(const QByteArray& data)
{
    if (!m_port->isOpen()) {
        fail(CommError::NotOpen, QStringLiteral("not open"));
        return false;
    }
    if (m_port->bytesToWrite() + data.size() > kOutBufferSize) {
        fail(CommError::OutBufferFull,
             QStringLiteral("transmit buffer of %1 bytes is full").arg(kOutBufferSize));
        return false;
    }
    qCDebug(lcComm) << "tx" << data.toHex(' ');
    if (m_port->write(data) != data.size()) {
        // portError() has closed the port if the write error was fatal.
        if (m_port->isOpen())
            fail(CommError::WriteFailed, m_port->errorString());
        return false;
    }
    return true;
}

void CommControl::setInBufferCount(int count)
{
    if (count != 0) {
        qCWarning(lcComm) << "InBufferCount can only be set to 0, not" << count;
        return;
    }
    m_inBuffer.clear();
    // Bytes the driver holds but we have not read yet belong to the same past.
    if (m_port->isOpen())
        m_port->clear(QSerialPort::Input);
}

void CommControl::setRThreshold(int threshold)
{
    m_inBuffer.setThreshold(threshold);
    scheduleReceiveCheck();
}

QByteArray CommControl::Input()
{
    return m_inBuffer.take();
}

void CommControl::readArrived()
{
    const QByteArray data = m_port->readAll();
    m_lastArrivalNs = monotonicNs();
    qCDebug(lcComm) << "rx" << data.toHex(' ');
    if (const qsizetype dropped = m_inBuffer.append(data))
        qCDebug(lcComm) << "receive buffer full, dropped" << dropped << "bytes";
    scheduleReceiveCheck();
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
    const QString text = m_port->errorString();
    m_port->close();
    m_port->clearError();
    fail(CommError::PortLost, text);
}

void CommControl::fail(CommError error, const QString& reason)
{
    const CommFault fault{error, deviceName(), reason};
    m_lastError = error;
    m_errorString = fault.text();
    qCDebug(lcComm) << m_errorString;
    emit errorOccurred(fault);
}

void CommControl::scheduleReceiveCheck()
{
    if (m_checkQueued)
        return;
    m_checkQueued = true;
    // Queued, so OnComm never runs inside the handler that set the threshold.
    QMetaObject::invokeMethod(this, &CommControl::checkReceiveThreshold, Qt::QueuedConnection);
}

void CommControl::checkReceiveThreshold()
{
    m_checkQueued = false;
    if (!m_inBuffer.takeReceiveEvent())
        return;
    emit OnComm();
    // The handler has run to completion: the fields hold the reply's values.
    qCDebug(lcCommTiming, "reply-to-screen %.1f us",
            static_cast<double>(monotonicNs() - m_lastArrivalNs) / 1000.0);
}

} // namespace serial
