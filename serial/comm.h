// What the poller uses of a comm control. CommControl is the real one; tests
// script a fake.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

namespace serial {

enum class InputMode { Text = 0, Binary = 1 };

enum class CommError {
    None,
    BadSettings,   // Settings text refused; the old settings stay
    OpenFailed,    // missing device, busy, no permission
    PortLost,      // read, write or resource error on an open port: it was closed
    NotOpen,       // Output on a closed port
    OutBufferFull, // Output would pass the transmit buffer's size
};

class Comm : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    virtual void setInputMode(InputMode mode) = 0;
    virtual bool PortOpen() const = 0;
    virtual bool setPortOpen(bool open) = 0;
    virtual void setOutBufferCount(int count) = 0;
    virtual bool Output(const QByteArray& data) = 0;
    virtual void setInBufferCount(int count) = 0;
    virtual void setRThreshold(int threshold) = 0;
    virtual QByteArray Input() = 0;

signals:
    // Raised from the event loop once the receive buffer holds RThreshold
    // bytes; not again until the buffer has dropped below the threshold.
    void OnComm();
    // The port could not be opened or written, or went away; `text` names the
    // device and the system's reason.
    void errorOccurred(serial::CommError error, const QString& text);
};

} // namespace serial
