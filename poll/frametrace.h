// What crossed the line, frame by frame, for --trace: the poller tells each
// event, and one line on standard error says it with a monotonic time.
#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QString>

#include <cstdint>

namespace poll {

enum class Framing; // poller.h

struct FrameEvent
{
    enum class Kind
    {
        Sent,       // a request went out
        Received,   // a reply was taken, with its verdict
        Dropped,    // bytes that make no reply: flushed before a send, an echo
        Unanswered, // no reply to the last poll by the next tick
    };
    Kind kind = Kind::Sent;
    std::int32_t poll = 0; // the poll count it belongs to
    QByteArray bytes;
    bool checksumOk = false; // Received
    QString note;            // Received: why it failed, beyond its checksum; Dropped: which bytes
};

// "1026.431 ms  rx 43 04 10 ... E9 7C  checksum ok": requests and replies in
// hex in binary framing, as text in text framing.
QString FormatTraceLine(const FrameEvent& event, Framing framing, double milliseconds);

} // namespace poll

Q_DECLARE_METATYPE(poll::FrameEvent)
