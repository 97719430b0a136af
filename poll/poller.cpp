#include "poll/poller.h"

#include "codec/ascii.h"
#include "codec/rtu.h"
#include "poll/numberformat.h"
#include "poll/tickschedule.h"

#include <QLoggingCategory>
#include <QMetaMethod>

#include <limits>
#include <utility>

Q_LOGGING_CATEGORY(lcPoll, "poll.poller", QtWarningMsg)
// How late each tick's timer woke, for the timing measurements: off unless
// asked for with QT_LOGGING_RULES="poll.timing.*.debug=true".
Q_LOGGING_CATEGORY(lcPollTiming, "poll.timing.tick", QtWarningMsg)

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

QString ModuleSilentText(int address, const QDateTime& since, Wording wording)
{
    return Worded(wording, "poll::Poller",
                  QT_TRANSLATE_NOOP("poll::Poller", "no reply from module %1 since %2"))
        .arg(address)
        .arg(FormatClockTime(since));
}

QByteArray BuildRequest(Framing framing, int address)
{
    if (framing == Framing::Text)
        return QByteArray::fromStdString(ascii::BuildRequest(static_cast<std::int16_t>(address)));
    const rtu::Request request = rtu::BuildRequest(static_cast<std::uint8_t>(address));
    return {reinterpret_cast<const char*>(request.data()), static_cast<qsizetype>(request.size())};
}

AddressRange AddressRangeOf(Framing framing)
{
    // The text request's LRC is formed from address + 12 (function 04 and
    // 8 registers) in a 16-bit sum: 32767 - 12 is the last that holds.
    return framing == Framing::Binary ? AddressRange{0, 255} : AddressRange{-32768, 32767 - 12};
}

int RequestAddress(Framing framing, const QByteArray& request)
{
    if (framing == Framing::Binary)
        return request.isEmpty() ? -1 : static_cast<std::uint8_t>(request[0]);
    bool ok = false;
    const int address = request.mid(1, 2).toInt(&ok, 16);
    return ok && request.startsWith(':') && request.size() >= 3 ? address : -1;
}

Poller::Poller(Framing framing, Link& link, QObject* parent)
    : QObject(parent), m_framing(framing), m_link(link), m_timer(this)
{
    m_timer.setObjectName(QStringLiteral("Timer1"));
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &Poller::timerFired);
    connect(&m_link, &Link::replyReady, this, &Poller::replyReady);
    connect(&m_link, &Link::errorOccurred, this, &Poller::linkFault);
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

void Poller::setRequest(const QByteArray& request)
{
    m_request = request;
    const int address = RequestAddress(m_framing, request);
    if (address != m_address) {
        // Another module: its silence starts with its first poll, and one
        // told of the last module is over. A poll to the last module still
        // waiting for its reply does not count against this one.
        m_silentSince = {};
        if (m_unanswered >= kSilentPolls)
            emit moduleSilenceEnded(m_address, false);
        m_unanswered = m_awaitingReply ? -1 : 0;
    }
    m_address = address;
    if (m_framing == Framing::Text)
        emit requestTextChanged(FormatFrameText(m_request));
}

void Poller::start()
{
    if (m_polling)
        return;
    m_polling = true;
    m_clock.start();
    m_tickNumber = 0;
    scheduleNextTick();
}

void Poller::start(const QByteArray& request)
{
    setRequest(request);
    start();
}

void Poller::stop()
{
    m_polling = false;
    m_timer.stop();
}

void Poller::timerFired()
{
    if (lcPollTiming().isDebugEnabled()) {
        const auto due = std::chrono::nanoseconds(m_interval) * m_tickNumber;
        const auto now = std::chrono::steady_clock::now().time_since_epoch();
        qCDebug(lcPollTiming, "tick %lld woke %.3f ms after its time, at %lld ns",
                static_cast<long long>(m_tickNumber),
                static_cast<double>(m_clock.nsecsElapsed() - due.count()) / 1e6,
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()));
    }
    scheduleNextTick();
    tick();
}

void Poller::scheduleNextTick()
{
    const NextTick next = ScheduleNextTick(m_tickNumber, m_interval,
                                           std::chrono::nanoseconds(m_clock.nsecsElapsed()));
    m_tickNumber = next.number;
    m_timer.start(std::chrono::ceil<std::chrono::milliseconds>(next.wait)); // never early
}

void Poller::tick()
{
    m_link.clearOutput(); // drop anything the last tick could not send
    if (!m_link.isOpen() && !m_link.open())
        return; // nothing sent, nothing counted; the fault is on screen
    if (m_awaitingReply) {
        m_awaitingReply = false;
        pollWentUnanswered();
    }
    // Whatever came before this request, a late or partial reply included,
    // must not count toward its reply: the exchange drops it.
    if (tracing()) {
        if (const QByteArray stale = m_link.takeAll(); !stale.isEmpty())
            trace(FrameEvent::Kind::Dropped, stale, false,
                  QStringLiteral("flushed before the send"));
    }
    const auto replySize =
        static_cast<int>(m_framing == Framing::Binary ? rtu::kReplySize : ascii::kReplySize);
    m_exchanging = true;
    const bool sent =
        m_link.exchange(m_request, replySize + (m_echo ? static_cast<int>(m_request.size()) : 0));
    m_exchanging = false;
    if (!sent) {
        m_replyDuringExchange = false;
        return;
    }
    m_awaitingReply = true;
    if (!m_silentSince.isValid())
        m_silentSince = QDateTime::currentDateTimeUtc(); // no reply from this module yet

    if (m_faultTold) {
        m_faultTold.reset();
        emit portFaultCleared();
    }
    countUp(m_pollCount);
    trace(FrameEvent::Kind::Sent, m_request);
    emit pollSent(m_pollCount);
    // A reply that came back before the exchange returned belongs to this
    // poll: taken now that the poll is counted and told.
    if (std::exchange(m_replyDuringExchange, false))
        replyReady();
}

void Poller::replyReady()
{
    if (m_exchanging) {
        m_replyDuringExchange = true;
        return;
    }
    QByteArray received = m_link.takeAll();
    bool echoOk = true;
    if (m_echo) {
        // Whatever stands where the echo should be goes, matching or not: a
        // collision or a damaged echo leaves the reply after it unreliable.
        echoOk = received.startsWith(m_request);
        if (!echoOk)
            qCDebug(lcPoll) << "echo does not match the request:"
                            << received.left(m_request.size()).toHex(' ');
        else
            trace(FrameEvent::Kind::Dropped, m_request, false, QStringLiteral("echo"));
        if (!echoOk && tracing())
            trace(FrameEvent::Kind::Received, received, false,
                  QStringLiteral("not the echo of the request"));
        received.remove(0, m_request.size());
    }
    if (m_framing == Framing::Binary)
        binaryReplyReady(received, echoOk);
    else
        textReplyReady(received, echoOk);
}

void Poller::binaryReplyReady(const QByteArray& received, bool echoOk)
{
    const auto reply =
        rtu::DecodeReply(std::span(reinterpret_cast<const std::uint8_t*>(received.constData()),
                                   static_cast<std::size_t>(received.size())));
    if (!reply) {
        qCDebug(lcPoll) << "ignored" << received.size() << "bytes: not a whole reply";
        trace(FrameEvent::Kind::Dropped, received, false, QStringLiteral("not a whole reply"));
        return;
    }
    if (echoOk)
        trace(FrameEvent::Kind::Received, received, reply->crcOk);

    if (!reply->crcOk)
        qCDebug(lcPoll) << "CRC mismatch: received" << Qt::hex << reply->received << "computed"
                        << reply->computed;
    tellReply(reply->values, reply->crcOk && echoOk);
}

void Poller::textReplyReady(const QByteArray& received, bool echoOk)
{
    // Whatever is buffered is the reply, read by position from its first
    // character, one character per byte.
    const ascii::Reply reply = ascii::DecodeReply(
        std::string_view(received.constData(), static_cast<std::size_t>(received.size())));
    if (!reply.lrcOk)
        qCDebug(lcPoll) << "LRC mismatch: received" << reply.receivedText.c_str() << "computed"
                        << reply.checkText.c_str();
    if (echoOk)
        trace(FrameEvent::Kind::Received, received, reply.lrcOk);
    emit replyTextChanged(FormatFrameText(received));
    tellReply(reply.values, reply.lrcOk && echoOk);
}

void Poller::pollWentUnanswered()
{
    trace(FrameEvent::Kind::Unanswered);
    emit pollUnanswered(m_pollCount);
    if (m_unanswered < kSilentPolls && ++m_unanswered == kSilentPolls)
        emit moduleSilent(m_address, m_silentSince);
}

void Poller::tellReply(const protocol::ChannelValues& values, bool checksumOk)
{
    m_awaitingReply = false;
    if (m_unanswered >= kSilentPolls)
        emit moduleSilenceEnded(m_address, true);
    m_unanswered = 0;
    m_values = values;
    if (!checksumOk)
        countUp(m_errorCount);
    const Sample sample{QDateTime::currentMSecsSinceEpoch(),  m_values,  m_pollCount, m_errorCount,
                        static_cast<std::int16_t>(m_address), checksumOk};
    m_silentSince = QDateTime::fromMSecsSinceEpoch(sample.timeMs, Qt::UTC);
    emit replyDecoded(sample);
}

void Poller::linkFault(const LinkFault& fault)
{
    if (fault == m_faultTold)
        return;
    m_faultTold = fault;
    emit portFault(fault);
}

bool Poller::tracing() const
{
    return isSignalConnected(QMetaMethod::fromSignal(&Poller::frameTraced));
}

void Poller::trace(FrameEvent::Kind kind, const QByteArray& bytes, bool checksumOk,
                   const QString& note)
{
    if (tracing())
        emit frameTraced(FrameEvent{kind, m_pollCount, bytes, checksumOk, note});
}

} // namespace poll
