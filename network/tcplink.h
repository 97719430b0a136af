// Poll's link over a TCP connection: a serial device server (ser2net, a
// Moxa NPort in TCP server mode) passes the frames to and from the module's
// line unchanged. The line settings are the server's; nothing here sets them.
#pragma once

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
};

// Whether `port` names a network link (tcp://...) rather than a serial device.
bool IsTcpUrl(const QString& port);
// "tcp://HOST:PORT" (an IPv6 host in brackets); else why not, as a sentence
// naming the text: no port, a port outside 1 to 65535, no host.
std::variant<TcpAddress, QString> ParseTcpUrl(const QString& url);

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

    // A malformed url is told as an open failure on each open().
    explicit TcpLink(const QString& url, QObject* parent = nullptr);

    QString url() const { return m_url; }

    bool isOpen() const override;
    // Starts one connection attempt and returns false at once; true only
    // once connected. A refusal or an unknown name comes later, through
    // errorOccurred. An attempt under way is left to finish.
    bool open() override;
    // Bytes written to a stream cannot be taken back in part without
    // splitting a frame; the write buffer is bounded in exchange() instead.
    void clearOutput() override {}
    bool exchange(const QByteArray& request, int replyLength) override;
    QByteArray takeAll() override;

private:
    void received();
    void socketError(QAbstractSocket::SocketError error);
    void fault(poll::LinkError error, const QString& reason);

    QString m_url;
    std::variant<TcpAddress, QString> m_address;
    QTcpSocket m_socket;
    QByteArray m_received;
    int m_armed = 0;          // bytes the last exchange waits for; 0: none
    int m_silentInARow = 0;   // exchanges whose reply never came whole
    bool m_connected = false; // a fault now ends a connection, not an attempt
};

} // namespace network
