// What the trend view draws over its plot: the legend, markers A and B with
// their panel, and, in the widget only, the hover box, the "not live" badge
// and the list of keys.
#include "ui/trendview.h"
#include "ui/trendview_p.h"

#include "poll/numberformat.h"

#include <QDateTime>
#include <QLocale>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace ui {
using namespace trend;

namespace {

constexpr int kSwatch = 16; // a swatch's room before its line of text

} // namespace

QSize TrendView::boxSize(const QFontMetrics& metrics, const QStringList& lines, bool swatches) const
{
    int width = 0;
    for (const QString& line : lines)
        width = std::max(width, m_text.width(font(), metrics, line));
    return {width + 2 * kPad + (swatches ? kSwatch : 0),
            static_cast<int>(lines.size()) * metrics.height() + 2 * kPad};
}

QRect TrendView::drawBox(QPainter& painter, QPoint at, const QStringList& lines,
                         const std::vector<QColor>& swatches) const
{
    const QFontMetrics metrics = painter.fontMetrics();
    const bool withSwatches =
        std::any_of(swatches.begin(), swatches.end(), [](const QColor& c) { return c.isValid(); });
    const QRect box(at, boxSize(metrics, lines, withSwatches));
    painter.save();
    painter.fillRect(box, QColor(255, 255, 255, 230));
    painter.setPen(kFrame);
    painter.drawRect(box);
    for (int n = 0; n < lines.size(); ++n) {
        const QRect row(box.left() + kPad, box.top() + kPad + n * metrics.height(),
                        box.width() - 2 * kPad, metrics.height());
        const QColor swatch = n < static_cast<int>(swatches.size()) ? swatches[index(n)] : QColor();
        if (swatch.isValid())
            painter.fillRect(QRect(row.left(), row.center().y() - 4, 10, 9), swatch);
        painter.setPen(swatch == kHidden ? kHidden : kText);
        m_text.draw(painter, row.adjusted(withSwatches ? kSwatch : 0, 0, 0, 0),
                    Qt::AlignLeft | Qt::AlignVCenter, lines[n]);
    }
    painter.restore();
    return box;
}

void TrendView::drawLegend(QPainter& painter, const Frame& f) const
{
    // Each channel's colour, name and value at the view's right edge, greyed
    // when hidden; in grey italics when the values are the last received
    // before a silence, not current.
    const bool stale = legendIsStale();
    QFont legendFont = font();
    legendFont.setItalic(stale);
    painter.setFont(legendFont);
    const QFontMetrics metrics = painter.fontMetrics();
    const QStringList lines = legendLines(f);
    for (int ch = 0; ch < kChannels; ++ch) {
        const QRect entry = f.layout.entries[index(ch)];
        const QColor colour = m_visible[index(ch)] ? kPalette[index(ch)] : kHidden;
        const int y = entry.center().y();
        painter.setPen(QPen(colour, 3, Qt::SolidLine, Qt::FlatCap));
        painter.drawLine(entry.left() + 2, y, entry.left() + 20, y);
        painter.setPen(!m_visible[index(ch)] ? kHidden : stale ? kStale : kText);
        const QRect text = entry.adjusted(26, 0, -4, 0);
        m_text.draw(painter, text, Qt::AlignLeft | Qt::AlignVCenter,
                    m_text.elided(legendFont, metrics, lines.value(ch + 1), text.width()));
    }
    painter.setFont(font());
}

void TrendView::drawMarkers(QPainter& painter, const Frame& f) const
{
    const QRect& plot = f.layout.plot;
    const QStringList panel = markerPanel();
    if (panel.isEmpty())
        return;
    painter.save();
    painter.setFont(font());
    const QFontMetrics metrics = painter.fontMetrics();
    const double msPerPixel = static_cast<double>(f.to - f.from) / plot.width();
    const QLocale locale;
    for (std::size_t k = 0; k < m_markers.size(); ++k) {
        const std::optional<qint64> t = m_markers[k];
        if (!t || *t < f.from || *t > f.to)
            continue;
        const double x =
            std::round(plot.left() + static_cast<double>(*t - f.from) / msPerPixel) + 0.5;
        painter.setPen(QPen(kMarker, 1));
        painter.drawLine(QPointF(x, plot.top() + 1), QPointF(x, plot.bottom()));
        // Its name and time at the foot of the line, on the side with room.
        const QString label =
            (k == 0 ? QStringLiteral("A ") : QStringLiteral("B ")) +
            locale.toString(QDateTime::fromMSecsSinceEpoch(*t), QStringLiteral("HH:mm:ss"));
        QRect box(static_cast<int>(x) + 3, plot.bottom() - metrics.height() - 3,
                  m_text.width(font(), metrics, label) + 4, metrics.height());
        if (box.right() > plot.right())
            box.moveRight(static_cast<int>(x) - 3);
        painter.fillRect(box, QColor(255, 255, 255, 220));
        painter.setPen(kMarker);
        m_text.draw(painter, box, Qt::AlignCenter, label);
    }
    // The panel at the plot's top left: the times, then each visible channel.
    std::vector<QColor> swatches{QColor()};
    for (int ch = 0; ch < kChannels; ++ch)
        if (m_visible[index(ch)])
            swatches.push_back(kPalette[index(ch)]);
    drawBox(painter, plot.topLeft() + QPoint(4, 4), panel, swatches);
    painter.restore();
}

void TrendView::drawHover(QPainter& painter, const Layout& l) const
{
    if (!m_hover || !l.plot.contains(*m_hover) || m_history.isEmpty())
        return;
    const auto [from, to] = timeWindow();
    const double msPerPixel = static_cast<double>(to - from) / l.plot.width();
    const qint64 at = from + std::llround((m_hover->x() - l.plot.left() + 0.5) * msPerPixel);
    const poll::Sample& s = m_history.at(m_history.nearest(at));
    const QLocale locale;

    QStringList lines;
    std::vector<QColor> swatches{QColor()};
    // A sample further off than the gap rule or a few pixels is not "here".
    if (static_cast<double>(std::abs(s.timeMs - at)) >
        std::max(static_cast<double>(m_history.gapAfterMs()), 4 * msPerPixel)) {
        lines << locale.toString(QDateTime::fromMSecsSinceEpoch(at),
                                 QStringLiteral("yyyy-MM-dd HH:mm:ss"))
              << tr("no reading");
    } else {
        lines << locale.toString(QDateTime::fromMSecsSinceEpoch(s.timeMs),
                                 QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        for (int ch = 0; ch < kChannels; ++ch) {
            lines << m_names[index(ch)] + QStringLiteral(": ") +
                         (s.checksumOk ? poll::FormatChannelNumber(s.values[index(ch)])
                                       : QStringLiteral("–"));
            swatches.push_back(m_visible[index(ch)] ? kPalette[index(ch)] : kHidden);
        }
        if (!s.checksumOk)
            lines << tr("checksum failed");
    }

    painter.save();
    painter.setPen(QPen(kFrame, 1, Qt::DashLine));
    const double x = m_hover->x() + 0.5;
    painter.drawLine(QPointF(x, l.plot.top()), QPointF(x, l.plot.bottom()));
    // Beside the cursor on the side with more room, 16 px off, so that it
    // never covers the readings under the cursor.
    const QSize size = boxSize(painter.fontMetrics(), lines, true);
    const bool right = l.plot.right() - m_hover->x() >= m_hover->x() - l.plot.left();
    // Under the "not live" badge, which stays readable and clickable.
    const int top = m_badge.isNull() ? l.plot.top() + 4 : m_badge.bottom() + 4;
    QPoint corner(right ? m_hover->x() + 16 : m_hover->x() - 16 - size.width(), top);
    corner.setX(std::clamp(corner.x(), 0, std::max(width() - size.width() - 1, 0)));
    drawBox(painter, corner, lines, swatches);
    painter.restore();
}

void TrendView::drawBadge(QPainter& painter, const Layout& l) const
{
    m_badge = QRect();
    if (m_live)
        return;
    const QString text = tr("Not live: back to live (End)");
    const QFontMetrics metrics = painter.fontMetrics();
    const QSize size(m_text.width(font(), metrics, text) + 2 * kPad, metrics.height() + 6);
    m_badge = QRect(QPoint(l.plot.right() - size.width() - 4, l.plot.top() + 4), size);
    painter.save();
    painter.fillRect(m_badge, kBadge);
    painter.setPen(kFrame);
    painter.drawRect(m_badge);
    painter.setPen(kText);
    m_text.draw(painter, m_badge, Qt::AlignCenter, text);
    painter.restore();
}

void TrendView::drawHelp(QPainter& painter) const
{
    if (!m_helpShown)
        return;
    QStringList lines{tr("Keys (? or F1 to close)")};
    for (const auto& [key, what] : keyList())
        lines << key + QStringLiteral(": ") + what;
    const QSize size = boxSize(painter.fontMetrics(), lines, false);
    const QPoint corner(std::max((width() - size.width()) / 2, 0),
                        std::max((height() - size.height()) / 2, 0));
    painter.fillRect(QRect(corner, size), Qt::white); // read as a page, not over the lines
    drawBox(painter, corner, lines, {});
}

} // namespace ui
