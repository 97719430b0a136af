// A connection to an MQTT broker (MQTT 5), on libmosquitto driven through
// its socket by the event loop of the thread it lives on: a socket notifier
// reads and writes, a timer keeps the connection alive. Nothing here waits:
// connecting, sending and a broker that stops reading cost the thread no
// time, so the same code runs on every platform, threads or none.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>
#include <optional>

struct mosquitto;
struct mosquitto_message;
typedef struct mqtt5__property mosquitto_property;

class QSocketNotifier;

namespace acquisition {

class MqttClient : public QObject
{
    Q_OBJECT

public:
    struct Options
    {
        QString host;
        int port = 1883;
        bool tls = false;
        QString caFile; // with tls: the CA to trust; empty: the system's
        QString user;
        QString password;
        QString clientId;
        QString willTopic; // published by the broker if the connection is lost
        QByteArray willPayload;
        int keepAliveSeconds = 10; // a half-open connection is dropped after 1.5 times this
    };

    explicit MqttClient(Options options, QObject* parent = nullptr);
    ~MqttClient() override;

    // Starts connecting; connected() or closed() follows. Each call starts
    // afresh: a connection still there is dropped first.
    void open();
    // Says goodbye to the broker where connected (it then publishes no
    // will), and closes.
    void close();
    bool isConnected() const { return m_connected; }

    // Queues a message; the message id for QoS 1 (delivered() tells its
    // acknowledgement), 0 for QoS 0, nothing if it cannot be queued now.
    std::optional<int> publish(const QString& topic, const QByteArray& payload, int qos,
                               bool retain);
    bool subscribe(const QString& topic);
    // Messages queued and not yet written to the socket.
    bool wantsToWrite() const;

signals:
    void connected();
    // A connection attempt failed, or an open connection ended: `reason` is
    // the broker's or the system's.
    void closed(const QString& reason);
    // The broker acknowledged message `mid`; `refusal` says why it did not
    // take it ("Not authorized"), empty if it did.
    void delivered(int mid, const QString& refusal);
    void received(const QString& topic, const QByteArray& payload, bool retained);

private:
    static void onConnect(mosquitto*, void* self, int reason, int flags, const mosquitto_property*);
    static void onDisconnect(mosquitto*, void* self, int reason, const mosquitto_property*);
    static void onPublish(mosquitto*, void* self, int mid, int reason, const mosquitto_property*);
    static void onMessage(mosquitto*, void* self, const mosquitto_message* message,
                          const mosquitto_property*);
    static void onLog(mosquitto*, void* self, int level, const char* text);

    void readReady();
    void writeReady();
    void keepAlive();
    // After each call into the library: the write notifier follows what it
    // has to send, and a loss it reported closes the connection.
    void afterCall(int result);
    void drop(const QString& reason);
    void teardown();

    Options m_options;
    mosquitto* m_mosq = nullptr;
    std::unique_ptr<QSocketNotifier> m_read, m_write;
    QTimer m_keepAlive;    // the library's pings and retries, once a second
    QTimer m_connectLimit; // no CONNACK in time: the broker is there but not answering
    bool m_connected = false;
    bool m_inCallback = false;
    bool m_closeAfterCall = false; // close() asked inside a callback
    QString m_pendingDrop;         // a loss told inside a library call, acted on after it
    QString m_lastError;           // the library's last error line (a TLS verification, say)
};

} // namespace acquisition
