#include "serial/commcontrol.h"

#include <chrono>

Q_LOGGING_CATEGORY(lcComm, "poll.comm", QtWarningMsg)
// Reply-to-screen latency, for the performance report: off unless asked for
// with QT_LOGGING_RULES="poll.timing.*.debug=true".
Q_LOGGING_CATEGORY(lcCommTiming, "poll.timing.comm", QtWarningMsg)

namespace {

std::int64_t monotonicNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

namespace serial {

CommControl::CommControl(QObject* parent)
    : poll::Link(parent), m_port(new Device(this)), m_receiveCheck(this), m_send(this)
{
    m_outBuffer.reserve(kOutBufferSize);
    m_receiveCheck.setSingleShot(true);
    m_receiveCheck.setInterval(0);
    connect(&m_receiveCheck, &QTimer::timeout, this, &CommControl::checkReceiveThreshold);
    m_send.setSingleShot(true);
    m_send.setInterval(0);
    connect(&m_send, &QTimer::timeout, this, &CommControl::sendQueued);
    connect(m_port, &Device::readyRead, this, &CommControl::readArrived);
    connect(m_port, &Device::failed, this, &CommControl::deviceFailed);
    connect(m_port, &Device::bytesWritten, this, &CommControl::bytesWritten);
}

CommControl::~CommControl()
{
    // Closed here, so that nothing the device tells on its way out reaches a
    // half-destroyed control.
    disconnect(m_port, nullptr, this, nullptr);
    m_port->close();
}

void CommControl::setPortNumber(int port)
{
    m_portNumber = port;
}

bool CommControl::setSettings(const QString& text)
{
    auto parsed = ParseSettings(text);
    if (auto* message = std::get_if<QString>(&parsed)) {
        fail(poll::LinkError::BadSettings, *message);
        return false;
    }
    if (const auto refused = m_port->apply(std::get<LineSettings>(parsed))) {
        fail(poll::LinkError::BadSettings, *refused);
        return false;
    }
    m_settings = std::get<LineSettings>(parsed);
    m_settingsText = text;
    return true;
}

bool CommControl::isPortOpen() const
{
    return m_port->isOpen();
}

bool CommControl::setPortOpen(bool open)
{
    if (open == m_port->isOpen())
        return true;
    if (!open) {
        m_outBuffer.resize(0);
        m_port->close();
        return true;
    }
    if (const auto reason = m_port->open(deviceName(), m_settings)) {
        fail(poll::LinkError::OpenFailed, *reason);
        return false;
    }
    qCDebug(lcComm) << "opened" << deviceName() << m_settingsText;
    holdUntilThreshold();
    return true;
}

int CommControl::bytesToWrite() const
{
    return static_cast<int>(m_outBuffer.size() + m_port->bytesToWrite());
}

void CommControl::setOutBufferCount(int count)
{
    if (count != 0) {
        qCWarning(lcComm) << "OutBufferCount can only be set to 0, not" << count;
        return;
    }
    clearOutput();
}

void CommControl::clearOutput()
{
    m_outBuffer.resize(0); // keeps its capacity
    m_port->clearOutput();
}

bool CommControl::write(const QByteArray& data)
{
    if (!queue(data))
        return false;
    if (!m_send.isActive())
        m_send.start();
    return true;
}

bool CommControl::queue(const QByteArray& data)
{
    if (!m_port->isOpen()) {
        fail(poll::LinkError::NotOpen, QStringLiteral("not open"));
        return false;
    }
    if (bytesToWrite() + data.size() > kOutBufferSize) {
        fail(poll::LinkError::OutBufferFull,
             QStringLiteral("transmit buffer of %1 bytes is full").arg(kOutBufferSize));
        return false;
    }
    qCDebug(lcComm) << "tx" << data.toHex(' ');
    m_outBuffer.append(data);
    return true;
}

bool CommControl::sendQueued()
{
    m_send.stop();
    if (m_outBuffer.isEmpty() || !m_port->isOpen())
        return m_outBuffer.isEmpty();
    qCDebug(lcCommTiming, "request written at %lld ns", static_cast<long long>(monotonicNs()));
    // What the driver has no room for yet, the device sends as it makes
    // room; a failure it tells itself (deviceFailed).
    const bool written = m_port->write(m_outBuffer.constData(), m_outBuffer.size());
    m_outBuffer.resize(0);
    return written;
}

bool CommControl::exchange(const QByteArray& request, int replyLength)
{
    // Queued without the send timer: it goes below, in this call.
    if (!queue(request))
        return false;
    dropInput(); // what came before, a late or partial reply included
    setReceiveThreshold(replyLength);
    // A request the device could not write is no poll sent (a line that
    // hung up since the last one, say): the fault is told, nothing counted.
    return sendQueued();
}

void CommControl::setInBufferCount(int count)
{
    if (count != 0) {
        qCWarning(lcComm) << "InBufferCount can only be set to 0, not" << count;
        return;
    }
    clearInput();
}

int CommControl::bytesAvailable() const
{
    return static_cast<int>(qMin(m_inBuffer.size() + m_port->bytesHeld(), kInBufferSize));
}

void CommControl::clearInput()
{
    dropInput();
    // Nothing that arrives from here on is dropped, so a request queued
    // before goes now, inside the handler: a tick's window is not told of
    // the poll before the request is out. Woken for it, the window's thread
    // could hold a write left to the next turn of the loop back by
    // milliseconds on a busy machine.
    if (!m_outBuffer.isEmpty())
        sendQueued();
}

void CommControl::dropInput()
{
    m_inBuffer.clear();
    // Bytes the driver holds but we have not read yet belong to the same past.
    m_port->clearInput();
    holdUntilThreshold();
}

void CommControl::setReceiveThreshold(int threshold)
{
    m_inBuffer.setThreshold(threshold);
    holdUntilThreshold();
    // Each tick sets the threshold right after emptying the buffer: a check
    // is queued only when the buffer already holds enough, which saves a
    // turn of the event loop on every poll.
    if (m_inBuffer.receiveEventDue())
        scheduleReceiveCheck();
}

QByteArray CommControl::takeAll()
{
    // Below the threshold the driver may hold bytes it has not woken us
    // for. A reply that reached it was read whole; what came after it is
    // dropped before the next request, or taken with the one after.
    if (m_inBuffer.size() < m_inBuffer.threshold())
        readHeldBytes();
    QByteArray taken = m_inBuffer.take();
    holdUntilThreshold();
    return taken;
}

void CommControl::readArrived()
{
    // Straight from the device into our buffer, through the stack: no
    // allocation per reply. The driver woke us for a whole reply (see
    // holdUntilThreshold), so one read takes it; another only if the chunk
    // came back full.
    char chunk[ReceiveBuffer::kCapacity];
    qsizetype count = 0;
    do {
        count = m_port->read(chunk, sizeof chunk);
        if (count <= 0)
            break; // nothing more, or the device went: deviceFailed() told it
        qCDebug(lcComm) << "rx" << QByteArray::fromRawData(chunk, count).toHex(' ');
        if (const qsizetype dropped = m_inBuffer.append(chunk, count))
            qCDebug(lcComm) << "receive buffer full, dropped" << dropped << "bytes";
    } while (count == static_cast<qsizetype>(sizeof chunk));
    if (!m_port->isOpen())
        return;
    m_lastArrivalNs = monotonicNs();
    // This handler is the event loop's own, for the bytes' arrival: the
    // receive event can be raised from here, without another turn of it.
    // The poller takes the reply inside it, so the minimum set after it is
    // the next reply's, as before: no change of settings on a usual poll.
    checkReceiveThreshold();
    holdUntilThreshold();
}

// The driver is told to wake us only once the bytes still missing to the
// threshold have arrived (Unix: VMIN of a raw terminal, VTIME 0), so a reply
// that comes in pieces costs one wake-up and one read, not one a piece (a
// 21-byte reply written in 3 pieces: 1 wake-up instead of 3). Reads stay
// non-blocking and take whatever is there; a hang-up still wakes us at
// once. With the threshold off, or reached and the bytes not yet taken,
// every byte wakes us, so what follows them is read as it comes.
void CommControl::holdUntilThreshold()
{
    if (!m_port->isOpen())
        return;
    const qsizetype missing = m_inBuffer.threshold() - m_inBuffer.size();
    m_port->setWakeUpMinimum(m_inBuffer.threshold() > 0 && missing > 0
                                 ? static_cast<int>(qMin<qsizetype>(missing, 255))
                                 : 1);
}

// What the driver holds below its wake-up minimum, into the receive buffer,
// so that a take returns all that has arrived.
void CommControl::readHeldBytes()
{
    if (!m_port->isOpen() || m_port->wakeUpMinimum() <= 1)
        return;
    char chunk[ReceiveBuffer::kCapacity];
    qsizetype count = 0;
    while ((count = m_port->read(chunk, sizeof chunk)) > 0) {
        qCDebug(lcComm) << "rx" << QByteArray::fromRawData(chunk, count).toHex(' ');
        m_inBuffer.append(chunk, count);
    }
}

void CommControl::deviceFailed(poll::LinkError error, const QString& reason)
{
    if (error == poll::LinkError::PortLost)
        m_outBuffer.resize(0);
    fail(error, reason);
}

void CommControl::fail(poll::LinkError error, const QString& reason)
{
    const poll::LinkFault fault{error, deviceName(), reason};
    qCDebug(lcComm) << fault.text();
    emit errorOccurred(fault);
}

void CommControl::scheduleReceiveCheck()
{
    // From the event loop, so the event never runs inside the handler that
    // set the threshold.
    if (!m_receiveCheck.isActive())
        m_receiveCheck.start();
}

void CommControl::checkReceiveThreshold()
{
    if (!m_inBuffer.takeReceiveEvent())
        return;
    emit replyReady();
    // The handler has run to completion: the fields hold the reply's values.
    qCDebug(lcCommTiming, "reply-to-screen %.1f us",
            static_cast<double>(monotonicNs() - m_lastArrivalNs) / 1000.0);
}

} // namespace serial
