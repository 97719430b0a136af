#include "acquisition/mqttclient.h"

#include <QLoggingCategory>
#include <QSocketNotifier>

#include <mosquitto.h>
#include <mqtt_protocol.h>
#ifdef POLL_OPENSSL_THREAD_STOP
#include <openssl/crypto.h>
#endif

#include <cerrno>
#include <cstring>
#include <mutex>

Q_LOGGING_CATEGORY(lcMqtt, "poll.mqtt", QtWarningMsg)

namespace acquisition {
namespace {

// Without an answer to CONNECT in this time the broker is taken as not
// answering: a process stopped with its socket still open accepts the
// connection in the kernel and never replies.
constexpr int kConnectLimitMs = 10'000;

void InitLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

} // namespace

MqttClient::MqttClient(Options options, QObject* parent)
    : QObject(parent), m_options(std::move(options)), m_keepAlive(this), m_connectLimit(this)
{
    m_keepAlive.setInterval(1000);
    connect(&m_keepAlive, &QTimer::timeout, this, &MqttClient::keepAlive);
    m_connectLimit.setSingleShot(true);
    connect(&m_connectLimit, &QTimer::timeout, this, [this] {
        drop(QStringLiteral("the broker accepted the connection but does not answer"));
    });
}

MqttClient::~MqttClient()
{
    teardown();
#ifdef POLL_OPENSSL_THREAD_STOP
    // What TLS left with this thread (its random generators, its error
    // queue) is freed now, not when the thread ends: QThread::wait() returns
    // before that, and the program may be gone by then.
    OPENSSL_thread_stop();
#endif
}

void MqttClient::open()
{
    teardown();
    InitLibrary();
    m_lastError.clear();
    const QByteArray id = m_options.clientId.toUtf8();
    m_mosq = mosquitto_new(id.isEmpty() ? nullptr : id.constData(), true, this);
    if (!m_mosq) {
        drop(QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect_v5_callback_set(m_mosq, &MqttClient::onConnect);
    mosquitto_disconnect_v5_callback_set(m_mosq, &MqttClient::onDisconnect);
    mosquitto_publish_v5_callback_set(m_mosq, &MqttClient::onPublish);
    mosquitto_message_v5_callback_set(m_mosq, &MqttClient::onMessage);
    mosquitto_log_callback_set(m_mosq, &MqttClient::onLog);
    if (!m_options.user.isEmpty())
        mosquitto_username_pw_set(
            m_mosq, m_options.user.toUtf8().constData(),
            m_options.password.isEmpty() ? nullptr : m_options.password.toUtf8().constData());
    if (!m_options.willTopic.isEmpty())
        mosquitto_will_set(m_mosq, m_options.willTopic.toUtf8().constData(),
                           static_cast<int>(m_options.willPayload.size()),
                           m_options.willPayload.constData(), 1, true);
    if (m_options.tls) {
        int rc = MOSQ_ERR_SUCCESS;
        if (m_options.caFile.isEmpty())
            rc = mosquitto_int_option(m_mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        else
            rc = mosquitto_tls_set(m_mosq, m_options.caFile.toLocal8Bit().constData(), nullptr,
                                   nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            drop(QStringLiteral("TLS: %1").arg(QString::fromUtf8(mosquitto_strerror(rc))));
            return;
        }
    }
    // The name is looked up here, the connection itself goes on in the
    // background: this thread is the publisher's own, never the poll's.
    const int rc = mosquitto_connect_async(m_mosq, m_options.host.toUtf8().constData(),
                                           m_options.port, m_options.keepAliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) {
        // A handshake may fail within the call: OpenSSL's own line says why.
        if (rc == MOSQ_ERR_ERRNO)
            drop(QString::fromLocal8Bit(std::strerror(errno)));
        else if (rc == MOSQ_ERR_TLS && !m_lastError.isEmpty())
            drop(m_lastError);
        else
            drop(QString::fromUtf8(mosquitto_strerror(rc)));
        return;
    }
    const int socket = mosquitto_socket(m_mosq);
    m_read = std::make_unique<QSocketNotifier>(socket, QSocketNotifier::Read);
    m_write = std::make_unique<QSocketNotifier>(socket, QSocketNotifier::Write);
    connect(m_read.get(), &QSocketNotifier::activated, this, &MqttClient::readReady);
    connect(m_write.get(), &QSocketNotifier::activated, this, &MqttClient::writeReady);
    m_write->setEnabled(mosquitto_want_write(m_mosq));
    m_keepAlive.start();
    m_connectLimit.start(kConnectLimitMs);
}

void MqttClient::close()
{
    if (m_inCallback) {
        // The library calls us back holding its callback lock, and writing
        // the DISCONNECT takes that lock again: a slot of delivered() that
        // closes (the last acknowledgement at the end of a run) would wait
        // on itself for ever. Closed as soon as the library call returns.
        m_closeAfterCall = true;
        return;
    }
    m_closeAfterCall = false;
    if (m_mosq && m_connected) {
        mosquitto_disconnect_v5(m_mosq, MQTT_RC_NORMAL_DISCONNECTION, nullptr);
        mosquitto_loop_write(m_mosq, 1); // the DISCONNECT, if the socket takes it
    }
    teardown();
}

std::optional<int> MqttClient::publish(const QString& topic, const QByteArray& payload, int qos,
                                       bool retain)
{
    if (!m_mosq || !m_connected)
        return std::nullopt;
    int mid = 0;
    const int rc = mosquitto_publish_v5(m_mosq, &mid, topic.toUtf8().constData(),
                                        static_cast<int>(payload.size()), payload.constData(), qos,
                                        retain, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
        qCDebug(lcMqtt) << "publish refused:" << mosquitto_strerror(rc);
        if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_ERRNO)
            drop(QString::fromUtf8(mosquitto_strerror(rc)));
        return std::nullopt;
    }
    afterCall(MOSQ_ERR_SUCCESS);
    return qos > 0 ? mid : 0;
}

bool MqttClient::subscribe(const QString& topic)
{
    if (!m_mosq || !m_connected)
        return false;
    const int rc =
        mosquitto_subscribe_v5(m_mosq, nullptr, topic.toUtf8().constData(), 1, 0, nullptr);
    afterCall(MOSQ_ERR_SUCCESS);
    return rc == MOSQ_ERR_SUCCESS;
}

bool MqttClient::wantsToWrite() const
{
    return m_mosq && mosquitto_want_write(m_mosq);
}

void MqttClient::readReady()
{
    if (m_mosq)
        afterCall(mosquitto_loop_read(m_mosq, 1));
}

void MqttClient::writeReady()
{
    if (!m_mosq)
        return;
    // A TLS handshake in progress is driven by the library's read step, and
    // waits for the socket to take its first bytes just as a packet does.
    int rc = mosquitto_loop_write(m_mosq, 1);
    if (rc == MOSQ_ERR_SUCCESS && m_mosq && m_options.tls && !m_connected)
        rc = mosquitto_loop_read(m_mosq, 1);
    afterCall(rc);
}

void MqttClient::keepAlive()
{
    if (m_mosq)
        afterCall(mosquitto_loop_misc(m_mosq));
}

void MqttClient::afterCall(int result)
{
    if (!m_mosq)
        return;
    if (m_closeAfterCall && !m_inCallback) {
        m_pendingDrop.clear(); // closing anyway: nobody waits for closed()
        close();
        return;
    }
    if (result != MOSQ_ERR_SUCCESS && m_pendingDrop.isEmpty()) {
        if (result == MOSQ_ERR_ERRNO)
            m_pendingDrop = QString::fromLocal8Bit(std::strerror(errno));
        else if ((result == MOSQ_ERR_TLS || result == MOSQ_ERR_TLS_HANDSHAKE) &&
                 !m_lastError.isEmpty())
            m_pendingDrop = m_lastError;
        else
            m_pendingDrop = QString::fromUtf8(mosquitto_strerror(result));
    }
    if (!m_pendingDrop.isEmpty()) {
        drop(std::exchange(m_pendingDrop, QString()));
        return;
    }
    if (m_write)
        m_write->setEnabled(mosquitto_want_write(m_mosq));
}

void MqttClient::drop(const QString& reason)
{
    if (m_inCallback) {
        if (m_pendingDrop.isEmpty())
            m_pendingDrop = reason;
        return;
    }
    const bool wasOpen = m_mosq != nullptr;
    teardown();
    if (wasOpen || !reason.isEmpty()) {
        qCDebug(lcMqtt) << "closed:" << reason;
        // From the event loop: whoever listens may open again at once.
        QTimer::singleShot(0, this, [this, reason] { emit closed(reason); });
    }
}

void MqttClient::teardown()
{
    m_keepAlive.stop();
    m_connectLimit.stop();
    m_read.reset();
    m_write.reset();
    m_connected = false;
    if (m_mosq) {
        mosquitto_destroy(m_mosq);
        m_mosq = nullptr;
    }
}

void MqttClient::onConnect(mosquitto*, void* self, int reason, int, const mosquitto_property*)
{
    auto* client = static_cast<MqttClient*>(self);
    if (reason != 0) {
        // MQTT 5's reason: "Bad user name or password", "Not authorized".
        client->m_pendingDrop = QStringLiteral("the broker refused the connection: %1")
                                    .arg(QString::fromUtf8(mosquitto_reason_string(reason)));
        return;
    }
    client->m_connected = true;
    client->m_connectLimit.stop();
    client->m_inCallback = true;
    emit client->connected();
    client->m_inCallback = false;
}

void MqttClient::onDisconnect(mosquitto*, void* self, int reason, const mosquitto_property*)
{
    auto* client = static_cast<MqttClient*>(self);
    if (!client->m_pendingDrop.isEmpty())
        return; // already told why
    QString why;
    if (reason == MOSQ_ERR_ERRNO)
        why = QString::fromLocal8Bit(std::strerror(errno));
    else if ((reason == MOSQ_ERR_TLS || reason == MOSQ_ERR_TLS_HANDSHAKE) &&
             !client->m_lastError.isEmpty())
        why = client->m_lastError;
    else if (reason == MOSQ_ERR_KEEPALIVE)
        why = QStringLiteral("the broker stopped answering");
    else if (reason > MOSQ_ERR_ALREADY_EXISTS || reason == MOSQ_ERR_SUCCESS)
        why = QString::fromUtf8(mosquitto_reason_string(reason)); // the broker's DISCONNECT
    else
        why = QString::fromUtf8(mosquitto_strerror(reason));
    client->m_pendingDrop = why.isEmpty() ? QStringLiteral("connection lost") : why;
}

void MqttClient::onPublish(mosquitto*, void* self, int mid, int reason, const mosquitto_property*)
{
    auto* client = static_cast<MqttClient*>(self);
    // "No matching subscribers" is still taken.
    const bool taken = reason < 0x80;
    client->m_inCallback = true;
    emit client->delivered(mid,
                           taken ? QString() : QString::fromUtf8(mosquitto_reason_string(reason)));
    client->m_inCallback = false;
}

void MqttClient::onMessage(mosquitto*, void* self, const mosquitto_message* message,
                           const mosquitto_property*)
{
    auto* client = static_cast<MqttClient*>(self);
    client->m_inCallback = true;
    emit client->received(
        QString::fromUtf8(message->topic),
        QByteArray(static_cast<const char*>(message->payload), message->payloadlen),
        message->retain);
    client->m_inCallback = false;
}

void MqttClient::onLog(mosquitto*, void* self, int level, const char* text)
{
    // The library tells what OpenSSL said of a certificate only here.
    if (level & MOSQ_LOG_ERR)
        static_cast<MqttClient*>(self)->m_lastError = QString::fromUtf8(text);
    qCDebug(lcMqtt) << text;
}

} // namespace acquisition
