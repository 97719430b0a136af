// What every program sets on its comm control and poll timer at start-up.
#pragma once

#include <QString>

#include <chrono>

namespace apps {

struct LinkSettings
{
    int commPort = 1;                                     // $COMM_PORT1, else /dev/ttyS0 or COM1
    QString lineSettings = QStringLiteral("9600,N,8,1"); // baud, parity, data bits, stop bits
    std::chrono::milliseconds pollInterval{1000};
};

} // namespace apps
