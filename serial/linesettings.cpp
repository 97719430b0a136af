#include "serial/linesettings.h"

#include <QList>
#include <QtGlobal>

namespace serial {

std::variant<LineSettings, QString> ParseSettings(QStringView text)
{
    const QList<QStringView> fields = text.split(u',');
    if (fields.size() != 4)
        return QStringLiteral("settings \"%1\" need four fields: baud,parity,data bits,stop bits")
            .arg(text);

    LineSettings settings;
    bool ok = false;
    const QStringView baud = fields[0].trimmed();
    settings.baudRate = baud.toInt(&ok);
    if (!ok || settings.baudRate <= 0)
        return QStringLiteral("baud rate \"%1\" is not a positive whole number").arg(baud);

    const QStringView parity = fields[1].trimmed();
    if (parity.size() != 1)
        return QStringLiteral("parity \"%1\" is not one of N, E, O, M, S").arg(parity);
    switch (parity.front().toUpper().unicode()) {
    case u'N':
        settings.parity = QSerialPort::NoParity;
        break;
    case u'E':
        settings.parity = QSerialPort::EvenParity;
        break;
    case u'O':
        settings.parity = QSerialPort::OddParity;
        break;
    case u'M':
        settings.parity = QSerialPort::MarkParity;
        break;
    case u'S':
        settings.parity = QSerialPort::SpaceParity;
        break;
    default:
        return QStringLiteral("parity \"%1\" is not one of N, E, O, M, S").arg(parity);
    }

    const QStringView dataBits = fields[2].trimmed();
    const int bits = dataBits.toInt(&ok);
    if (!ok || bits < 5 || bits > 8)
        return QStringLiteral("data bits \"%1\" are not 5, 6, 7 or 8").arg(dataBits);
    settings.dataBits = static_cast<QSerialPort::DataBits>(bits);

    const QStringView stopBits = fields[3].trimmed();
    if (stopBits == u"1")
        settings.stopBits = QSerialPort::OneStop;
    else if (stopBits == u"1.5")
        settings.stopBits = QSerialPort::OneAndHalfStop;
    else if (stopBits == u"2")
        settings.stopBits = QSerialPort::TwoStop;
    else
        return QStringLiteral("stop bits \"%1\" are not 1, 1.5 or 2").arg(stopBits);

    return settings;
}

QString PortDeviceName(int port)
{
    const QString fromEnvironment =
        qEnvironmentVariable(qPrintable(QStringLiteral("COMM_PORT%1").arg(port)));
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(port);
#else
    return QStringLiteral("/dev/ttyS%1").arg(port - 1);
#endif
}

} // namespace serial
