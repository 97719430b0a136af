// Poll's link over a TCP connection: a serial device server (ser2net, a
// Moxa NPort in TCP server mode) passes the frames to and from the module's
// line unchanged. Raw (tcp://) the line settings are the server's; with
// telnet COM-port control (rfc2217://) they are set and read back first.
#pragma once

#include "network/comport.h"
#include "poll/link.h"

#include <QByteArray>
#include <QString>
#include <QTcpSocket>

#include <optional>
#include <variant>

namespace network {

struct TcpAddress
{
    QString host;
    quint16 port = 0;
    bool comPortControl = false; // rfc2217://
};

// Whether `port` names a network link (tcp://... or rfc2217://...) rather
// than a serial device.
bool IsNetworkUrl(const QString& port);
// "tcp://HOST:PORT" or "rfc2217://HOST:PORT" (an IPv6 host in brackets);
// else why not, as a sentence naming the text: no port, a port outside 1 to
// 65535, no host.
std::variant<TcpAddress, QString> ParseNetworkUrl(const QString& url);

class TcpLink : public poll::Link
{
    Q_OBJECT

public:
    // With a server answering nothing for this many requests in a row the
    // connection is taken for dead (a server restarted while the cable was
    // out leaves ours half open) and is made again.
    static constexpr int kSilentExchanges = 10;
    // Requests not yet taken by a server that stopped reading: past this a
    // request is refused rather than queued without end. A request is at
    // most 17 bytes, so this is some 240 requests.
    static constexpr qint64 kWriteBufferLimit = 4096;

    // A server taking this many ticks to answer the line settings is taken
    // for one that does not speak telnet (a raw port given as rfc2217://).
    static constexpr int kSettlingTicks = 3;

    // A malformed url is told as an open failure on each open(). `line` is
    // what an rfc2217:// server is asked to set.
    explicit TcpLink(const QString& url, const ComPortSettings& line = {},
                     QObject* parent = nullptr);

    QString url() const { return m_url; }

    bool isOpen() const override;
    // Starts one connection attempt and returns false at once; true only
    // once connected (and, with COM-port control, the line set as asked). A
    // refusal or an unknown name comes later, through errorOccurred. An
    // attempt under way is left to finish.
    bool open() override;
    // Bytes written to a stream cannot be taken back in part without
    // splitting a frame; the write buffer is bounded in exchange() instead.
    void clearOutput() override {}
    bool exchange(const QByteArray& request, int replyLength) override;
    QByteArray takeAll() override;

private:
    void connected();
    // What came from the server for the line; telnet commands answered.
    QByteArray readLine();
    void received();
    void drop(poll::LinkError error, const QString& reason);
    void socketError(QAbstractSocket::SocketError error);
    void fault(poll::LinkError error, const QString& reason);

    QString m_url;
    std::variant<TcpAddress, QString> m_address;
    ComPortSettings m_line;
    QTcpSocket m_socket;
    std::optional<ComPortSession> m_session; // rfc2217://, while connected
    int m_settlingTicks = 0;                 // open() calls while the line is being set
    QByteArray m_received;
    int m_armed = 0;          // bytes the last exchange waits for; 0: none
    int m_silentInARow = 0;   // exchanges whose reply never came whole
    bool m_connected = false; // a fault now ends a connection, not an attempt
};

} // namespace network
