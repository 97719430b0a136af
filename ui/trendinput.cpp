// How the trend view answers the mouse and the keys: zooming, moving in
// time, markers, the value axis's mode, the list of keys, closing.
#include "ui/trendview.h"
#include "ui/trendview_p.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace ui {
using namespace trend;

void TrendView::holdSpan()
{
    if (m_live && !m_spanChosen) {
        const auto [from, to] = timeWindow();
        m_spanMs = to - from; // a growing view stops where it is
    }
}

void TrendView::zoom(double factor, std::optional<int> aroundX)
{
    holdSpan();
    m_spanChosen = true;
    const qint64 held =
        m_history.size() > 1 ? m_history.newest().timeMs - m_history.oldest().timeMs : 0;
    const qint64 longest = std::max({held, kMinSpanMs, factor > 1 ? m_spanMs : 0});
    const qint64 span = std::clamp<qint64>(std::llround(static_cast<double>(m_spanMs) * factor),
                                           kMinSpanMs, longest);
    if (m_live) {
        setSpan(span);
        return;
    }
    // The time under the cursor (or the middle) stays where it is.
    const auto [from, to] = timeWindow();
    const QRect plot = layOut(rect(), fontMetrics()).plot;
    const double fraction =
        aroundX
            ? std::clamp(static_cast<double>(*aroundX - plot.left()) / std::max(plot.width(), 1),
                         0.0, 1.0)
            : 0.5;
    const qint64 anchor = from + std::llround(fraction * static_cast<double>(to - from));
    m_spanMs = span;
    showWindow(anchor - std::llround(fraction * static_cast<double>(span)) + span);
}

void TrendView::pan(qint64 byMs)
{
    holdSpan();
    showWindow(timeWindow().second + byMs);
}

void TrendView::showWindow(qint64 toMs)
{
    holdSpan();
    setLive(false);
    if (!m_history.isEmpty()) {
        // Up to now on the clock, where a silence may be going on.
        const qint64 newest = m_history.newest().timeMs;
        const qint64 latest = m_followClock ? std::max(newest, m_now()) : newest;
        toMs = std::clamp(toMs, std::min(m_history.oldest().timeMs + m_spanMs, newest), latest);
    }
    m_toMs = toMs;
    changed();
}

void TrendView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return QWidget::mousePressEvent(event);
    const Layout l = layOut(rect(), fontMetrics());
    const QPoint at = event->position().toPoint();
    if (!m_live && m_badge.contains(at)) {
        followLive();
        return;
    }
    for (int ch = 0; ch < kChannels; ++ch)
        if (l.entries[index(ch)].contains(at)) {
            setChannelVisible(ch, !channelVisible(ch));
            return;
        }
    if (l.plot.contains(at)) {
        m_dragFrom = at;
        m_dragging = false;
        m_dragToMs = timeWindow().second;
    }
}

void TrendView::mouseMoveEvent(QMouseEvent* event)
{
    const QPoint at = event->position().toPoint();
    m_hover = at;
    // A hand that moves a few pixels while clicking still clicks: it sets a
    // marker. Further, it drags the view.
    if (m_dragFrom && (event->buttons() & Qt::LeftButton) &&
        (m_dragging || (at - *m_dragFrom).manhattanLength() > kClickSlop)) {
        m_dragging = true;
        const auto [from, to] = timeWindow();
        const int width = std::max(layOut(rect(), fontMetrics()).plot.width(), 1);
        showWindow(m_dragToMs - (at.x() - m_dragFrom->x()) * (to - from) / width);
    }
    update();
}

void TrendView::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && m_dragFrom) {
        const bool click = !m_dragging;
        const QPoint at = *m_dragFrom;
        m_dragFrom.reset();
        m_dragging = false;
        if (const std::optional<qint64> time = snapped(timeAt(at)); click && time) {
            const Marker which = event->modifiers() & Qt::ShiftModifier ? Marker::B : Marker::A;
            m_beforeClick = std::pair(which, marker(which));
            setMarker(which, time);
        }
    }
    QWidget::mouseReleaseEvent(event);
}

void TrendView::mouseDoubleClickEvent(QMouseEvent* event)
{
    const Layout l = layOut(rect(), fontMetrics());
    if (!l.plot.contains(event->position().toPoint()))
        return;
    // The double click's first click set a marker it did not mean.
    if (m_beforeClick)
        setMarker(m_beforeClick->first, m_beforeClick->second);
    m_beforeClick.reset();
    followLive();
}

std::optional<qint64> TrendView::snapped(std::optional<qint64> timeMs) const
{
    if (!timeMs || m_history.isEmpty())
        return timeMs;
    // To the nearest reading, as the hover box does, if it is "here" by the
    // same rule (the gap rule, or a few pixels), so that the times between
    // markers are those between their readings: 60 s, not 59.7 s.
    const auto [from, to] = timeWindow();
    const double msPerPixel =
        static_cast<double>(to - from) / std::max(layOut(rect(), fontMetrics()).plot.width(), 1);
    const qint64 near = m_history.at(m_history.nearest(*timeMs)).timeMs;
    return static_cast<double>(std::abs(near - *timeMs)) <=
                   std::max(static_cast<double>(m_history.gapAfterMs()), 4 * msPerPixel)
               ? near
               : *timeMs;
}

void TrendView::leaveEvent(QEvent* event)
{
    m_hover.reset();
    update();
    QWidget::leaveEvent(event);
}

void TrendView::wheelEvent(QWheelEvent* event)
{
    // 120 is one notch; each notch in shows 4/5 of the span.
    const double notches = event->angleDelta().y() / 120.0;
    if (notches == 0)
        return QWidget::wheelEvent(event);
    zoom(std::pow(0.8, notches), static_cast<int>(event->position().x()));
    event->accept();
}

QList<std::pair<QString, QString>> TrendView::keyList()
{
    return {
        {tr("Click, A"), tr("set marker A (at the mouse, else in the middle)")},
        {tr("Shift+click, B"), tr("set marker B")},
        {tr("Delete, Backspace"), tr("clear both markers")},
        {tr("S"), tr("value axis: one for all, each channel to its own range, stacked lanes")},
        {tr("1 to 8, click in the legend"), tr("hide or show a channel")},
        {tr("+, -, wheel"), tr("zoom in, out")},
        {tr("Left, Right, drag"), tr("move back, forward in time")},
        {tr("Home"), tr("the first readings")},
        {tr("End, double click"), tr("back to live")},
        {tr("?, F1"), tr("show or hide this list")},
        {tr("Ctrl+S"), tr("save the view as an image (PNG, SVG, by the name's suffix)")},
        {tr("Ctrl+Shift+C, Ctrl+C"),
         tr("copy the image; copy the values at the cursor or markers")},
        {tr("Ctrl+E"), tr("export the rows in view as CSV")},
        {tr("Right click"), tr("the menu")},
        {tr("Esc, Ctrl+W"), tr("close the window")},
    };
}

void TrendView::keyPressEvent(QKeyEvent* event)
{
    const int key = event->key();
    if (key >= Qt::Key_1 && key <= Qt::Key_8) {
        const int ch = key - Qt::Key_1;
        setChannelVisible(ch, !channelVisible(ch));
        return;
    }
    if (key == Qt::Key_W && (event->modifiers() & Qt::ControlModifier)) {
        window()->close();
        return;
    }
    switch (key) {
    case Qt::Key_Plus:
    case Qt::Key_Equal: // + without shift on most layouts
        zoom(0.5, std::nullopt);
        break;
    case Qt::Key_Minus:
        zoom(2.0, std::nullopt);
        break;
    case Qt::Key_Left:
    case Qt::Key_Right: {
        const auto [from, to] = timeWindow();
        pan((key == Qt::Key_Left ? -1 : 1) * (to - from) / 4);
        break;
    }
    case Qt::Key_Home:
        holdSpan();
        showWindow(m_history.isEmpty() ? m_toMs : m_history.oldest().timeMs + m_spanMs);
        break;
    case Qt::Key_End:
        followLive();
        break;
    case Qt::Key_A:
    case Qt::Key_B: {
        const auto [from, to] = timeWindow();
        setMarker(key == Qt::Key_A ? Marker::A : Marker::B,
                  snapped(hoverTime().value_or(from + (to - from) / 2)));
        break;
    }
    case Qt::Key_Delete:
    case Qt::Key_Backspace:
        setMarker(Marker::A, std::nullopt);
        setMarker(Marker::B, std::nullopt);
        break;
    case Qt::Key_S:
        setValueAxis(m_axis == ValueAxis::Shared       ? ValueAxis::Normalised
                     : m_axis == ValueAxis::Normalised ? ValueAxis::Stacked
                                                       : ValueAxis::Shared);
        break;
    case Qt::Key_Question:
    case Qt::Key_F1:
        m_helpShown = !m_helpShown;
        update();
        break;
    case Qt::Key_Escape:
        if (m_helpShown) {
            m_helpShown = false;
            update();
        } else {
            window()->close();
        }
        break;
    default:
        QWidget::keyPressEvent(event);
    }
}

} // namespace ui
