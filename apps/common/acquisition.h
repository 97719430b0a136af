// The comm control and the poller on an acquisition thread of their own, so
// that a window stalled in a repaint (a slow remote display, a window being
// dragged) never delays a request. What the poller shows reaches the view
// through queued signals; the start reaches the poller the same way.
#pragma once

#include "apps/common/settings.h"
#include "poll/poller.h"

#include <QByteArray>
#include <QThread>

namespace apps {

class Acquisition
{
public:
    // `view` is called on the thread of `viewContext`. A port fault also goes
    // to standard error, once, as "<program>: <fault>". With a recorder, each
    // decoded reply is recorded; a failed write is shown and told once on
    // standard error, and recording resumes when a write succeeds again.
    Acquisition(poll::Framing framing, const LinkSettings& settings, poll::PollView& view, QObject* viewContext);
    // Stops polling, closes the port and ends the thread.
    ~Acquisition();
    Acquisition(const Acquisition&) = delete;
    Acquisition& operator=(const Acquisition&) = delete;

    // Both return at once; the poller takes them in the order given.
    void setRequest(const QByteArray& request);
    void start(const QByteArray& request);

private:
    QThread m_thread;
    QObject* m_line;         // on m_thread: owns the comm control, the relay and the poller
    poll::Poller* m_poller;  // used on m_thread only
};

} // namespace apps
