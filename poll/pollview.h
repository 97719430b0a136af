// What the poller writes into: the window's fields, by control name, or a
// stand-in in a headless tool or a test.
#pragma once

#include <QString>

namespace poll {

enum class Field {
    Text2, // error count
    Text4, // poll count
    Text5, // request text sent (textpoll)
    Text6, // reply text received (textpoll)
};

class PollView
{
public:
    virtual ~PollView() = default;

    virtual void setText(Field field, const QString& text) = 0;
    virtual void setChannelText(int index, const QString& text) = 0; // Text3(index), 0 to 7

    // The port could not be opened or written, or went away; `text` names the
    // device and the reason. Called once per distinct fault, not on every tick.
    virtual void showPortFault(const QString& text) = 0;
    // Polling reaches the port again.
    virtual void clearPortFault() = 0;
};

} // namespace poll
