#include "network/tcplink.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcTcp, "network.tcp", QtWarningMsg)

namespace network {
namespace {

const QString kRaw = QStringLiteral("tcp://");
const QString kComPort = QStringLiteral("rfc2217://");

// What a server streams to no request is kept only this far: a reply is
// at most 37 bytes (ASCII with its echo), so older bytes are never read.
constexpr qsizetype kReceivedLimit = 4096;

} // namespace

bool IsNetworkUrl(const QString& port)
{
    return port.startsWith(kRaw, Qt::CaseInsensitive) ||
           port.startsWith(kComPort, Qt::CaseInsensitive);
}

std::variant<TcpAddress, QString> ParseNetworkUrl(const QString& url)
{
    const bool comPort = url.startsWith(kComPort, Qt::CaseInsensitive);
    const QString scheme = comPort ? kComPort : kRaw;
    const QString rest = url.mid(scheme.size());
    const qsizetype colon = rest.lastIndexOf(u':');
    // "tcp://::1" is an IPv6 host without its port and brackets.
    if (colon < 0 || (rest.count(u':') > 1 && !rest.startsWith(u'[')) || colon < rest.indexOf(u']'))
        return QStringLiteral("%1 has no port: give %2HOST:PORT").arg(url, scheme);
    QString host = rest.left(colon);
    if (host.startsWith(u'[') && host.endsWith(u']'))
        host = host.mid(1, host.size() - 2);
    if (host.isEmpty())
        return QStringLiteral("%1 has no host: give %2HOST:PORT").arg(url, scheme);
    const QString portText = rest.mid(colon + 1);
    bool ok = false;
    const uint port = portText.toUInt(&ok);
    if (portText.isEmpty())
        return QStringLiteral("%1 has no port: give %2HOST:PORT").arg(url, scheme);
    if (!ok || port < 1 || port > 65535 || !portText.front().isDigit())
        return QStringLiteral("%1: the port must be a number from 1 to 65535").arg(url);
    return TcpAddress{host, static_cast<quint16>(port), comPort};
}

TcpLink::TcpLink(const QString& url, const ComPortSettings& line, QObject* parent)
    : poll::Link(parent), m_url(url), m_address(ParseNetworkUrl(url)), m_line(line), m_socket(this)
{
    connect(&m_socket, &QTcpSocket::connected, this, &TcpLink::connected);
    connect(&m_socket, &QTcpSocket::readyRead, this, &TcpLink::received);
    connect(&m_socket, &QTcpSocket::errorOccurred, this, &TcpLink::socketError);
}

bool TcpLink::isOpen() const
{
    return m_socket.state() == QAbstractSocket::ConnectedState &&
           (!m_session || m_session->settled());
}

bool TcpLink::open()
{
    if (isOpen())
        return true;
    if (const QString* why = std::get_if<QString>(&m_address)) {
        fault(poll::LinkError::OpenFailed, *why);
        return false;
    }
    if (m_socket.state() == QAbstractSocket::ConnectedState && ++m_settlingTicks > kSettlingTicks) {
        drop(poll::LinkError::OpenFailed,
             QStringLiteral("no answer to the line settings (RFC 2217) in %1 polls: reach a raw "
                            "port with tcp://")
                 .arg(kSettlingTicks));
        return false; // the next tick connects again
    }
    if (m_socket.state() != QAbstractSocket::UnconnectedState)
        return false; // still resolving, connecting or setting the line
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
        drop(poll::LinkError::PortLost,
             QStringLiteral("no reply to %1 requests in a row: connecting again")
                 .arg(kSilentExchanges));
        open();
        return false;
    }
    const QByteArray sent = m_session ? ComPortSession::escape(request) : request;
    if (m_socket.bytesToWrite() + sent.size() > kWriteBufferLimit) {
        fault(poll::LinkError::WriteFailed,
              QStringLiteral("the server takes nothing: %1 bytes wait to be sent")
                  .arg(m_socket.bytesToWrite()));
        return false;
    }
    // Whatever came before this request goes, as on the serial line; the
    // server's telnet commands in it are still answered.
    readLine();
    if (!isOpen())
        return false; // the server refused the line just now: told
    m_received.clear();
    m_armed = replyLength;
    if (m_socket.write(sent) != sent.size()) {
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

void TcpLink::connected()
{
    // Keep-alive finds a peer gone without a word (a pulled cable) even
    // between polls; small frames go at once, not held for more.
    m_socket.setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_armed = 0;
    m_silentInARow = 0;
    m_connected = true;
    qCDebug(lcTcp) << "connected to" << m_url;
    if (std::get<TcpAddress>(m_address).comPortControl) {
        m_settlingTicks = 0;
        m_session.emplace(m_line);
        m_socket.write(m_session->start());
    }
}

QByteArray TcpLink::readLine()
{
    const QByteArray bytes = m_socket.readAll();
    if (!m_session)
        return bytes;
    const bool settled = m_session->settled();
    ComPortSession::Input input = m_session->feed(bytes);
    if (!input.answer.isEmpty())
        m_socket.write(input.answer);
    if (input.refusal)
        drop(poll::LinkError::OpenFailed, *input.refusal);
    else if (!settled && m_session->settled())
        qCDebug(lcTcp) << m_url << "line set to" << m_line.text();
    return input.data;
}

void TcpLink::received()
{
    const QByteArray data = readLine();
    if (!data.isEmpty())
        m_silentInARow = 0; // a server that answers, if only with an exception, is there
    m_received += data;
    if (m_received.size() > kReceivedLimit)
        m_received.remove(0, m_received.size() - kReceivedLimit);
    if (m_armed > 0 && m_received.size() >= m_armed) {
        m_armed = 0;
        emit replyReady();
    }
}

void TcpLink::socketError(QAbstractSocket::SocketError error)
{
    // Refused, unknown name, unreachable before the connection was made; cut
    // by the server (RemoteHostClosedError) or reset once it was.
    qCDebug(lcTcp) << m_url << "socket error" << error;
    const QString reason = m_socket.errorString();
    drop(m_connected ? poll::LinkError::PortLost : poll::LinkError::OpenFailed, reason);
}

void TcpLink::drop(poll::LinkError error, const QString& reason)
{
    m_connected = false;
    m_armed = 0;
    m_session.reset();
    m_socket.abort(); // ready for the next open()
    fault(error, reason);
}

void TcpLink::fault(poll::LinkError error, const QString& reason)
{
    emit errorOccurred(poll::LinkFault{error, m_url, reason});
}

} // namespace network
