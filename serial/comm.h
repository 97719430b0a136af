// What the poller uses of a comm control. CommControl is the real one; tests
// script a fake.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

namespace serial {

enum class InputMode
{
    Text = 0,
    Binary = 1
};

enum class CommError
{
    None,
    BadSettings,   // Settings text refused; the old settings stay
    OpenFailed,    // missing device, busy, no permission
    PortLost,      // read or resource error on an open port: it was closed
    WriteFailed,   // the request could not be written
    NotOpen,       // a write on a closed port
    OutBufferFull, // a write would pass the transmit buffer's size
};

// What went wrong with the port, in parts, so that each reader can word it
// in its own language: the window in the captions' Chinese, standard error
// in English.
struct CommFault
{
    CommError error = CommError::None;
    QString device; // full path: /dev/ttyUSB0, COM7
    QString reason; // the system's own words

    // "cannot open /dev/ttyUSB0: No such file or directory"
    QString text() const;
    friend bool operator==(const CommFault&, const CommFault&) = default;
};

class Comm : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    virtual void setInputMode(InputMode mode) = 0;
    virtual bool isPortOpen() const = 0;
    virtual bool setPortOpen(bool open) = 0;
    virtual void clearOutput() = 0; // drops everything not yet sent
    virtual bool write(const QByteArray& data) = 0;
    virtual void clearInput() = 0;                       // drops everything received so far
    virtual void setReceiveThreshold(int threshold) = 0; // 0 turns the event off
    virtual QByteArray takeAll() = 0; // everything received, one byte a character

signals:
    // Raised from the event loop once the receive buffer holds the receive
    // threshold's bytes; not again until the buffer has dropped below it.
    void thresholdReached();
    // The port could not be opened or written, or went away.
    void errorOccurred(const serial::CommFault& fault);
};

} // namespace serial
