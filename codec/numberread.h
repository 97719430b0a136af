// Reading a number typed by the operator (or found in a reply), the way the
// address field has always been read: lenient, never an error.
#pragma once

#include <optional>
#include <string_view>

namespace codec {

// `text` is taken byte by byte (UTF-8 or Latin-1 alike): only ASCII can be
// part of a number. Blanks, tabs and line feeds are removed first, wherever
// they stand. Then:
// - decimal: an optional sign, digits with an optional point and exponent,
//   read up to the first character that cannot continue the number;
// - "&H" (either case): hexadecimal digits up to the first other character;
//   at most four digits from 8000 to FFFF are a 16-bit two's-complement
//   number ("&HFFFB" is -5);
// - "&O": octal digits in the same way (up to six digits, 100000 to 177777
//   are negative).
// A text without a number gives 0. A decimal too large for a double gives an
// infinity, which no caller accepts as an address.
double ReadNumber(std::string_view text);

// Rounds to the nearest whole number, a half to the even neighbour (2.5 -> 2,
// 3.5 -> 4), and accepts it only within [low, high].
std::optional<int> RoundToWhole(double value, int low, int high);

} // namespace codec
