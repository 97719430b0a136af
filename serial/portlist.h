// The serial ports this machine has, for --list-ports: what to give to
// --port, and what tells one adapter from another.
#pragma once

#include <QList>
#include <QString>

#include <optional>

namespace serial {

struct PortEntry
{
    QString device;     // what --port takes: /dev/ttyUSB0, COM7
    QString stableName; // Linux: its /dev/serial/by-id/ name, which survives a replug; else empty
    QString description;
    QString manufacturer;
    QString serialNumber;
    std::optional<quint16> vendorId; // USB ids, when it is a USB adapter
    std::optional<quint16> productId;
    enum class Use
    {
        Free,
        Busy,
        NoPermission,
        NotByThisUser, // none of the user's programs holds it; others' could not be seen
        Unknown
    };
    Use use = Use::Unknown;
    QString holder; // with Busy, where known: "minicom (1234)"
};

// The ports found now, each with PortUse().
QList<PortEntry> ListPorts();

// Whether another program has `device` open: found by opening it for a
// moment (a lock file, an exclusive open), and on Linux by the descriptors
// of the processes this user may look at. `holder`, if given, gets the
// program's name and process id where they are known.
PortEntry::Use PortUse(const QString& device, QString* holder = nullptr);

// The list as --list-ports prints it; an empty list says what to check.
QString FormatPortList(const QList<PortEntry>& ports);

} // namespace serial
