#include "ui/trendtext.h"

#include <QFontMetrics>
#include <QPaintDevice>
#include <QPainter>

namespace ui {
namespace {

// The font and the device's resolution decide the layout; the text follows.
QString keyOf(const QString& font, int dpi, const QString& text, int width = -1)
{
    return font + QLatin1Char('\x1f') + QString::number(dpi) + QLatin1Char('\x1f') +
           QString::number(width) + QLatin1Char('\x1f') + text;
}

template <typename Hash> void bound(Hash& hash, qsizetype most)
{
    if (hash.size() >= most)
        hash.clear();
}

} // namespace

const QString& TextCache::keyOf(const QFont& font)
{
    if (font != m_font || font.resolveMask() != m_font.resolveMask()) {
        m_font = font;
        m_fontKey = font.key();
    }
    return m_fontKey;
}

void TextCache::draw(QPainter& painter, const QRectF& box, Qt::Alignment align, const QString& text)
{
    if (text.isEmpty())
        return;
    const int dpi = painter.device() ? painter.device()->logicalDpiY() : 96;
    const QString key = ui::keyOf(keyOf(painter.font()), dpi, text);
    auto it = m_texts.find(key);
    if (it == m_texts.end()) {
        bound(m_texts, kMostEntries);
        QStaticText laidOut(text);
        laidOut.setTextFormat(Qt::PlainText);
        laidOut.setPerformanceHint(QStaticText::AggressiveCaching);
        laidOut.prepare(QTransform(), painter.font());
        it = m_texts.insert(key, laidOut);
    }
    const QSizeF size = it->size();
    double x = box.left();
    if (align & Qt::AlignRight)
        x = box.right() - size.width();
    else if (align & Qt::AlignHCenter)
        x = box.left() + (box.width() - size.width()) / 2;
    double y = box.top();
    if (align & Qt::AlignBottom)
        y = box.bottom() - size.height();
    else if (align & Qt::AlignVCenter)
        y = box.top() + (box.height() - size.height()) / 2;
    painter.drawStaticText(QPointF(x, y), *it);
}

int TextCache::width(const QFont& font, const QFontMetrics& metrics, const QString& text)
{
    const QString key = ui::keyOf(keyOf(font), static_cast<int>(metrics.fontDpi()), text);
    if (const auto it = m_widths.constFind(key); it != m_widths.constEnd())
        return *it;
    bound(m_widths, kMostEntries);
    return *m_widths.insert(key, metrics.horizontalAdvance(text));
}

QString TextCache::elided(const QFont& font, const QFontMetrics& metrics, const QString& text,
                          int width)
{
    const QString key = ui::keyOf(keyOf(font), static_cast<int>(metrics.fontDpi()), text, width);
    if (const auto it = m_elided.constFind(key); it != m_elided.constEnd())
        return *it;
    bound(m_elided, kMostEntries);
    return *m_elided.insert(key, metrics.elidedText(text, Qt::ElideRight, width));
}

} // namespace ui
