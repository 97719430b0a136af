#include "acquisition/publisher.h"

#include "poll/csvformat.h"
#include "poll/numberformat.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSysInfo>
#include <QUrl>

#include <algorithm>

Q_DECLARE_LOGGING_CATEGORY(lcMqtt)

namespace acquisition {
namespace {

constexpr std::chrono::milliseconds kLongestBackoff{60'000};

QString Topic(const PublishSettings& settings, const char* leaf)
{
    return settings.prefix + u'/' + QLatin1String(leaf);
}

// What may stand in a client id everywhere: letters, digits, - and _.
QString IdPart(QString text)
{
    for (QChar& c : text)
        if (!c.isLetterOrNumber() && c != u'-' && c != u'_')
            c = u'_';
    return text;
}

} // namespace

std::variant<PublishSettings, QString> ReadPublishSettings(const PublishOptions& options)
{
    const QUrl url(options.url, QUrl::StrictMode);
    const QString scheme = url.scheme();
    if (!url.isValid() || (scheme != u"mqtt" && scheme != u"mqtts") || url.host().isEmpty())
        return QStringLiteral("%1 must be mqtt://HOST[:PORT]/TOPIC-PREFIX or mqtts://..., "
                              "not '%2'")
            .arg(options.named, options.url);
    if (!url.password().isEmpty())
        return QStringLiteral("%1: a password in the URL would show in the process list; "
                              "give it with --publish-password-file FILE or in POLL_MQTT_PASSWORD")
            .arg(options.named);
    if (!url.userName().isEmpty())
        return QStringLiteral("%1: give the user with --publish-user NAME or in "
                              "POLL_MQTT_USER, not in the URL")
            .arg(options.named);
    QString prefix = url.path();
    while (prefix.startsWith(u'/'))
        prefix.remove(0, 1);
    while (prefix.endsWith(u'/'))
        prefix.chop(1);
    if (prefix.isEmpty() || prefix.contains(u'+') || prefix.contains(u'#') || url.hasQuery() ||
        url.hasFragment())
        return QStringLiteral("%1 needs a topic prefix after the host, without + or #: "
                              "mqtt://%2/plant/line3")
            .arg(options.named, url.host());
    if (!options.caFile.isEmpty() && scheme != u"mqtts")
        return QStringLiteral("--publish-ca is for mqtts:// only");

    PublishSettings settings;
    settings.prefix = prefix;
    settings.program = options.program;
    settings.port = options.port;
    MqttClient::Options& broker = settings.broker;
    broker.tls = scheme == u"mqtts";
    broker.host = url.host();
    broker.port = url.port(broker.tls ? 8883 : 1883);
    broker.caFile = options.caFile;
    if (!broker.caFile.isEmpty() && !QFileInfo(broker.caFile).isReadable())
        return QStringLiteral("--publish-ca %1: cannot read it").arg(broker.caFile);
    broker.user = !options.user.isEmpty() ? options.user : qEnvironmentVariable("POLL_MQTT_USER");
    if (!options.passwordFile.isEmpty()) {
        QFile file(options.passwordFile);
        if (!file.open(QIODevice::ReadOnly))
            return QStringLiteral("--publish-password-file %1: %2")
                .arg(options.passwordFile, file.errorString());
#ifndef Q_OS_WIN
        // Windows' permissions are not Unix modes; there the file's folder guards it.
        if (file.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther))
            return QStringLiteral("--publish-password-file %1: others may read it; make it the "
                                  "owner's alone (chmod 600 %1)")
                .arg(options.passwordFile);
#endif
        broker.password = QString::fromUtf8(file.readLine(4096)).trimmed();
    } else {
        broker.password = qEnvironmentVariable("POLL_MQTT_PASSWORD");
    }
    if (!broker.password.isEmpty() && broker.user.isEmpty())
        return QStringLiteral("%1: a password without a user; give --publish-user NAME")
            .arg(options.named);
    broker.clientId = !options.clientId.isEmpty()
                          ? options.clientId
                          : QStringLiteral("%1-%2-%3")
                                .arg(options.program, IdPart(QSysInfo::machineHostName()),
                                     IdPart(QFileInfo(options.port).fileName()));
    broker.willTopic = Topic(settings, "status");
    broker.willPayload = "offline";
    settings.where =
        QStringLiteral("%1://%2:%3/%4").arg(scheme, broker.host).arg(broker.port).arg(prefix);
    return settings;
}

QString PublishFault::text(poll::Wording wording) const
{
    const char* const context = "acquisition::PublishFault";
    switch (kind) {
    case Kind::Unreachable:
        return poll::Worded(
                   wording, context,
                   QT_TRANSLATE_NOOP("acquisition::PublishFault", "cannot publish to %1: %2"))
            .arg(where, reason);
    case Kind::Refused:
        return poll::Worded(wording, context,
                            QT_TRANSLATE_NOOP("acquisition::PublishFault",
                                              "the broker at %1 refused %2: %3"))
            .arg(where, topic, reason);
    case Kind::Overflow:
        return poll::Worded(wording, context,
                            QT_TRANSLATE_NOOP("acquisition::PublishFault",
                                              "the outbox for %1 is full: the oldest readings "
                                              "not yet published are being dropped"))
            .arg(where);
    }
    return reason;
}

QByteArray ReadingJson(const poll::Sample& sample, const QString& program, const QString& port)
{
    // By hand: the values keep the digits the window shows, as JSON numbers.
    QString values;
    for (float value : sample.values) {
        if (!values.isEmpty())
            values += u',';
        values += poll::FormatChannelNumber(value, QLocale::c());
    }
    const auto string = [](QString text) {
        text.replace(u'\\', QStringLiteral("\\\\")).replace(u'"', QStringLiteral("\\\""));
        for (qsizetype i = 0; i < text.size(); ++i)
            if (text[i].unicode() < 0x20) {
                text.replace(
                    i, 1,
                    QStringLiteral("\\u%1").arg(int(text[i].unicode()), 4, 16, QLatin1Char('0')));
                i += 5;
            }
        return u'"' + text + u'"';
    };
    return QStringLiteral(
               R"({"time":%1,"polls":%2,"errors":%3,"checksum_ok":%4,"values":[%5],"address":%6,)"
               R"("program":%7,"port":%8})")
        .arg(string(poll::CsvTime(sample.timeMs)))
        .arg(sample.polls)
        .arg(sample.errors)
        .arg(sample.checksumOk ? QStringLiteral("true") : QStringLiteral("false"))
        .arg(values)
        .arg(sample.address >= 0 ? QString::number(sample.address) : QStringLiteral("null"))
        .arg(string(program), string(port))
        .toUtf8();
}

Publisher::Publisher(PublishSettings settings, QObject* parent)
    : QObject(parent), m_settings(std::move(settings)), m_client(m_settings.broker, this),
      m_retry(this), m_finishLimit(this)
{
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &Publisher::reconnect);
    m_finishLimit.setSingleShot(true);
    connect(&m_finishLimit, &QTimer::timeout, this, &Publisher::end);
    connect(&m_client, &MqttClient::connected, this, &Publisher::connected);
    connect(&m_client, &MqttClient::closed, this, &Publisher::closed);
    connect(&m_client, &MqttClient::delivered, this, &Publisher::delivered);
}

void Publisher::start()
{
    m_client.open();
}

void Publisher::reconnect()
{
    if (!m_finishing)
        m_client.open();
}

void Publisher::publish(const poll::Sample& sample)
{
    if (std::ssize(m_outbox) >= kOutboxCapacity) {
        // The oldest not on its way goes: those sent wait for their answer.
        m_outbox.erase(m_outbox.begin() + m_sent);
        if (m_dropped++ == 0)
            tell({PublishFault::Kind::Overflow, m_settings.where, {}, {}});
    }
    m_outbox.push_back({sample});
    send();
}

void Publisher::portFault(const poll::LinkFault& fault)
{
    m_status = QStringLiteral("port fault: %1").arg(fault.text());
    publishStatus();
}

void Publisher::portFaultCleared()
{
    m_status = QStringLiteral("online");
    publishStatus();
}

void Publisher::connected()
{
    m_backoff = std::chrono::milliseconds(1000);
    m_sent = 0; // what was on its way when the last connection ended goes again
    for (Entry& entry : m_outbox)
        entry.mid = -1;
    publishStatus();
    send();
}

void Publisher::closed(const QString& reason)
{
    m_sent = 0;
    if (m_finishing) {
        end();
        return;
    }
    tell({PublishFault::Kind::Unreachable, m_settings.where, {}, reason});
    m_retry.start(m_backoff);
    m_backoff = std::min(m_backoff * 2, kLongestBackoff);
}

void Publisher::delivered(int mid, const QString& refusal)
{
    const auto sent = m_outbox.begin() + m_sent;
    const auto entry =
        std::find_if(m_outbox.begin(), sent, [mid](const Entry& e) { return e.mid == mid; });
    if (entry == sent)
        return; // a retained value or the status: nothing kept for it
    entry->acknowledged = true;
    if (!refusal.isEmpty()) {
        ++m_refused;
        tell(
            {PublishFault::Kind::Refused, m_settings.where, Topic(m_settings, "reading"), refusal});
    }
    while (m_sent > 0 && m_outbox.front().acknowledged) {
        m_outbox.pop_front();
        --m_sent;
    }
    if (refusal.isEmpty() && m_told && m_told->kind != PublishFault::Kind::Refused) {
        m_told.reset();
        emit faultCleared();
    }
    if (m_finishing && m_outbox.empty()) {
        end();
        return;
    }
    send();
}

void Publisher::send()
{
    if (!m_client.isConnected())
        return;
    while (m_sent < std::ssize(m_outbox) && m_sent < kInFlight) {
        Entry& entry = m_outbox[static_cast<std::size_t>(m_sent)];
        const std::optional<int> mid = m_client.publish(
            Topic(m_settings, "reading"),
            ReadingJson(entry.sample, m_settings.program, m_settings.port), 1, false);
        if (!mid)
            return; // the connection went: closed() follows
        entry.mid = *mid;
        entry.acknowledged = false;
        ++m_sent;
        if (m_sent == std::ssize(m_outbox)) {
            // The newest: each channel's value, for whoever subscribes later.
            for (std::size_t ch = 0; ch < entry.sample.values.size(); ++ch)
                m_client.publish(
                    m_settings.prefix + QStringLiteral("/ch%1").arg(ch),
                    poll::FormatChannelNumber(entry.sample.values[ch], QLocale::c()).toUtf8(), 0,
                    true);
        }
    }
}

void Publisher::publishStatus()
{
    m_client.publish(Topic(m_settings, "status"), m_status.toUtf8(), 1, true);
}

void Publisher::tell(const PublishFault& what)
{
    if (what == m_told)
        return;
    m_told = what;
    emit fault(what);
}

void Publisher::finish(int withinMs)
{
    m_finishing = true;
    m_retry.stop();
    if (m_outbox.empty() || !m_client.isConnected()) {
        end();
        return;
    }
    m_finishLimit.start(withinMs);
}

void Publisher::end()
{
    m_finishLimit.stop();
    if (m_client.isConnected()) {
        m_status = QStringLiteral("offline");
        publishStatus();
    }
    m_client.close();
    emit finished();
}

PublisherThread::PublisherThread(PublishSettings settings)
    : m_publisher(new Publisher(std::move(settings)))
{
    m_thread.setObjectName(QStringLiteral("publisher"));
    m_publisher->moveToThread(&m_thread);
    connect(this, &PublisherThread::finishAsked, m_publisher, &Publisher::finish);
    connect(
        m_publisher, &Publisher::finished, m_publisher,
        [this] {
            m_unsent = m_publisher->pending() + m_publisher->lost();
            m_thread.quit();
        },
        Qt::DirectConnection);
    // The first connection is tried once this thread's event loop runs,
    // after the program has connected to the publisher's faults: a broker
    // that refuses at once is told once, and only to whoever listens then.
    QTimer::singleShot(0, this, [this] {
        if (!m_finished)
            QMetaObject::invokeMethod(m_publisher, &Publisher::start);
    });
    connect(&m_thread, &QThread::finished, m_publisher, &QObject::deleteLater);
    m_thread.start();
}

PublisherThread::~PublisherThread()
{
    finish(std::chrono::milliseconds(2000));
}

void PublisherThread::finish(std::chrono::milliseconds within)
{
    if (m_finished)
        return;
    m_finished = true;
    emit finishAsked(static_cast<int>(within.count()));
    // A moment more than the publisher's own limit; then the thread ends
    // whatever the publisher is doing.
    if (!m_thread.wait(QDeadlineTimer(within + std::chrono::seconds(1)))) {
        m_thread.quit();
        m_thread.wait();
    }
    for (QObject* listener : std::as_const(m_listeners))
        if (listener)
            QCoreApplication::removePostedEvents(listener, QEvent::MetaCall);
}

} // namespace acquisition
