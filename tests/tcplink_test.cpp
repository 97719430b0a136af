// The network link against a server of the test's own on the loopback.
#include "network/tcplink.h"
#include "poll/poller.h"
#include "support/wait.h"

#include <QElapsedTimer>
#include <QList>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>

using testing_support::runEventsFor;
using testing_support::waitFor;

namespace {

// Accepts on the loopback; `answer` is called with each request's socket.
struct Server
{
    QTcpServer server;
    QList<QPointer<QTcpSocket>> accepted;
    QList<QByteArray> requests; // per connection, everything read
    std::function<void(QTcpSocket&)> answer = [](QTcpSocket&) {};

    explicit Server(quint16 port = 0) { listen(port); }
    bool listen(quint16 port)
    {
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] {
            while (QTcpSocket* socket = server.nextPendingConnection()) {
                const auto index = accepted.size();
                accepted.append(socket);
                requests.append(QByteArray());
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, index] {
                    requests[index] += socket->readAll();
                    answer(*socket);
                });
            }
        });
        return server.listen(QHostAddress::LocalHost, port);
    }
    QString url() const { return QStringLiteral("tcp://127.0.0.1:%1").arg(server.serverPort()); }
};

const QByteArray kRequest = poll::BuildRequest(poll::Framing::Binary, 67);

} // namespace

TEST(TcpLink, AReplyIsTakenWholeAndOnlyItsOwnBytes)
{
    Server server;
    const QByteArray reply = QByteArray("\x43\x04\x10") + QByteArray(18, '\x01');
    int sent = 0;
    server.answer = [&](QTcpSocket& socket) {
        if (++sent == 1) {
            socket.write(reply.left(3)); // half a reply, then silence
        } else {
            socket.write(reply.left(5));
            socket.flush();
            QTimer::singleShot(30, &socket, [&socket, rest = reply.mid(5)] { socket.write(rest); });
        }
    };
    network::TcpLink link(server.url());
    QList<QByteArray> taken;
    QObject::connect(&link, &poll::Link::replyReady, [&] { taken.append(link.takeAll()); });
    EXPECT_FALSE(link.open()); // under way, never waited for
    ASSERT_TRUE(waitFor([&] { return link.isOpen(); }));

    ASSERT_TRUE(link.exchange(kRequest, static_cast<int>(reply.size())));
    ASSERT_TRUE(waitFor([&] { return server.requests.value(0).size() == kRequest.size(); }));
    runEventsFor(std::chrono::milliseconds(200));
    EXPECT_TRUE(taken.isEmpty()) << "a partial reply was taken as whole";
    // The stale half is dropped; the next reply, in two pieces, comes whole.
    ASSERT_TRUE(link.exchange(kRequest, static_cast<int>(reply.size())));
    ASSERT_TRUE(waitFor([&] { return !taken.isEmpty(); }));
    EXPECT_EQ(taken, QList<QByteArray>{reply});
}

TEST(TcpLink, RefusedAndCutAreNamedAndNothingIsCountedWhileDown)
{
    quint16 port = 0;
    {
        Server probe; // a port nobody listens on once it closes
        port = probe.server.serverPort();
    }
    const QString url = QStringLiteral("tcp://127.0.0.1:%1").arg(port);
    network::TcpLink link(url);
    int attempts = 0;
    QObject::connect(&link, &poll::Link::errorOccurred, [&](const poll::LinkFault& fault) {
        attempts += fault.error == poll::LinkError::OpenFailed;
    });
    poll::Poller poller(poll::Framing::Binary, link);
    QList<poll::LinkFault> faults;
    int polls = 0;
    QObject::connect(&poller, &poll::Poller::portFault,
                     [&](const poll::LinkFault& fault) { faults.append(fault); });
    QObject::connect(&poller, &poll::Poller::pollSent, [&] { ++polls; });
    constexpr int kIntervalMs = 50;
    poller.setInterval(std::chrono::milliseconds(kIntervalMs));
    QElapsedTimer clock;
    clock.start();
    poller.start(kRequest);
    ASSERT_TRUE(waitFor([&] { return attempts >= 3; }));
    // One attempt a tick at most: ticks are never early.
    EXPECT_LE(attempts, clock.elapsed() / kIntervalMs + 1);
    EXPECT_EQ(polls, 0);
    ASSERT_FALSE(faults.isEmpty());
    EXPECT_EQ(faults[0], (poll::LinkFault{poll::LinkError::OpenFailed, url, "Connection refused"}));

    Server server(port);
    ASSERT_TRUE(server.server.isListening());
    ASSERT_TRUE(waitFor([&] { return polls >= 2; }));
    EXPECT_EQ(server.accepted.size(), 1);

    const int pollsBeforeCut = polls;
    server.accepted[0]->abort();
    ASSERT_TRUE(waitFor([&] { return faults.last().error == poll::LinkError::PortLost; }));
    EXPECT_EQ(faults.last().device, url);
    EXPECT_FALSE(faults.last().reason.isEmpty());
    EXPECT_LE(polls, pollsBeforeCut + 1) << "polls counted on a cut connection";
    ASSERT_TRUE(waitFor([&] { return server.accepted.size() == 2 && polls > pollsBeforeCut + 1; }));
}

TEST(TcpLink, TenSilentPollsRemakeTheConnection)
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
    EXPECT_EQ(faults[0].error, poll::LinkError::PortLost);
    EXPECT_TRUE(faults[0].reason.startsWith("no reply to 10 requests"))
        << faults[0].reason.toStdString();
}

TEST(TcpLink, MalformedUrlsAreRefusedWithTheirFault)
{
    const struct
    {
        const char* url;
        const char* faultOrHost; // a fault's words, else the host it names
    } rows[] = {
        {"tcp://module-7:4001", "module-7"},
        {"TCP://[::1]:4001", "::1"},
        {"tcp://module-7", "has no port"},
        {"tcp://module-7:", "has no port"},
        {"tcp://[::1]", "has no port"},
        {"tcp://module-7:0", "from 1 to 65535"},
        {"tcp://module-7:65536", "from 1 to 65535"},
        {"tcp://module-7:+80", "from 1 to 65535"},
        {"tcp://:4001", "has no host"},
    };
    for (const auto& row : rows) {
        const auto parsed = network::ParseTcpUrl(QString::fromLatin1(row.url));
        if (const auto* why = std::get_if<QString>(&parsed)) {
            EXPECT_TRUE(why->contains(row.faultOrHost)) << row.url << ": " << why->toStdString();
        } else {
            EXPECT_EQ(std::get<network::TcpAddress>(parsed).host, row.faultOrHost) << row.url;
            EXPECT_EQ(std::get<network::TcpAddress>(parsed).port, 4001) << row.url;
        }
    }
}
