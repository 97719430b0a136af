#include "poll/link.h"

#include <optional>

namespace poll {
namespace {

// A fault's source text: %1 is the device, %2 the system's reason where the
// text has one.
struct Form
{
    const char* source;
    bool withReason;
};

std::optional<Form> formOf(LinkError error)
{
    switch (error) {
    case LinkError::OpenFailed:
        return Form{QT_TRANSLATE_NOOP("poll::LinkFault", "cannot open %1: %2"), true};
    case LinkError::PortLost:
        return Form{QT_TRANSLATE_NOOP("poll::LinkFault", "%1 lost: %2"), true};
    case LinkError::WriteFailed:
        return Form{QT_TRANSLATE_NOOP("poll::LinkFault", "cannot write to %1: %2"), true};
    case LinkError::NotOpen:
        return Form{QT_TRANSLATE_NOOP("poll::LinkFault", "%1 is not open"), false};
    case LinkError::None:
    case LinkError::BadSettings:
    case LinkError::OutBufferFull:
        break;
    }
    return std::nullopt; // the system's reason says it
}

} // namespace

QString LinkFault::text(Wording wording) const
{
    std::optional<Form> form = formOf(error);
    if (!form) {
        if (wording == Wording::English)
            return reason;
        // The window names the device whatever the fault: nothing else on it does.
        form = Form{QT_TRANSLATE_NOOP("poll::LinkFault", "%1: %2"), true};
    }
    // One arg() call for both: a device named with "%2" in it stays as it is.
    const QString worded = Worded(wording, "poll::LinkFault", form->source);
    return form->withReason ? worded.arg(device, reason) : worded.arg(device);
}

QString LinkFault::hint(Wording wording) const
{
    // A server on the network is named by its address, which the reason
    // is about; the hint is for a device that may be the wrong one.
    if (error != LinkError::OpenFailed || device.contains(QStringLiteral("://")))
        return {};
    return Worded(wording, "poll::LinkFault",
                  QT_TRANSLATE_NOOP("poll::LinkFault",
                                    " (choose the device with --port DEVICE or COMM_PORT1)"));
}

} // namespace poll
