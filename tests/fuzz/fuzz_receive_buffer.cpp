// serial::ReceiveBuffer, the comm control's receive path, driven by a list
// of operations decoded from the input: bytes arriving in chunks of any size
// (up to several times the capacity), Input (take), InBufferCount = 0
// (clear), RThreshold changes (negative, zero, inside and beyond the
// capacity) and the check the event loop makes before raising OnComm.
//
// After every operation the buffer matches a model kept here: a queue that
// keeps the oldest 1024 bytes and drops the rest; take() returns them in
// arrival order; the receive event comes exactly once each time the level
// (threshold above 0, at least threshold bytes held) is reached after having
// not been, and never otherwise.

#include "fuzzcheck.h"
#include "serial/receivebuffer.h"

#include <QByteArray>

#include <algorithm>
#include <deque>

namespace {

using serial::ReceiveBuffer;

class Model
{
public:
    qsizetype append(const QByteArray& data)
    {
        qsizetype dropped = 0;
        for (char c : data) {
            if (static_cast<qsizetype>(m_bytes.size()) < ReceiveBuffer::kCapacity)
                m_bytes.push_back(c);
            else
                ++dropped;
        }
        settle();
        return dropped;
    }

    QByteArray take()
    {
        QByteArray out;
        for (char c : m_bytes)
            out.append(c);
        m_bytes.clear();
        settle();
        return out;
    }

    void clear()
    {
        m_bytes.clear();
        settle();
    }

    void setThreshold(int threshold)
    {
        m_threshold = std::max(threshold, 0);
        settle();
    }

    bool takeEvent()
    {
        if (!atLevel() || m_reported)
            return false;
        m_reported = true;
        return true;
    }

    qsizetype size() const { return static_cast<qsizetype>(m_bytes.size()); }
    int threshold() const { return m_threshold; }

private:
    bool atLevel() const { return m_threshold > 0 && size() >= m_threshold; }
    // Dropping below the level (or turning it off) allows the next event.
    void settle()
    {
        if (!atLevel())
            m_reported = false;
    }

    std::deque<char> m_bytes;
    int m_threshold = 0;
    bool m_reported = false;
};

class Input
{
public:
    Input(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    bool empty() const { return m_at >= m_size; }
    std::uint8_t byte() { return m_at < m_size ? m_data[m_at++] : 0; }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_at = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ReceiveBuffer buffer;
    Model model;
    Input in(data, size);
    std::uint8_t next = 0; // bytes arriving count up, so order and loss show

    while (!in.empty()) {
        switch (in.byte() % 5) {
        case 0: { // a chunk arrives
            const std::uint8_t n = in.byte();
            const int length = n < 200 ? n : (n - 200) * 64;
            QByteArray chunk(length, '\0');
            for (char& c : chunk)
                c = static_cast<char>(next++);
            const qsizetype dropped = buffer.append(chunk);
            FUZZ_CHECK(dropped == model.append(chunk));
            break;
        }
        case 1: { // Input
            const QByteArray taken = buffer.take();
            FUZZ_CHECK(taken == model.take());
            // The comm control checks for OnComm only after an append or a
            // new threshold: nothing else may make an event due.
            FUZZ_CHECK(!buffer.receiveEventDue());
            break;
        }
        case 2: // InBufferCount = 0
            buffer.clear();
            model.clear();
            FUZZ_CHECK(!buffer.receiveEventDue());
            break;
        case 3: { // RThreshold
            const auto threshold = static_cast<std::int16_t>(in.byte() | in.byte() << 8);
            buffer.setThreshold(threshold);
            model.setThreshold(threshold);
            break;
        }
        case 4: { // the event loop checks for OnComm
            const bool due = buffer.receiveEventDue();
            FUZZ_CHECK(buffer.takeReceiveEvent() == due);
            FUZZ_CHECK(due == model.takeEvent());
            break;
        }
        }
        FUZZ_CHECK(buffer.size() >= 0 && buffer.size() <= ReceiveBuffer::kCapacity);
        FUZZ_CHECK(buffer.size() == model.size());
        FUZZ_CHECK(buffer.threshold() == model.threshold());
    }
    // Whatever is left comes out whole and in order.
    FUZZ_CHECK(buffer.take() == model.take());
    return 0;
}
