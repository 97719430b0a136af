// How numbers and frames are written into the window's fields.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QLocale>
#include <QString>

#include <cstdint>

namespace poll {

// Decimal digits, a minus sign in front of a negative number: "0", "17", "-3".
QString FormatPlainInteger(std::int32_t value);

// As plain, but a non-negative number gets one blank in front: " 1", "-3".
QString FormatLeadingBlankInteger(std::int32_t value);

// The single-precision value rounded to at most 7 significant digits, without
// exponent, trailing zeros or trailing point, a 0 before the separator when
// the size is below 1: "23.5", "-0.5", "0", "-32768". The decimal separator
// is the locale's.
QString FormatChannelNumber(float value, const QLocale& locale = QLocale());

// A request or reply line for a single-line field: one character per byte,
// control characters as their visible pictures (carriage return "␍", line
// feed "␊"), everything else as it came.
QString FormatFrameText(const QByteArray& bytes);

// A moment in local time for a note: "22:16:25" on the day of `now`,
// "2026-12-09 22:16:25" on another.
QString FormatClockTime(const QDateTime& time, const QDateTime& now = QDateTime::currentDateTime());

} // namespace poll
