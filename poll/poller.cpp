#include "poll/poller.h"

#include "poll/numberformat.h"

#include <QLoggingCategory>

#include <limits>

Q_LOGGING_CATEGORY(lcPoll, "poll.poller", QtWarningMsg)

namespace poll {
namespace {

// A counter that would pass the largest 32-bit value stays there: a wrapped,
// negative count would be plainly wrong. At one poll a second that is 68 years.
void countUp(std::int32_t& counter)
{
    if (counter < std::numeric_limits<std::int32_t>::max())
        ++counter;
}

} // namespace

Poller::Poller(Framing framing, serial::Comm& comm, PollView& view, QObject* parent)
    : QObject(parent)
    , m_framing(framing)
    , m_comm(comm)
    , m_view(view)
    , m_timer(this)
{
    m_timer.setObjectName(QStringLiteral("Timer1"));
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &Poller::timerFired);
    connect(&m_comm, &serial::Comm::OnComm, this, &Poller::Comm1_OnComm);
    connect(&m_comm, &serial::Comm::errorOccurred, this, &Poller::portFault);
}

void Poller::setInterval(std::chrono::milliseconds interval)
{
    m_interval = std::max(interval, std::chrono::milliseconds(1));
    if (m_polling) {
        m_clock.start();
        m_tickNumber = 0;
        scheduleNextTick();
    }
}

void Poller::setRequest(const rtu::Request& request)
{
    m_request = QByteArray(reinterpret_cast<const char*>(request.data()),
                           static_cast<qsizetype>(request.size()));
}

void Poller::setRequest(const QByteArray& request)
{
    m_request = request;
}

void Poller::Start()
{
    if (m_polling)
        return;
    m_polling = true;
    m_clock.start();
    m_tickNumber = 0;
    scheduleNextTick();
}

void Poller::timerFired()
{
    scheduleNextTick();
    Timer1_Timer();
}

void Poller::scheduleNextTick()
{
    // Each tick is due a whole number of intervals after the start, so the
    // timer's own lateness never adds up: after an hour the 3600th tick is
    // still within a few milliseconds of 3600 s.
    const std::int64_t interval = std::chrono::nanoseconds(m_interval).count();
    const std::int64_t now = m_clock.nsecsElapsed();
    ++m_tickNumber;
    if (m_tickNumber * interval - now < interval / 2) {
        // Far behind (the machine slept, a debugger stopped us): skip to a
        // slot at least half an interval away rather than send requests back
        // to back, where the next tick's flush would cut the last one short.
        m_tickNumber = (now + interval / 2) / interval + 1;
    }
    const std::int64_t wait = m_tickNumber * interval - now;
    m_timer.start(std::chrono::milliseconds((wait + 999'999) / 1'000'000)); // never early
}

void Poller::Timer1_Timer()
{
    m_comm.setOutBufferCount(0); // drop anything the last tick could not send
    if (m_framing == Framing::Binary)
        m_comm.setInputMode(serial::InputMode::Binary); // text framing keeps the text mode

    if (!m_comm.PortOpen() && !m_comm.setPortOpen(true))
        return; // nothing sent, nothing counted; the fault is on screen
    if (!m_comm.Output(m_request))
        return;
    // Whatever came before this request, a late or partial reply included,
    // must not count toward its reply.
    m_comm.setInBufferCount(0);
    m_comm.setRThreshold(static_cast<int>(m_framing == Framing::Binary ? rtu::kReplySize
                                                                       : ascii::kReplySize));

    if (!m_faultShown.isEmpty()) {
        m_faultShown.clear();
        m_view.clearPortFault();
    }
    countUp(m_pollCount);
    m_view.setText(Field::Text4, FormatLeadingBlankInteger(m_pollCount));
}

void Poller::Comm1_OnComm()
{
    if (m_framing == Framing::Binary)
        binaryReceived();
    else
        textReceived();
}

void Poller::binaryReceived()
{
    const QByteArray received = m_comm.Input();
    const auto reply = rtu::DecodeReply(
        std::span(reinterpret_cast<const std::uint8_t*>(received.constData()),
                  static_cast<std::size_t>(received.size())));
    if (!reply) {
        qCDebug(lcPoll) << "ignored" << received.size() << "bytes: not a whole reply";
        return;
    }

    showValues(reply->values);
    if (!reply->crcOk) {
        qCDebug(lcPoll) << "CRC mismatch: received" << Qt::hex << reply->received << "computed"
                        << reply->computed;
        countUp(m_errorCount);
    }
    m_view.setText(Field::Text2, FormatPlainInteger(m_errorCount));
}

void Poller::textReceived()
{
    // Whatever is buffered is the reply, read by position from its first
    // character, one character per byte.
    const QByteArray received = m_comm.Input();
    m_view.setText(Field::Text6, FormatFrameText(received));
    const ascii::Reply reply =
        ascii::DecodeReply(std::string_view(received.constData(), static_cast<std::size_t>(received.size())));
    showValues(reply.values);
    if (!reply.lrcOk) {
        qCDebug(lcPoll) << "LRC mismatch: received" << reply.receivedText.c_str() << "computed"
                        << reply.checkText.c_str();
        countUp(m_errorCount);
    }
    m_view.setText(Field::Text2, FormatPlainInteger(m_errorCount));
}

void Poller::showValues(const ChannelValues& values)
{
    m_values = values;
    for (std::size_t i = 0; i < m_values.size(); ++i)
        m_view.setChannelText(static_cast<int>(i), FormatChannelNumber(m_values[i]));
}

void Poller::portFault(serial::CommError, const QString& text)
{
    if (text == m_faultShown)
        return;
    m_faultShown = text;
    m_view.showPortFault(text);
}

} // namespace poll
