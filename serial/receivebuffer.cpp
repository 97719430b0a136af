#include "serial/receivebuffer.h"

#include <QtGlobal>

namespace serial {

qsizetype ReceiveBuffer::append(const QByteArray& data)
{
    const qsizetype room = kCapacity - m_bytes.size();
    const qsizetype kept = qMin(room, data.size());
    m_bytes.append(data.constData(), kept);
    return data.size() - kept;
}

QByteArray ReceiveBuffer::take()
{
    QByteArray taken;
    taken.swap(m_bytes);
    m_bytes.reserve(kCapacity);
    rearmIfBelowThreshold();
    return taken;
}

void ReceiveBuffer::clear()
{
    m_bytes.clear();
    rearmIfBelowThreshold();
}

void ReceiveBuffer::setThreshold(int threshold)
{
    m_threshold = qMax(threshold, 0);
    rearmIfBelowThreshold();
}

bool ReceiveBuffer::takeReceiveEvent()
{
    if (m_threshold == 0 || m_raised || m_bytes.size() < m_threshold)
        return false;
    m_raised = true;
    return true;
}

void ReceiveBuffer::rearmIfBelowThreshold()
{
    if (m_threshold == 0 || m_bytes.size() < m_threshold)
        m_raised = false;
}

} // namespace serial
