#include "autopoll/autopoll.h"

namespace autopoll {

AutoPoll::AutoPoll(poll::Form1& form)
    : QObject(&form)
    , m_form(form)
{
}

void AutoPoll::Form_Load()
{
    // The whole handler runs before the first tick can: that comes one
    // interval after the start, opens the port and sends the request.
    m_form.poller().setInterval(poll::kPollInterval);
    m_form.poller().Start();
    m_form.Comm1().setCommPort(poll::kCommPort);
    m_form.Comm1().setSettings(poll::kLineSettings);
    m_form.field(poll::Field::Text2)->clear();
    m_form.field(poll::Field::Text4)->clear();
    for (int i = 0; i < 8; ++i)
        m_form.Text3(i)->clear();
    m_form.poller().setRequest(kRequest);
}

} // namespace autopoll
