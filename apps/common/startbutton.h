// The start button of bytepoll and textpoll: each click reads the address
// field by the number reading, rounds it to a whole number (a half to the
// even neighbour) and either starts polling with the request for it or says
// why the address is refused. A refused click changes nothing else: the
// request, the polling and the schedule stay as they were.
#pragma once

#include "poll/poller.h"

#include <QByteArray>
#include <QObject>
#include <QString>

namespace apps {

class StartButton : public QObject
{
    Q_OBJECT

public:
    // The addresses the framing takes are accepted (AddressRangeOf), and the
    // request is the framing's.
    explicit StartButton(poll::Framing framing, QObject* parent = nullptr);

    void click(const QString& typedAddress);

signals:
    // Why the last click was refused; empty once an address is accepted.
    void addressNote(const QString& text);
    // The request for the accepted address, to be sent from the next tick on.
    void start(const QByteArray& request);

private:
    poll::Framing m_framing;
    poll::AddressRange m_range;
};

} // namespace apps
