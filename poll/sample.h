// One poll's outcome, the one record every part passes on: the poller tells
// it, the window and pollcli show it, the recorder writes it as a CSV row and
// the reader reads it back, the history holds it for the trend. Compact and
// plain, so it crosses threads by value for the cost of a copy.
#pragma once

#include "codec/protocol.h"

#include <QMetaType>
#include <QtGlobal>

#include <cstdint>

namespace poll {

struct Sample
{
    qint64 timeMs = 0; // UTC, ms since 1970-01-01T00:00:00Z: when the reply was decoded
    protocol::ChannelValues values{}; // as decoded: registers, tenths in text framing
    std::int32_t polls = 0;           // the counts on screen after this reply
    std::int32_t errors = 0;
    std::int16_t address = -1; // the module's, as it went on the line (0 to 255); -1 not known
    bool checksumOk = true;

    bool operator==(const Sample&) const = default;
};

} // namespace poll

Q_DECLARE_METATYPE(poll::Sample)
