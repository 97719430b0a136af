// The client's half of a telnet connection with COM-port control (RFC 2217),
// as a serial device server speaks it: the frames travel as data with every
// 0xFF byte doubled, the server is asked for the line settings, and its
// answers say what it applied. No sockets here: bytes in, bytes out.
#pragma once

#include <QByteArray>
#include <QString>

#include <array>
#include <optional>

namespace network {

// The line as RFC 2217 numbers it: parity 1 none, 2 odd, 3 even, 4 mark,
// 5 space; stop bits 1 one, 2 two, 3 one and a half.
struct ComPortSettings
{
    quint32 baudRate = 9600;
    quint8 dataBits = 8;
    quint8 parity = 1;
    quint8 stopBits = 1;

    // "9600,N,8,1"
    QString text() const;
    friend bool operator==(const ComPortSettings&, const ComPortSettings&) = default;
};

class ComPortSession
{
public:
    explicit ComPortSession(const ComPortSettings& wanted) : m_wanted(wanted) {}

    // What the client says first: it will do COM-port control, and binary
    // both ways, so that a frame's CR or 0x00 byte arrives unchanged.
    QByteArray start();
    // A request as it goes on the connection.
    static QByteArray escape(const QByteArray& data);

    struct Input
    {
        QByteArray data;                // the line's bytes, unescaped
        QByteArray answer;              // to send back to the server
        std::optional<QString> refusal; // the server would not set the line as asked
    };
    // Takes what the server sent; a telnet command may end in a later piece.
    Input feed(const QByteArray& bytes);

    // Every setting has been answered with the value asked for.
    bool settled() const;

private:
    enum class State
    {
        Data,
        Command,    // after IAC
        Option,     // after IAC WILL, WONT, DO or DONT
        Sub,        // inside IAC SB ... IAC SE
        SubCommand, // an IAC inside a subnegotiation
    };
    void option(quint8 verb, quint8 option, Input& input);
    void subnegotiation(Input& input);

    ComPortSettings m_wanted;
    State m_state = State::Data;
    quint8 m_verb = 0;
    QByteArray m_sub;
    // Where we last stood on each option: the server's (DO or DONT said)
    // and ours (WILL or WONT said).
    enum class Stance : quint8
    {
        Unsaid,
        Yes,
        No,
    };
    std::array<Stance, 256> m_his{};
    std::array<Stance, 256> m_mine{};
    bool m_settingsSent = false;
    std::array<bool, 4> m_confirmed{}; // baud, data bits, parity, stop bits
};

} // namespace network
