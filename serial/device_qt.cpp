// The serial device on Windows: QSerialPort, which alone owns the port's
// handle. Its buffer takes what arrives; a write is handed to the driver at
// once with flush().
#include "serial/device.h"

#include <QSerialPort>

namespace serial {

class Device::Private
{
public:
    explicit Private(Device* device) : port(new QSerialPort(device)) {}

    QSerialPort* port;
    bool opening = false;
};

Device::Device(QObject* parent) : QObject(parent), d(std::make_unique<Private>(this))
{
    connect(d->port, &QSerialPort::readyRead, this, &Device::readyRead);
    connect(d->port, &QSerialPort::bytesWritten, this, &Device::bytesWritten);
    connect(d->port, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError error) {
        // Opening emits NoError, and a failed open is told by open().
        if (error == QSerialPort::NoError || error == QSerialPort::TimeoutError || d->opening ||
            !d->port->isOpen())
            return;
        // Read, write and resource errors all mean the port is gone. Qt 6.4
        // can report a removed device as a read error again and again
        // without end, so close at once; the next open tries afresh.
        QString reason;
        switch (error) {
        case QSerialPort::ReadError:
            reason = QStringLiteral("reading failed: the device hung up or was removed");
            break;
        case QSerialPort::WriteError:
            reason = QStringLiteral("writing failed: the device hung up or was removed");
            break;
        case QSerialPort::ResourceError:
            reason = QStringLiteral("the device was removed or hung up");
            break;
        default:
            reason = d->port->errorString();
            break;
        }
        d->port->close();
        d->port->clearError();
        emit failed(poll::LinkError::PortLost, reason);
    });
}

Device::~Device()
{
    // Closed here rather than in QSerialPort's destructor, so that no error
    // reaches the handler above while this object is half destroyed.
    disconnect(d->port, nullptr, this, nullptr);
    d->port->close();
}

std::optional<QString> Device::open(const QString& name, const LineSettings& settings)
{
    if (d->port->isOpen())
        return std::nullopt;
    d->port->setPortName(name);
    d->port->setBaudRate(settings.baudRate);
    d->port->setParity(settings.parity);
    d->port->setDataBits(settings.dataBits);
    d->port->setStopBits(settings.stopBits);
    d->port->setFlowControl(QSerialPort::NoFlowControl);
    // Modem lines (DTR, RTS) are left as the driver sets them; the module
    // does not need them.
    d->opening = true;
    const bool opened = d->port->open(QIODevice::ReadWrite);
    d->opening = false;
    if (opened)
        return std::nullopt;
    QString reason = d->port->errorString();
    // Windows reports a port another program has open and a port the user
    // may not open alike; say which two things to look at.
    if (d->port->error() == QSerialPort::PermissionError)
        reason += QStringLiteral(" (in use by another program, or no permission to open it)");
    d->port->clearError();
    return reason;
}

void Device::close()
{
    d->port->close();
}

bool Device::isOpen() const
{
    return d->port->isOpen();
}

std::optional<QString> Device::apply(const LineSettings& settings)
{
    const bool applied =
        d->port->setBaudRate(settings.baudRate) && d->port->setParity(settings.parity) &&
        d->port->setDataBits(settings.dataBits) && d->port->setStopBits(settings.stopBits);
    if (applied || !d->port->isOpen())
        return std::nullopt;
    const QString reason = d->port->errorString();
    d->port->clearError();
    return reason;
}

bool Device::write(const char* data, qsizetype size)
{
    if (!d->port->isOpen())
        return false;
    if (d->port->write(data, size) != size) {
        // The error handler has closed the port if the failure was fatal.
        if (d->port->isOpen())
            emit failed(poll::LinkError::WriteFailed, d->port->errorString());
        return false;
    }
    // QSerialPort sends what it buffers when its write notifier fires;
    // flush() hands the bytes to the driver now.
    d->port->flush();
    return d->port->isOpen();
}

qsizetype Device::bytesToWrite() const
{
    return d->port->bytesToWrite();
}

qsizetype Device::read(char* data, qsizetype maxSize)
{
    return qMax<qint64>(d->port->read(data, maxSize), 0);
}

qsizetype Device::bytesHeld() const
{
    return d->port->bytesAvailable();
}

void Device::clearInput()
{
    if (d->port->isOpen())
        d->port->clear(QSerialPort::Input);
}

void Device::clearOutput()
{
    if (d->port->isOpen())
        d->port->clear(QSerialPort::Output);
}

void Device::setWakeUpMinimum(int count)
{
    Q_UNUSED(count); // every arrival wakes the reader
}

int Device::wakeUpMinimum() const
{
    return 1;
}

} // namespace serial
