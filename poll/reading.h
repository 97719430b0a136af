// One decoded reply, as the poller tells it to whoever listens (the window,
// the recorder, pollcli's printer, the trend): passed by value, so it can
// cross from the acquisition thread to the window's.
#pragma once

#include "codec/protocol.h"

#include <QDateTime>
#include <QMetaType>
#include <QString>

#include <array>
#include <cstdint>

namespace poll {

struct Reading
{
    QDateTime time;         // UTC, when the reply was decoded; recordings show it in local time
    std::int32_t polls = 0; // the counts on screen after this reply
    std::int32_t errors = 0;
    bool checksumOk = false;
    protocol::ChannelValues values{};

    // The same, as the window's fields show them.
    QString errorText;                                         // [Text2]
    std::array<QString, protocol::kChannelCount> channelTexts; // [Text3(0)] to [Text3(7)]
    QString replyText; // [Text6]; text framing only, else empty

    int address = -1; // of the module polled, as it goes on the line (0 to 255); -1 not known
};

} // namespace poll

Q_DECLARE_METATYPE(poll::Reading)
