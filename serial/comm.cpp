#include "serial/comm.h"

namespace serial {

QString CommFault::text() const
{
    switch (error) {
    case CommError::OpenFailed:
        return QStringLiteral("cannot open %1: %2").arg(device, reason);
    case CommError::PortLost:
        return QStringLiteral("%1 lost: %2").arg(device, reason);
    case CommError::WriteFailed:
        return QStringLiteral("cannot write to %1: %2").arg(device, reason);
    case CommError::NotOpen:
        return QStringLiteral("%1 is not open").arg(device);
    case CommError::None:
    case CommError::BadSettings:
    case CommError::OutBufferFull:
        break;
    }
    return reason;
}

} // namespace serial
