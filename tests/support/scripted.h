// A comm control scripted by the test, and a view that records what it is
// shown: the poller and the start buttons without a port or a window.
#pragma once

#include "poll/pollview.h"
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
    QByteArray pending; // what Input() returns next

    void setInputMode(serial::InputMode mode) override { calls << QStringLiteral("InputMode=%1").arg(int(mode)); }
    bool PortOpen() const override
    {
        const_cast<ScriptedComm*>(this)->calls << QStringLiteral("PortOpen?");
        return open;
    }
    bool setPortOpen(bool value) override
    {
        calls << QStringLiteral("PortOpen=%1").arg(value);
        if (value && !canOpen) {
            emit errorOccurred({serial::CommError::OpenFailed, QStringLiteral("/dev/ttyS0"), QStringLiteral("gone")});
            return false;
        }
        open = value;
        return true;
    }
    void setOutBufferCount(int count) override { calls << QStringLiteral("OutBufferCount=%1").arg(count); }
    bool Output(const QByteArray& data) override
    {
        calls << QStringLiteral("Output=") + QString::fromLatin1(data.toHex(' '));
        return open;
    }
    void setInBufferCount(int count) override { calls << QStringLiteral("InBufferCount=%1").arg(count); }
    void setRThreshold(int threshold) override { calls << QStringLiteral("RThreshold=%1").arg(threshold); }
    QByteArray Input() override
    {
        calls << QStringLiteral("Input");
        return std::exchange(pending, {});
    }

    QStringList sent() const { return calls.filter(QStringLiteral("Output=")).replaceInStrings(QStringLiteral("Output="), QString()); }
    void reply(const QByteArray& bytes)
    {
        pending = bytes;
        emit OnComm();
    }
};

class RecordingView : public poll::PollView
{
public:
    QString pollCount;
    QStringList errorCounts; // every write, in order: one per reply
    QStringList channels = QStringList(8, QString());
    QString requestText;
    QStringList replyTexts;  // every write, in order
    QStringList faults;
    int clears = 0;
    QStringList recordFaults;

    void showPollCount(const QString& text) override { pollCount = text; }
    void showErrorCount(const QString& text) override { errorCounts << text; }
    void showChannel(int index, const QString& text) override { channels[index] = text; }
    void showRequestText(const QString& text) override { requestText = text; }
    void showReplyText(const QString& text) override { replyTexts << text; }
    void showPortFault(const serial::CommFault& fault) override { faults << fault.text(); }
    void clearPortFault() override { ++clears; }
    void showRecordFault(const QString& why) override { recordFaults << why; }
};

} // namespace testing_support
