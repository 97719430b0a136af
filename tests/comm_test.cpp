// The real comm control against a pseudo-terminal whose far end the test plays.

#include "serial/commcontrol.h"
#include "serial/portlist.h"
#include "support/pty.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSerialPort>
#include <QSignalSpy>
#include <QSysInfo>

using namespace std::chrono_literals;
using testing_support::PseudoTerminal;
using testing_support::runEventsFor;
using testing_support::waitFor;

namespace {

class CommTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        qputenv("COMM_PORT1", pty.slaveName().toLocal8Bit());
        comm.setPortNumber(1);
        ASSERT_TRUE(comm.setSettings(QStringLiteral("9600,N,8,1")));
    }
    void TearDown() override { qunsetenv("COMM_PORT1"); }

    PseudoTerminal pty;
    serial::CommControl comm;
    QSignalSpy onComm{&comm, &serial::CommControl::replyReady};
    QSignalSpy errors{&comm, &serial::CommControl::errorOccurred};
};

TEST_F(CommTest, SendsOutputToTheDeviceOfItsPort)
{
    // Buffers may be emptied and the mode set before the port is open.
    comm.clearOutput();
    comm.clearInput();
    EXPECT_TRUE(comm.setProperty("InputMode", 1));
    EXPECT_FALSE(comm.isPortOpen());

    ASSERT_TRUE(comm.setPortOpen(true));
    EXPECT_TRUE(comm.isPortOpen());
    ASSERT_TRUE(comm.write(QByteArray::fromHex("430400000008feee")));
    EXPECT_EQ(pty.read(8), QByteArray::fromHex("430400000008feee"));
    EXPECT_EQ(errors.count(), 0);
}

TEST_F(CommTest, OutputLeavesAfterTheHandlerAndOutBufferCountZeroDropsIt)
{
    ASSERT_TRUE(comm.setPortOpen(true));
    ASSERT_TRUE(comm.write("stale"));
    // A tick empties the receive buffer right after Output: had the request
    // gone out already, a fast reply could be dropped with it.
    EXPECT_FALSE(pty.receivesWithoutEvents(100ms)) << "sent inside the handler that queued it";
    EXPECT_EQ(comm.bytesToWrite(), 5);
    comm.clearOutput();

    ASSERT_TRUE(comm.write(QByteArray(serial::CommControl::kOutBufferSize - 1, 'x')));
    EXPECT_FALSE(comm.write("yz")) << "passes the transmit buffer's 512 bytes";
    ASSERT_EQ(errors.count(), 1);
    EXPECT_EQ(errors.at(0).at(0).value<poll::LinkFault>().error, poll::LinkError::OutBufferFull);
    EXPECT_EQ(pty.read(serial::CommControl::kOutBufferSize - 1),
              QByteArray(serial::CommControl::kOutBufferSize - 1, 'x'))
        << "the dropped bytes went out after all";
}

TEST_F(CommTest, RaisesOnCommOnceWhenTheThresholdIsReached)
{
    ASSERT_TRUE(comm.setPortOpen(true));
    comm.setReceiveThreshold(21);
    const QByteArray reply =
        QByteArray::fromHex("440410") + QByteArray(16, 0) + QByteArray::fromHex("8c2f");

    pty.write(reply.first(10));
    ASSERT_TRUE(waitFor([&] { return comm.bytesAvailable() == 10; }));
    runEventsFor(50ms);
    EXPECT_EQ(onComm.count(), 0) << "10 of 21 bytes is no reply";

    pty.write(reply.mid(10));
    ASSERT_TRUE(waitFor([&] { return onComm.count() == 1; }));
    pty.write("xyz"); // more bytes while the reply is still unread raise nothing new
    ASSERT_TRUE(waitFor([&] { return comm.bytesAvailable() == 24; }));
    runEventsFor(50ms);
    EXPECT_EQ(onComm.count(), 1);

    EXPECT_EQ(comm.takeAll(), reply + "xyz");
    EXPECT_EQ(comm.bytesAvailable(), 0);
    pty.write(reply);
    ASSERT_TRUE(waitFor([&] { return onComm.count() == 2; })) << "the next reply raises again";
    EXPECT_EQ(comm.takeAll(), reply);
}

#ifdef Q_OS_UNIX
TEST_F(CommTest, AReplyInPiecesWakesTheReaderOnceWhenWhole)
{
    ASSERT_TRUE(comm.setPortOpen(true));
    auto* port = comm.findChild<serial::Device*>();
    ASSERT_NE(port, nullptr);
    QSignalSpy wakeUps{port, &serial::Device::readyRead};
    comm.setReceiveThreshold(21);
    const QByteArray reply =
        QByteArray::fromHex("440410") + QByteArray(16, 0) + QByteArray::fromHex("8c2f");
    for (int at = 0; at < reply.size(); at += 7) {
        pty.write(reply.mid(at, 7));
        runEventsFor(30ms);
    }
    ASSERT_TRUE(waitFor([&] { return onComm.count() == 1; }));
    EXPECT_EQ(wakeUps.count(), 1) << "the driver woke the reader before the reply was whole";
    EXPECT_EQ(comm.takeAll(), reply);
}
#endif

TEST_F(CommTest, EmptyingTheReceiveBufferDropsAPartialReply)
{
    ASSERT_TRUE(comm.setPortOpen(true));
    comm.setReceiveThreshold(21);
    pty.write(QByteArray(15, 'a'));
    ASSERT_TRUE(waitFor([&] { return comm.bytesAvailable() == 15; }));
    comm.clearInput();
    EXPECT_EQ(comm.bytesAvailable(), 0);

    pty.write(QByteArray(15, 'b'));
    ASSERT_TRUE(waitFor([&] { return comm.bytesAvailable() == 15; }));
    runEventsFor(50ms);
    EXPECT_EQ(onComm.count(), 0) << "the dropped bytes must not count toward the threshold";
    EXPECT_EQ(comm.takeAll(), QByteArray(15, 'b'));
}

TEST_F(CommTest, NeverRaisesInsideTheHandlerThatSetTheThreshold)
{
    ASSERT_TRUE(comm.setPortOpen(true));
    pty.write(QByteArray(30, 'r'));
    ASSERT_TRUE(waitFor([&] { return comm.bytesAvailable() == 30; }));

    comm.setReceiveThreshold(21); // already enough buffered
    EXPECT_EQ(onComm.count(), 0) << "raised synchronously, inside the caller";
    ASSERT_TRUE(waitFor([&] { return onComm.count() == 1; }));

    comm.setReceiveThreshold(0); // off: no events at all
    comm.takeAll();
    pty.write(QByteArray(30, 's'));
    ASSERT_TRUE(waitFor([&] { return comm.bytesAvailable() == 30; }));
    runEventsFor(50ms);
    EXPECT_EQ(onComm.count(), 1);
}

TEST_F(CommTest, ReceiveBufferStaysBoundedUnderAFlood)
{
    ASSERT_TRUE(comm.setPortOpen(true));
    QByteArray flood;
    for (int i = 0; i < 5000; ++i)
        flood.append(static_cast<char>(i % 251));
    pty.write(flood);
    // The driver delivers the flood in pieces; wait until none is left to read.
    runEventsFor(300ms);
    ASSERT_TRUE(
        waitFor([&] { return comm.bytesAvailable() == serial::CommControl::kInBufferSize; }));
    EXPECT_EQ(comm.takeAll(), flood.first(serial::CommControl::kInBufferSize))
        << "keeps the oldest bytes";
}

TEST_F(CommTest, MalformedSettingsAreRefusedWhole)
{
    EXPECT_FALSE(comm.setSettings(QStringLiteral("19200,E,7")));
    EXPECT_FALSE(comm.setSettings(QStringLiteral("19200,E,7,9")));
    EXPECT_EQ(comm.settings(), QStringLiteral("9600,N,8,1"));
    ASSERT_EQ(errors.count(), 2);
    EXPECT_EQ(errors.at(1).at(0).value<poll::LinkFault>().error, poll::LinkError::BadSettings);
    EXPECT_TRUE(comm.setPortOpen(true)) << "the old settings still open the port";
}

TEST_F(CommTest, AMissingDeviceIsReportedAndTheNextOpenTriesAgain)
{
    const QByteArray missing = "/nonexistent/ttyPOLL0";
    qputenv("COMM_PORT1", missing);
    EXPECT_FALSE(comm.setPortOpen(true));
    EXPECT_FALSE(comm.isPortOpen());
    ASSERT_EQ(errors.count(), 1);
    const auto fault = errors.at(0).at(0).value<poll::LinkFault>();
    EXPECT_EQ(fault.error, poll::LinkError::OpenFailed);
    EXPECT_EQ(fault.device, QLatin1String(missing)) << "named by its full path";
    EXPECT_EQ(fault.text(), "cannot open /nonexistent/ttyPOLL0: " + fault.reason);
    EXPECT_FALSE(comm.write("x")) << "nothing can be sent on a closed port";

    comm.setDevice(pty.slaveName()); // --port: before COMM_PORT1
    EXPECT_TRUE(comm.setPortOpen(true));
    EXPECT_TRUE(comm.write("ok"));
    EXPECT_EQ(pty.read(2), "ok");
}

TEST_F(CommTest, AHungUpDeviceClosesThePortWithoutSpinning)
{
    ASSERT_TRUE(comm.setPortOpen(true));
    comm.setReceiveThreshold(21);
    pty.hangUp();
    ASSERT_TRUE(waitFor([&] { return !comm.isPortOpen(); }, 5s))
        << "the port stays open on a dead device";
    ASSERT_GE(errors.count(), 1);
    EXPECT_EQ(errors.at(0).at(0).value<poll::LinkFault>().error, poll::LinkError::PortLost);
    EXPECT_TRUE(errors.at(0).at(0).value<poll::LinkFault>().reason.contains("hung up"))
        << "a stale reason";

    // A read error reported in a loop would burn a whole core here.
    const double cpuBefore = testing_support::processCpuSeconds();
    runEventsFor(1s);
    EXPECT_LT(testing_support::processCpuSeconds() - cpuBefore, 0.3);
    EXPECT_EQ(errors.count(), 1) << "one fault, reported once";
    // An operation on the closed port is no new fault.
    comm.clearInput();
    comm.clearOutput();
    EXPECT_EQ(errors.count(), 1);

    PseudoTerminal replacement;
    qputenv("COMM_PORT1", replacement.slaveName().toLocal8Bit());
    EXPECT_TRUE(comm.setPortOpen(true)) << "a returning device is opened again";
}

#ifdef Q_OS_UNIX
// The lock file where QSerialPort and the terminal programs look for it.
QString LockFileOf(const QString& device)
{
    return QStringLiteral("/var/lock/LCK..") + QString(device).remove(0, 5).replace(u'/', u'_');
}

// Whoever holds the port's lock file has the port; a lock left by a program
// that has ended holds nothing.
TEST_F(CommTest, ALockedPortIsRefusedUntilItsHolderLetsGo)
{
    ASSERT_TRUE(comm.setPortOpen(true));
    const QString lock = LockFileOf(pty.slaveName());
    ASSERT_TRUE(QFileInfo::exists(lock)) << lock.toStdString();

    serial::CommControl second;
    QSignalSpy secondErrors{&second, &serial::CommControl::errorOccurred};
    EXPECT_FALSE(second.setPortOpen(true));
    ASSERT_EQ(secondErrors.count(), 1);
    const QString reason = secondErrors.at(0).at(0).value<poll::LinkFault>().reason;
    EXPECT_TRUE(reason.contains("in use by another program") &&
                reason.contains(QString::number(QCoreApplication::applicationPid())))
        << reason.toStdString();

    comm.setPortOpen(false);
    EXPECT_FALSE(QFileInfo::exists(lock));
    // A lock file left by a program that ended without closing (killed):
    // its process is gone, so the port is free.
    QProcess ended;
    ended.start(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("echo $$")});
    ASSERT_TRUE(ended.waitForFinished());
    QFile left(lock);
    ASSERT_TRUE(left.open(QIODevice::WriteOnly));
    left.write(ended.readAllStandardOutput().trimmed() + "\nsh\n" +
               QSysInfo::machineHostName().toUtf8() + "\n");
    left.close();
    EXPECT_TRUE(second.setPortOpen(true));
    EXPECT_EQ(secondErrors.count(), 1);
}

// A line that hung up before the event loop noticed it is found by the next
// request: nothing counts as sent, the port is closed and its lock let go,
// so the same device can be opened again when it returns.
TEST_F(CommTest, AHangUpFoundByTheRequestIsAFaultNotASend)
{
    ASSERT_TRUE(comm.setPortOpen(true));
    pty.hangUp();
    EXPECT_FALSE(comm.exchange(QByteArray::fromHex("430400000008feee"), 21));
    EXPECT_FALSE(comm.isPortOpen());
    ASSERT_EQ(errors.count(), 1);
    const auto fault = errors.at(0).at(0).value<poll::LinkFault>();
    EXPECT_EQ(fault.error, poll::LinkError::PortLost);
    EXPECT_TRUE(fault.reason.startsWith("writing failed") && fault.reason.contains("hung up"))
        << fault.reason.toStdString();
    EXPECT_FALSE(QFileInfo::exists(LockFileOf(pty.slaveName())));
}
#endif

// --list-ports tells a port another program holds: by its lock, or, with
// no lock (a shell's redirection), by its open descriptor, naming it.
TEST_F(CommTest, APortHeldOpenIsToldBusy)
{
    EXPECT_EQ(serial::PortUse(pty.slaveName()), serial::PortEntry::Use::Free);
    QProcess holder;
    holder.setStandardInputFile(pty.slaveName());
    holder.start(QStringLiteral("sleep"), {QStringLiteral("60")});
    ASSERT_TRUE(holder.waitForStarted());
    const qint64 pid = holder.processId();
    QString who;
    const serial::PortEntry::Use use = serial::PortUse(pty.slaveName(), &who);
    holder.kill();
    holder.waitForFinished();
#ifdef Q_OS_LINUX
    if (use == serial::PortEntry::Use::NotByThisUser)
        GTEST_SKIP() << "other users' processes cannot be looked at here";
    EXPECT_EQ(use, serial::PortEntry::Use::Busy);
    EXPECT_EQ(who.toStdString(), QStringLiteral("sleep (%1)").arg(pid).toStdString());
#endif
    ASSERT_TRUE(comm.setPortOpen(true));
    EXPECT_EQ(serial::PortUse(pty.slaveName()), serial::PortEntry::Use::Busy);
}

// --list-ports: the list as printed, from ports made up by hand.
TEST(PortList, NamesEachPortItsStableNameAndWhetherItIsInUse)
{
    using Use = serial::PortEntry::Use;
    const QString text = serial::FormatPortList(
        {{"/dev/ttyUSB0",
          "/dev/serial/by-id/usb-FTDI-if00-port0",
          "FT232R",
          "FTDI",
          "A502",
          0x0403,
          0x6001,
          Use::Free,
          {}},
         {"/dev/ttyS0", {}, {}, {}, {}, std::nullopt, std::nullopt, Use::NoPermission, {}},
         {"COM7", {}, {}, {}, {}, std::nullopt, std::nullopt, Use::Busy, "minicom (4711)"}});
    EXPECT_TRUE(text.startsWith("3 serial ports found:\n\n/dev/ttyUSB0\n  stable name:    "
                                "/dev/serial/by-id/usb-FTDI-if00-port0\n") &&
                text.contains("  USB id:         0403:6001\n  in use:         no\n\n/dev/ttyS0\n  "
                              "in use:         cannot tell: no permission") &&
                text.endsWith("\nCOM7\n  in use:         yes, by minicom (4711)\n"))
        << text.toStdString();
    const QString none = serial::FormatPortList({});
    EXPECT_TRUE(none.startsWith("No serial ports found.") && none.contains("cable") &&
                none.contains("driver") && none.contains("dialout"));
}

} // namespace
