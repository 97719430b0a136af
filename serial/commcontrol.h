// The serial comm control: port number and line settings, transmit and
// receive buffers, a receive threshold and its event (OnComm), on top of
// the serial device (serial/device.h) and the event loop of the thread it
// lives on. It is the poller's link on a serial port.
#pragma once

#include "poll/link.h"
#include "serial/device.h"
#include "serial/linesettings.h"
#include "serial/receivebuffer.h"

#include <QByteArray>
#include <QLoggingCategory>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>

Q_DECLARE_LOGGING_CATEGORY(lcComm)

namespace serial {

// How the legacy control's Input returned what it read: a text of one
// character a byte, or a byte array. Kept as its property; this control
// returns bytes either way.
enum class InputMode
{
    Text = 0,
    Binary = 1
};

class CommControl : public poll::Link
{
    Q_OBJECT
    // The legacy control's property names, as outside tools and the layout
    // see them; the code calls the functions.
    Q_PROPERTY(int CommPort READ portNumber WRITE setPortNumber)
    Q_PROPERTY(QString Settings READ settings WRITE setSettings)
    Q_PROPERTY(bool PortOpen READ isPortOpen WRITE setPortOpen)
    Q_PROPERTY(int InBufferCount READ bytesAvailable WRITE setInBufferCount)
    Q_PROPERTY(int OutBufferCount READ bytesToWrite WRITE setOutBufferCount)
    Q_PROPERTY(int RThreshold READ receiveThreshold WRITE setReceiveThreshold)
    // Named by the legacy control; nothing here depends on it.
    Q_PROPERTY(int InputMode READ inputModeValue WRITE setInputModeValue)

public:
    static constexpr qsizetype kInBufferSize = ReceiveBuffer::kCapacity;
    static constexpr qsizetype kOutBufferSize = 512;

    explicit CommControl(QObject* parent = nullptr);
    ~CommControl() override;

    int portNumber() const { return m_portNumber; }
    void setPortNumber(int port); // takes effect at the next open

    QString settings() const { return m_settingsText; }
    // False and an error for a malformed text, or one the open port refuses.
    bool setSettings(const QString& text);

    bool isPortOpen() const;
    // Opening a port that is already open, or closing a closed one, does
    // nothing. A failed open reports OpenFailed and leaves the port closed;
    // the next write of true tries again.
    bool setPortOpen(bool open);
    // The device opened for the port number: the one set with setDevice(),
    // else PortDeviceName(portNumber()).
    QString deviceName() const
    {
        return m_device.isEmpty() ? PortDeviceName(m_portNumber) : m_device;
    }
    void setDevice(const QString& device) { m_device = device; } // takes effect at the next open

    int bytesToWrite() const;

    // Queues the data and returns at once; false if the port is closed or the
    // transmit buffer would overflow. The bytes go out when the receive
    // buffer is next emptied, else from the event loop after the calling
    // handler has finished: in the legacy order, Output and then
    // InBufferCount = 0, the emptying must not drop a fast reply to this
    // very request. A failed write is reported by errorOccurred.
    bool write(const QByteArray& data);

    // What has arrived and not been taken, up to the receive buffer's size.
    int bytesAvailable() const;
    void clearInput();

    int receiveThreshold() const { return m_inBuffer.threshold(); }
    // 0 turns the receive event off. The event is replyReady.
    void setReceiveThreshold(int threshold);

    // The poller's link.
    bool isOpen() const override { return isPortOpen(); }
    bool open() override { return setPortOpen(true); }
    void clearOutput() override;
    // Empties the receive buffer, sets the reply's length as the threshold
    // and writes the request, in this order. False, with errorOccurred, if
    // the request could not be queued or written.
    bool exchange(const QByteArray& request, int replyLength) override;
    // Returns and removes everything received, one byte per character.
    QByteArray takeAll() override;

signals:
    // Bytes handed to the driver, for whoever watches the line.
    void bytesWritten(qint64 count);

private:
    // The properties' writers: only 0, which drops the buffer, is taken.
    void setInBufferCount(int count);
    void setOutBufferCount(int count);
    int inputModeValue() const { return static_cast<int>(m_inputMode); }
    void setInputModeValue(int mode) { m_inputMode = static_cast<InputMode>(mode); }

    bool queue(const QByteArray& data); // into the transmit buffer, or a fault
    void readArrived();
    void readHeldBytes();
    void dropInput();
    void holdUntilThreshold();
    void deviceFailed(poll::LinkError error, const QString& reason);
    void fail(poll::LinkError error, const QString& reason);
    void scheduleReceiveCheck();
    void checkReceiveThreshold();
    bool sendQueued(); // false if the device could not write what was queued

    Device* m_port;
    // Zero-interval, single-shot: runs the receive check on the next turn of
    // the event loop. A timer of this thread costs no wake-up system call, a
    // posted event (queued invocation) writes the loop's eventfd each time.
    QTimer m_receiveCheck;
    QTimer m_send;          // zero-interval, single-shot: sends m_outBuffer
    QByteArray m_outBuffer; // queued by write(), not yet handed to the port
    int m_portNumber = 1;
    QString m_device;
    QString m_settingsText = QString::fromLatin1(kModuleSettings);
    LineSettings m_settings;
    InputMode m_inputMode = InputMode::Text;
    ReceiveBuffer m_inBuffer;
    std::int64_t m_lastArrivalNs = 0; // monotonic time the last bytes were read
};

} // namespace serial
