// The values leave the desk: each decoded reply published to a plant's MQTT
// broker, one more listener of the poller beside the window and the
// recorder. The publisher runs on a thread of its own, so neither a slow
// name lookup nor a broker that stops reading ever holds a request back,
// and keeps what it could not send yet in a bounded outbox, oldest first.
//
//   PREFIX/reading  every reading, QoS 1, one JSON object
//   PREFIX/ch0..7   the last value of each channel, retained
//   PREFIX/status   online, offline (the will, and a clean exit), or the
//                   port's fault; retained
#pragma once

#include "acquisition/mqttclient.h"
#include "poll/link.h"
#include "poll/sample.h"
#include "poll/wording.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <deque>
#include <optional>
#include <variant>

namespace acquisition {

struct PublishSettings
{
    MqttClient::Options broker;
    QString prefix;  // the topics' first levels: "plant/line3"
    QString where;   // the broker as told in messages: "mqtt://broker.local:1883/plant/line3"
    QString program; // named in each reading: "autopoll"
    QString port;    // the device polled, named in each reading
};

// What --publish and its companions give, as read from the command line.
struct PublishOptions
{
    QString url;          // mqtt://host[:port]/PREFIX or mqtts://...
    QString user;         // --publish-user; else $POLL_MQTT_USER
    QString passwordFile; // --publish-password-file; else $POLL_MQTT_PASSWORD
    QString caFile;       // --publish-ca: mqtts only
    QString clientId;     // --publish-client-id; else one stable per program, port and host
    QString program;
    QString port;
    QString named = QStringLiteral("--publish"); // the URL, as refusals name it
};

// The settings, or why they cannot be used: a URL that is not one, a
// password in it (it would show in the process list), a password file that
// others may read.
std::variant<PublishSettings, QString> ReadPublishSettings(const PublishOptions& options);

// Why readings do not reach the broker, in parts, worded for standard error
// (English) or the window (its translation).
struct PublishFault
{
    enum class Kind
    {
        Unreachable, // no connection: `reason` is the system's or the broker's
        Refused,     // the broker took the connection but refused `topic`
        Overflow,    // the outbox was full: the oldest readings went
    };
    Kind kind = Kind::Unreachable;
    QString where; // the broker: "mqtt://broker.local:1883/plant/line3"
    QString topic;
    QString reason;

    QString text(poll::Wording wording = poll::Wording::English) const;
    friend bool operator==(const PublishFault&, const PublishFault&) = default;
};

// A reading as it goes to PREFIX/reading.
QByteArray ReadingJson(const poll::Sample& sample, const QString& program, const QString& port);

class Publisher : public QObject
{
    Q_OBJECT

public:
    // More than 24 hours at one reading a second (86,400), at 56 bytes a
    // reading 5.6 MB; past it the oldest go, counted.
    static constexpr qsizetype kOutboxCapacity = 100'000;
    // Readings sent and not yet acknowledged: enough for a broker a network
    // away, few enough that a stalled one holds no more than these.
    static constexpr int kInFlight = 16;

    explicit Publisher(PublishSettings settings, QObject* parent = nullptr);

    // Readings not yet acknowledged by the broker, and those dropped from a
    // full outbox or refused by the broker.
    qsizetype pending() const { return static_cast<qsizetype>(m_outbox.size()); }
    qint64 lost() const { return m_dropped + m_refused; }

public slots:
    void start();
    void publish(const poll::Sample& sample);
    void portFault(const poll::LinkFault& fault);
    void portFaultCleared();
    // Sends what is left, for at most `withinMs`, says offline and closes;
    // finished() follows.
    void finish(int withinMs);

signals:
    // Publishing does not work now, and why ("Connection refused", the
    // broker's "Bad user name or password", a refused topic, a full outbox);
    // told once a reason, and cleared once readings go out again.
    void fault(const acquisition::PublishFault& fault);
    void faultCleared();
    void finished();

private:
    void connected();
    void closed(const QString& reason);
    void delivered(int mid, const QString& refusal);
    void reconnect();
    void send();
    void publishStatus();
    void tell(const PublishFault& what);
    void end();

    struct Entry
    {
        poll::Sample sample;
        int mid = -1; // sent with this id, waiting for the broker's acknowledgement
        bool acknowledged = false;
    };

    PublishSettings m_settings;
    MqttClient m_client;
    QTimer m_retry;
    std::chrono::milliseconds m_backoff{1000}; // 1 s, doubled each failure up to 60 s
    std::deque<Entry> m_outbox;
    qsizetype m_sent = 0; // entries at the front sent on this connection
    qint64 m_dropped = 0;
    qint64 m_refused = 0;
    QString m_status = QStringLiteral("online");
    std::optional<PublishFault> m_told; // the fault told last, until publishing works again
    bool m_finishing = false;
    QTimer m_finishLimit;
};

// The publisher's thread and its end: built on the starting thread like the
// acquisition; destroyed, it gives the publisher a moment to send what it
// holds, then ends the thread.
class PublisherThread : public QObject
{
    Q_OBJECT

public:
    explicit PublisherThread(PublishSettings settings);
    ~PublisherThread() override;

    // For connecting to its slots and signals: it lives on the thread.
    Publisher& publisher() { return *m_publisher; }
    void addListener(QObject* listener) { m_listeners.append(listener); }

    // Sends what is left (for at most `within`), says offline and ends the
    // thread. Waits for it: called when the program ends.
    void finish(std::chrono::milliseconds within);
    // After finish(): every reading went out and the broker took it.
    bool allSent() const { return m_unsent == 0; }

signals:
    void finishAsked(int withinMs);

private:
    QThread m_thread;
    Publisher* m_publisher; // on m_thread; deleted there when it finishes
    QList<QPointer<QObject>> m_listeners;
    bool m_finished = false;
    // Readings not taken, written on the publisher's thread as it ends; -1
    // until it has.
    std::atomic<qsizetype> m_unsent = -1;
};

} // namespace acquisition

Q_DECLARE_METATYPE(acquisition::PublishFault)
