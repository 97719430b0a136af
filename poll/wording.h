// Each message of the programs has one source text, in English, in the code.
// Standard error gives it as it stands; the window gives its translation
// (Chinese, as its captions have always been: the translation is installed
// at start-up whatever the user's locale).
#pragma once

#include <QString>

namespace poll {

enum class Wording
{
    English,    // the source text: standard error, pollcli, the trend
    Translated, // through the installed translation: the window
};

// `source` (UTF-8) as it stands, or as the installed translation has it
// under `context`.
QString Worded(Wording wording, const char* context, const char* source);

} // namespace poll
