#include "poll/wording.h"

#include <QCoreApplication>

namespace poll {

QString Worded(Wording wording, const char* context, const char* source)
{
    return wording == Wording::Translated ? QCoreApplication::translate(context, source)
                                          : QString::fromUtf8(source);
}

} // namespace poll
