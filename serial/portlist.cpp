#include "serial/portlist.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSerialPort>
#include <QSerialPortInfo>

namespace serial {
namespace {

QString hexId(quint16 id)
{
    return QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0'));
}

#ifdef Q_OS_LINUX
// Another program may hold the port open without a lock file or an
// exclusive open (a terminal program, a shell's redirection): then only its
// descriptors tell. Each /proc/PID/fd/N is a link to what it has open;
// other users' are readable only by root. The first holder found, or
// whether some processes could not be looked at.
struct Holders
{
    QString first; // "minicom (1234)"
    bool unreadable = false;
};

Holders FindHolders(const QString& device)
{
    Holders holders;
    const QString target = QFileInfo(device).canonicalFilePath();
    const QString self = QString::number(QCoreApplication::applicationPid());
    const QStringList pids =
        QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& pid : pids) {
        if (pid.isEmpty() || !pid.front().isDigit() || pid == self)
            continue;
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
        if (!fds.isReadable()) {
            // Another user's, unless the process ended since the folder was listed.
            holders.unreadable = holders.unreadable || fds.exists();
            continue;
        }
        for (const QFileInfo& fd : fds.entryInfoList(QDir::System | QDir::Files)) {
            if (fd.symLinkTarget() != target)
                continue;
            QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
            const QString name = comm.open(QIODevice::ReadOnly)
                                     ? QString::fromLocal8Bit(comm.readAll().trimmed())
                                     : QStringLiteral("a program");
            holders.first = QStringLiteral("%1 (%2)").arg(name, pid);
            return holders;
        }
    }
    return holders;
}
#endif

} // namespace

PortEntry::Use PortUse(const QString& device, QString* holder)
{
#ifdef Q_OS_WIN
    // Qt's serial port on Windows closes by waiting for the overlapped
    // WaitCommEvent it started at open; where that never completes (Wine 8
    // posts no completion for it), a close for a mere look would hang
    // --list-ports. Windows users see a port in use when they open it.
    Q_UNUSED(device);
    Q_UNUSED(holder);
    return PortEntry::Use::Unknown;
#else
    // Another program holding the port (its lock file, or the exclusive
    // open Qt asks for on Unix, sharing none on Windows) makes the open fail
    // with a permission error; so does a port we may not open at all.
    QSerialPort port;
    port.setPortName(device);
    if (port.open(QIODevice::ReadWrite)) {
        port.close();
#ifdef Q_OS_LINUX
        const Holders holders = FindHolders(device);
        if (!holders.first.isEmpty()) {
            if (holder)
                *holder = holders.first;
            return PortEntry::Use::Busy;
        }
        if (holders.unreadable)
            return PortEntry::Use::NotByThisUser;
#endif
        return PortEntry::Use::Free;
    }
    if (port.error() != QSerialPort::PermissionError)
        return PortEntry::Use::Unknown;
    const QFileInfo file(device);
    if (file.exists() && !(file.isReadable() && file.isWritable()))
        return PortEntry::Use::NoPermission;
    return PortEntry::Use::Busy;
#endif
}

QList<PortEntry> ListPorts()
{
    // Linux names each USB adapter under /dev/serial/by-id/ after its maker,
    // model and serial number, as a link to whichever ttyUSBn it got.
    const QFileInfoList byId =
        QDir(QStringLiteral("/dev/serial/by-id")).entryInfoList(QDir::System | QDir::Files);
    QList<PortEntry> ports;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        PortEntry entry;
#ifdef Q_OS_WIN
        entry.device = info.portName(); // COM7, as --port takes it, not \\.\COM7
#else
        entry.device = info.systemLocation();
#endif
        for (const QFileInfo& link : byId)
            if (link.canonicalFilePath() == QFileInfo(entry.device).canonicalFilePath())
                entry.stableName = link.absoluteFilePath();
        entry.description = info.description();
        entry.manufacturer = info.manufacturer();
        entry.serialNumber = info.serialNumber();
        if (info.hasVendorIdentifier())
            entry.vendorId = info.vendorIdentifier();
        if (info.hasProductIdentifier())
            entry.productId = info.productIdentifier();
        entry.use = PortUse(entry.device, &entry.holder);
        ports << entry;
    }
    return ports;
}

QString FormatPortList(const QList<PortEntry>& ports)
{
    if (ports.isEmpty()) {
        return QStringLiteral(
            "No serial ports found.\n"
            "Check that the adapter's cable is plugged in, and that its driver is loaded (on "
            "Linux, `dmesg`\n"
            "right after plugging it in names the port it got). On Linux, opening a port needs "
            "the\n"
            "dialout group: `sudo usermod -aG dialout $USER`, then log out and in again.\n");
    }
    QString text = ports.size() == 1 ? QStringLiteral("1 serial port found:\n")
                                     : QStringLiteral("%1 serial ports found:\n").arg(ports.size());
    const auto field = [&text](const char* name, const QString& value) {
        if (!value.isEmpty())
            text += QStringLiteral("  %1 %2\n").arg(QLatin1String(name), -15).arg(value);
    };
    for (const PortEntry& port : ports) {
        text += u'\n' + port.device + u'\n';
        field("stable name:", port.stableName);
        field("description:", port.description);
        field("manufacturer:", port.manufacturer);
        field("serial number:", port.serialNumber);
        if (port.vendorId || port.productId)
            field("USB id:", (port.vendorId ? hexId(*port.vendorId) : QStringLiteral("?")) + u':' +
                                 (port.productId ? hexId(*port.productId) : QStringLiteral("?")));
        switch (port.use) {
        case PortEntry::Use::Free:
            field("in use:", QStringLiteral("no"));
            break;
        case PortEntry::Use::Busy:
            field("in use:", port.holder.isEmpty() ? QStringLiteral("yes, by another program")
                                                   : QStringLiteral("yes, by %1").arg(port.holder));
            break;
        case PortEntry::Use::NotByThisUser:
            field("in use:", QStringLiteral("unknown: by none of your programs, but other users' "
                                            "cannot be looked at"));
            break;
        case PortEntry::Use::NoPermission:
            field("in use:",
                  QStringLiteral(
                      "cannot tell: no permission to open it (on Linux, the dialout group)"));
            break;
        case PortEntry::Use::Unknown:
            field("in use:", QStringLiteral("cannot tell"));
            break;
        }
    }
    return text;
}

} // namespace serial
