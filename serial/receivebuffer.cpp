#include "serial/receivebuffer.h"

#include <QtGlobal>

namespace serial {

qsizetype ReceiveBuffer::append(const char* data, qsizetype size)
{
    const qsizetype room = kCapacity - m_bytes.size();
    const qsizetype kept = qMin(room, size);
    m_bytes.append(data, kept);
    return size - kept;
}

QByteArray ReceiveBuffer::take()
{
    QByteArray taken(m_bytes.constData(), m_bytes.size());
    m_bytes.resize(0); // unlike clear(), keeps the reserved capacity
    rearmIfBelowThreshold();
    return taken;
}

void ReceiveBuffer::clear()
{
    m_bytes.resize(0);
    rearmIfBelowThreshold();
}

void ReceiveBuffer::setThreshold(int threshold)
{
    m_threshold = qMax(threshold, 0);
    rearmIfBelowThreshold();
}

bool ReceiveBuffer::takeReceiveEvent()
{
    if (!receiveEventDue())
        return false;
    m_raised = true;
    return true;
}

bool ReceiveBuffer::receiveEventDue() const
{
    return m_threshold > 0 && !m_raised && m_bytes.size() >= m_threshold;
}

void ReceiveBuffer::rearmIfBelowThreshold()
{
    if (m_threshold == 0 || m_bytes.size() < m_threshold)
        m_raised = false;
}

} // namespace serial
