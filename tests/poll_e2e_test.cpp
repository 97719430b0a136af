// The real comm control and poller against the simulated module on a
// pseudo-terminal: what goes on the wire, what the operator sees, and how
// faults of the line and the device come out.

#include "acquisition/settings.h"
#include "codec/rtu.h"
#include "poll/poller.h"
#include "serial/commcontrol.h"
#include "support/modsim_process.h"
#include "support/pty.h"
#include "support/scripted.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <QStringList>

using namespace std::chrono_literals;
using testing_support::ModsimProcess;
using testing_support::runEventsFor;
using testing_support::waitFor;

namespace {

using testing_support::RecordingView;

// Short ticks keep the suite quick; the real programs poll once a second.
constexpr auto kTestInterval = 150ms;

class PollEndToEnd : public ::testing::Test
{
protected:
    void TearDown() override { qunsetenv("COMM_PORT1"); }

    // Points port 1 at the module and starts polling address 67.
    void startPolling(const QString& device)
    {
        qputenv("COMM_PORT1", device.toLocal8Bit());
        const acquisition::LinkSettings settings;
        comm.setPortNumber(settings.commPort);
        ASSERT_TRUE(comm.setSettings(settings.lineSettings));
        poller.setInterval(kTestInterval);
        poller.start(poll::BuildRequest(poll::Framing::Binary, 67));
    }

    int replies() const { return static_cast<int>(view.errorCounts.size()); }

    serial::CommControl comm;
    poll::Poller poller{poll::Framing::Binary, comm};
    RecordingView view{poller};
};

TEST_F(PollEndToEnd, RequestOnTheWireAndValuesOnScreen)
{
    ModsimProcess module({"--address", "67", "--values", "235,-5,32767,-32768,0,1,-1,1234"});
    ASSERT_TRUE(module.start());
    startPolling(module.link());

    ASSERT_TRUE(waitFor([&] { return replies() >= 2; }));
    EXPECT_EQ(view.channels, QStringList({"235", "-5", "32767", "-32768", "0", "1", "-1", "1234"}));
    EXPECT_EQ(view.errorCounts.first(), "0");
    EXPECT_TRUE(view.faults.isEmpty()) << view.faults.join(QLatin1Char('\n')).toStdString();

    const QStringList received = module.logLines().filter(QStringLiteral(" rx "));
    ASSERT_FALSE(received.isEmpty());
    EXPECT_EQ(received.first().section(QLatin1Char(' '), 2).toLower(), "43 04 00 00 00 08 fe ee");
    EXPECT_EQ(module.logCount(QStringLiteral("rx")), poller.pollCount())
        << "every counted poll reached the module, and only those";
}

// An echoing adapter handing over the echo and the reply in pieces: one good reply.
TEST_F(PollEndToEnd, AnEchoInPieces)
{
    testing_support::PseudoTerminal adapter;
    poller.setEcho(true);
    startPolling(adapter.slaveName());
    const QByteArray echo = adapter.read(rtu::kRequestSize);
    const QByteArray reply = QByteArray::fromHex("43041000ebfffb7fff800000000001ffff04d2e97c");
    for (const QByteArray& piece : {echo.left(3), echo.mid(3) + reply.left(13), reply.mid(13)}) {
        adapter.write(piece);
        runEventsFor(20ms);
    }
    ASSERT_TRUE(waitFor([&] { return replies() == 1; }));
    EXPECT_EQ(view.errorCounts, QStringList({"0"}));
}

TEST_F(PollEndToEnd, CountsExactlyTheCorruptedReplies)
{
    ModsimProcess module({"--values", "1,2,3,4,5,6,7,8", "--corrupt-every", "3"});
    ASSERT_TRUE(module.start());
    startPolling(module.link());

    ASSERT_TRUE(waitFor([&] { return replies() >= 9; }, 20s));
    for (int k = 1; k <= replies(); ++k)
        EXPECT_EQ(view.errorCounts[k - 1], QString::number(k / 3)) << "after reply " << k;
    EXPECT_EQ(view.channels[7], "8") << "a damaged reply's values are shown all the same";
}

TEST_F(PollEndToEnd, APartialReplyIsDroppedByTheNextTick)
{
    // Every second reply stops halfway. Were its ten bytes kept, they would
    // join the next reply and fail its CRC.
    ModsimProcess module({"--values", "10,20,30,40,50,60,70,80", "--truncate-every", "2"});
    ASSERT_TRUE(module.start());
    startPolling(module.link());

    ASSERT_TRUE(waitFor([&] { return replies() >= 4; }, 20s));
    EXPECT_EQ(view.errorCounts.last(), "0");
    EXPECT_EQ(view.channels[0], "10");
    EXPECT_GE(poller.pollCount(), 2 * replies() - 1) << "half the polls got no whole reply";
}

TEST_F(PollEndToEnd, AReplyInPiecesIsTakenWhole)
{
    ModsimProcess module({"--values", "-1,-2,-3,-4,5,6,7,8", "--split", "3:20"});
    ASSERT_TRUE(module.start());
    startPolling(module.link());

    ASSERT_TRUE(waitFor([&] { return replies() >= 3; }));
    EXPECT_EQ(view.errorCounts.last(), "0");
    EXPECT_EQ(view.channels, QStringList({"-1", "-2", "-3", "-4", "5", "6", "7", "8"}));
}

TEST_F(PollEndToEnd, AMissingDeviceIsShownUntilItAppears)
{
    QTemporaryDir dir;
    const QString link = ModsimProcess::uniqueLinkPath(dir);
    startPolling(link);

    ASSERT_TRUE(waitFor([&] { return !view.faults.isEmpty(); }));
    EXPECT_TRUE(view.faults.first().contains(link)) << view.faults.first().toStdString();
    testing_support::runEventsFor(3 * kTestInterval);
    EXPECT_EQ(poller.pollCount(), 0) << "ticks that could not open the port sent nothing";
    EXPECT_EQ(view.faults.size(), 1) << "one fault, shown once";

    ModsimProcess module({"--values", "1,1,1,1,1,1,1,1"}, link); // the adapter is plugged in
    ASSERT_TRUE(module.start());
    ASSERT_TRUE(waitFor([&] { return replies() >= 1; }));
    EXPECT_EQ(view.clears, 1);
    EXPECT_EQ(view.channels[0], "1");
}

TEST_F(PollEndToEnd, ADeviceThatVanishesIsReopenedWhenItReturns)
{
    ModsimProcess module(
        {"--values", "7,7,7,7,7,7,7,7", "--away-after", "3", "--away-for", "1500"});
    ASSERT_TRUE(module.start());
    startPolling(module.link());

    ASSERT_TRUE(waitFor([&] { return !view.faults.isEmpty(); }));
    const int pollsWhenLost = poller.pollCount();
    const double cpuBefore = testing_support::processCpuSeconds();
    testing_support::runEventsFor(800ms);
    EXPECT_LT(testing_support::processCpuSeconds() - cpuBefore, 0.4)
        << "the process spins while the device is gone";
    EXPECT_LE(poller.pollCount(), pollsWhenLost + 1) << "polls counted without a device";

    ASSERT_TRUE(waitFor([&] { return view.clears >= 1; }));
    const int repliesBack = replies();
    ASSERT_TRUE(waitFor([&] { return replies() >= repliesBack + 2; }));
    EXPECT_EQ(view.channels[0], "7");
    EXPECT_EQ(view.errorCounts.last(), "0");
}

} // namespace
