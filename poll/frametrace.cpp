#include "poll/frametrace.h"

#include "poll/numberformat.h"
#include "poll/poller.h"

namespace poll {
namespace {

QString frameText(const QByteArray& bytes, Framing framing)
{
    return framing == Framing::Binary ? QString::fromLatin1(bytes.toHex(' ').toUpper())
                                      : FormatFrameText(bytes);
}

} // namespace

QString FormatTraceLine(const FrameEvent& event, Framing framing, double milliseconds)
{
    QString line = QString::number(milliseconds, 'f', 3) + QStringLiteral(" ms  ");
    switch (event.kind) {
    case FrameEvent::Kind::Sent:
        line +=
            QStringLiteral("tx %1  poll %2").arg(frameText(event.bytes, framing)).arg(event.poll);
        break;
    case FrameEvent::Kind::Received:
        line += QStringLiteral("rx %1  %2")
                    .arg(frameText(event.bytes, framing),
                         event.checksumOk       ? QStringLiteral("checksum ok")
                         : event.note.isEmpty() ? QStringLiteral("checksum FAILED")
                                                : QStringLiteral("FAILED: ") + event.note);
        break;
    case FrameEvent::Kind::Dropped:
        line += QStringLiteral("dropped %1 bytes (%2): %3")
                    .arg(event.bytes.size())
                    .arg(event.note, frameText(event.bytes, framing));
        break;
    case FrameEvent::Kind::Unanswered:
        line += QStringLiteral("no reply to poll %1").arg(event.poll);
        break;
    }
    return line;
}

} // namespace poll
