// The once-a-second poll cycle: send the request, take the reply, show the
// values and count the requests and the failed checks.
#pragma once

#include "codec/ascii.h"
#include "codec/rtu.h"
#include "poll/pollview.h"
#include "serial/comm.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstdint>

namespace poll {

constexpr std::chrono::milliseconds kPollInterval{1000};
constexpr int kCommPort = 1;
inline const QString kLineSettings = QStringLiteral("9600,N,8,1");

// Binary: Modbus RTU frames with a CRC-16. Text: Modbus ASCII lines with an LRC.
enum class Framing { Binary, Text };

class Poller : public QObject
{
    Q_OBJECT

public:
    Poller(Framing framing, serial::Comm& comm, PollView& view, QObject* parent = nullptr);

    Framing framing() const { return m_framing; }

    // Interval of the poll timer; the programs use kPollInterval, tests a
    // shorter one.
    void setInterval(std::chrono::milliseconds interval);
    std::chrono::milliseconds interval() const { return m_interval; }

    void setRequest(const rtu::Request& request);
    void setRequest(const QByteArray& request); // a text request, one byte per character
    const QByteArray& request() const { return m_request; }

    // Enables the poll timer: the first tick follows one interval later, the
    // n-th n intervals after the start. Starting again while polling keeps
    // the running schedule.
    void Start();
    bool isPolling() const { return m_polling; }

    std::int32_t pollCount() const { return m_pollCount; }
    std::int32_t errorCount() const { return m_errorCount; }
    using ChannelValues = std::array<float, 8>;
    const ChannelValues& channelValues() const { return m_values; }

    void Timer1_Timer();
    void Comm1_OnComm();

private:
    void binaryReceived();
    void textReceived();
    void showValues(const ChannelValues& values);
    void timerFired();
    void scheduleNextTick();
    void portFault(serial::CommError error, const QString& text);

    Framing m_framing;
    serial::Comm& m_comm;
    PollView& m_view;
    QTimer m_timer;
    QElapsedTimer m_clock;         // runs from Start()
    std::int64_t m_tickNumber = 0; // number of the tick the timer waits for
    std::chrono::milliseconds m_interval = kPollInterval;
    bool m_polling = false;

    QByteArray m_request;
    std::int32_t m_pollCount = 0;
    std::int32_t m_errorCount = 0;
    ChannelValues m_values{};
    QString m_faultShown; // the fault the view shows now, empty if none
};

} // namespace poll
