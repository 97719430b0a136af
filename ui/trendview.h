// The trend of the eight channels over time: a passive view of the samples
// it is given, live (the right edge follows the clock, or the newest sample
// of a recording) or fixed on a time window. The same drawing code paints
// the widget and renders into an image, for tests and for exporting a
// picture without a display.
#pragma once

#include "codec/protocol.h"
#include "poll/history.h"
#include "ui/trendtext.h"

#include <QHash>
#include <QImage>
#include <QStaticText>
#include <QTimer>
#include <QWidget>

#include <array>
#include <functional>
#include <optional>
#include <span>
#include <utility>

namespace ui {

class TrendView : public QWidget
{
    Q_OBJECT

public:
    // The narrowest span zooming reaches.
    static constexpr qint64 kMinSpanMs = 60'000;
    static constexpr qint64 kDefaultSpanMs = 10 * 60'000;

    // Draws `history`, which its owner fills and which outlives the view;
    // the view repaints whenever it changes.
    explicit TrendView(const poll::History& history, QWidget* parent = nullptr);

    const poll::History& history() const { return m_history; }

    // A fixed view: it stays put as samples arrive.
    void setTimeWindow(qint64 fromMs, qint64 toMs);
    // The right edge is live again.
    void followLive();
    bool isLive() const { return m_live; }

    // Where a live view's right edge is: now, by the clock (a running
    // program; a silence then grows as a gap), or the newest sample (a
    // recording, whose end is its last row).
    void setLiveEdgeFollowsClock(bool follows);
    bool liveEdgeFollowsClock() const { return m_followClock; }
    // Now, in ms since the epoch (UTC); the wall clock unless set.
    void setClock(std::function<qint64()> nowMs);
    // The port's fault, shown under the plot while set; empty clears it.
    void setFault(const QString& text);
    // The line under the plot as drawn now: the fault, or since when no
    // reply came in a live view that follows the clock; empty if neither.
    QString note() const;
    // True when the legend's values are the last received, not current.
    bool legendIsStale() const;
    // The width of the view, live or fixed (a fixed view keeps its right edge).
    void setSpan(qint64 ms);
    qint64 span() const { return m_spanMs; }
    // [from, to] as drawn now, in ms since the epoch.
    std::pair<qint64, qint64> timeWindow() const;

    enum class Marker
    {
        A,
        B
    };
    // Sets (or, with nullopt, clears) a marker at a time (ms since epoch, UTC).
    void setMarker(Marker marker, std::optional<qint64> timeMs);
    std::optional<qint64> marker(Marker marker) const;
    // The markers' panel as drawn: a line of their times and the time
    // between, then one line per visible channel with its value at A, at B
    // and B − A; empty without a marker. The accessible description says
    // the same.
    QStringList markerPanel() const;

    // One axis for all channels; each channel scaled to its own range in
    // view; or one lane per visible channel, each with its own axis.
    enum class ValueAxis
    {
        Shared,
        Normalised,
        Stacked
    };
    void setValueAxis(ValueAxis axis);
    ValueAxis valueAxis() const { return m_axis; }

    // A title line drawn above the plot (in the widget and in toImage/render); empty: none.
    void setTitle(const QString& title);
    QString title() const { return m_title; }
    // The newest sample at or before timeMs, if the history has one.
    std::optional<poll::Sample> sampleAt(qint64 timeMs) const;
    // The time under the mouse cursor in the plot, if the cursor is over it.
    std::optional<qint64> hoverTime() const;
    void showAll();   // fixed view spanning the whole history
    void resetZoom(); // the default span, live
    // The legend as drawn: the time its values are from (the newest good
    // sample at or before the view's right edge), then each channel's entry.
    QStringList legendLines() const;
    // The keys the view answers to, each with what it does.
    static QList<std::pair<QString, QString>> keyList();

    // A fixed value range, or nullopt to scale to the data in view.
    void setValueRange(std::optional<std::pair<double, double>> range);
    void setChannelVisible(int channel, bool visible);
    bool channelVisible(int channel) const;

    // Each channel's colour in the plot and the legend.
    static QColor channelColor(int channel);

    QImage toImage(QSize size) const;
    // Where toImage(size) puts the plot: the rectangle the time window and
    // the value range span.
    QRect plotArea(QSize size) const;
    // Where toImage(size) puts a channel's legend entry: its swatch, then its line.
    QRect legendEntry(QSize size, int channel) const;
    // The value axis's labels toImage(size) draws, top to bottom.
    QStringList valueLabels(QSize size) const;
    // The mark where the module's address changes.
    static QColor addressMarkColor();
    // The lines of markers A and B.
    static QColor markerColor();
    void render(QPainter& painter, QRect rect) const;
    using QWidget::render;

    QSize sizeHint() const override { return {800, 400}; }
    QSize minimumSizeHint() const override { return {320, 200}; }

signals:
    void markersChanged();
    void liveChanged(bool live);

protected:
    void paintEvent(QPaintEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    struct Layout;
    struct Frame;
    // Where things go, with the value labels' column `labelColumn` wide.
    Layout layOut(QRect rect, const QFontMetrics& metrics, int labelColumn) const;
    // ... as last drawn, for the mouse.
    Layout layOut(QRect rect, const QFontMetrics& metrics) const;
    // All a draw needs: the layout, the reduction and the value axis.
    Frame frameFor(QRect rect, const QFontMetrics& metrics) const;
    Frame imageFrame(QSize size) const; // as toImage(size) draws it
    void drawTimeAxis(QPainter& painter, QRect rect, const Layout& layout, qint64 from,
                      qint64 to) const;
    // The lines under the series, or their labels over it.
    void drawAddressMarks(QPainter& painter, const Layout& layout,
                          const poll::HistoryReduction& reduction, bool labels) const;
    // Each visible channel on its scale; a line that another drawn after it
    // covers is drawn wider, so that its colour shows as an outline.
    void drawSeries(QPainter& painter, const Frame& frame) const;
    void drawLegend(QPainter& painter, const Frame& frame) const;
    QStringList legendLines(const Frame& frame) const;
    // Markers A and B as lines with their times, and their panel.
    void drawMarkers(QPainter& painter, const Frame& frame) const;
    // Over the widget only, never in an exported image: the hover box, the
    // "not live" badge and the list of keys.
    void drawHover(QPainter& painter, const Layout& layout) const;
    void drawBadge(QPainter& painter, const Layout& layout) const;
    void drawHelp(QPainter& painter) const;
    // A box of text lines at `at` (its top left), each with a colour
    // swatch if it has one; returns the box.
    QRect drawBox(QPainter& painter, QPoint at, const QStringList& lines,
                  const std::vector<QColor>& swatches) const;
    QSize boxSize(const QFontMetrics& metrics, const QStringList& lines, bool swatches) const;
    bool reservesNoteLine() const { return m_followClock || !m_fault.isEmpty(); }
    // The newest sample's time, if the view is live on the clock and it is
    // older than the gap rule allows.
    std::optional<qint64> silentSince() const;

    // The accessible description: what the view shows, and the markers' panel.
    void describe();
    void setLive(bool live);
    // The newest good sample at or before the view's right edge.
    std::optional<poll::Sample> legendSample() const;

    // The time at a point of the plot as last laid out; nullopt outside it.
    std::optional<qint64> timeAt(QPoint at) const;
    // A time the user points at, moved onto the reading "here" by the hover box's rule.
    std::optional<qint64> snapped(std::optional<qint64> timeMs) const;
    // Keeps the span a growing live view has now, as the user moves it.
    void holdSpan();
    void zoom(double factor, std::optional<int> aroundX);
    void pan(qint64 byMs);
    void showWindow(qint64 toMs); // fixed, right edge at `toMs`, kept within the samples
    void changed();

    const poll::History& m_history;
    bool m_live = true;
    bool m_followClock = true;
    std::function<qint64()> m_now;
    QString m_fault;
    // Started after each paint of a live view that follows the clock, so
    // that it repaints once a second while shown, silence or not; a hidden
    // view paints nothing and so starts nothing.
    QTimer m_tick;
    mutable TextCache m_text;
    // Of the value labels as last drawn, at least the default's.
    mutable int m_labelColumn = 0;
    qint64 m_spanMs = kDefaultSpanMs;
    qint64 m_toMs = 0; // the right edge when not live
    std::optional<std::pair<double, double>> m_valueRange;
    std::array<bool, protocol::kChannelCount> m_visible;
    std::array<QString, protocol::kChannelCount> m_names;

    std::array<std::optional<qint64>, 2> m_markers;
    ValueAxis m_axis = ValueAxis::Shared;
    QString m_title;
    // Until the user zooms, a live view's span grows with the history up to
    // m_spanMs, so that a program just started fills its plot.
    bool m_spanChosen = false;
    bool m_helpShown = false;

    std::optional<QPoint> m_hover;
    std::optional<QPoint> m_dragFrom;
    qint64 m_dragToMs = 0;
    bool m_dragging = false; // moved beyond a click since the press
    // The marker the last click set, as it was before: a double click puts it back.
    std::optional<std::pair<Marker, std::optional<qint64>>> m_beforeClick;
    mutable QRect m_badge; // the "not live" badge as last painted, a button back to live
};

} // namespace ui
