// polltrend on a broker: Debian's mosquitto started here on a free port, a
// station played with mosquitto_pub, and the window judged by its picture (a
// channel's colour at its value's height) and the line under the plot.

#include "polltrend/brokerfeed.h"
#include "support/wait.h"
#include "ui/trendview.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QLabel>
#include <QProcess>
#include <QTemporaryDir>

namespace {

// mosquitto on a port no one else holds, for one test.
struct Broker
{
    QTemporaryDir dir;
    QProcess process;
    QString port;
    QString log;

    bool start()
    {
        if (port.isEmpty()) {
            QProcess python;
            python.start(QStringLiteral("python3"),
                         {QStringLiteral("-c"),
                          QStringLiteral("import socket; s=socket.socket(); "
                                         "s.bind(('127.0.0.1', 0)); print(s.getsockname()[1])")});
            python.waitForFinished();
            port = QString::fromLatin1(python.readAll()).trimmed();
            QFile conf(dir.filePath(QStringLiteral("broker.conf")));
            conf.open(QIODevice::WriteOnly);
            conf.write(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\n"
                                      "persistence false\nlog_dest stderr\n")
                           .arg(port)
                           .toLatin1());
        }
        log.clear();
        process.start(QStringLiteral("mosquitto"),
                      {QStringLiteral("-c"), dir.filePath(QStringLiteral("broker.conf"))});
        return testing_support::waitFor([&] {
            log += QString::fromLatin1(process.readAllStandardError());
            return log.contains(QStringLiteral(" running"));
        });
    }
    ~Broker()
    {
        process.kill();
        process.waitForFinished();
    }

    // Each line of `lines` a message to plant/line3/LEAF, at QoS 1.
    void publish(const QString& leaf, const QByteArray& lines, bool retain = false)
    {
        QProcess pub;
        QStringList arguments{QStringLiteral("-h"), QStringLiteral("127.0.0.1"),
                              QStringLiteral("-p"), port,
                              QStringLiteral("-q"), QStringLiteral("1"),
                              QStringLiteral("-t"), QStringLiteral("plant/line3/") + leaf,
                              QStringLiteral("-l")};
        if (retain)
            arguments << QStringLiteral("-r");
        pub.start(QStringLiteral("mosquitto_pub"), arguments);
        pub.write(lines.endsWith('\n') ? lines : lines + '\n');
        pub.closeWriteChannel();
        ASSERT_TRUE(pub.waitForFinished() && pub.exitCode() == 0)
            << pub.readAllStandardError().data();
    }
};

// The mean row of `colour` within two columns of x inside the plot, or -1.
double rowNear(const QImage& image, const QRect& plot, int x, const QColor& colour)
{
    double sum = 0;
    int count = 0;
    for (int dx = -2; dx <= 2; ++dx)
        for (int y = plot.top() + 1; y < plot.bottom(); ++y)
            if (const QRgb p = image.pixel(x + dx, y); std::abs(qRed(p) - colour.red()) +
                                                           std::abs(qGreen(p) - colour.green()) +
                                                           std::abs(qBlue(p) - colour.blue()) <=
                                                       30) {
                sum += y;
                ++count;
            }
    return count ? sum / count : -1;
}

// Channel ch drawn at `base` + 10 ch at the time `ms`, on a range 0 to 200.
void expectDrawn(const ui::TrendView& view, qint64 ms, double base)
{
    const QSize size(800, 400);
    const QImage image = view.toImage(size);
    const QRect plot = view.plotArea(size);
    const auto [from, to] = view.timeWindow();
    const int x = plot.left() + static_cast<int>((ms - from) * plot.width() / (to - from));
    for (int ch = 0; ch < 8; ++ch)
        EXPECT_NEAR(rowNear(image, plot, x, ui::TrendView::channelColor(ch)),
                    plot.top() + (200 - base - 10 * ch) / 200 * plot.height(), 2.5)
            << "channel " << ch << " at " << ms - from << " ms into the view";
}

TEST(BrokerFeed, RetainedValuesAtOnceThenEachReadingAsItComesAndWhatIsMalformedCounted)
{
    Broker broker;
    ASSERT_TRUE(broker.start()) << broker.log.toStdString();
    for (int ch = 0; ch < 8; ++ch)
        broker.publish(QStringLiteral("ch%1").arg(ch), QByteArray::number(10 + 10 * ch), true);
    broker.publish(QStringLiteral("status"), "online", true);

    acquisition::PublishSettings settings;
    settings.broker.host = QStringLiteral("127.0.0.1");
    settings.broker.port = broker.port.toInt();
    settings.prefix = QStringLiteral("plant/line3");
    settings.where = QStringLiteral("mqtt://127.0.0.1/plant/line3");
    poll::History history;
    polltrend::BrokerWindow window(settings, history);
    ui::TrendView& view = window.view();
    const auto summary = [&] { return window.findChild<QLabel*>("summary")->text(); };
    view.setValueRange(std::pair{0.0, 200.0});
    view.setSpan(60'000);

    ASSERT_TRUE(testing_support::waitFor([&] { return history.size() == 1; }));
    const poll::Sample first = history.at(0);
    EXPECT_EQ(first.polls, polltrend::kPollsUnknown);
    view.setClock([&] { return first.timeMs + 5'000; });
    expectDrawn(view, first.timeMs, 10);
    ASSERT_TRUE(testing_support::waitFor([&] { return summary().contains("station: online"); }))
        << summary().toStdString();

    // Three readings two seconds apart, with values 100 + 10 ch, the third
    // stamped in UTC; among them one not JSON, one with a value that is no
    // number, and the second again, as QoS 1 may bring it.
    const qint64 t = first.timeMs + 1'000;
    const auto reading = [](const QDateTime& time, int polls) {
        return QStringLiteral(R"({"time":"%1","polls":%2,"errors":0,"checksum_ok":true,)"
                              R"("values":[100,110,120,130,140,150,160,170],"address":67})")
                   .arg(time.toString(Qt::ISODateWithMs))
                   .arg(polls)
                   .toUtf8() +
               '\n';
    };
    const QByteArray second =
        reading(QDateTime::fromMSecsSinceEpoch(t + 2000).toOffsetFromUtc(3600), 42);
    const QByteArray readings =
        reading(QDateTime::fromMSecsSinceEpoch(t).toOffsetFromUtc(3600), 41) + "{\"time\":\n" +
        second + second +
        R"({"time":"2026-12-10T13:55:50.831+01:00","polls":44,"errors":0,"checksum_ok":true,)"
        R"("values":[1,"2",3,4,5,6,7,8],"address":67})"
        "\n" +
        reading(QDateTime::fromMSecsSinceEpoch(t + 4000, Qt::UTC), 43);
    broker.publish(QStringLiteral("reading"), readings);
    ASSERT_TRUE(testing_support::waitFor([&] { return summary().contains("repeated"); }))
        << summary().toStdString();
    ASSERT_EQ(history.size(), 4);
    EXPECT_EQ(history.at(3).timeMs, t + 4000) << "the UTC reading";
    EXPECT_EQ(history.at(1).timeMs, t) << "the reading at +01:00";
    EXPECT_EQ(history.interval(), std::chrono::milliseconds(2000));
    EXPECT_TRUE(summary().contains(
        "3 readings, 2 skipped (1 not JSON, 1 a count or value not a number in range), "
        "1 repeated"))
        << summary().toStdString();
    expectDrawn(view, t + 2000, 100);

    broker.publish(QStringLiteral("status"), "port fault: /dev/ttyUSB0: No such file", true);
    ASSERT_TRUE(testing_support::waitFor([&] { return view.note().contains("port fault"); }));
    EXPECT_TRUE(summary().contains("station: port fault: /dev/ttyUSB0")) << summary().toStdString();

    // The broker gone and back on its port: told, then read again.
    broker.process.kill();
    broker.process.waitForFinished();
    ASSERT_TRUE(testing_support::waitFor([&] { return view.note().startsWith("cannot reach"); }))
        << view.note().toStdString();
    EXPECT_TRUE(summary().contains("station: not known")) << summary().toStdString();
    ASSERT_TRUE(broker.start());
    ASSERT_TRUE(testing_support::waitFor([&] { return !view.note().startsWith("cannot reach"); }))
        << view.note().toStdString();
}

TEST(BrokerFeed, ReadsBackWhatAStationPublishes)
{
    // The module's address not known (null), a failed checksum, tenths.
    const poll::Sample sample{.timeMs = 1'796'918'400'123,
                              .values = {-32768, 32767, 0, 1.5f, -0.5f, 235, -5, 1234},
                              .polls = 7,
                              .errors = 2,
                              .checksumOk = false};
    const auto read = polltrend::ReadReading(acquisition::ReadingJson(sample, "textpoll", "COM1"));
    ASSERT_TRUE(std::holds_alternative<poll::Sample>(read));
    EXPECT_EQ(std::get<poll::Sample>(read), sample);
}

} // namespace
