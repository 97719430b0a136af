// serial::ParseSettings on arbitrary text. An odd first byte ('u' in the
// seeds) takes the rest as raw UTF-16 code units, little-endian, unpaired
// surrogates included; an even one ('t') takes it as UTF-8.
//
// - It either refuses with a message that is not empty, or gives a baud rate
//   above 0, parity N/E/O/M/S, 5 to 8 data bits and 1, 1.5 or 2 stop bits.
// - Only a text of exactly four comma-separated fields can be accepted.
// - The same text always gives the same answer, message included.
// - Accepted settings written back as "baud,P,bits,stop" read the same.

#include "fuzzcheck.h"
#include "serial/linesettings.h"

#include <QString>

#include <memory>

namespace {

QString Written(const serial::LineSettings& s)
{
    QChar parity;
    switch (s.parity) {
    case QSerialPort::NoParity:
        parity = u'N';
        break;
    case QSerialPort::EvenParity:
        parity = u'E';
        break;
    case QSerialPort::OddParity:
        parity = u'O';
        break;
    case QSerialPort::MarkParity:
        parity = u'M';
        break;
    case QSerialPort::SpaceParity:
        parity = u'S';
        break;
    default:
        FUZZ_CHECK(false && "parity outside N, E, O, M, S");
    }
    const QString stop = s.stopBits == QSerialPort::OneStop          ? QStringLiteral("1")
                         : s.stopBits == QSerialPort::OneAndHalfStop ? QStringLiteral("1.5")
                                                                     : QStringLiteral("2");
    return QStringLiteral("%1,%2,%3,%4").arg(s.baudRate).arg(parity).arg(int(s.dataBits)).arg(stop);
}

void Check(QStringView text)
{
    const auto parsed = serial::ParseSettings(text);
    FUZZ_CHECK(serial::ParseSettings(text) == parsed);

    if (const auto* message = std::get_if<QString>(&parsed)) {
        FUZZ_CHECK(!message->isEmpty());
        return;
    }
    FUZZ_CHECK(text.count(u',') == 3);
    const auto& s = std::get<serial::LineSettings>(parsed);
    FUZZ_CHECK(s.baudRate > 0);
    FUZZ_CHECK(s.dataBits >= QSerialPort::Data5 && s.dataBits <= QSerialPort::Data8);
    FUZZ_CHECK(s.stopBits == QSerialPort::OneStop || s.stopBits == QSerialPort::OneAndHalfStop ||
               s.stopBits == QSerialPort::TwoStop);

    const QString again = Written(s);
    const auto reread = serial::ParseSettings(again);
    FUZZ_CHECK(std::holds_alternative<serial::LineSettings>(reread));
    FUZZ_CHECK(std::get<serial::LineSettings>(reread) == s);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    if (data[0] & 1) {
        // UTF-16 code units, in a block of exactly their size.
        const std::size_t units = (size - 1) / 2;
        const std::unique_ptr<char16_t[]> text(new char16_t[units]);
        for (std::size_t i = 0; i < units; ++i)
            text[i] = static_cast<char16_t>(data[1 + 2 * i] | data[2 + 2 * i] << 8);
        Check(QStringView(text.get(), static_cast<qsizetype>(units)));
    } else {
        Check(QString::fromUtf8(reinterpret_cast<const char*>(data + 1),
                                static_cast<qsizetype>(size - 1)));
    }
    return 0;
}
