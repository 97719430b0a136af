// What the poller shows: the window's fields (their control names in
// brackets), or a stand-in in a headless tool or a test. Every text is
// already formatted for the field.
#pragma once

#include "serial/comm.h"

#include <QString>

namespace poll {

class PollView
{
public:
    virtual ~PollView() = default;

    virtual void showPollCount(const QString& text) = 0;            // [Text4]
    virtual void showErrorCount(const QString& text) = 0;           // [Text2]
    virtual void showChannel(int index, const QString& text) = 0;  // [Text3(index)], 0 to 7
    virtual void showRequestText(const QString& text) = 0;          // [Text5], text framing only
    virtual void showReplyText(const QString& text) = 0;            // [Text6], text framing only

    // The port could not be opened or written, or went away. Called once per
    // distinct fault, not on every tick.
    virtual void showPortFault(const serial::CommFault& fault) = 0;
    // Polling reaches the port again.
    virtual void clearPortFault() = 0;

    // Recording the values failed (`why` says how), or, with an empty text,
    // works again.
    virtual void showRecordFault(const QString& why) = 0;
};

} // namespace poll
