// The serial device under the comm control, and the one owner of its
// handle: it opens the port raw with the line settings, reads and writes it
// without blocking, and tells when bytes arrive or the device goes away.
// On Unix a terminal device of its own (device_unix.cpp); on Windows
// QSerialPort (device_qt.cpp).
#pragma once

#include "poll/link.h"
#include "serial/linesettings.h"

#include <QObject>
#include <QString>

#include <memory>
#include <optional>

namespace serial {

class Device : public QObject
{
    Q_OBJECT

public:
    explicit Device(QObject* parent = nullptr);
    ~Device() override;

    // Opens `name` (a path, or a name under /dev on Unix; COM7 on Windows)
    // unless another program holds it. Nothing on success, else the reason
    // in the system's words.
    std::optional<QString> open(const QString& name, const LineSettings& settings);
    void close();
    bool isOpen() const;
    // New settings for the open port; the reason when the port refuses them.
    std::optional<QString> apply(const LineSettings& settings);

    // Hands the bytes to the driver now; what it cannot take yet goes as it
    // makes room. False if they could not be written: failed() has told why.
    bool write(const char* data, qsizetype size);
    qsizetype bytesToWrite() const; // written here, not yet taken by the driver

    // What has arrived, up to `maxSize`, without waiting: 0 when nothing
    // has. A device found gone here is closed, and failed() tells it.
    qsizetype read(char* data, qsizetype maxSize);
    // Arrived but not yet read, such as what the driver holds below its
    // wake-up minimum.
    qsizetype bytesHeld() const;

    void clearInput();  // drops what has arrived and was not read
    void clearOutput(); // drops what was written here and not yet sent

    // Unix: the driver wakes the reader once `count` bytes are there (VMIN,
    // 1 to 255), however many pieces they come in. Elsewhere each arrival
    // wakes it, and the minimum stays 1.
    void setWakeUpMinimum(int count);
    int wakeUpMinimum() const;

signals:
    // Bytes arrived to be read; read() them all, or the signal comes again.
    void readyRead();
    void bytesWritten(qint64 count);
    // PortLost: the device hung up, was removed or failed; it is closed
    // already, so the next open() tries afresh. WriteFailed: bytes were
    // refused, the port stays open.
    void failed(poll::LinkError error, const QString& reason);

private:
    class Private;
    std::unique_ptr<Private> d;
};

} // namespace serial
