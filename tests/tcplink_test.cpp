// The network link against a server of the test's own on the loopback.
#include "network/tcplink.h"
#include "poll/poller.h"
#include "support/wait.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>

using testing_support::waitFor;

namespace {

// Accepts on the loopback; keeps what each connection sent, and answers it.
struct Server
{
    QTcpServer server;
    QList<QTcpSocket*> accepted;
    QList<QByteArray> requests;
    std::function<void(QTcpSocket&)> answer = [](QTcpSocket&) {};

    explicit Server(quint16 port = 0)
    {
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] {
            QTcpSocket* socket = server.nextPendingConnection();
            const auto index = accepted.size();
            accepted.append(socket);
            requests.append(QByteArray());
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, index] {
                requests[index] += socket->readAll();
                answer(*socket);
            });
        });
        server.listen(QHostAddress::LocalHost, port);
    }
    QString url() const { return QStringLiteral("tcp://127.0.0.1:%1").arg(server.serverPort()); }
};

const QByteArray kRequest = poll::BuildRequest(poll::Framing::Binary, 67);

} // namespace

TEST(TcpLink, AReplyInPiecesIsTakenWholeWithoutTheStaleHalfBeforeIt)
{
    Server server;
    const QByteArray reply = QByteArray("\x43\x04\x10") + QByteArray(18, '\x01');
    server.answer = [&](QTcpSocket& socket) {
        socket.write(reply.left(3)); // the first request gets half a reply, the second the rest
        if (server.requests[0].size() > kRequest.size())
            QTimer::singleShot(30, &socket, [&socket, rest = reply.mid(3)] { socket.write(rest); });
    };
    network::TcpLink link(server.url());
    QList<QByteArray> taken;
    QObject::connect(&link, &poll::Link::replyReady, [&] { taken.append(link.takeAll()); });
    EXPECT_FALSE(link.open()); // under way, never waited for
    ASSERT_TRUE(waitFor([&] { return link.isOpen(); }));
    int reads = 0; // the link's socket: counted after the link has read
    QObject::connect(link.findChild<QTcpSocket*>(), &QTcpSocket::readyRead, [&] { ++reads; });
    ASSERT_TRUE(link.exchange(kRequest, static_cast<int>(reply.size())));
    ASSERT_TRUE(waitFor([&] { return reads > 0; }));
    ASSERT_TRUE(link.exchange(kRequest, static_cast<int>(reply.size())));
    ASSERT_TRUE(waitFor([&] { return !taken.isEmpty(); }));
    EXPECT_EQ(taken, QList<QByteArray>{reply});
}

TEST(TcpLink, RefusedAndCutAreNamedAndNothingIsCountedWhileDown)
{
    const quint16 port = Server().server.serverPort(); // nobody listens once it closes
    const QString url = QStringLiteral("tcp://127.0.0.1:%1").arg(port);
    network::TcpLink link(url);
    int attempts = 0, polls = 0;
    QObject::connect(&link, &poll::Link::errorOccurred, [&] { ++attempts; });
    poll::Poller poller(poll::Framing::Binary, link);
    QList<poll::LinkFault> faults;
    QObject::connect(&poller, &poll::Poller::portFault,
                     [&](const poll::LinkFault& fault) { faults.append(fault); });
    QObject::connect(&poller, &poll::Poller::pollSent, [&] { ++polls; });
    poller.setInterval(std::chrono::milliseconds(50));
    QElapsedTimer clock;
    clock.start();
    poller.start(kRequest);
    ASSERT_TRUE(waitFor([&] { return attempts >= 3; }));
    EXPECT_LE(attempts, clock.elapsed() / 50 + 1); // one a tick; ticks are never early
    EXPECT_EQ(polls, 0);
    EXPECT_EQ(faults.value(0),
              (poll::LinkFault{poll::LinkError::OpenFailed, url, "Connection refused"}));

    Server server(port);
    ASSERT_TRUE(waitFor([&] { return polls >= 2; }));
    const int pollsBeforeCut = polls;
    server.accepted[0]->abort();
    ASSERT_TRUE(waitFor([&] { return faults.last().error == poll::LinkError::PortLost; }));
    EXPECT_EQ(faults.last().device, url);
    ASSERT_TRUE(waitFor([&] { return server.accepted.size() == 2 && polls > pollsBeforeCut + 1; }));
}

TEST(TcpLink, TenSilentPollsRemakeTheConnectionOnce)
{
    Server server; // reads, never answers
    network::TcpLink link(server.url());
    poll::Poller poller(poll::Framing::Binary, link);
    QList<poll::LinkFault> faults;
    QObject::connect(&poller, &poll::Poller::portFault,
                     [&](const poll::LinkFault& fault) { faults.append(fault); });
    poller.setInterval(std::chrono::milliseconds(20));
    poller.start(kRequest);
    ASSERT_TRUE(waitFor([&] { return server.accepted.size() == 2; }));
    EXPECT_EQ(server.requests[0], kRequest.repeated(network::TcpLink::kSilentExchanges));
    ASSERT_EQ(faults.size(), 1);
    EXPECT_TRUE(faults[0].reason.startsWith("no reply to 10 requests"))
        << faults[0].reason.toStdString();
}
