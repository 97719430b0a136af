// A comm control scripted by the test, and a listener that records what the
// poller tells: the poller and the start buttons without a port or a window.
#pragma once

#include "poll/poller.h"
#include "serial/comm.h"

#include <QStringList>

#include <utility>

namespace testing_support {

class ScriptedComm : public serial::Comm
{
public:
    bool canOpen = true;
    bool open = false;
    QStringList calls;  // every property written or read, in order
    QByteArray pending; // what takeAll() returns next

    void setInputMode(serial::InputMode mode) override
    {
        calls << QStringLiteral("InputMode=%1").arg(int(mode));
    }
    bool isPortOpen() const override
    {
        const_cast<ScriptedComm*>(this)->calls << QStringLiteral("PortOpen?");
        return open;
    }
    bool setPortOpen(bool value) override
    {
        calls << QStringLiteral("PortOpen=%1").arg(value);
        if (value && !canOpen) {
            emit errorOccurred({serial::CommError::OpenFailed, QStringLiteral("/dev/ttyS0"),
                                QStringLiteral("gone")});
            return false;
        }
        open = value;
        return true;
    }
    void clearOutput() override { calls << QStringLiteral("OutBufferCount=0"); }
    bool write(const QByteArray& data) override
    {
        calls << QStringLiteral("Output=") + QString::fromLatin1(data.toHex(' '));
        return open;
    }
    void clearInput() override { calls << QStringLiteral("InBufferCount=0"); }
    void setReceiveThreshold(int threshold) override
    {
        calls << QStringLiteral("RThreshold=%1").arg(threshold);
    }
    QByteArray takeAll() override
    {
        calls << QStringLiteral("Input");
        return std::exchange(pending, {});
    }

    QStringList sent() const
    {
        return calls.filter(QStringLiteral("Output="))
            .replaceInStrings(QStringLiteral("Output="), QString());
    }
    void reply(const QByteArray& bytes)
    {
        pending = bytes;
        emit thresholdReached();
    }
};

class RecordingView : public QObject
{
public:
    explicit RecordingView(poll::Poller& poller)
    {
        connect(&poller, &poll::Poller::pollSent, this,
                [this](std::int32_t, const QString& text) { pollCount = text; });
        connect(&poller, &poll::Poller::requestTextChanged, this,
                [this](const QString& text) { requestText = text; });
        connect(&poller, &poll::Poller::replyDecoded, this, [this](const poll::Reading& reading) {
            errorCounts << reading.errorText;
            channels = QStringList(reading.channelTexts.begin(), reading.channelTexts.end());
            replyTexts << reading.replyText;
        });
        connect(&poller, &poll::Poller::portFault, this,
                [this](const serial::CommFault& fault) { faults << fault.text(); });
        connect(&poller, &poll::Poller::portFaultCleared, this, [this] { ++clears; });
    }

    QString pollCount;
    QStringList errorCounts; // one per reply, in order
    QStringList channels = QStringList(8, QString());
    QString requestText;
    QStringList replyTexts; // one per reply, in order
    QStringList faults;
    int clears = 0;
};

} // namespace testing_support
