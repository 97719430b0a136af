#include "ui/trendview.h"

#include "poll/numberformat.h"
#include "ui/trendview_p.h"

#include <QDateTime>
#include <QLocale>
#include <QPainter>
#include <QPolygonF>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <limits>

namespace ui {
using namespace trend;
namespace {

// The round step (1, 2 or 5 times a power of ten) that cuts `range` into at
// most `count` parts.
double roundStep(double range, int count)
{
    const double raw = range / std::max(count, 1);
    if (!(raw > 0) || !std::isfinite(raw))
        return 0; // no ticks
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    for (const double m : {1.0, 2.0, 5.0})
        if (m * magnitude >= raw * (1 - 1e-9))
            return m * magnitude;
    return 10 * magnitude;
}

// A step of the time axis: a fixed length, or whole calendar months (12 a
// year), whose lengths vary.
struct TimeStep
{
    qint64 ms = 0;
    qint64 months = 0;
};

// The shortest step that leaves each label room, from a second to years:
// the count of grid lines and labels follows the width, whatever the span.
TimeStep timeStep(double msPerPixel, const std::function<int(const QString&)>& widthOf,
                  const QLocale& locale)
{
    static constexpr qint64 steps[] = {
        kSecond,  2 * kSecond, 5 * kSecond, 10 * kSecond, 15 * kSecond, 30 * kSecond,
        kMinute,  2 * kMinute, 5 * kMinute, 10 * kMinute, 15 * kMinute, 30 * kMinute,
        kHour,    2 * kHour,   3 * kHour,   6 * kHour,    12 * kHour,   kDay,
        2 * kDay, 7 * kDay,    14 * kDay};
    const auto fits = [&](double stepMs, int labelWidth) {
        return stepMs / msPerPixel >= labelWidth;
    };
    const int clockWidth = widthOf(QStringLiteral("00:00:00")) + 16;
    for (const qint64 step : steps)
        if (fits(static_cast<double>(step), clockWidth))
            return {step, 0};
    int monthWidth = 0;
    for (int month = 1; month <= 12; ++month)
        monthWidth =
            std::max(monthWidth,
                     widthOf(locale.toString(QDate(2000, month, 1), QStringLiteral("MMM yyyy"))));
    for (const qint64 months : {1, 3, 6})
        if (fits(static_cast<double>(months) * kMonthMs, monthWidth + 16))
            return {0, months};
    // Years: 1, 2, 5, 10, 20, 50, ... A span of 292 million years (all of
    // qint64's ms) ends this at 10^8 years.
    const int yearWidth = widthOf(QStringLiteral("0000")) + 16;
    for (qint64 years = 1;; years *= 10)
        for (const qint64 m : {1, 2, 5})
            if (fits(static_cast<double>(m * years) * 12 * kMonthMs, yearWidth) ||
                m * years >= 100'000'000)
                return {0, m * years * 12};
}

qint64 floorDiv(qint64 a, qint64 b)
{
    return a / b - (a % b < 0 ? 1 : 0);
}

// The ticks of a value axis `step` apart over [low, high], each with its
// label: fixed-point with the decimals the step needs ("-1,000,000",
// "0.25"), or, from ten million up or for steps under 0.0001, a mantissa and
// exponent with the digits that tell neighbouring ticks apart ("3.5e+38"
// beside "3e+38", "-5e-06").
std::vector<std::pair<double, QString>> valueTicks(double low, double high, double step,
                                                   const QLocale& locale)
{
    std::vector<std::pair<double, QString>> ticks;
    if (!(step > 0) || !std::isfinite(low) || !std::isfinite(high))
        return ticks;
    const double first = std::ceil(low / step - 1e-9);
    // Each tick from its index, not by adding up steps; and a bound, for a
    // fixed range so far from zero that a step no longer moves a double.
    for (int i = 0; i < 1000; ++i) {
        const double v = (first + i) * step;
        if (v > high + step * 1e-9)
            break;
        ticks.emplace_back(std::abs(v) < step * 1e-6 ? 0.0 : v, QString());
    }
    if (ticks.empty())
        return ticks;
    const double largest = std::max(std::abs(ticks.front().first), std::abs(ticks.back().first));
    const int stepDigit = static_cast<int>(std::floor(std::log10(step) + 1e-9));
    const bool exponent = largest >= 1e7 || step < 1e-4;
    const int significant =
        largest > 0
            ? std::clamp(static_cast<int>(std::floor(std::log10(largest))) - stepDigit + 1, 1, 17)
            : 1;
    const int decimals = std::max(0, -stepDigit);
    for (auto& [v, label] : ticks)
        label = exponent ? locale.toString(v, 'g', significant) : locale.toString(v, 'f', decimals);
    return ticks;
}

} // namespace

namespace trend {

// When a reading came, as the note under the plot says it: the time of day,
// with the date if it was not today.
QString timeText(qint64 ms, qint64 nowMs, const QLocale& locale)
{
    const QDateTime at = QDateTime::fromMSecsSinceEpoch(ms);
    return locale.toString(at, at.date() == QDateTime::fromMSecsSinceEpoch(nowMs).date()
                                   ? QStringLiteral("HH:mm:ss")
                                   : QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

// A length of time as the markers' panel gives it: "45 s", "2 min 05 s",
// "1 h 00 min 30 s", "3 d 04 h 10 min"; negative when B is before A.
QString durationText(qint64 ms)
{
    const QString sign = ms < 0 ? QStringLiteral("−") : QString();
    const qint64 s = std::llabs(ms) / kSecond;
    const auto two = [](qint64 n) { return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0')); };
    if (std::llabs(ms) < kMinute)
        return sign + TrendView::tr("%1 s").arg(
                          QLocale().toString(static_cast<double>(std::llabs(ms)) / 1000.0, 'f',
                                             std::llabs(ms) % 1000 ? 1 : 0));
    if (s < 3600)
        return sign + TrendView::tr("%1 min %2 s").arg(s / 60).arg(two(s % 60));
    if (s < 86'400)
        return sign +
               TrendView::tr("%1 h %2 min %3 s").arg(s / 3600).arg(two(s / 60 % 60), two(s % 60));
    return sign + TrendView::tr("%1 d %2 h %3 min")
                      .arg(s / 86'400)
                      .arg(two(s / 3600 % 24), two(s / 60 % 60));
}

} // namespace trend

TrendView::TrendView(const poll::History& history, QWidget* parent)
    : QWidget(parent), m_history(history),
      m_now([] { return QDateTime::currentMSecsSinceEpoch(); }), m_tick(this)
{
    connect(&m_history, &poll::History::changed, this, [this] {
        if (m_markers[0] || m_markers[1])
            describe(); // a marker ahead of the readings gets its values
        update();
    });
    m_tick.setSingleShot(true);
    m_tick.setInterval(kTickMs);
    connect(&m_tick, &QTimer::timeout, this, [this] {
        changed(); // the window and the note move with the clock
    });
    m_visible.fill(true);
    for (int ch = 0; ch < kChannels; ++ch)
        m_names[index(ch)] = QStringLiteral("channel %1").arg(ch);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(true);
    setFocusPolicy(Qt::WheelFocus);
    setAccessibleName(tr("Channel trend"));
    changed();
}

QColor TrendView::channelColor(int channel)
{
    return kPalette[index(channel)];
}

void TrendView::setTimeWindow(qint64 fromMs, qint64 toMs)
{
    m_toMs = toMs;
    m_spanMs = std::max<qint64>(toMs - fromMs, 1);
    m_spanChosen = true;
    setLive(false);
    changed();
}

void TrendView::followLive()
{
    if (!m_spanChosen)
        m_spanMs = kDefaultSpanMs; // panned from a growing view: it grows on
    setLive(true);
    changed();
}

void TrendView::setSpan(qint64 ms)
{
    m_spanMs = std::max<qint64>(ms, 1);
    m_spanChosen = true;
    changed();
}

void TrendView::setLiveEdgeFollowsClock(bool follows)
{
    m_followClock = follows;
    changed();
}

void TrendView::setClock(std::function<qint64()> nowMs)
{
    if (nowMs)
        m_now = std::move(nowMs);
    changed();
}

void TrendView::setFault(const QString& text)
{
    m_fault = text;
    changed();
}

std::pair<qint64, qint64> TrendView::timeWindow() const
{
    qint64 to = m_toMs;
    if (m_live) {
        const std::optional<qint64> newest =
            m_history.isEmpty() ? std::nullopt : std::optional(m_history.newest().timeMs);
        // Never left of the newest sample, should the clock be set back.
        to = !m_followClock
                 ? newest.value_or(0)
                 : std::max(m_now(), newest.value_or(std::numeric_limits<qint64>::min()));
        // A history shorter than the span is shown from its first sample:
        // 3 minutes after the start, 3 minutes wide rather than 7 empty
        // minutes and 3 full ones; at least 10 s, so that one reading is
        // not a view of no width.
        if (!m_spanChosen && newest)
            return {to - std::clamp(to - m_history.oldest().timeMs, kLeastGrowingSpanMs, m_spanMs),
                    to};
    }
    return {to - m_spanMs, to};
}

void TrendView::setMarker(Marker marker, std::optional<qint64> timeMs)
{
    auto& slot = m_markers[marker == Marker::A ? 0 : 1];
    if (slot == timeMs)
        return;
    slot = timeMs;
    describe();
    update();
    emit markersChanged();
}

std::optional<qint64> TrendView::marker(Marker marker) const
{
    return m_markers[marker == Marker::A ? 0 : 1];
}

void TrendView::setValueAxis(ValueAxis axis)
{
    m_axis = axis;
    changed();
}

void TrendView::setTitle(const QString& title)
{
    m_title = title;
    update();
}

std::optional<poll::Sample> TrendView::sampleAt(qint64 timeMs) const
{
    if (timeMs == std::numeric_limits<qint64>::max())
        return m_history.isEmpty() ? std::nullopt : std::optional(m_history.newest());
    const qsizetype i = m_history.lowerBound(timeMs + 1) - 1;
    if (i < 0)
        return std::nullopt; // every sample is later
    return m_history.at(i);
}

std::optional<poll::Sample> TrendView::legendSample() const
{
    const qint64 edge = timeWindow().second;
    for (qsizetype i =
             m_history.lowerBound(edge == std::numeric_limits<qint64>::max() ? edge : edge + 1) - 1;
         i >= 0; --i)
        if (m_history.at(i).checksumOk)
            return m_history.at(i);
    return std::nullopt;
}

QStringList TrendView::markerPanel() const
{
    const auto [a, b] = m_markers;
    if (!a && !b)
        return {};
    const QLocale locale;
    const qint64 now = m_now();
    QStringList head;
    if (a)
        head << tr("A %1").arg(timeText(*a, now, locale));
    if (b)
        head << tr("B %1").arg(timeText(*b, now, locale));
    if (a && b)
        head << tr("B − A %1").arg(durationText(*b - *a));
    // A marker further from the sample before it than the gap rule allows
    // lies in a silence: no value there.
    const auto reading = [&](std::optional<qint64> t) -> std::optional<poll::Sample> {
        if (!t)
            return std::nullopt;
        std::optional<poll::Sample> s = sampleAt(*t);
        if (!s || !s->checksumOk || *t - s->timeMs > m_history.gapAfterMs())
            return std::nullopt;
        return s;
    };
    const std::optional<poll::Sample> atA = reading(a), atB = reading(b);
    const QString none = QStringLiteral("–");
    QStringList lines{head.join(QStringLiteral(", "))};
    for (int ch = 0; ch < kChannels; ++ch) {
        if (!m_visible[index(ch)])
            continue;
        const std::size_t c = index(ch);
        QStringList parts;
        if (a)
            parts << tr("A %1").arg(atA ? poll::FormatChannelNumber(atA->values[c]) : none);
        if (b)
            parts << tr("B %1").arg(atB ? poll::FormatChannelNumber(atB->values[c]) : none);
        if (a && b)
            parts << tr("B − A %1")
                         .arg(atA && atB ? poll::FormatChannelNumber(static_cast<float>(
                                               double{atB->values[c]} - atA->values[c]))
                                         : none);
        lines << m_names[c] + QStringLiteral(": ") + parts.join(QStringLiteral(", "));
    }
    return lines;
}

QStringList TrendView::legendLines() const
{
    return legendLines(frameFor(rect(), fontMetrics()));
}

QStringList TrendView::legendLines(const Frame& f) const
{
    const std::optional<poll::Sample> s = legendSample();
    QStringList lines{s ? tr("values at %1").arg(timeText(s->timeMs, m_now(), QLocale()))
                        : tr("no values in view")};
    for (int ch = 0; ch < kChannels; ++ch) {
        const std::size_t c = index(ch);
        QString line = m_names[c] + QStringLiteral(": ") +
                       (s ? poll::FormatChannelNumber(s->values[c]) : QStringLiteral("–"));
        // Normalised, a height says nothing without the channel's own range.
        if (m_axis == ValueAxis::Normalised && f.ranges[c])
            line += QStringLiteral(" (%1 … %2)")
                        .arg(poll::FormatChannelNumber(static_cast<float>(f.ranges[c]->first)),
                             poll::FormatChannelNumber(static_cast<float>(f.ranges[c]->second)));
        lines << line;
    }
    return lines;
}

std::optional<qint64> TrendView::hoverTime() const
{
    return m_hover ? timeAt(*m_hover) : std::nullopt;
}

std::optional<qint64> TrendView::timeAt(QPoint at) const
{
    const QRect plot = layOut(rect(), fontMetrics()).plot;
    if (!plot.contains(at) || plot.width() < 1)
        return std::nullopt;
    const auto [from, to] = timeWindow();
    const double msPerPixel = static_cast<double>(to - from) / plot.width();
    return from + std::llround((at.x() - plot.left() + 0.5) * msPerPixel);
}

void TrendView::showAll()
{
    if (m_history.isEmpty())
        return;
    m_spanChosen = true;
    // At least the narrowest span, so that a single reading is not a window of no width.
    const qint64 oldest = m_history.oldest().timeMs;
    setTimeWindow(oldest, std::max(m_history.newest().timeMs, oldest + kMinSpanMs));
}

void TrendView::resetZoom()
{
    m_spanChosen = false;
    m_spanMs = kDefaultSpanMs;
    setLive(true);
    changed();
}

void TrendView::setLive(bool live)
{
    if (live == m_live)
        return;
    m_live = live;
    emit liveChanged(live);
}

std::optional<qint64> TrendView::silentSince() const
{
    if (!m_live || !m_followClock || m_history.isEmpty())
        return std::nullopt;
    const qint64 newest = m_history.newest().timeMs;
    if (m_now() - newest <= m_history.gapAfterMs())
        return std::nullopt;
    return newest;
}

bool TrendView::legendIsStale() const
{
    return silentSince().has_value();
}

QString TrendView::note() const
{
    if (!m_fault.isEmpty())
        return m_fault;
    if (const std::optional<qint64> since = silentSince())
        return tr("no reply since %1 (the legend shows the last values received)")
            .arg(timeText(*since, m_now(), QLocale()));
    return {};
}

void TrendView::setValueRange(std::optional<std::pair<double, double>> range)
{
    if (range && range->second <= range->first)
        range.reset(); // an empty range is no range: scale to the data
    m_valueRange = range;
    update();
}

void TrendView::setChannelVisible(int channel, bool visible)
{
    if (channel < 0 || channel >= kChannels)
        return;
    m_visible[index(channel)] = visible;
    update();
}

bool TrendView::channelVisible(int channel) const
{
    return channel >= 0 && channel < kChannels && m_visible[index(channel)];
}

void TrendView::changed()
{
    describe();
    update();
}

void TrendView::describe()
{
    const auto [from, to] = timeWindow();
    const qint64 spanMs = to - from;
    const QLocale locale;
    const auto at = [&](qint64 ms) {
        return locale.toString(QDateTime::fromMSecsSinceEpoch(ms), QLocale::ShortFormat);
    };
    // The span in the largest unit that leaves a whole number of at least 2.
    const QString span = spanMs >= 2 * kDay      ? tr("%1 days").arg(spanMs / kDay)
                         : spanMs >= 2 * kHour   ? tr("%1 hours").arg(spanMs / kHour)
                         : spanMs >= 2 * kMinute ? tr("%1 minutes").arg(spanMs / kMinute)
                                                 : tr("%1 seconds").arg(spanMs / kSecond);
    QString description =
        !m_live ? tr("The eight channels from %1 to %2").arg(at(from), at(to))
        : m_followClock
            ? tr("The eight channels over the last %1, up to now").arg(span)
            : tr("The eight channels over the last %1, following the newest reading").arg(span);
    if (m_axis != ValueAxis::Shared)
        description += m_axis == ValueAxis::Normalised
                           ? tr(", each scaled to its own range in view")
                           : tr(", each in a lane of its own");
    if (const QString line = note(); !line.isEmpty())
        description += QStringLiteral("; ") + line;
    if (const QStringList panel = markerPanel(); !panel.isEmpty())
        description += QStringLiteral(". ") + panel.join(QStringLiteral("; "));
    if (description != accessibleDescription())
        setAccessibleDescription(description);
}

QImage TrendView::toImage(QSize size) const
{
    QImage image(size, QImage::Format_RGB32);
    QPainter painter(&image);
    render(painter, image.rect());
    return image;
}

TrendView::Frame TrendView::imageFrame(QSize size) const
{
    const QImage probe(1, 1,
                       QImage::Format_RGB32); // the fonts' size in an image, as toImage draws them
    return frameFor(QRect(QPoint(), size), QFontMetrics(font(), &probe));
}

QRect TrendView::plotArea(QSize size) const
{
    return imageFrame(size).layout.plot;
}

QRect TrendView::legendEntry(QSize size, int channel) const
{
    return imageFrame(size).layout.entries[index(channel)];
}

QStringList TrendView::valueLabels(QSize size) const
{
    QStringList labels;
    const Frame f = imageFrame(size);
    for (auto axis = f.axes.rbegin(); axis != f.axes.rend(); ++axis)
        for (const auto& [v, label] : axis->ticks)
            labels.prepend(label);
    return labels;
}

QColor TrendView::addressMarkColor()
{
    return kAddressMark;
}

QColor TrendView::markerColor()
{
    return kMarker;
}

TrendView::Layout TrendView::layOut(QRect rect, const QFontMetrics& metrics) const
{
    const int least = m_text.width(font(), metrics, QStringLiteral("-88888.8")) + kPad;
    return layOut(rect, metrics, std::max(m_labelColumn, least));
}

TrendView::Layout TrendView::layOut(QRect rect, const QFontMetrics& metrics, int labelColumn) const
{
    Layout l;
    l.header =
        QRect(rect.left() + kPad, rect.top() + kPad, rect.width() - 2 * kPad, metrics.height() + 2);
    // The legend: eight entries in one row if each gets 190 pixels, else in
    // rows of four or two; twice that when normalised, where an entry holds
    // the channel's range beside its value.
    const int room = m_axis == ValueAxis::Normalised ? 380 : 190;
    const int perRow = rect.width() >= 8 * room ? 8 : rect.width() >= 4 * room ? 4 : 2;
    const int rows = kChannels / perRow;
    const int entryHeight = metrics.height() + 4;
    const int entryWidth = (rect.width() - 2 * kPad) / perRow;
    for (int ch = 0; ch < kChannels; ++ch)
        l.entries[index(ch)] =
            QRect(rect.left() + kPad + ch % perRow * entryWidth,
                  l.header.bottom() + 1 + ch / perRow * entryHeight, entryWidth, entryHeight);
    // A line under the time labels for the note, kept whether there is one
    // or not, so that the plot does not jump when a silence begins.
    const int noteHeight = reservesNoteLine() ? metrics.height() : 0;
    const int top = l.header.bottom() + 1 + rows * entryHeight + kPad;
    const int bottom = rect.bottom() - kPad - noteHeight - metrics.height() - 2 - kMarkHeight - 3;
    l.plot = QRect(QPoint(rect.left() + kPad + labelColumn, top),
                   QPoint(rect.right() - kPad - 4, bottom));
    l.marks = QRect(l.plot.left(), l.plot.bottom() + 3, l.plot.width(), kMarkHeight);
    l.labelTop = l.marks.bottom() + 2;
    if (noteHeight > 0)
        l.note = QRect(l.plot.left(), l.labelTop + metrics.height(), l.plot.width(), noteHeight);
    return l;
}

TrendView::Frame TrendView::frameFor(QRect rect, const QFontMetrics& metrics) const
{
    Frame f;
    std::tie(f.from, f.to) = timeWindow();
    // The value labels' column: as wide as "-88888.8", or the widest label.
    const int least = m_text.width(font(), metrics, QStringLiteral("-88888.8")) + kPad;
    m_labelColumn = std::max(m_labelColumn, least);
    f.layout = layOut(rect, metrics, m_labelColumn);
    const QRect& plot = f.layout.plot;
    if (plot.width() < 2 || plot.height() < 2)
        return f; // no room to draw in
    f.reduction = &m_history.reduce(f.from, f.to, plot.width());

    // Each channel's good samples in view; the same for any count of columns.
    for (const poll::HistoryColumn& c : f.reduction->columns) {
        if (c.good == 0)
            continue;
        for (std::size_t ch = 0; ch < protocol::kChannelCount; ++ch) {
            auto& range = f.ranges[ch];
            range = range ? std::pair(std::min<double>(range->first, c.min[ch]),
                                      std::max<double>(range->second, c.max[ch]))
                          : std::pair<double, double>(c.min[ch], c.max[ch]);
        }
    }
    // Room around the data, so that no line lies on the frame: a tenth of
    // the value either side of a level line, else 5 % of the range.
    const auto padded = [](std::optional<std::pair<double, double>> values) {
        if (!values)
            return std::pair(0.0, 1.0);
        auto [low, high] = *values;
        const double pad =
            high - low < 1e-9 ? std::max(std::abs(high) * 0.1, 1.0) : (high - low) * 0.05;
        low -= pad;
        high += pad;
        if (!std::isfinite(low) || !std::isfinite(high))
            return std::pair(0.0, 1.0); // a value that is no number, from a damaged recording
        return std::pair(low, high);
    };
    // An axis on rows [top, top + height]: the fixed range, or the data's
    const QLocale locale;
    // widened to round ticks, or, in a lane too low for more than two
    // ticks, not widened: the data fill the lane.
    const auto axisFor = [&](std::optional<std::pair<double, double>> values, int top, int height,
                             int fewestTicks) {
        Axis axis;
        axis.top = top;
        axis.height = height;
        std::tie(axis.low, axis.high) = m_valueRange ? *m_valueRange : padded(values);
        const double step =
            roundStep(axis.high - axis.low, std::max(height / kTickSpacing, fewestTicks));
        if (!m_valueRange && step > 0 && height >= 3 * kTickSpacing) {
            axis.low = std::floor(axis.low / step) * step;
            axis.high = std::ceil(axis.high / step) * step;
        }
        axis.ticks = valueTicks(axis.low, axis.high, step, locale);
        return axis;
    };
    const auto scaleOf = [](const Axis& axis) {
        return Scale{static_cast<double>(axis.top), static_cast<double>(axis.height), axis.low,
                     axis.high, QRect()};
    };

    std::vector<int> shown;
    for (int ch = 0; ch < kChannels; ++ch)
        if (m_visible[index(ch)])
            shown.push_back(ch);
    if (m_axis == ValueAxis::Stacked && !shown.empty()) {
        // One lane a visible channel, top to bottom, kLaneGap apart.
        const int count = static_cast<int>(shown.size());
        const int lane = std::max((plot.height() - kLaneGap * (count - 1)) / count, 1);
        for (int k = 0; k < count; ++k) {
            const std::size_t c = index(shown[index(k)]);
            f.axes.push_back(axisFor(f.ranges[c], plot.top() + k * (lane + kLaneGap), lane, 2));
            f.scales[c] = scaleOf(f.axes.back());
        }
    } else if (m_axis == ValueAxis::Normalised) {
        // Each channel from its lowest to its highest in view; the axis in per cent.
        Axis axis{plot.top(), plot.height(), 0, 100, {}};
        const double step = roundStep(100, std::max(plot.height() / kTickSpacing, 2));
        for (auto& [v, label] : valueTicks(0, 100, step, locale))
            axis.ticks.emplace_back(v, tr("%1 %").arg(label));
        f.axes.push_back(std::move(axis));
        for (const int ch : shown) {
            const auto [low, high] = padded(f.ranges[index(ch)]);
            f.scales[index(ch)] = Scale{static_cast<double>(plot.top()),
                                        static_cast<double>(plot.height()), low, high, QRect()};
        }
    } else {
        std::optional<std::pair<double, double>> all;
        for (const int ch : shown)
            if (const auto& range = f.ranges[index(ch)])
                all = all ? std::pair(std::min(all->first, range->first),
                                      std::max(all->second, range->second))
                          : *range;
        f.axes.push_back(axisFor(all, plot.top(), plot.height(), 2));
        f.scales.fill(scaleOf(f.axes.back()));
    }

    int widest = 0;
    for (const Axis& axis : f.axes)
        for (const auto& [v, label] : axis.ticks)
            widest = std::max(widest, m_text.width(font(), metrics, label));
    const int column = std::max(least, widest + kPad);
    if (column != m_labelColumn) {
        // Laid out again with the column the labels need, and reduced to
        // the plot's new width: the rows, the ranges and the ticks stay as
        // they are.
        m_labelColumn = column;
        f.layout = layOut(rect, metrics, column);
        if (plot.width() < 2) {
            f.reduction = nullptr;
            return f;
        }
        f.reduction = &m_history.reduce(f.from, f.to, plot.width());
    }
    // A line at the very top or bottom of its band still shows whole.
    for (Scale& scale : f.scales)
        scale.clip = QRect(plot.left(), static_cast<int>(scale.top) - 2, plot.width(),
                           static_cast<int>(scale.height) + 4);
    return f;
}

void TrendView::render(QPainter& painter, QRect rect) const
{
    painter.save();
    painter.setFont(font());
    painter.fillRect(rect, Qt::white);
    const QFontMetrics metrics = painter.fontMetrics();
    const Frame f = frameFor(rect, metrics);
    const Layout& l = f.layout;

    // The title on the left, bold; the legend's time on the right.
    const QString caption = legendLines(f).value(0);
    const int captionWidth = m_text.width(font(), metrics, caption);
    painter.setPen(kText);
    m_text.draw(painter, l.header, Qt::AlignRight | Qt::AlignVCenter, caption);
    if (!m_title.isEmpty()) {
        QFont bold = font();
        bold.setBold(true);
        painter.setFont(bold);
        m_text.draw(painter, l.header, Qt::AlignLeft | Qt::AlignVCenter,
                    m_text.elided(bold, painter.fontMetrics(), m_title,
                                  l.header.width() - captionWidth - 2 * kPad));
        painter.setFont(font());
    }
    if (!f.reduction) {
        painter.restore();
        return; // no room to draw in
    }
    const poll::HistoryReduction& reduction = *f.reduction;

    // Value grid and labels, each axis on its band; a label that would
    // touch the one below it (the lanes' edges) is left out.
    int labelAbove = std::numeric_limits<int>::min();
    for (const Axis& axis : f.axes) {
        const auto yOf = [&](double v) {
            return axis.top + (axis.high - v) / (axis.high - axis.low) * axis.height;
        };
        for (const auto& [v, label] : axis.ticks) {
            const double y = std::round(yOf(v)) + 0.5;
            painter.setPen(kGrid);
            painter.drawLine(QPointF(l.plot.left(), y), QPointF(l.plot.right() + 1, y));
        }
        for (auto tick = axis.ticks.rbegin(); tick != axis.ticks.rend(); ++tick) {
            const QRectF box(rect.left() + kPad,
                             std::round(yOf(tick->first)) + 0.5 - metrics.height() / 2.0,
                             l.plot.left() - rect.left() - kPad - 4, metrics.height());
            if (box.top() < labelAbove)
                continue;
            painter.setPen(kText);
            m_text.draw(painter, box, Qt::AlignRight | Qt::AlignVCenter, tick->second);
            labelAbove = static_cast<int>(std::ceil(box.bottom()));
        }
    }
    drawTimeAxis(painter, rect, l, f.from, f.to);
    painter.setPen(kFrame);
    if (m_axis == ValueAxis::Stacked && f.axes.size() > 1) {
        for (const Axis& axis : f.axes)
            painter.drawRect(QRectF(l.plot.left(), axis.top, l.plot.width(), axis.height)
                                 .adjusted(0.5, 0.5, 0.5, 0.5));
    } else {
        painter.drawRect(QRectF(l.plot).adjusted(0.5, 0.5, 0.5, 0.5));
    }

    // Failed replies: a tick under the plot, where their time is.
    painter.setPen(QPen(kFailedMark, 1));
    for (std::size_t col = 0; col < reduction.columns.size(); ++col)
        if (reduction.columns[col].failed > 0) {
            const double x = l.marks.left() + static_cast<double>(col) + 0.5;
            painter.drawLine(QPointF(x, l.marks.top()), QPointF(x, l.marks.bottom() + 1));
        }

    drawAddressMarks(painter, l, reduction, false);
    drawSeries(painter, f);
    drawAddressMarks(painter, l, reduction, true);
    drawMarkers(painter, f);
    drawLegend(painter, f);

    painter.setFont(font());
    if (const QString line = note(); !line.isEmpty() && !l.note.isEmpty()) {
        painter.setPen(m_fault.isEmpty() ? kText : kFailedMark);
        m_text.draw(painter, l.note, Qt::AlignLeft | Qt::AlignVCenter,
                    m_text.elided(font(), metrics, line, l.note.width()));
    }
    if (m_history.isEmpty()) {
        painter.setPen(kText);
        m_text.draw(painter, l.plot, Qt::AlignCenter, tr("No readings yet"));
    }
    painter.restore();
}

void TrendView::drawTimeAxis(QPainter& painter, QRect rect, const Layout& l, qint64 from,
                             qint64 to) const
{
    // Grid lines and labels on round steps of local time: seconds to weeks
    // by length, months and years by the calendar. A label at local midnight
    // shows the date.
    const QLocale locale;
    const QFontMetrics metrics = painter.fontMetrics();
    const double msPerPixel = static_cast<double>(to - from) / l.plot.width();
    const TimeStep step = timeStep(
        msPerPixel,
        [&](const QString& text) { return m_text.width(painter.font(), metrics, text); }, locale);
    int lastRight = std::numeric_limits<int>::min();
    const auto mark = [&](qint64 t, const QString& label) {
        const double x =
            std::round(l.plot.left() + static_cast<double>(t - from) / msPerPixel) + 0.5;
        painter.setPen(kGrid);
        painter.drawLine(QPointF(x, l.plot.top()), QPointF(x, l.plot.bottom() + 1));
        const int width = m_text.width(painter.font(), metrics, label);
        const QRect box(static_cast<int>(x) - width / 2, l.labelTop, width, metrics.height());
        // Within the picture, and clear of the label before (a date at
        // midnight is wider than a time).
        if (box.left() >= rect.left() && box.right() <= rect.right() &&
            box.left() > lastRight + 4) {
            painter.setPen(kText);
            m_text.draw(painter, box, Qt::AlignCenter, label);
            lastRight = box.right();
        }
    };

    if (step.months == 0) {
        const QString format = step.ms < kMinute ? QStringLiteral("HH:mm:ss")
                               : step.ms < kDay  ? QStringLiteral("HH:mm")
                                                 : QStringLiteral("d MMM");
        const qint64 offset = QDateTime::fromMSecsSinceEpoch(from).offsetFromUtc() * kSecond;
        for (qint64 t = (floorDiv(from + offset, step.ms) + 1) * step.ms - offset; t <= to;
             t += step.ms) {
            const QDateTime local = QDateTime::fromMSecsSinceEpoch(t);
            mark(t, local.time() == QTime(0, 0) && step.ms < kDay
                        ? locale.toString(local.date(), QStringLiteral("d MMM"))
                        : locale.toString(local, format));
        }
        return;
    }
    // The first of each month (counted from year 0) that the step divides,
    // at local midnight.
    const QString format =
        step.months % 12 == 0 ? QStringLiteral("yyyy") : QStringLiteral("MMM yyyy");
    const QDate start = QDateTime::fromMSecsSinceEpoch(from).date();
    qint64 month = start.year() * qint64{12} + start.month() - 1;
    month = floorDiv(month + step.months - 1, step.months) * step.months;
    // At most a label a few tens of pixels: the bound only guards the loop.
    for (int n = 0; n < 10'000; ++n, month += step.months) {
        const qint64 year = floorDiv(month, 12);
        if (year == 0)
            continue; // the calendar goes from 1 BC to AD 1
        if (year > std::numeric_limits<int>::max())
            break;
        const QDate date(static_cast<int>(year), static_cast<int>(month - year * 12) + 1, 1);
        const qint64 t = QDateTime(date, QTime(0, 0)).toMSecsSinceEpoch();
        if (t > to)
            break;
        if (t >= from)
            mark(t, locale.toString(date, format));
    }
}

void TrendView::drawAddressMarks(QPainter& painter, const Layout& l,
                                 const poll::HistoryReduction& r, bool labels) const
{
    // A thin line across the plot, under the channels' lines, where the
    // module's address changed; its label over them, at the top.
    painter.save();
    if (!labels) {
        painter.setPen(QPen(kAddressMark, 1));
        for (std::size_t col = 0; col < r.columns.size(); ++col)
            if (r.columns[col].newAddress >= 0) {
                const double x = l.plot.left() + static_cast<double>(col) + 0.5;
                painter.drawLine(QPointF(x, l.plot.top() + 1), QPointF(x, l.plot.bottom()));
            }
        painter.restore();
        return;
    }
    QFont small = font();
    if (small.pointSizeF() > 0)
        small.setPointSizeF(small.pointSizeF() * 0.85);
    painter.setFont(small);
    const QFontMetrics metrics = painter.fontMetrics();
    int lastRight = std::numeric_limits<int>::min();
    for (std::size_t col = 0; col < r.columns.size(); ++col) {
        const int address = r.columns[col].newAddress;
        if (address < 0)
            continue;
        const QString label = tr("module %1").arg(address);
        const int x = l.plot.left() + static_cast<int>(col);
        QRect box(x + 3, l.plot.top() + 2, m_text.width(small, metrics, label) + 2,
                  metrics.height());
        if (box.right() > l.plot.right())
            box.moveRight(x - 3);
        if (box.left() <= lastRight + 4)
            continue; // would touch the label before
        painter.fillRect(box, QColor(255, 255, 255, 200));
        painter.setPen(kAddressMark);
        m_text.draw(painter, box, Qt::AlignCenter, label);
        lastRight = box.right();
    }
    painter.restore();
}

void TrendView::drawSeries(QPainter& painter, const Frame& f) const
{
    const Layout& l = f.layout;
    const poll::HistoryReduction& r = *f.reduction;
    // The columns that hold values, in order; whether the line comes into
    // each from the one before is the same for every channel.
    std::vector<int> filled;
    filled.reserve(r.columns.size());
    for (std::size_t col = 0; col < r.columns.size(); ++col)
        if (r.columns[col].good > 0)
            filled.push_back(static_cast<int>(col));

    painter.save();
    const double msPerPixel = static_cast<double>(r.toMs - r.fromMs) / l.plot.width();
    const auto yOf = [&](std::size_t c, float v) {
        // Kept near the band: a value far outside a fixed range would only overflow.
        const Scale& s = f.scales[c];
        const double y = s.top + (s.high - v) / (s.high - s.low) * s.height;
        return std::isnan(y) ? s.top - s.height
                             : std::clamp(y, s.top - s.height, s.top + 2 * s.height);
    };
    const auto xOfTime = [&](qint64 ms) {
        return l.plot.left() + static_cast<double>(ms - r.fromMs) / msPerPixel;
    };
    const auto xOf = [&](int col) { return l.plot.left() + col + 0.5; };

    // Identical lines: a channel that a later one covers in half the
    // columns or more (a crossing covers one or two, lines that start
    // together and part a few more) is drawn a pixel
    // wider on each side for each such channel, so that its colour shows as
    // an outline around the later one's: two equal channels are a 4-pixel
    // line of the first colour with a 2-pixel core of the second.
    std::array<int, protocol::kChannelCount> covered{};
    const std::size_t enough = std::max<std::size_t>(3, filled.size() / 2);
    // Only channels whose rows in view meet are compared, column by column:
    // apart (distinct levels, separate lanes) costs nothing.
    const auto rows = [&](std::size_t c) {
        return f.ranges[c] ? std::pair(yOf(c, static_cast<float>(f.ranges[c]->second)),
                                       yOf(c, static_cast<float>(f.ranges[c]->first)))
                           : std::pair(0.0, -2.0);
    };
    for (std::size_t a = 0; a < covered.size(); ++a)
        for (std::size_t b = a + 1; b < covered.size() && m_visible[a]; ++b) {
            const auto [aTop, aBottom] = rows(a);
            const auto [bTop, bBottom] = rows(b);
            if (!m_visible[b] || aTop > bBottom + 1 || bTop > aBottom + 1)
                continue;
            std::size_t same = 0;
            for (const int col : filled) {
                const poll::HistoryColumn& c = r.columns[static_cast<std::size_t>(col)];
                same += std::abs(yOf(a, c.min[a]) - yOf(b, c.min[b])) < 1 &&
                                std::abs(yOf(a, c.max[a]) - yOf(b, c.max[b])) < 1
                            ? 1
                            : 0;
            }
            if (same >= enough)
                ++covered[a];
        }

    // Where columns with values are next to each other (the samples are
    // denser than the pixels), each column is one vertical bar from its
    // minimum to its maximum, stretched to meet the previous column's last
    // value: filled rectangles, cheap whatever the history. Where they are
    // apart (zoomed in), antialiased lines join the samples. A sample joined
    // to neither neighbour is a dot.
    QList<QRect> bars;
    QList<QPolygonF>
        lines; // each a run of joined points, drawn in one stroke so that no joint is drawn twice
    QList<QPointF> dots;
    const auto join = [&](QPointF from, QPointF to) {
        if (lines.isEmpty() || lines.back().back() != from)
            lines.push_back(QPolygonF{from});
        lines.back() << to;
    };
    for (int ch = 0; ch < kChannels; ++ch) {
        if (!m_visible[index(ch)])
            continue;
        const std::size_t c = index(ch);
        const int outline = covered[c];
        painter.setClipRect(f.scales[c].clip);
        bars.clear();
        lines.clear();
        dots.clear();
        bool havePrevious = r.hasBefore;
        int previousCol = -2; // not next to any column
        QPointF previous =
            r.hasBefore ? QPointF(xOfTime(r.before.timeMs), yOf(c, r.before.values[c])) : QPointF();
        for (std::size_t n = 0; n < filled.size(); ++n) {
            const int col = filled[n];
            const poll::HistoryColumn& column = r.columns[static_cast<std::size_t>(col)];
            const QPointF first(xOf(col), yOf(c, column.first[c]));
            double barTop = yOf(c, column.max[c]);
            double barBottom = yOf(c, column.min[c]);
            const bool joinedBefore = column.joinsPrevious && havePrevious;
            const bool besidePrevious = joinedBefore && previousCol == col - 1;
            if (besidePrevious) {
                barTop = std::min(barTop, previous.y());
                barBottom = std::max(barBottom, previous.y());
            } else if (joinedBefore) {
                join(previous, first);
            }
            const bool joinedAfter =
                n + 1 < filled.size()
                    ? r.columns[static_cast<std::size_t>(filled[n + 1])].joinsPrevious
                    : r.hasAfter && r.afterJoins;
            if (column.good > 1 || besidePrevious) {
                const int barY = static_cast<int>(std::lround(barTop)) - 1 - outline;
                bars << QRect(l.plot.left() + col, barY, 2,
                              static_cast<int>(std::lround(barBottom)) + 1 + outline - barY);
            } else if (!joinedBefore && !joinedAfter) {
                dots << first;
            }
            havePrevious = true;
            previousCol = col;
            previous = QPointF(xOf(col), yOf(c, column.last[c]));
        }
        if (r.hasAfter && r.afterJoins && havePrevious)
            join(previous, QPointF(xOfTime(r.after.timeMs), yOf(c, r.after.values[c])));

        painter.setRenderHint(QPainter::Antialiasing, false);
        painter.setPen(Qt::NoPen);
        painter.setBrush(kPalette[c]);
        painter.drawRects(bars);
        painter.setRenderHint(QPainter::Antialiasing, true);
        // An antialiased slope needs 1.5 px a side to show one pixel of unmixed colour.
        // Square caps and bevel joins: round ones are curves flattened at every
        // end and every sample, two fifths of a live redraw (a run between bars
        // is often one segment; zoomed in, a run joins every sample), and at
        // 2 px they look the same.
        painter.setPen(QPen(kPalette[c], kLineWidth + 3 * outline, Qt::SolidLine, Qt::SquareCap,
                            Qt::BevelJoin));
        for (const QPolygonF& run : lines)
            painter.drawPolyline(run);
        painter.setPen(
            QPen(kPalette[c], kLineWidth + 1.5 + 3 * outline, Qt::SolidLine, Qt::RoundCap));
        painter.drawPoints(dots);
    }
    painter.restore();
}

void TrendView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    render(painter, rect());
    painter.setFont(font());
    const Layout l = layOut(rect(), painter.fontMetrics());
    drawBadge(painter, l);
    drawHover(painter, l);
    drawHelp(painter);
    if (m_live && m_followClock)
        m_tick.start(); // the next paint, unless a reading brings it sooner
}

void TrendView::hideEvent(QHideEvent* event)
{
    m_tick.stop();
    QWidget::hideEvent(event);
}

} // namespace ui
