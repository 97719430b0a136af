#include "network/comport.h"

#include <initializer_list>
#include <utility>

namespace network {
namespace {

// Telnet's commands and the options used here.
constexpr quint8 kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250, kSe = 240;
constexpr quint8 kBinary = 0, kSuppressGoAhead = 3, kComPort = 44;

// COM-port control's commands from the client; the server answers each with
// the same code plus 100, carrying the value it applied.
constexpr quint8 kSetBaudRate = 1, kSetDataSize = 2, kSetParity = 3, kSetStopSize = 4;
constexpr quint8 kServerOffset = 100;

QByteArray Bytes(std::initializer_list<quint8> bytes)
{
    QByteArray array;
    for (const quint8 byte : bytes)
        array += static_cast<char>(byte);
    return array;
}

QByteArray Command(quint8 verb, quint8 option)
{
    return Bytes({kIac, verb, option});
}

QByteArray Setting(quint8 code, const QByteArray& value)
{
    return Bytes({kIac, kSb, kComPort, code}) + ComPortSession::escape(value) + Bytes({kIac, kSe});
}

QString ParityName(quint8 parity)
{
    switch (parity) {
    case 1:
        return QStringLiteral("N");
    case 2:
        return QStringLiteral("O");
    case 3:
        return QStringLiteral("E");
    case 4:
        return QStringLiteral("M");
    case 5:
        return QStringLiteral("S");
    }
    return QStringLiteral("parity %1").arg(parity);
}

QString StopBitsName(quint8 stopBits)
{
    return stopBits == 3 ? QStringLiteral("1.5") : QString::number(stopBits);
}

} // namespace

QString ComPortSettings::text() const
{
    return QStringLiteral("%1,%2,%3,%4")
        .arg(baudRate)
        .arg(ParityName(parity))
        .arg(dataBits)
        .arg(StopBitsName(stopBits));
}

QByteArray ComPortSession::start()
{
    m_mine[kComPort] = m_mine[kBinary] = m_his[kBinary] = Stance::Yes;
    return Command(kWill, kComPort) + Command(kWill, kBinary) + Command(kDo, kBinary);
}

QByteArray ComPortSession::escape(const QByteArray& data)
{
    QByteArray escaped = data;
    return escaped.replace(QByteArray(1, char(kIac)), QByteArray(2, char(kIac)));
}

ComPortSession::Input ComPortSession::feed(const QByteArray& bytes)
{
    Input input;
    for (const char c : bytes) {
        const auto byte = static_cast<quint8>(c);
        switch (m_state) {
        case State::Data:
            if (byte == kIac)
                m_state = State::Command;
            else
                input.data += c;
            break;
        case State::Command:
            m_state = State::Data;
            if (byte == kIac) {
                input.data += c; // a doubled 0xFF is one data byte
            } else if (byte >= kWill && byte <= kDont) {
                m_verb = byte;
                m_state = State::Option;
            } else if (byte == kSb) {
                m_sub.clear();
                m_state = State::Sub;
            } // NOP, go-ahead, break and the like carry nothing for the line
            break;
        case State::Option:
            m_state = State::Data;
            option(m_verb, byte, input);
            break;
        case State::Sub:
            if (byte == kIac)
                m_state = State::SubCommand;
            else
                m_sub += c;
            break;
        case State::SubCommand:
            if (byte == kIac) {
                m_sub += c;
                m_state = State::Sub;
            } else {
                // SE, or a malformed end: either way the subnegotiation is over.
                m_state = State::Data;
                subnegotiation(input);
            }
            break;
        }
    }
    return input;
}

bool ComPortSession::settled() const
{
    return m_confirmed[0] && m_confirmed[1] && m_confirmed[2] && m_confirmed[3];
}

void ComPortSession::option(quint8 verb, quint8 option, Input& input)
{
    // An offer is answered where our stance changes (an unwanted one is
    // refused once), so two ends never bounce the same offer back and forth.
    const bool wanted =
        option == kBinary || option == kSuppressGoAhead || (option == kComPort && verb >= kDo);
    const Stance stance = wanted ? Stance::Yes : Stance::No;
    if (verb == kWill && m_his[option] != stance) {
        m_his[option] = stance;
        input.answer += Command(wanted ? kDo : kDont, option);
    } else if (verb == kWont && std::exchange(m_his[option], Stance::No) == Stance::Yes) {
        input.answer += Command(kDont, option);
    } else if (verb == kDo && m_mine[option] != stance) {
        m_mine[option] = stance;
        input.answer += Command(wanted ? kWill : kWont, option);
    } else if (verb == kDont && std::exchange(m_mine[option], Stance::No) == Stance::Yes) {
        input.answer += Command(kWont, option);
    }
    if (option != kComPort)
        return;
    if (verb == kDo && !m_settingsSent) {
        m_settingsSent = true;
        const quint32 baud = m_wanted.baudRate;
        input.answer += Setting(kSetBaudRate, Bytes({quint8(baud >> 24), quint8(baud >> 16),
                                                     quint8(baud >> 8), quint8(baud)}));
        input.answer += Setting(kSetDataSize, Bytes({m_wanted.dataBits}));
        input.answer += Setting(kSetParity, Bytes({m_wanted.parity}));
        input.answer += Setting(kSetStopSize, Bytes({m_wanted.stopBits}));
    } else if (verb == kDont) {
        input.refusal = QStringLiteral("the server refuses to set the line (no RFC 2217 COM-port "
                                       "control there): reach a raw port with tcp://");
    }
}

void ComPortSession::subnegotiation(Input& input)
{
    if (m_sub.size() < 3 || static_cast<quint8>(m_sub[0]) != kComPort)
        return; // another option's, or nothing in it
    const auto code = static_cast<quint8>(m_sub[1]);
    const QByteArray value = m_sub.mid(2);
    const auto one = static_cast<quint8>(value[0]);
    QString applied, asked;
    switch (code) {
    case kServerOffset + kSetBaudRate: {
        if (value.size() < 4)
            return;
        quint32 baud = 0;
        for (int i = 0; i < 4; ++i)
            baud = baud << 8 | static_cast<quint8>(value[i]);
        m_confirmed[0] = baud == m_wanted.baudRate;
        applied = QStringLiteral("%1 baud").arg(baud);
        asked = QStringLiteral("%1 baud").arg(m_wanted.baudRate);
        break;
    }
    case kServerOffset + kSetDataSize:
        m_confirmed[1] = one == m_wanted.dataBits;
        applied = QStringLiteral("%1 data bits").arg(one);
        asked = QStringLiteral("%1 data bits").arg(m_wanted.dataBits);
        break;
    case kServerOffset + kSetParity:
        m_confirmed[2] = one == m_wanted.parity;
        applied = QStringLiteral("parity %1").arg(ParityName(one));
        asked = QStringLiteral("parity %1").arg(ParityName(m_wanted.parity));
        break;
    case kServerOffset + kSetStopSize:
        m_confirmed[3] = one == m_wanted.stopBits;
        applied = QStringLiteral("%1 stop bits").arg(StopBitsName(one));
        asked = QStringLiteral("%1 stop bits").arg(StopBitsName(m_wanted.stopBits));
        break;
    default:
        return; // the line's and the modem's state, the server's signature
    }
    if (applied != asked)
        input.refusal = QStringLiteral("the server set %1 where %2 was asked (line %3)")
                            .arg(applied, asked, m_wanted.text());
}

} // namespace network
