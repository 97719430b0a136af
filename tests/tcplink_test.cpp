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

TEST(TcpLink, AServerAnsweringOnlyShortFramesIsNotTakenForGone)
{
    Server server; // a Modbus exception: five bytes, never the 21 armed for
    server.answer = [](QTcpSocket& socket) { socket.write("\x43\x84\x02\xC3\x31", 5); };
    network::TcpLink link(server.url());
    poll::Poller poller(poll::Framing::Binary, link);
    int polls = 0;
    QObject::connect(&poller, &poll::Poller::pollSent, [&] { ++polls; });
    poller.setInterval(std::chrono::milliseconds(20));
    poller.start(kRequest);
    ASSERT_TRUE(waitFor([&] { return polls > 2 * network::TcpLink::kSilentExchanges; }));
    EXPECT_EQ(server.accepted.size(), 1);
}

namespace {

QByteArray Hex(const char* text)
{
    return QByteArray::fromHex(text);
}

// ser2net's greeting to a COM-port client, then its answers to 9600,N,8,1.
const QByteArray kGreeting = Hex("fffb03 fffd03 fffb01 fffe01 fffd00 fffb00 fffd2c");
const QByteArray kApplied =
    Hex("fffa2c6b00fff0 fffa2c65 00002580 fff0 fffa2c6608fff0 fffa2c6701fff0 fffa2c6801fff0");

} // namespace

TEST(ComPortSession, AnswersTheServerAndSetsTheLineHoweverTheBytesAreCut)
{
    // Suppress-go-ahead taken both ways, echo refused, binary already
    // asked for; the four settings once the server takes COM-port control.
    const QByteArray answer =
        Hex("fffd03 fffb03 fffe01 fffa2c0100002580fff0 fffa2c0208fff0 fffa2c0301fff0 "
            "fffa2c0401fff0");
    const QByteArray server = kGreeting + kApplied + Hex("43 ffff 04");
    for (qsizetype cut = 0; cut <= server.size(); ++cut) {
        network::ComPortSession session({});
        EXPECT_EQ(session.start(), Hex("fffb2c fffb00 fffd00"));
        auto first = session.feed(server.left(cut));
        const auto rest = session.feed(server.mid(cut));
        EXPECT_EQ(first.answer + rest.answer, answer) << "cut at " << cut;
        EXPECT_EQ(first.data + rest.data, Hex("43 ff 04")) << "cut at " << cut;
        EXPECT_TRUE(session.settled() && !first.refusal && !rest.refusal) << "cut at " << cut;
    }
}

TEST(ComPortSession, ARefusalSaysWhatTheServerDid)
{
    const std::pair<QByteArray, const char*> cases[] = {
        {Hex("fffe2c"), "the server refuses to set the line"},
        {Hex("fffd2c fffa2c 65 00004b00 fff0"), "the server set 19200 baud where 9600 baud"},
        {Hex("fffd2c fffa2c 67 03 fff0"), "the server set parity E where parity N was asked"},
    };
    for (const auto& [server, refusal] : cases) {
        network::ComPortSession session({});
        session.start();
        const auto input = session.feed(server);
        EXPECT_TRUE(input.refusal && input.refusal->startsWith(refusal))
            << input.refusal.value_or("no refusal").toStdString();
        EXPECT_FALSE(session.settled());
    }
}

TEST(TcpLink, WithComPortControlPollsOnlyOnceTheLineIsSet)
{
    Server server; // COM-port control taken, the settings applied, replies escaped
    server.answer = [&](QTcpSocket& socket) {
        const QByteArray& heard = server.requests.last();
        if (heard == Hex("fffb2c fffb00 fffd00"))
            socket.write(Hex("fffd2c"));
        else if (heard.endsWith(Hex("fffa2c0401fff0")))
            socket.write(kApplied);
        else if (heard.endsWith(kRequest))
            socket.write(Hex("43 ffff 04"));
    };
    const QString url = server.url().replace("tcp://", "rfc2217://");
    network::TcpLink link(url);
    EXPECT_FALSE(link.open());
    ASSERT_TRUE(waitFor([&] { return link.isOpen(); }));
    QByteArray taken;
    QObject::connect(&link, &poll::Link::replyReady, [&] { taken = link.takeAll(); });
    ASSERT_TRUE(link.exchange(kRequest, 3));
    ASSERT_TRUE(waitFor([&] { return !taken.isEmpty(); }));
    EXPECT_EQ(taken, Hex("43 ff 04"));
    EXPECT_TRUE(server.requests[0].endsWith(Hex("fffa2c0401fff0") + kRequest));

    Server raw; // a raw port given as rfc2217:// answers nothing
    network::TcpLink silent(raw.url().replace("tcp://", "rfc2217://"));
    QList<poll::LinkFault> faults;
    QObject::connect(&silent, &poll::Link::errorOccurred,
                     [&](const poll::LinkFault& fault) { faults.append(fault); });
    silent.open();
    ASSERT_TRUE(waitFor([&] { return !raw.requests.isEmpty() && !raw.requests[0].isEmpty(); }));
    for (int tick = 0; tick <= network::TcpLink::kSettlingTicks; ++tick)
        EXPECT_FALSE(silent.open());
    ASSERT_EQ(faults.size(), 1);
    EXPECT_TRUE(faults[0].reason.startsWith("no answer to the line settings"));
}
