// The trend view judged by what a person sees in its picture: each channel
// a line in its own colour at the height of its value, no line across a
// silence or an unanswered poll, failed replies ticked under the plot and
// the line joined across one, a hidden channel's colour nowhere, a live
// view ending at now, value labels whole, a mark where the module changes.

#include "ui/trendview.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSet>
#include <QTest>

#include <functional>
#include <span>

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

// The rows of the plot where `colour` shows anywhere in columns 10 % to 90 % across.
std::pair<int, int> rowsOf(const QImage& image, const QRect& plot, const QColor& colour)
{
    std::pair rows(plot.bottom(), plot.top());
    for (int x = plot.left() + plot.width() / 10; x < plot.right() - plot.width() / 10; x += 7)
        for (int y = plot.top() + 1; y < plot.bottom(); ++y)
            if (shows(image.pixel(x, y), colour))
                rows = {std::min(rows.first, y), std::max(rows.second, y)};
    return rows;
}

TEST(TrendView, MarkersGiveEachVisibleChannelsValuesAndDifference)
{
    // Channel ch rises by ch + 1 a second: at 60 s channel 2 reads 180, at 100 s 300.
    poll::History held;
    ui::TrendView view(held);
    held.append(readings(120, [](int ch, int t) { return static_cast<float>((ch + 1) * t); }));
    view.setTimeWindow(kT0, kT0 + 120'000);
    view.setChannelVisible(5, false);
    view.setMarker(ui::TrendView::Marker::A, kT0 + 60'000);
    view.setMarker(ui::TrendView::Marker::B, kT0 + 100'400); // between readings: the one before
    const QStringList panel = view.markerPanel();
    ASSERT_EQ(panel.size(), 8) << panel.join('\n').toStdString(); // the times, 7 visible channels
    EXPECT_TRUE(panel[0].endsWith(QStringLiteral("B − A 40.4 s"))) << panel[0].toStdString();
    EXPECT_EQ(panel[3], QStringLiteral("channel 2: A 180, B 300, B − A 120"));
    EXPECT_EQ(panel[5], QStringLiteral("channel 4: A 300, B 500, B − A 200"));
    EXPECT_TRUE(view.accessibleDescription().contains(panel[3]));

    // Each a line across the plot.
    const QImage image = view.toImage(kSize);
    const QRect plot = view.plotArea(kSize);
    for (const double second : {60.0, 100.4}) {
        int count = 0;
        for (int x = columnAt(plot, second, 120) - 1; x <= columnAt(plot, second, 120) + 1; ++x)
            for (int y = plot.top(); y < plot.bottom(); ++y)
                count += shows(image.pixel(x, y), ui::TrendView::markerColor()) ? 1 : 0;
        EXPECT_GT(count, plot.height() / 2) << second << " s";
    }

    // A click sets A, a shift-click B, a drag neither; Delete clears both.
    view.resize(kSize);
    QTest::mouseClick(&view, Qt::LeftButton, {},
                      QPoint(columnAt(plot, 30, 120), plot.center().y()));
    EXPECT_NEAR(static_cast<double>(*view.marker(ui::TrendView::Marker::A) - kT0), 30'000, 500);
    QTest::mouseClick(&view, Qt::LeftButton, Qt::ShiftModifier,
                      QPoint(columnAt(plot, 90, 120), plot.center().y()));
    EXPECT_NEAR(static_cast<double>(*view.marker(ui::TrendView::Marker::B) - kT0), 90'000, 500);
    QTest::keyClick(&view, Qt::Key_Delete);
    EXPECT_TRUE(view.markerPanel().isEmpty());
    // A hand that moves 2 px still clicks; 40 px drag the view.
    for (const int dx : {2, 40}) {
        QTest::keyClick(&view, Qt::Key_Delete);
        const QPoint at(columnAt(plot, 60, 120), plot.center().y());
        QTest::mousePress(&view, Qt::LeftButton, {}, at);
        QTest::mouseMove(&view, at + QPoint(dx, 0));
        QTest::mouseRelease(&view, Qt::LeftButton, {}, at + QPoint(dx, 0));
        EXPECT_EQ(view.marker(ui::TrendView::Marker::A).has_value(), dx == 2) << dx << " px";
        EXPECT_EQ(view.timeWindow().second == kT0 + 120'000, dx == 2) << dx;
    }
}

TEST(TrendView, NormalisedDrawsARangeOfTenAndOfTenThousandAtTheSameHeight)
{
    // Channel 0 rises from 0 to 10, channel 1 from 0 to 10,000; the others hidden.
    poll::History held;
    ui::TrendView view(held);
    held.append(readings(
        121, [](int ch, int t) { return static_cast<float>(t) / 12.0f * (ch == 1 ? 1000 : 1); }));
    view.setTimeWindow(kT0, kT0 + 120'000);
    for (int ch = 2; ch < 8; ++ch)
        view.setChannelVisible(ch, false);
    // Each drawn alone: the rows it takes, whatever covers it.
    const auto gapAt = [&](double second) {
        std::array<double, 2> row{};
        for (const int ch : {0, 1}) {
            view.setChannelVisible(1 - ch, false);
            const QRect plot = view.plotArea(kSize);
            row[ch] = rowOf(view.toImage(kSize), plot, columnAt(plot, second, 120),
                            ui::TrendView::channelColor(ch));
            view.setChannelVisible(1 - ch, true);
        }
        return std::abs(row[0] - row[1]);
    };
    const QRect plot = view.plotArea(kSize);
    const QImage shared = view.toImage(kSize);
    EXPECT_GT(rowOf(shared, plot, columnAt(plot, 90, 120), ui::TrendView::channelColor(0)) -
                  rowOf(shared, plot, columnAt(plot, 90, 120), ui::TrendView::channelColor(1)),
              plot.height() / 2)
        << "one axis: 10 is a line along the foot, under 7,500";
    view.setValueAxis(ui::TrendView::ValueAxis::Normalised);
    for (const double second : {30.0, 60.0, 90.0})
        EXPECT_LT(gapAt(second), 1.5) << second << " s";
    EXPECT_TRUE(view.legendLines()[1].endsWith(QStringLiteral("(0 … 10)")));
    EXPECT_TRUE(view.legendLines()[2].endsWith(QStringLiteral("(0 … 10000)")));
    // The ranges are read whole, not elided, in the trend window's size and polltrend's.
    const QImage probe(1, 1, QImage::Format_RGB32);
    const QFontMetrics metrics(view.font(), &probe);
    for (const QSize size : {kSize, QSize(1000, 560)})
        for (const int ch : {0, 1})
            EXPECT_LE(metrics.horizontalAdvance(view.legendLines()[ch + 1]) + 30,
                      view.legendEntry(size, ch).width())
                << size.width() << " px, channel " << ch;
}

TEST(TrendView, StackedLanesDoNotOverlap)
{
    // Each channel sweeps its own range (channel ch: 1000 ch to 1000 ch + 9 (ch + 1)) every 10 s.
    poll::History held;
    ui::TrendView view(held);
    held.append(readings(
        600, [](int ch, int t) { return static_cast<float>(1000 * ch + t % 10 * (ch + 1)); }));
    view.setTimeWindow(kT0, kT0 + 600'000);
    view.setChannelVisible(3, false);
    view.setValueAxis(ui::TrendView::ValueAxis::Stacked);
    const QImage image = view.toImage(kSize);
    const QRect plot = view.plotArea(kSize);
    int above = plot.top();
    for (const int ch : {0, 1, 2, 4, 5, 6, 7}) {
        const auto [top, bottom] = rowsOf(image, plot, ui::TrendView::channelColor(ch));
        EXPECT_GT(top, above) << "channel " << ch;
        EXPECT_GT(bottom - top, plot.height() / 7 / 2) << "channel " << ch << " fills its lane";
        above = bottom;
    }
    EXPECT_EQ(rowsOf(image, plot, ui::TrendView::channelColor(3)).second, plot.top());
}

TEST(TrendView, IdenticalChannelsBothShowTheirColours)
{
    // Channels 2 and 5 read the same; as lines (2 minutes) and as columns (1 hour).
    for (const int seconds : {120, 3600}) {
        poll::History held;
        ui::TrendView view(held);
        held.append(readings(seconds, [](int ch, int t) {
            return ch == 2 || ch == 5 ? static_cast<float>(t % 40)
                                      : 100.0f + static_cast<float>(ch);
        }));
        view.setTimeWindow(kT0, kT0 + (seconds - 1) * 1000);
        const QImage image = view.toImage(kSize);
        const QRect plot = view.plotArea(kSize);
        for (const int ch : {2, 5})
            EXPECT_GT(rowsOf(image, plot, ui::TrendView::channelColor(ch)).second, plot.top())
                << "channel " << ch << " in " << seconds << " s";
    }
}

TEST(TrendView, LinesThatOnlyStartTogetherAreNotOutlined)
{
    // Channel 0 leaves the others' zero after 15 s of 120: a plain line at its end.
    poll::History held;
    ui::TrendView view(held);
    held.append(readings(120, [](int ch, int t) {
        return ch == 0 ? std::max(0.0f, static_cast<float>(t) - 15.0f) : 0.0f;
    }));
    view.setTimeWindow(kT0, kT0 + 119'000);
    const QImage image = view.toImage(kSize);
    const QRect plot = view.plotArea(kSize);
    int thickness = 0;
    for (int y = plot.top(); y < plot.bottom(); ++y)
        thickness += shows(image.pixel(plot.right() - 20, y), ui::TrendView::channelColor(0));
    EXPECT_LE(thickness, 4);
}

TEST(TrendView, AnImageHasItsTitleAndItsLegendTheValuesAtTheViewsEdge)
{
    // Channel ch reads 1000 ch + t; the view from 60 s to 180 s of 300.
    poll::History held;
    ui::TrendView view(held);
    held.append(readings(300, [](int ch, int t) { return static_cast<float>(1000 * ch + t); }));
    view.setTimeWindow(kT0 + 60'000, kT0 + 180'500);
    const QStringList legend = view.legendLines();
    EXPECT_TRUE(legend[0].endsWith(QLocale().toString(QDateTime::fromMSecsSinceEpoch(kT0 + 180'000),
                                                      QStringLiteral("HH:mm:ss"))))
        << legend[0].toStdString();
    EXPECT_EQ(legend[4], QStringLiteral("channel 3: 3180"));

    // The title is drawn above the legend, and nothing else moves.
    const QImage plain = view.toImage(kSize);
    view.setTitle(QStringLiteral("run 7 — /dev/ttyUSB0, 2023-11-14 22:14 to 22:16"));
    const QImage titled = view.toImage(kSize);
    const QRect plot = view.plotArea(kSize);
    int dark = 0, lowest = 0;
    for (int y = 0; y < kSize.height(); ++y)
        for (int x = 0; x < kSize.width(); ++x)
            if (plain.pixel(x, y) != titled.pixel(x, y)) {
                lowest = y;
                dark += qGray(titled.pixel(x, y)) < 100 ? 1 : 0;
            }
    EXPECT_GT(dark, 100);
    const int line = QFontMetrics(view.font(), &plain).height();
    EXPECT_LT(lowest, plot.top() - 2 * line) << "above the legend";
}

TEST(TrendView, ALiveViewGrowsWithItsHistoryUntilZoomed)
{
    poll::History held;
    ui::TrendView view(held);
    view.setLiveEdgeFollowsClock(false);
    view.resize(kSize);
    const std::vector<poll::Sample> samples = readings(1000, [](int, int) { return 1.0f; });
    const auto feed = [&](int from, int to) {
        held.append(std::span(samples).subspan(static_cast<std::size_t>(from),
                                               static_cast<std::size_t>(to - from)));
        return view.timeWindow().second - view.timeWindow().first;
    };
    EXPECT_EQ(feed(0, 180), 179'000);
    EXPECT_EQ(view.timeWindow().first, kT0) << "from the first reading";
    // Moved and back to live, it grows on to 10 minutes; zoomed, it keeps its span.
    QTest::keyClick(&view, Qt::Key_Left);
    QTest::keyClick(&view, Qt::Key_End);
    EXPECT_EQ(feed(180, 900), ui::TrendView::kDefaultSpanMs);
    QTest::keyClick(&view, Qt::Key_Plus);
    QTest::keyClick(&view, Qt::Key_Left);
    QTest::keyClick(&view, Qt::Key_End);
    EXPECT_EQ(feed(900, 1000), ui::TrendView::kDefaultSpanMs / 2);
}

TEST(TrendView, EscapeClosesTheListOfKeysThenTheWindow)
{
    poll::History held;
    for (const QKeySequence& close :
         {QKeySequence(Qt::Key_Escape), QKeySequence(Qt::CTRL | Qt::Key_W)}) {
        ui::TrendView view(held);
        view.show();
        QTest::keyClick(&view, Qt::Key_F1);
        QTest::keySequence(&view, close);
        // Esc closes the list first; Ctrl+W the window at once.
        EXPECT_EQ(view.isVisible(), close == QKeySequence(Qt::Key_Escape));
        QTest::keySequence(&view, close);
        EXPECT_FALSE(view.isVisible());
    }
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
