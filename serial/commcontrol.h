// The serial comm control the poller drives: port number and line settings,
// transmit and receive buffers, a receive threshold and the OnComm event, on
// top of QSerialPort and the event loop of the thread it lives on.
#pragma once

#include "serial/comm.h"
#include "serial/linesettings.h"
#include "serial/receivebuffer.h"

#include <QByteArray>
#include <QLoggingCategory>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QTimer>

#include <cstdint>

Q_DECLARE_LOGGING_CATEGORY(lcComm)

namespace serial {

class CommControl : public Comm
{
    Q_OBJECT
    Q_PROPERTY(int CommPort READ CommPort WRITE setCommPort)
    Q_PROPERTY(QString Settings READ Settings WRITE setSettings)
    Q_PROPERTY(bool PortOpen READ PortOpen WRITE setPortOpen)
    Q_PROPERTY(int InBufferCount READ InBufferCount WRITE setInBufferCount)
    Q_PROPERTY(int OutBufferCount READ OutBufferCount WRITE setOutBufferCount)
    Q_PROPERTY(int RThreshold READ RThreshold WRITE setRThreshold)

public:
    static constexpr qsizetype kInBufferSize = ReceiveBuffer::kCapacity;
    static constexpr qsizetype kOutBufferSize = 512;

    explicit CommControl(QObject* parent = nullptr);
    ~CommControl() override;

    int CommPort() const { return m_commPort; }
    void setCommPort(int port); // takes effect at the next open

    QString Settings() const { return m_settingsText; }
    bool setSettings(const QString& text); // false and an error for a malformed text

    InputMode inputMode() const { return m_inputMode; }
    void setInputMode(InputMode mode) override { m_inputMode = mode; }

    bool PortOpen() const override;
    // Opening a port that is already open, or closing a closed one, does
    // nothing. A failed open reports OpenFailed and leaves the port closed;
    // the next write of true tries again.
    bool setPortOpen(bool open) override;
    // The device opened for CommPort: the one set with setDevice(), else
    // PortDeviceName(CommPort).
    QString deviceName() const { return m_device.isEmpty() ? PortDeviceName(m_commPort) : m_device; }
    void setDevice(const QString& device) { m_device = device; } // takes effect at the next open

    int OutBufferCount() const;
    void setOutBufferCount(int count) override; // 0 drops everything not yet sent

    // Queues the data and returns at once; false if the port is closed or the
    // transmit buffer would overflow. The bytes go out from the event loop,
    // after the calling handler has finished: a tick empties the receive
    // buffer after Output, and that must not drop a fast reply to this very
    // request. A failed write is reported by errorOccurred.
    bool Output(const QByteArray& data) override;

    int InBufferCount() const { return static_cast<int>(m_inBuffer.size()); }
    void setInBufferCount(int count) override; // 0 drops everything received so far

    int RThreshold() const { return m_inBuffer.threshold(); }
    void setRThreshold(int threshold) override; // 0 turns the receive event off

    // Returns and removes everything buffered, one byte per character.
    QByteArray Input() override;

    CommError lastError() const { return m_lastError; }
    QString errorString() const { return m_errorString; }

private:
    void readArrived();
    void portError(QSerialPort::SerialPortError error);
    void fail(CommError error, const QString& reason);
    void scheduleReceiveCheck();
    void checkReceiveThreshold();
    void sendQueued();

    QSerialPort* m_port;
    // Zero-interval, single-shot: runs the receive check on the next turn of
    // the event loop. A timer of this thread costs no wake-up system call, a
    // posted event (queued invocation) writes the loop's eventfd each time.
    QTimer m_receiveCheck;
    QTimer m_send; // zero-interval, single-shot: sends m_outBuffer
    QByteArray m_outBuffer; // queued by Output, not yet handed to the port
    int m_commPort = 1;
    QString m_device;
    QString m_settingsText = QStringLiteral("9600,N,8,1");
    LineSettings m_settings;
    InputMode m_inputMode = InputMode::Text;
    ReceiveBuffer m_inBuffer;
    std::int64_t m_lastArrivalNs = 0; // monotonic time the last bytes were read
    bool m_opening = false;
    CommError m_lastError = CommError::None;
    QString m_errorString;
};

} // namespace serial
