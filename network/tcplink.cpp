#include "network/tcplink.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcTcp, "network.tcp", QtWarningMsg)

namespace network {
namespace {

const QString kScheme = QStringLiteral("tcp://");

// What a server streams to no request is kept only this far: a reply is
// at most 37 bytes (ASCII with its echo), so older bytes are never read.
constexpr qsizetype kReceivedLimit = 4096;

} // namespace

bool IsTcpUrl(const QString& port)
{
    return port.startsWith(kScheme, Qt::CaseInsensitive);
}

std::variant<TcpAddress, QString> ParseTcpUrl(const QString& url)
{
    const QString rest = url.mid(kScheme.size());
    const qsizetype colon = rest.lastIndexOf(u':');
    // "tcp://::1" is an IPv6 host without its port and brackets.
    if (colon < 0 || (rest.count(u':') > 1 && !rest.startsWith(u'[')) || colon < rest.indexOf(u']'))
        return QStringLiteral("%1 has no port: give tcp://HOST:PORT").arg(url);
    QString host = rest.left(colon);
    if (host.startsWith(u'[') && host.endsWith(u']'))
        host = host.mid(1, host.size() - 2);
    if (host.isEmpty())
        return QStringLiteral("%1 has no host: give tcp://HOST:PORT").arg(url);
    const QString portText = rest.mid(colon + 1);
    bool ok = false;
    const uint port = portText.toUInt(&ok);
    if (portText.isEmpty())
        return QStringLiteral("%1 has no port: give tcp://HOST:PORT").arg(url);
    if (!ok || port < 1 || port > 65535 || !portText.front().isDigit())
        return QStringLiteral("%1: the port must be a number from 1 to 65535").arg(url);
    return TcpAddress{host, static_cast<quint16>(port)};
}

TcpLink::TcpLink(const QString& url, QObject* parent)
    : poll::Link(parent), m_url(url), m_address(ParseTcpUrl(url)), m_socket(this)
{
    connect(&m_socket, &QTcpSocket::connected, this, [this] {
        // Keep-alive finds a peer gone without a word (a pulled cable) even
        // between polls; small frames go at once, not held for more.
        m_socket.setSocketOption(QAbstractSocket::KeepAliveOption, 1);
        m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_armed = 0;
        m_silentInARow = 0;
        m_connected = true;
        qCDebug(lcTcp) << "connected to" << m_url;
    });
    connect(&m_socket, &QTcpSocket::readyRead, this, &TcpLink::received);
    connect(&m_socket, &QTcpSocket::errorOccurred, this, &TcpLink::socketError);
}

bool TcpLink::isOpen() const
{
    return m_socket.state() == QAbstractSocket::ConnectedState;
}

bool TcpLink::open()
{
    if (isOpen())
        return true;
    if (const QString* why = std::get_if<QString>(&m_address)) {
        fault(poll::LinkError::OpenFailed, *why);
        return false;
    }
    if (m_socket.state() != QAbstractSocket::UnconnectedState)
        return false; // still resolving or connecting
    const auto& address = std::get<TcpAddress>(m_address);
    m_received.clear();
    m_socket.connectToHost(address.host, address.port);
    return false;
}

bool TcpLink::exchange(const QByteArray& request, int replyLength)
{
    if (!isOpen()) {
        fault(poll::LinkError::NotOpen, QStringLiteral("not connected"));
        return false;
    }
    if (m_armed > 0 && ++m_silentInARow >= kSilentExchanges) {
        // Told once; the poller hears the next connection as the end of it.
        fault(poll::LinkError::PortLost,
              QStringLiteral("no reply to %1 requests in a row: connecting again")
                  .arg(kSilentExchanges));
        m_connected = false;
        m_socket.abort();
        open();
        return false;
    }
    if (m_socket.bytesToWrite() + request.size() > kWriteBufferLimit) {
        fault(poll::LinkError::WriteFailed,
              QStringLiteral("the server takes nothing: %1 bytes wait to be sent")
                  .arg(m_socket.bytesToWrite()));
        return false;
    }
    // Whatever came before this request goes, as on the serial line.
    m_socket.readAll();
    m_received.clear();
    m_armed = replyLength;
    if (m_socket.write(request) != request.size()) {
        m_armed = 0;
        fault(poll::LinkError::WriteFailed, m_socket.errorString());
        return false;
    }
    return true;
}

QByteArray TcpLink::takeAll()
{
    return std::exchange(m_received, {});
}

void TcpLink::received()
{
    m_received += m_socket.readAll();
    if (m_received.size() > kReceivedLimit)
        m_received.remove(0, m_received.size() - kReceivedLimit);
    if (m_armed > 0 && m_received.size() >= m_armed) {
        m_armed = 0;
        m_silentInARow = 0;
        emit replyReady();
    }
}

void TcpLink::socketError(QAbstractSocket::SocketError error)
{
    // Refused, unknown name, unreachable before the connection was made; cut
    // by the server (RemoteHostClosedError) or reset once it was.
    qCDebug(lcTcp) << m_url << "socket error" << error;
    const QString reason = m_socket.errorString();
    const bool wasConnected = std::exchange(m_connected, false);
    m_armed = 0;
    m_socket.abort(); // ready for the next open()
    fault(wasConnected ? poll::LinkError::PortLost : poll::LinkError::OpenFailed, reason);
}

void TcpLink::fault(poll::LinkError error, const QString& reason)
{
    emit errorOccurred(poll::LinkFault{error, m_url, reason});
}

} // namespace network
