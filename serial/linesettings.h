// Line settings as the comm control takes them: "9600,N,8,1".
#pragma once

#include <QSerialPort>
#include <QString>
#include <QStringView>

#include <variant>

namespace serial {

// The module's line, and the comm control's settings until told otherwise:
// 9600 baud, no parity, 8 data bits, 1 stop bit.
inline constexpr char kModuleSettings[] = "9600,N,8,1";

struct LineSettings
{
    qint32 baudRate = 9600;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;

    friend bool operator==(const LineSettings&, const LineSettings&) = default;
};

// "baud,parity,data bits,stop bits": parity one of N E O M S (either case),
// data bits 5 to 8, stop bits 1, 1.5 or 2. Blanks around a field are allowed.
// Returns the settings, or a message saying which field is wrong.
std::variant<LineSettings, QString> ParseSettings(QStringView text);

// Device for port number N: $COMM_PORT<N> when set, else /dev/ttyS<N-1>
// (COM<N> on Windows).
QString PortDeviceName(int port);

} // namespace serial
