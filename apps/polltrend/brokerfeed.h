// A station's live trend from a plant's MQTT broker, as a poller publishes
// it (acquisition/publisher.h): the retained channel values at once, then
// each reading as it comes, and the station's status. The connection runs on
// a thread of its own, so a slow name lookup or a broker that has gone never
// freezes the window; the window's thread only puts what it is told into
// the history.
#pragma once

#include "acquisition/mqttclient.h"
#include "acquisition/publisher.h"
#include "poll/history.h"
#include "poll/sample.h"
#include "polltrend/spacing.h"

#include <QObject>
#include <QString>
#include <QThread>
#include <QTimer>
#include <QWidget>

#include <array>
#include <chrono>
#include <cstddef>
#include <optional>
#include <variant>

class QLabel;

namespace ui {
class TrendView;
}

namespace polltrend {

// Why a message gave no sample. Each is counted; none stops the feed.
enum class Malformed
{
    TooLong,      // over kMaxMessageBytes: nothing a station sends
    NotJson,      // not a JSON object
    MissingField, // time, polls, errors, checksum_ok, values (eight) or address missing or
                  // of the wrong kind
    BadTime,      // not an ISO 8601 time with its offset
    BadNumber,    // a count not a whole number 0..2147483647, an address not 0..255 or null,
                  // a value (or a retained channel's) not a finite float
};
constexpr std::size_t kMalformedCount = 5;
// A reading is about 200 bytes; a whole recording's line at most 4096.
constexpr qsizetype kMaxMessageBytes = 4096;

// What PREFIX/reading carries, read back: the sample, or why not.
std::variant<poll::Sample, Malformed> ReadReading(QByteArrayView payload);

// The poll count of the first sample, made of the retained channel values:
// not known, so no line joins it to the first reading.
constexpr std::int32_t kPollsUnknown = -1;

// On the feed's thread: the connection, its retries, and the messages read.
class BrokerLink : public QObject
{
    Q_OBJECT

public:
    explicit BrokerLink(acquisition::PublishSettings settings, QObject* parent = nullptr);
    ~BrokerLink() override;

    void start();

signals:
    void reading(const poll::Sample& sample);
    // All eight retained channel values of a new connection, as one sample
    // at the time the last of them came, its poll count kPollsUnknown.
    void retained(const poll::Sample& sample);
    void malformed(int reason); // a Malformed
    void status(const QString& text);
    // Why the station cannot be read now; empty once it can.
    void fault(const QString& text);

private:
    void connected();
    void closed(const QString& reason);
    void received(const QString& name, const QByteArray& payload, bool isRetained);
    QString topic(const QString& leaf) const { return m_settings.prefix + u'/' + leaf; }

    acquisition::PublishSettings m_settings;
    acquisition::MqttClient m_client;
    QTimer m_retry;
    std::chrono::milliseconds m_backoff{1000};      // 1 s, doubled each failure up to 60 s
    std::array<std::optional<float>, 8> m_channels; // retained values of this connection
    bool m_toldRetained = false;
};

// On the window's thread: the link's thread, and what it tells put into a
// history, with what the line under the plot says.
class BrokerFeed : public QObject
{
    Q_OBJECT

public:
    // Starts reading at once. `history` outlives the feed.
    BrokerFeed(acquisition::PublishSettings settings, poll::History& history,
               QObject* parent = nullptr);
    ~BrokerFeed() override;

    // "mqtt://broker.local:1883/plant/line3 — station: online; 37 readings,
    // 2 skipped (1 not JSON, 1 a count or value not a number in range)".
    QString summary() const;
    // The connection's fault, else the station's port fault; empty if neither.
    QString fault() const;
    const QString& where() const { return m_where; }
    qint64 skipped(Malformed reason) const { return m_skipped[static_cast<std::size_t>(reason)]; }

signals:
    void changed();

private:
    void takeReading(const poll::Sample& sample);
    void takeRetained(const poll::Sample& sample);

    poll::History& m_history;
    QString m_where;
    SpacingMedian m_spacing;
    bool m_provisional = false; // the history holds the retained values alone
    qint64 m_readings = 0;
    qint64 m_repeated = 0; // the same reading again: QoS 1 delivers at least once
    std::array<qint64, kMalformedCount> m_skipped{};
    QString m_status;
    QString m_linkFault;
    QThread m_thread;
    BrokerLink* m_link; // on m_thread; deleted there when it ends
};

// The window: the trend, and under it what the feed says.
class BrokerWindow : public QWidget
{
    Q_OBJECT

public:
    BrokerWindow(acquisition::PublishSettings settings, poll::History& history,
                 QWidget* parent = nullptr);

    ui::TrendView& view() { return *m_view; }
    const BrokerFeed& feed() const { return m_feed; }

private:
    void refresh();

    ui::TrendView* m_view;
    QLabel* m_summary;
    QString m_said; // the fault last said on standard error
    BrokerFeed m_feed;
};

} // namespace polltrend
