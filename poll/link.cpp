#include "poll/link.h"

namespace poll {

QString LinkFault::text() const
{
    switch (error) {
    case LinkError::OpenFailed:
        return QStringLiteral("cannot open %1: %2").arg(device, reason);
    case LinkError::PortLost:
        return QStringLiteral("%1 lost: %2").arg(device, reason);
    case LinkError::WriteFailed:
        return QStringLiteral("cannot write to %1: %2").arg(device, reason);
    case LinkError::NotOpen:
        return QStringLiteral("%1 is not open").arg(device);
    case LinkError::None:
    case LinkError::BadSettings:
    case LinkError::OutBufferFull:
        break;
    }
    return reason;
}

} // namespace poll
