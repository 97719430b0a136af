// Texts the trend draws, laid out once and kept: the view repaints once a
// second, and laying out its thirty-odd labels anew each time (HarfBuzz
// shaping through QTextLayout) cost more than drawing the samples.
#pragma once

#include <QFont>
#include <QHash>
#include <QStaticText>
#include <QString>

class QFontMetrics;
class QPainter;
class QRectF;

namespace ui {

class TextCache
{
public:
    // Draws `text` in the painter's font, placed in `box` by `align`
    // (left, right or centred; top, bottom or centred), unclipped.
    void draw(QPainter& painter, const QRectF& box, Qt::Alignment align, const QString& text);
    // The advance of `text` in `font`, as `metrics` (made for that font) gives it.
    int width(const QFont& font, const QFontMetrics& metrics, const QString& text);
    // `text` cut to `width` pixels with an ellipsis, as QFontMetrics::elidedText does.
    QString elided(const QFont& font, const QFontMetrics& metrics, const QString& text, int width);

private:
    // The font's key, made once while the font stays the same: QFont::key()
    // builds its string anew each call.
    const QString& keyOf(const QFont& font);

    // Live values change every second: past this many entries the cache
    // starts again rather than grow for as long as the program runs.
    static constexpr qsizetype kMostEntries = 2000;

    QHash<QString, QStaticText> m_texts;
    QHash<QString, int> m_widths;
    QHash<QString, QString> m_elided;
    QFont m_font;
    QString m_fontKey = m_font.key();
};

} // namespace ui
