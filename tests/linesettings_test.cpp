#include "serial/linesettings.h"

#include <gtest/gtest.h>

#include <QScopeGuard>

namespace {

TEST(ParseSettings, ReadsEveryField)
{
    struct Row
    {
        const char* text;
        serial::LineSettings expected;
    };
    const Row rows[] = {
        {"9600,N,8,1", {9600, QSerialPort::NoParity, QSerialPort::Data8, QSerialPort::OneStop}},
        {"19200,e,7,2", {19200, QSerialPort::EvenParity, QSerialPort::Data7, QSerialPort::TwoStop}},
        {" 1200 , O , 5 , 1.5 ",
         {1200, QSerialPort::OddParity, QSerialPort::Data5, QSerialPort::OneAndHalfStop}},
        {"300,M,6,1", {300, QSerialPort::MarkParity, QSerialPort::Data6, QSerialPort::OneStop}},
        {"115200,S,8,1",
         {115200, QSerialPort::SpaceParity, QSerialPort::Data8, QSerialPort::OneStop}},
    };
    for (const Row& row : rows) {
        const auto parsed = serial::ParseSettings(QString::fromLatin1(row.text));
        ASSERT_TRUE(std::holds_alternative<serial::LineSettings>(parsed)) << row.text;
        EXPECT_EQ(std::get<serial::LineSettings>(parsed), row.expected) << row.text;
    }
}

TEST(ParseSettings, RefusesMalformedTextsNamingTheField)
{
    const std::pair<const char*, const char*> rows[] = {
        {"", "four fields"},
        {"9600,N,8", "four fields"},
        {"9600,N,8,1,1", "four fields"},
        {"fast,N,8,1", "baud"},
        {"-9600,N,8,1", "baud"},
        {"0,N,8,1", "baud"},
        {"9600,X,8,1", "parity"},
        {"9600,NN,8,1", "parity"},
        {"9600,,8,1", "parity"},
        {"9600,N,9,1", "data bits"},
        {"9600,N,4,1", "data bits"},
        {"9600,N,8,3", "stop bits"},
        {"9600,N,8,1.0", "stop bits"},
        {"99999999999,N,8,1", "baud"},
    };
    for (const auto& [text, field] : rows) {
        const auto parsed = serial::ParseSettings(QString::fromLatin1(text));
        ASSERT_TRUE(std::holds_alternative<QString>(parsed)) << text;
        EXPECT_TRUE(std::get<QString>(parsed).contains(QLatin1String(field)))
            << text << ": " << std::get<QString>(parsed).toStdString();
    }
}

TEST(PortDeviceName, EnvironmentOverridesTheDefault)
{
    const auto restore = qScopeGuard([] { qunsetenv("COMM_PORT3"); });
    qunsetenv("COMM_PORT3");
#ifdef Q_OS_WIN
    EXPECT_EQ(serial::PortDeviceName(3), QStringLiteral("COM3"));
#else
    EXPECT_EQ(serial::PortDeviceName(1), QStringLiteral("/dev/ttyS0"));
    EXPECT_EQ(serial::PortDeviceName(3), QStringLiteral("/dev/ttyS2"));
#endif
    qputenv("COMM_PORT3", "/dev/ttyUSB0");
    EXPECT_EQ(serial::PortDeviceName(3), QStringLiteral("/dev/ttyUSB0"));
}

} // namespace
