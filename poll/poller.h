// The once-a-second poll cycle: send the request, take the reply, count the
// requests and the failed checks, and tell whoever listens (the window, the
// recorder, a console, a trend) by signals carrying values, so a listener on
// another thread gets its own copy.
#pragma once

#include "codec/protocol.h"
#include "poll/frametrace.h"
#include "poll/link.h"
#include "poll/sample.h"
#include "poll/wording.h"

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <optional>

namespace poll {

// The module is polled once a second.
constexpr std::chrono::milliseconds kPollInterval{1000};
// After this many polls in a row without a reply the values shown are no
// longer the module's present ones, and the listeners are told.
constexpr int kSilentPolls = 3;

// Binary: Modbus RTU frames with a CRC-16. Text: Modbus ASCII lines with an LRC.
enum class Framing
{
    Binary,
    Text
};

// The request for the module at `address` as it goes on the line: 8 bytes
// in binary framing (the address's low byte first), a text line of 17
// characters in text framing (the low byte as two hex digits).
QByteArray BuildRequest(Framing framing, int address);
// The addresses each framing's start button takes: a byte in binary
// framing; in text framing any number the field can hold that keeps the
// LRC's sum in range, -32768 to 32755.
struct AddressRange
{
    int lowest;
    int highest;
};
AddressRange AddressRangeOf(Framing framing);

// The module address a request goes to, as it stands on the line: the first
// byte of an RTU frame, the two hex digits after the colon of an ASCII line.
// -1 for a request too short or not hex there.
int RequestAddress(Framing framing, const QByteArray& request);

class Poller : public QObject
{
    Q_OBJECT

public:
    Poller(Framing framing, Link& link, QObject* parent = nullptr);

    Framing framing() const { return m_framing; }

    void setInterval(std::chrono::milliseconds interval);
    std::chrono::milliseconds interval() const { return m_interval; }

    // The request sent on every tick from the next one on: 8 bytes, or a text
    // line of one byte a character. A text request is told as well.
    void setRequest(const QByteArray& request);
    const QByteArray& request() const { return m_request; }

    // An adapter that hears its own transmitter puts each request back on the
    // receive line ahead of the reply. With echo on, the receive threshold
    // covers both (8 + 21 bytes, 17 + 43 characters); an echo that is exactly
    // the request is dropped, and anything else in its place fails the reply.
    void setEcho(bool echo) { m_echo = echo; }
    bool echo() const { return m_echo; }

    // The first tick follows one interval after the start, the n-th n
    // intervals after it. Starting again while polling keeps the schedule.
    void start();
    // Sets the request, then starts: the start button's last two steps.
    void start(const QByteArray& request);
    // No more ticks; the port stays as it is.
    void stop();
    bool isPolling() const { return m_polling; }

    std::int32_t pollCount() const { return m_pollCount; }
    std::int32_t errorCount() const { return m_errorCount; }
    const protocol::ChannelValues& channelValues() const { return m_values; }

    // One tick, in its fixed order: drop unsent bytes, open the link if
    // needed, exchange the request for a reply of the framing's length (the
    // link drops what was received and arms the receive event before it
    // sends), count and tell the poll. The timer calls it; a test may call
    // it directly.
    void tick();

signals:
    // A request went out; `count` is the poll count now [Text4].
    void pollSent(std::int32_t count);
    // Text framing: the request line as shown [Text5], whenever it is set.
    void requestTextChanged(const QString& text);
    // A reply was decoded; the counts and values now hold it.
    void replyDecoded(const poll::Sample& sample);
    // Text framing: the reply line as received, as shown [Text6]; told just
    // before replyDecoded.
    void replyTextChanged(const QString& text);
    // The link could not be opened or written, or went away: once per
    // distinct fault, not on every tick.
    void portFault(const poll::LinkFault& fault);
    // Requests reach the port again after a fault.
    void portFaultCleared();
    // The last kSilentPolls polls to the module at `address` had no reply:
    // the values shown are those of the reply at `since` (UTC), or, if the
    // module has not answered since it was chosen, it has been silent from
    // the poll at `since`. Told once, when the count is reached.
    void moduleSilent(int address, const QDateTime& since);
    // The silence told by moduleSilent is over: the module at `address`
    // replied (`answered`, with a good or failed checksum), or another
    // module is polled.
    void moduleSilenceEnded(int address, bool answered);
    // A poll went unanswered: the next tick came first. Told at that tick,
    // before the poll it sends.
    void pollUnanswered(std::int32_t poll);
    // Each frame sent or received, bytes dropped, a poll left unanswered: for
    // --trace. Nothing extra is done for it while nothing is connected.
    void frameTraced(const poll::FrameEvent& event);

private:
    void replyReady();
    void binaryReplyReady(const QByteArray& received, bool echoOk);
    void textReplyReady(const QByteArray& received, bool echoOk);
    void pollWentUnanswered();
    void tellReply(const protocol::ChannelValues& values, bool checksumOk);
    void timerFired();
    void scheduleNextTick();
    void linkFault(const LinkFault& fault);
    bool tracing() const;
    void trace(FrameEvent::Kind kind, const QByteArray& bytes = {}, bool checksumOk = false,
               const QString& note = {});

    Framing m_framing;
    Link& m_link;
    QTimer m_timer;
    QElapsedTimer m_clock;         // runs from start()
    std::int64_t m_tickNumber = 0; // of the tick the timer waits for
    std::chrono::milliseconds m_interval = kPollInterval;
    bool m_polling = false;
    bool m_echo = false;
    bool m_awaitingReply = false;       // the last poll has had no reply yet
    bool m_exchanging = false;          // inside the link's exchange()
    bool m_replyDuringExchange = false; // it came before exchange() returned: taken after
    int m_unanswered = 0;               // polls in a row without a reply from m_address
    QDateTime m_silentSince;            // UTC, of the last reply from m_address, or its first poll

    QByteArray m_request;
    int m_address = -1; // of m_request
    std::int32_t m_pollCount = 0;
    std::int32_t m_errorCount = 0;
    protocol::ChannelValues m_values{};
    std::optional<LinkFault> m_faultTold; // the fault told last, until it clears
};

// What moduleSilent tells, in words: "no reply from module 67 since 14:03:07".
QString ModuleSilentText(int address, const QDateTime& since, Wording wording = Wording::English);

} // namespace poll
