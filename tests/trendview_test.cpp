// The trend view judged by what a person sees in its picture: each channel
// a line in its own colour at the height of its value, no line across a
// silence or an unanswered poll, failed replies ticked under the plot and
// the line joined across one, a hidden channel's colour nowhere, a live
// view ending at now, value labels whole, a mark where the module changes.

#include "ui/trendview.h"

#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QScopeGuard>
#include <QSet>
#include <QTest>

#include <functional>

namespace {

constexpr qint64 kT0 = 1'700'000'000'000;
constexpr QSize kSize(800, 400);

// One reading a second for `seconds` from kT0, channel ch reading value(ch, second).
std::vector<poll::Sample> readings(int seconds, const std::function<float(int, int)>& value)
{
    std::vector<poll::Sample> samples;
    for (int t = 0; t < seconds; ++t) {
        poll::Sample s{.timeMs = kT0 + t * 1000, .polls = t + 1};
        for (int ch = 0; ch < 8; ++ch)
            s.values[static_cast<std::size_t>(ch)] = value(ch, t);
        samples.push_back(s);
    }
    return samples;
}

bool shows(QRgb pixel, const QColor& colour)
{
    return std::abs(qRed(pixel) - colour.red()) + std::abs(qGreen(pixel) - colour.green()) +
               std::abs(qBlue(pixel) - colour.blue()) <=
           30;
}

// The mean row of the pixels of `colour` in column x inside the plot, or -1.
double rowOf(const QImage& image, const QRect& plot, int x, const QColor& colour)
{
    double sum = 0;
    int count = 0;
    for (int y = plot.top() + 1; y < plot.bottom(); ++y)
        if (shows(image.pixel(x, y), colour)) {
            sum += y;
            ++count;
        }
    return count ? sum / count : -1;
}

// The pixel column of the time `second` after kT0 in a view from kT0 to kT0 + `span` seconds.
int columnAt(const QRect& plot, double second, double span)
{
    return plot.left() + static_cast<int>(second / span * plot.width());
}

TEST(TrendView, EachChannelIsALevelLineAtItsValueInItsColour)
{
    // Channel ch reads 5 + 10 ch on a fixed range 0 to 80: sparse samples
    // joined by lines (2 minutes), and dense ones drawn as columns (1 hour).
    for (const int seconds : {120, 3600}) {
        poll::History held;
        ui::TrendView view(held);
        held.append(
            readings(seconds, [](int ch, int) { return 5.0f + 10.0f * static_cast<float>(ch); }));
        view.setTimeWindow(kT0, kT0 + (seconds - 1) * 1000);
        view.setValueRange(std::pair{0.0, 80.0});
        const QImage image = view.toImage(kSize);
        const QRect plot = view.plotArea(kSize);
        double above = plot.bottom() + 1.0;
        for (int ch = 0; ch < 8; ++ch) {
            const double expected = plot.top() + (75.0 - 10 * ch) / 80 * plot.height();
            for (const double where : {0.1, 0.5, 0.9}) {
                const double row =
                    rowOf(image, plot, plot.left() + static_cast<int>(where * plot.width()),
                          ui::TrendView::channelColor(ch));
                EXPECT_NEAR(row, expected, 1.5)
                    << "channel " << ch << " at " << where << " of " << seconds << " s";
            }
            const double row =
                rowOf(image, plot, plot.center().x(), ui::TrendView::channelColor(ch));
            EXPECT_LT(row, above) << "channel " << ch << " is drawn above channel " << ch - 1;
            above = row;
        }
    }
}

TEST(TrendView, NoLineAcrossASilenceOrAnUnansweredPollButAcrossAFailedReply)
{
    // 200 s: unplugged from 60 s to 90 s (no polls, no time), four polls
    // unanswered before 150 s, a failed reply at 120 s reading nonsense, two
    // in a row at 170 s and 171 s (3 s without a value: a gap).
    std::vector<poll::Sample> samples =
        readings(200, [](int ch, int) { return 50.0f + static_cast<float>(ch); });
    std::erase_if(samples, [](const poll::Sample& s) {
        return s.timeMs > kT0 + 60'000 && s.timeMs < kT0 + 90'000;
    });
    for (poll::Sample& s : samples) {
        s.polls =
            static_cast<std::int32_t>(s.timeMs - kT0) / 1000 - (s.timeMs >= kT0 + 90'000 ? 29 : 0);
        if (s.timeMs >= kT0 + 150'000)
            s.polls += 4;
        if (s.timeMs == kT0 + 120'000 || s.timeMs == kT0 + 170'000 || s.timeMs == kT0 + 171'000) {
            s.checksumOk = false;
            s.values.fill(1e6f);
        }
    }
    poll::History held;
    ui::TrendView view(held);
    held.append(samples);
    view.setTimeWindow(kT0, kT0 + 200'000);
    const QImage image = view.toImage(kSize);
    const QRect plot = view.plotArea(kSize);
    const QColor colour = ui::TrendView::channelColor(3);
    const auto drawnAt = [&](double second) {
        return rowOf(image, plot, columnAt(plot, second, 200), colour) >= 0;
    };

    for (const double second : {30.0, 59.0, 91.0, 119.0, 120.0, 121.0, 149.0, 150.5})
        EXPECT_TRUE(drawnAt(second)) << second << " s";
    for (const double second : {61.0, 75.0, 89.0, 149.5, 170.5})
        EXPECT_FALSE(drawnAt(second)) << second << " s";

    // The nonsense is not scaled to: channels 0 and 7, 7 apart, span most of the height.
    const int middle = columnAt(plot, 30, 200);
    EXPECT_GT(rowOf(image, plot, middle, ui::TrendView::channelColor(0)) -
                  rowOf(image, plot, middle, ui::TrendView::channelColor(7)),
              plot.height() / 2);

    // The failed reply is ticked in red under the plot, and only there.
    const auto tickedAt = [&](double second) {
        const int x = columnAt(plot, second, 200);
        for (int y = plot.bottom() + 1; y < plot.bottom() + 12; ++y)
            for (int dx = -1; dx <= 1; ++dx)
                if (const QRgb p = image.pixel(x + dx, y);
                    qRed(p) > 180 && qGreen(p) < 60 && qBlue(p) < 60)
                    return true;
        return false;
    };
    EXPECT_TRUE(tickedAt(120));
    EXPECT_FALSE(tickedAt(30));
    EXPECT_FALSE(tickedAt(75));
}

TEST(TrendView, AHiddenChannelIsNotDrawnAndItsKeyShowsItAgain)
{
    poll::History held;
    ui::TrendView view(held);
    view.setLiveEdgeFollowsClock(false); // the readings in view, whatever the date
    held.append(readings(600, [](int ch, int t) { return static_cast<float>(ch * 10 + t % 7); }));
    view.setChannelVisible(4, false);
    const auto anywhere = [&](int ch) {
        const QImage image = view.toImage(kSize);
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (shows(image.pixel(x, y), ui::TrendView::channelColor(ch)))
                    return true;
        return false;
    };
    EXPECT_FALSE(anywhere(4));
    EXPECT_TRUE(anywhere(5));
    QTest::keyClick(&view, Qt::Key_5);
    EXPECT_TRUE(view.channelVisible(4));
    EXPECT_TRUE(anywhere(4));
}

TEST(TrendView, LiveFollowsTheNewestRowOfARecordingUntilPannedAndEndReturns)
{
    poll::History held;
    ui::TrendView view(held);
    view.setLiveEdgeFollowsClock(false); // as polltrend has it
    view.setSpan(120'000);
    const auto feed = [&](int from, int to) {
        poll::Sample reading;
        reading.checksumOk = true;
        for (int t = from; t < to; ++t) {
            reading.timeMs = kT0 + t * 1000;
            reading.polls = t + 1;
            held.append(reading);
        }
    };
    feed(0, 300);
    EXPECT_EQ(view.timeWindow(), std::pair(kT0 + 179'000, kT0 + 299'000));
    QTest::keyClick(&view, Qt::Key_Left);
    EXPECT_FALSE(view.isLive());
    EXPECT_EQ(view.timeWindow().second, kT0 + 269'000);
    feed(300, 301);
    EXPECT_EQ(view.timeWindow().second, kT0 + 269'000) << "a fixed view stays put";
    QTest::keyClick(&view, Qt::Key_End);
    EXPECT_TRUE(view.isLive());

    // A fixed view reaching past the newest reading shows the readings that come later.
    view.setTimeWindow(kT0 + 240'000, kT0 + 360'000);
    const QRect plot = view.plotArea(kSize);
    const auto drawnAt330 = [&] {
        return rowOf(view.toImage(kSize), plot, columnAt(plot, 90, 120),
                     ui::TrendView::channelColor(7)) >= 0;
    };
    EXPECT_FALSE(drawnAt330());
    feed(301, 360);
    EXPECT_TRUE(drawnAt330());
}

TEST(TrendView, ALiveViewEndsAtNowAndASilenceIsAGapSaidUnderThePlot)
{
    // The last reply at 270 s, and now 300 s: 30 s of silence.
    qint64 now = kT0 + 300'000;
    poll::History held;
    ui::TrendView view(held);
    view.setClock([&] { return now; });
    view.setSpan(120'000);
    held.append(readings(271, [](int ch, int) { return 50.0f + static_cast<float>(ch); }));
    EXPECT_EQ(view.timeWindow(), std::pair(kT0 + 180'000, kT0 + 300'000));
    const QImage image = view.toImage(kSize);
    const QRect plot = view.plotArea(kSize);
    const auto drawnAt = [&](double second) {
        return rowOf(image, plot, columnAt(plot, second - 180, 120),
                     ui::TrendView::channelColor(3)) >= 0;
    };
    EXPECT_TRUE(drawnAt(260));
    EXPECT_TRUE(drawnAt(269.5));
    for (const double second : {272.0, 285.0, 299.0})
        EXPECT_FALSE(drawnAt(second)) << second << " s";
    const QString since = QLocale().toString(QDateTime::fromMSecsSinceEpoch(kT0 + 270'000),
                                             QStringLiteral("HH:mm:ss"));
    EXPECT_TRUE(view.note().startsWith(QStringLiteral("no reply since ") + since))
        << view.note().toStdString();
    EXPECT_TRUE(view.legendIsStale());

    // The port's fault in its place while set.
    const QString fault = QStringLiteral("cannot open /dev/ttyUSB0: No such file or directory");
    view.setFault(fault);
    EXPECT_EQ(view.note(), fault);
    view.setFault({});

    // A reply: current again.
    now += 1000;
    held.append(poll::Sample{.timeMs = now, .polls = 272});
    EXPECT_EQ(view.note(), QString());
    EXPECT_FALSE(view.legendIsStale());
}

TEST(TrendView, ValueLabelsFitWholeLeftOfThePlot)
{
    // A locale with group separators, as at the bench: "-1,000,000".
    const auto restore = qScopeGuard([before = QLocale()] { QLocale::setDefault(before); });
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    const QImage probe(1, 1, QImage::Format_RGB32);
    const QRegularExpression exponent(QStringLiteral("^(0|-?[0-9](\\.[0-9]+)?e[+-][0-9]{2})$"),
                                      QRegularExpression::CaseInsensitiveOption);
    // Half the channels at `low`, half at `high`, and one of the labels drawn.
    const struct
    {
        float low, high;
        QRegularExpression eachLabel;
        QString oneLabel;
    } rows[] = {
        // Ticks 0.2 apart: labels wider than the default column.
        {-1e6f, -999'999.0f, QRegularExpression(QStringLiteral("^-[0-9,]+\\.[0-9]$")),
         QStringLiteral("-1,000,000.0")},
        {-3.4e38f, 3.4e38f, exponent, QStringLiteral("-4e+38")},
        // 2e6 apart: four digits tell them apart.
        {1e9f, 1.01e9f, exponent, QStringLiteral("1.002e+09")},
    };
    for (const auto& row : rows) {
        poll::History held;
        ui::TrendView view(held);
        held.append(readings(60, [&](int ch, int) { return ch % 2 ? row.high : row.low; }));
        view.setTimeWindow(kT0, kT0 + 59'000);
        const QRect plot = view.plotArea(kSize);
        const QStringList labels = view.valueLabels(kSize);
        ASSERT_GE(labels.size(), 3) << row.high;
        EXPECT_TRUE(labels.contains(row.oneLabel, Qt::CaseInsensitive))
            << labels.join(' ').toStdString();
        EXPECT_EQ(QSet<QString>(labels.begin(), labels.end()).size(), labels.size())
            << "told apart";
        const QFontMetrics metrics(view.font(), &probe);
        for (const QString& label : labels) {
            EXPECT_TRUE(row.eachLabel.match(label).hasMatch()) << label.toStdString();
            EXPECT_LT(metrics.horizontalAdvance(label), plot.left()) << label.toStdString();
        }
    }
}

TEST(TrendView, AMarkWhereTheModulesAddressChanges)
{
    // The address unknown until 20 s, module 67 until 60 s, then module 68.
    std::vector<poll::Sample> samples =
        readings(120, [](int ch, int) { return 50.0f + static_cast<float>(ch); });
    for (poll::Sample& s : samples) {
        const qint64 second = (s.timeMs - kT0) / 1000;
        s.address = second < 20 ? -1 : second < 60 ? 67 : 68;
    }
    poll::History held;
    ui::TrendView view(held);
    held.append(samples);
    view.setTimeWindow(kT0, kT0 + 119'000);
    const QImage image = view.toImage(kSize);
    const QRect plot = view.plotArea(kSize);
    const auto markedAt = [&](double second) {
        const int x = columnAt(plot, second, 119);
        for (int dx = -1; dx <= 1; ++dx) {
            int count = 0;
            for (int y = plot.top() + 1; y < plot.bottom(); ++y)
                count += shows(image.pixel(x + dx, y), ui::TrendView::addressMarkColor()) ? 1 : 0;
            if (count > plot.height() / 2)
                return true;
        }
        return false;
    };
    EXPECT_TRUE(markedAt(60));
    EXPECT_FALSE(markedAt(20)) << "from an unknown address";
    EXPECT_FALSE(markedAt(40));
}

TEST(TrendHistory, KeepsTheNewestSamplesInTimeOrderAcrossBlocks)
{
    poll::History history(5000);
    for (int t = 0; t < 10'000; ++t)
        history.append(poll::Sample{.timeMs = kT0 + t * 1000, .polls = t + 1});
    ASSERT_EQ(history.size(), 5000);
    EXPECT_EQ(history.oldest().polls, 5001);
    EXPECT_EQ(history.newest().polls, 10'000);
    EXPECT_EQ(history.at(history.lowerBound(kT0 + 7'000'000)).polls, 7001);
    EXPECT_EQ(history.at(history.lowerBound(kT0 + 7'000'500)).polls, 7002);
    EXPECT_EQ(history.at(history.nearest(kT0 + 7'000'400)).polls, 7001);
    history.append(poll::Sample{.timeMs = kT0, .polls = 10'001}); // the clock set back
    EXPECT_EQ(history.newest().timeMs, kT0 + 9'999'000);
    history.setCapacity(100);
    EXPECT_EQ(history.oldest().polls, 9902);
}

} // namespace
