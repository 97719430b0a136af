// The start button of bytepoll and textpoll: each click reads the address
// field by the number reading, rounds it to a whole number (a half to the
// even neighbour) and either starts polling with the request for it or says
// why the address is refused. A refused click changes nothing else: the
// request, the polling and the schedule stay as they were.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

namespace apps {

class StartButton : public QObject
{
    Q_OBJECT

public:
    using BuildRequest = QByteArray (*)(int address);

    // Addresses from `lowest` to `highest` are accepted.
    StartButton(int lowest, int highest, BuildRequest buildRequest, QObject* parent = nullptr);

    void click(const QString& typedAddress);

signals:
    // Why the last click was refused; empty once an address is accepted.
    void addressNote(const QString& text);
    // The request for the accepted address, to be sent from the next tick on.
    void start(const QByteArray& request);

private:
    int m_lowest;
    int m_highest;
    BuildRequest m_buildRequest;
};

} // namespace apps
