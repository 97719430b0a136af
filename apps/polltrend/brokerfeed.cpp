#include "polltrend/brokerfeed.h"

#include "ui/trendview.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QStringList>
#include <QTextStream>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <limits>

namespace polltrend {
namespace {

constexpr std::chrono::milliseconds kLongestBackoff{60'000};
// A status is a few words ("port fault: /dev/ttyUSB0: No such file or
// directory"); more would only push the rest of the line away.
constexpr qsizetype kStatusLength = 200;

QString MalformedText(Malformed reason)
{
    switch (reason) {
    case Malformed::TooLong:
        return QStringLiteral("over %1 bytes").arg(kMaxMessageBytes);
    case Malformed::NotJson:
        return QStringLiteral("not JSON");
    case Malformed::MissingField:
        return QStringLiteral("a field missing or of the wrong kind");
    case Malformed::BadTime:
        return QStringLiteral("a time without its offset or no such time");
    case Malformed::BadNumber:
        return QStringLiteral("a count or value not a number in range");
    }
    return {};
}

// A number a float holds as a finite value (3.5e38 does, 1e39 does not).
std::optional<float> FiniteFloat(double value)
{
    if (!std::isfinite(value) || std::abs(value) > std::numeric_limits<float>::max())
        return std::nullopt;
    return static_cast<float>(value);
}

// A whole number from 0 to `most`.
std::optional<int> Count(const QJsonValue& value, double most)
{
    const double number = value.toDouble(-1);
    if (!(number >= 0 && number <= most) || number != std::floor(number))
        return std::nullopt;
    return static_cast<int>(number);
}

} // namespace

std::variant<poll::Sample, Malformed> ReadReading(QByteArrayView payload)
{
    if (payload.size() > kMaxMessageBytes)
        return Malformed::TooLong; // not parsed: a broker may carry megabytes
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(payload.toByteArray(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return Malformed::NotJson;
    const QJsonObject object = document.object();
    const QJsonValue time = object.value(u"time"), polls = object.value(u"polls"),
                     errors = object.value(u"errors"), ok = object.value(u"checksum_ok"),
                     address = object.value(u"address");
    const QJsonArray values = object.value(u"values").toArray();
    if (!time.isString() || !polls.isDouble() || !errors.isDouble() || !ok.isBool() ||
        values.size() != qsizetype(protocol::kChannelCount) ||
        !(address.isDouble() || address.isNull()))
        return Malformed::MissingField;
    const QDateTime when = QDateTime::fromString(time.toString(), Qt::ISODateWithMs);
    // Without its offset the time would be read in this machine's zone, not the station's.
    if (!when.isValid() || when.timeSpec() == Qt::LocalTime)
        return Malformed::BadTime;

    poll::Sample sample;
    sample.timeMs = when.toMSecsSinceEpoch();
    sample.checksumOk = ok.toBool();
    const std::optional<int> pollCount = Count(polls, std::numeric_limits<std::int32_t>::max());
    const std::optional<int> errorCount = Count(errors, std::numeric_limits<std::int32_t>::max());
    const std::optional<int> module = address.isNull() ? std::optional(-1) : Count(address, 255);
    if (!pollCount || !errorCount || !module)
        return Malformed::BadNumber;
    sample.polls = *pollCount;
    sample.errors = *errorCount;
    sample.address = static_cast<std::int16_t>(*module);
    for (std::size_t ch = 0; ch < protocol::kChannelCount; ++ch) {
        const QJsonValue value = values[qsizetype(ch)];
        const std::optional<float> number =
            value.isDouble() ? FiniteFloat(value.toDouble()) : std::nullopt;
        if (!number)
            return Malformed::BadNumber;
        sample.values[ch] = *number;
    }
    return sample;
}

BrokerLink::BrokerLink(acquisition::PublishSettings settings, QObject* parent)
    : QObject(parent), m_settings(std::move(settings)), m_client(m_settings.broker, this),
      m_retry(this)
{
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, &m_client, &acquisition::MqttClient::open);
    connect(&m_client, &acquisition::MqttClient::connected, this, &BrokerLink::connected);
    connect(&m_client, &acquisition::MqttClient::closed, this, &BrokerLink::closed);
    connect(&m_client, &acquisition::MqttClient::received, this, &BrokerLink::received);
}

BrokerLink::~BrokerLink()
{
    m_client.close(); // a goodbye, where connected
}

void BrokerLink::start()
{
    m_client.open();
}

void BrokerLink::connected()
{
    m_backoff = std::chrono::milliseconds(1000);
    m_channels = {};
    m_toldRetained = false;
    emit fault({});
    QStringList leaves{QStringLiteral("reading"), QStringLiteral("status")};
    for (std::size_t ch = 0; ch < m_channels.size(); ++ch)
        leaves << QStringLiteral("ch%1").arg(ch);
    for (const QString& leaf : std::as_const(leaves))
        m_client.subscribe(topic(leaf));
}

void BrokerLink::closed(const QString& reason)
{
    // What the station said last is not known while the broker is away.
    emit status({});
    emit fault(QStringLiteral("cannot reach %1: %2; trying again in %3 s")
                   .arg(m_settings.where, reason.endsWith(u'.') ? reason.chopped(1) : reason)
                   .arg(m_backoff.count() / 1000));
    m_retry.start(m_backoff);
    m_backoff = std::min(m_backoff * 2, kLongestBackoff);
}

void BrokerLink::received(const QString& name, const QByteArray& payload, bool isRetained)
{
    if (name == topic(QStringLiteral("reading"))) {
        const auto read = ReadReading(payload);
        if (const poll::Sample* sample = std::get_if<poll::Sample>(&read))
            emit reading(*sample);
        else
            emit malformed(static_cast<int>(std::get<Malformed>(read)));
        return;
    }
    if (name == topic(QStringLiteral("status"))) {
        // One line of plain text, whatever the station sent.
        QString text = QString::fromUtf8(payload.left(kMaxMessageBytes));
        for (QChar& c : text)
            if (!c.isPrint())
                c = u' ';
        emit status(text.simplified().left(kStatusLength));
        return;
    }
    for (std::size_t ch = 0; ch < m_channels.size(); ++ch) {
        if (name != topic(QStringLiteral("ch%1").arg(ch)))
            continue;
        // A live value comes again, with its time, in the reading.
        if (!isRetained || m_toldRetained)
            return;
        bool ok = false;
        const double value = payload.size() <= 64 ? payload.trimmed().toDouble(&ok) : 0;
        m_channels[ch] = ok ? FiniteFloat(value) : std::nullopt;
        if (!m_channels[ch]) {
            emit malformed(static_cast<int>(Malformed::BadNumber));
            return;
        }
        if (std::all_of(m_channels.begin(), m_channels.end(),
                        [](auto v) { return v.has_value(); })) {
            poll::Sample sample{.timeMs = QDateTime::currentMSecsSinceEpoch(),
                                .polls = kPollsUnknown};
            for (std::size_t i = 0; i < m_channels.size(); ++i)
                sample.values[i] = *m_channels[i];
            m_toldRetained = true;
            emit retained(sample);
        }
        return;
    }
}

BrokerFeed::BrokerFeed(acquisition::PublishSettings settings, poll::History& history,
                       QObject* parent)
    : QObject(parent), m_history(history), m_where(settings.where),
      m_link(new BrokerLink(std::move(settings)))
{
    m_thread.setObjectName(QStringLiteral("broker"));
    m_link->moveToThread(&m_thread);
    connect(&m_thread, &QThread::started, m_link, &BrokerLink::start);
    connect(&m_thread, &QThread::finished, m_link, &QObject::deleteLater);
    connect(m_link, &BrokerLink::reading, this, &BrokerFeed::takeReading);
    connect(m_link, &BrokerLink::retained, this, &BrokerFeed::takeRetained);
    connect(m_link, &BrokerLink::malformed, this, [this](int reason) {
        ++m_skipped[static_cast<std::size_t>(reason)];
        emit changed();
    });
    connect(m_link, &BrokerLink::status, this, [this](const QString& text) {
        m_status = text;
        emit changed();
    });
    connect(m_link, &BrokerLink::fault, this, [this](const QString& text) {
        m_linkFault = text;
        emit changed();
    });
    m_thread.start();
}

BrokerFeed::~BrokerFeed()
{
    m_thread.quit();
    m_thread.wait();
}

void BrokerFeed::takeRetained(const poll::Sample& sample)
{
    if (!m_history.isEmpty())
        return; // a reconnection: the readings have said more
    m_history.append(sample);
    m_provisional = true;
    emit changed();
}

void BrokerFeed::takeReading(const poll::Sample& sample)
{
    // A reading the broker took just as the station's connection went comes
    // again when it is back (QoS 1): the same time, counts and values.
    for (qsizetype i = m_history.lowerBound(sample.timeMs);
         i < m_history.size() && m_history.at(i).timeMs == sample.timeMs; ++i)
        if (m_history.at(i) == sample) {
            ++m_repeated;
            emit changed();
            return;
        }
    // The retained values are stamped by this machine's clock, the readings
    // by the station's: a station a few seconds behind would have its first
    // readings held at the retained values' time. They are superseded.
    if (m_provisional && sample.timeMs <= m_history.newest().timeMs)
        m_history.clear();
    m_provisional = false;
    if (m_spacing.add(sample.timeMs))
        m_history.setInterval(m_spacing.interval());
    m_history.append(sample);
    ++m_readings;
    emit changed();
}

QString BrokerFeed::summary() const
{
    QString text = QStringLiteral("%1 — station: %2")
                       .arg(m_where, m_status.isEmpty() ? QStringLiteral("not known") : m_status);
    text += m_provisional ? QStringLiteral("; its last values published (retained), no reading yet")
                          : QStringLiteral("; %1 %2")
                                .arg(m_readings)
                                .arg(m_readings == 1 ? "reading" : "readings");
    QStringList reasons;
    qint64 skipped = 0;
    for (std::size_t i = 0; i < kMalformedCount; ++i)
        if (m_skipped[i]) {
            skipped += m_skipped[i];
            reasons << QStringLiteral("%1 %2")
                           .arg(m_skipped[i])
                           .arg(MalformedText(static_cast<Malformed>(i)));
        }
    if (skipped)
        text += QStringLiteral(", %1 skipped (%2)").arg(skipped).arg(reasons.join(u", "));
    if (m_repeated)
        text += QStringLiteral(", %1 repeated and dropped").arg(m_repeated);
    return text;
}

QString BrokerFeed::fault() const
{
    if (!m_linkFault.isEmpty())
        return m_linkFault;
    if (m_status.startsWith(QLatin1String("port fault")))
        return QStringLiteral("station: %1").arg(m_status);
    return {};
}

BrokerWindow::BrokerWindow(acquisition::PublishSettings settings, poll::History& history,
                           QWidget* parent)
    : QWidget(parent), m_view(new ui::TrendView(history, this)), m_summary(new QLabel(this)),
      m_feed(std::move(settings), history)
{
    m_summary->setObjectName(QStringLiteral("summary"));
    m_summary->setTextFormat(Qt::PlainText); // the station's words, never markup
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_view, 1);
    layout->addWidget(m_summary);
    setWindowTitle(QStringLiteral("polltrend — %1").arg(m_feed.where()));
    connect(&m_feed, &BrokerFeed::changed, this, &BrokerWindow::refresh);
    refresh();
}

void BrokerWindow::refresh()
{
    m_summary->setText(m_feed.summary());
    const QString fault = m_feed.fault();
    m_view->setFault(fault);
    // Each fault once on standard error too, for a window started from a terminal.
    if (!fault.isEmpty() && fault != m_said)
        QTextStream(stderr) << "polltrend: " << fault << Qt::endl;
    m_said = fault;
}

} // namespace polltrend
