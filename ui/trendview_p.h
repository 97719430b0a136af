// What the trend view's source files share: its colours and sizes, and the
// layout and frame of one draw.
#pragma once

#include "ui/trendview.h"

#include <QColor>
#include <QRect>
#include <QString>

#include <array>
#include <utility>
#include <vector>

class QLocale;

namespace ui {
namespace trend {

constexpr int kChannels = static_cast<int>(protocol::kChannelCount);

// Okabe and Ito's eight colours, which readers with any common colour vision
// deficiency can tell apart. Their yellow (#F0E442) is 1.3:1 against white,
// too faint for a 2-pixel line; this darker yellow of the same hue is 3:1.
inline const std::array<QColor, protocol::kChannelCount> kPalette = {
    QColor(0x00, 0x00, 0x00), QColor(0xE6, 0x9F, 0x00), QColor(0x56, 0xB4, 0xE9),
    QColor(0x00, 0x9E, 0x73), QColor(0xA8, 0x94, 0x00), QColor(0x00, 0x72, 0xB2),
    QColor(0xD5, 0x5E, 0x00), QColor(0xCC, 0x79, 0xA7),
};
// Apart from the vermillion channel, and in a strip of its own.
inline const QColor kFailedMark(0xE0, 0x00, 0x00);
inline const QColor kHidden(0xB0, 0xB0, 0xB0);
inline const QColor kGrid(0xE6, 0xE6, 0xE6);
inline const QColor kFrame(0xA0, 0xA0, 0xA0);
inline const QColor kText(0x30, 0x30, 0x30);
inline const QColor kStale(0x80, 0x80, 0x80);       // legend values no longer current
inline const QColor kAddressMark(0x70, 0x70, 0x70); // where the module's address changes

// A 2-pixel line always covers one row of pixels wholly, so its colour shows
// unmixed however it falls between pixels.
constexpr qreal kLineWidth = 2;
constexpr int kMarkHeight = 6;   // the failed-reply strip under the plot
constexpr int kTickSpacing = 40; // at least this many pixels between value ticks
constexpr int kPad = 6;

constexpr qint64 kSecond = 1000, kMinute = 60 * kSecond, kHour = 60 * kMinute, kDay = 24 * kHour;
// A month on average (365.2425 days / 12), only to choose a step by: the
// steps themselves follow the calendar.
constexpr double kMonthMs = 2'629'746'000.0;
// A live view that follows the clock repaints this long after its last
// paint while no reading brings one: readings come once a second, and a
// clock of exactly a second (a coarse timer fires up to 5 % early) met
// each of them some 50 ms before, two paints a second where one does.
constexpr int kTickMs = 1250;
constexpr qint64 kLeastGrowingSpanMs = 10 * kSecond;
constexpr int kClickSlop = 3; // pixels a click may move and stay a click

inline const QColor kMarker(0x8B, 0x00, 0x8B); // markers A and B, apart from every channel's colour
inline const QColor kBadge(0xFF, 0xF4, 0xC0);  // the "not live" badge
constexpr int kLaneGap = 6; // between stacked lanes: their ±2 px clips never meet

inline std::size_t index(int channel)
{
    return static_cast<std::size_t>(channel);
}

// When a reading came, as the note under the plot says it: the time of day,
// with the date if it was not today.
QString timeText(qint64 ms, qint64 nowMs, const QLocale& locale);
// A length of time as the markers' panel gives it: "45 s", "2 min 05 s",
// "1 h 00 min 30 s", "3 d 04 h 10 min"; negative when B is before A.
QString durationText(qint64 ms);

// Where a channel's values go: the band of rows [top, top + height] spans [low, high].
struct Scale
{
    double top = 0, height = 1, low = 0, high = 1;
    QRect clip; // the line is drawn within this, a little beyond its band
};

// A value axis: its labelled ticks, low to high, on the band they span.
struct Axis
{
    int top = 0, height = 1;
    double low = 0, high = 1;
    std::vector<std::pair<double, QString>> ticks;
};

} // namespace trend

struct TrendView::Layout
{
    QRect header; // the title on the left, the legend's time on the right
    std::array<QRect, protocol::kChannelCount> entries; // the legend's, one a channel
    QRect plot;
    QRect marks;      // failed replies are ticked here
    int labelTop = 0; // of the time labels
    QRect note;       // the line under them, if kept for a note
};

struct TrendView::Frame
{
    Layout layout;
    qint64 from = 0, to = 0;
    const poll::HistoryReduction* reduction = nullptr; // null if the plot has no room
    // One axis (Shared, Normalised: in per cent) or one a lane (Stacked).
    std::vector<trend::Axis> axes;
    std::array<trend::Scale, protocol::kChannelCount> scales;
    // Each channel's lowest and highest good value in view, if it has one.
    std::array<std::optional<std::pair<double, double>>, protocol::kChannelCount> ranges;
};

} // namespace ui
