// A link scripted by the test, and a listener that records what the poller
// tells: the poller and the start buttons without a port or a window.
#pragma once

#include "poll/link.h"
#include "poll/numberformat.h"
#include "poll/poller.h"

#include <QStringList>

#include <utility>

namespace testing_support {

class ScriptedLink : public poll::Link
{
public:
    bool canOpen = true;
    bool opened = false;
    QStringList calls;  // every call, in order
    QByteArray pending; // what takeAll() returns next
    // Handed back by the next exchange before it returns, as a link whose
    // reply is already there might.
    QByteArray answerAtOnce;

    bool isOpen() const override
    {
        const_cast<ScriptedLink*>(this)->calls << QStringLiteral("PortOpen?");
        return opened;
    }
    bool open() override
    {
        calls << QStringLiteral("PortOpen=1");
        if (!canOpen) {
            emit errorOccurred({poll::LinkError::OpenFailed, QStringLiteral("/dev/ttyS0"),
                                QStringLiteral("gone")});
            return false;
        }
        opened = true;
        return true;
    }
    void clearOutput() override { calls << QStringLiteral("OutBufferCount=0"); }
    bool exchange(const QByteArray& request, int replyLength) override
    {
        calls << QStringLiteral("Exchange=%1 for %2")
                     .arg(QString::fromLatin1(request.toHex(' ')))
                     .arg(replyLength);
        if (opened && !answerAtOnce.isEmpty())
            reply(std::exchange(answerAtOnce, {}));
        return opened;
    }
    QByteArray takeAll() override
    {
        calls << QStringLiteral("Input");
        return std::exchange(pending, {});
    }

    QStringList sent() const
    {
        QStringList requests;
        for (const QString& call : calls)
            if (call.startsWith(QStringLiteral("Exchange=")))
                requests << call.section(u'=', 1).section(QStringLiteral(" for "), 0, 0);
        return requests;
    }
    void reply(const QByteArray& bytes)
    {
        pending = bytes;
        emit replyReady();
    }
};

class RecordingView : public QObject
{
public:
    explicit RecordingView(poll::Poller& poller)
    {
        connect(&poller, &poll::Poller::pollSent, this,
                [this](std::int32_t count) { pollCount = poll::FormatLeadingBlankInteger(count); });
        connect(&poller, &poll::Poller::requestTextChanged, this,
                [this](const QString& text) { requestText = text; });
        connect(&poller, &poll::Poller::replyTextChanged, this,
                [this](const QString& text) { replyTexts << text; });
        connect(&poller, &poll::Poller::replyDecoded, this, [this](const poll::Sample& sample) {
            errorCounts << poll::FormatPlainInteger(sample.errors);
            for (std::size_t i = 0; i < sample.values.size(); ++i)
                channels[static_cast<qsizetype>(i)] = poll::FormatChannelNumber(sample.values[i]);
            told << QStringLiteral("reply to poll %1").arg(sample.polls);
        });
        connect(&poller, &poll::Poller::portFault, this,
                [this](const poll::LinkFault& fault) { faults << fault.text(); });
        connect(&poller, &poll::Poller::portFaultCleared, this, [this] { ++clears; });
        connect(&poller, &poll::Poller::pollSent, this,
                [this](std::int32_t count) { told << QStringLiteral("poll %1").arg(count); });
    }

    QString pollCount;
    QStringList errorCounts; // one per reply, in order
    QStringList channels = QStringList(8, QString());
    QString requestText;
    QStringList replyTexts; // text framing: one per reply, in order
    QStringList faults;
    QStringList told; // polls and replies, in the order told
    int clears = 0;
};

} // namespace testing_support
