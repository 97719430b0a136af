// The comm control's receive buffer: bounded, with the receive threshold and
// the rule that one OnComm is raised per crossing of it. No I/O, no events.
#pragma once

#include <QByteArray>

namespace serial {

class ReceiveBuffer
{
public:
    static constexpr qsizetype kCapacity = 1024;

    ReceiveBuffer() { m_bytes.reserve(kCapacity); }

    // Keeps what fits; a full buffer drops what comes after it, so a flood of
    // noise cannot grow memory. Returns how many bytes were dropped.
    qsizetype append(const char* data, qsizetype size);
    qsizetype append(const QByteArray& data) { return append(data.constData(), data.size()); }
    // Returns and removes everything buffered. The buffer keeps its storage:
    // receiving allocates nothing.
    QByteArray take();
    void clear();

    qsizetype size() const { return m_bytes.size(); }
    int threshold() const { return m_threshold; }
    void setThreshold(int threshold); // 0 or less: no receive event

    // True once for each time the buffer reaches the threshold: the caller
    // raises OnComm. Not again until the buffer has dropped below it.
    bool takeReceiveEvent();
    // What takeReceiveEvent() would return now, without taking it.
    bool receiveEventDue() const;

private:
    void rearmIfBelowThreshold();

    QByteArray m_bytes;
    int m_threshold = 0;
    bool m_raised = false; // the event was taken for what the buffer holds now
};

} // namespace serial
