// What every program sets on its comm control and poll timer at start-up,
// and where it records the values.
#pragma once

#include "acquisition/recorder.h"
#include "poll/poller.h"
#include "serial/linesettings.h"

#include <QString>

#include <chrono>
#include <memory>

namespace acquisition {

struct LinkSettings
{
    int commPort = 1; // $COMM_PORT1, else /dev/ttyS0 or COM1
    QString device;   // --port: the device for port 1, before all else
    QString lineSettings =
        QString::fromLatin1(serial::kModuleSettings); // baud, parity, data bits, stop bits
    std::chrono::milliseconds pollInterval = poll::kPollInterval;
    bool echo = false;  // --echo: the adapter hears its own requests
    bool trace = false; // --trace: each frame on standard error
    std::shared_ptr<acquisition::Recorder>
        recorder; // --record: gets each decoded reply; none: nothing is kept
};

} // namespace acquisition
