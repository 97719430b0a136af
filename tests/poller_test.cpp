// The poller against a scripted comm control and a listener that records what it tells.

#include "poll/poller.h"
#include "poll/tickschedule.h"
#include "support/scripted.h"
#include "support/wait.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using testing_support::runEventsFor;
using testing_support::waitFor;

namespace {

using testing_support::RecordingView;
using testing_support::ScriptedLink;

struct ScheduleRow
{
    const char* what;
    std::int64_t previous;        // tick just handled, 0 at the start
    std::chrono::nanoseconds now; // since the start
    std::int64_t next;
    std::chrono::nanoseconds wait;
};

TEST(TickSchedule, EachTickFallsDueWholeIntervalsAfterTheStart)
{
    const ScheduleRow rows[] = {
        {"at the start", 0, 0ms, 1, 1000ms},
        {"timer 3 ms late: no drift", 1, 1003ms, 2, 997ms},
        {"an hour on", 3599, 3599004ms, 3600, 996ms},
        {"late by less than half", 1, 1400ms, 2, 600ms},
        {"exactly half an interval left", 1, 1500ms, 2, 500ms},
        {"far behind: skip a tick", 1, 1600ms, 3, 1400ms},
        {"slept 5.2 s: skip to the next slot", 1, 6200ms, 7, 800ms},
        {"slept 5.7 s: that slot is too near", 1, 6700ms, 8, 1300ms},
    };
    for (const ScheduleRow& row : rows) {
        const poll::NextTick next = poll::ScheduleNextTick(row.previous, 1000ms, row.now);
        EXPECT_EQ(next.number, row.next) << row.what;
        EXPECT_EQ(next.wait, row.wait) << row.what;
    }
}

const QByteArray kGoodReply = QByteArray::fromHex("43041000ebfffb7fff800000000001ffff04d2e97c");

QByteArray damaged(QByteArray reply)
{
    reply[20] = static_cast<char>(reply[20] ^ 0x5A);
    return reply;
}

class PollerTest : public ::testing::Test
{
protected:
    PollerTest() { poller.setRequest(QByteArray::fromHex("430400000008feee")); }

    ScriptedLink comm;
    poll::Poller poller{poll::Framing::Binary, comm};
    RecordingView view{poller};
};

TEST_F(PollerTest, TickRunsItsStepsInOrder)
{
    poller.tick();
    const QStringList first = {
        "OutBufferCount=0",
        "PortOpen?",
        "PortOpen=1",
        "Exchange=43 04 00 00 00 08 fe ee for 21",
    };
    EXPECT_EQ(comm.calls, first);
    EXPECT_EQ(view.pollCount, " 1");

    comm.calls.clear();
    poller.tick(); // the port is open now and stays so
    QStringList second = first;
    second.removeAll(QStringLiteral("PortOpen=1"));
    EXPECT_EQ(comm.calls, second);
    EXPECT_EQ(view.pollCount, " 2");
    EXPECT_TRUE(view.errorCounts.isEmpty()) << "no reply, no error count shown";
}

// A link whose reply is there before exchange() returns (a network link, a
// fast fake): the reply still belongs to the poll, told after it.
TEST_F(PollerTest, AReplyWithinTheExchangeIsCountedAfterThePoll)
{
    comm.answerAtOnce = damaged(kGoodReply);
    poller.tick();
    EXPECT_EQ(view.told, QStringList({"poll 1", "reply to poll 1"}));
    EXPECT_EQ(poller.errorCount(), 1);
    EXPECT_EQ(view.channels[0], "235");
}

TEST_F(PollerTest, StartSendsNothingUntilTheFirstInterval)
{
    poller.setInterval(200ms);
    poller.start();
    EXPECT_TRUE(poller.isPolling());
    runEventsFor(50ms);
    EXPECT_TRUE(comm.calls.isEmpty()) << "a request was sent at the moment of starting";
    ASSERT_TRUE(waitFor([&] { return poller.pollCount() == 2; }));
    poller.start(); // again while polling: carries on, counters kept
    ASSERT_TRUE(waitFor([&] { return poller.pollCount() == 3; }));
    EXPECT_EQ(comm.sent().size(), 3);

    poller.stop();
    runEventsFor(500ms);
    EXPECT_EQ(comm.sent().size(), 3) << "a tick after stop()";
}

TEST_F(PollerTest, ShowsEveryReplyAndCountsFailedChecks)
{
    poller.tick();
    comm.reply(kGoodReply);
    EXPECT_EQ(view.channels, QStringList({"235", "-5", "32767", "-32768", "0", "1", "-1", "1234"}));
    EXPECT_EQ(view.errorCounts, QStringList({"0"})) << "shown after every reply";

    comm.reply(kGoodReply);
    QByteArray last = damaged(kGoodReply);
    last[4] = 0x0C; // channel 0 now 12, shown although the check fails
    comm.reply(last);
    comm.reply(kGoodReply);
    comm.reply(damaged(last));
    EXPECT_EQ(view.errorCounts, QStringList({"0", "0", "1", "1", "2"}));
    EXPECT_EQ(poller.errorCount(), 2);
    EXPECT_EQ(view.channels[0], "12") << "the values of the last reply, damaged or not";
    EXPECT_EQ(poller.channelValues()[0], 12.0f);
    EXPECT_EQ(poller.pollCount(), 1) << "replies do not count as polls";
}

TEST_F(PollerTest, IgnoresAReplyTooShortToDecode)
{
    poller.tick();
    comm.reply(kGoodReply);
    comm.reply(damaged(kGoodReply).first(20));
    comm.reply({});
    EXPECT_EQ(view.errorCounts, QStringList({"0"})) << "nothing counted or shown for a short reply";
    EXPECT_EQ(view.channels[0], "235");
    EXPECT_EQ(poller.errorCount(), 0);
}

TEST_F(PollerTest, APortThatWillNotOpenSendsAndCountsNothing)
{
    comm.canOpen = false;
    for (int i = 0; i < 3; ++i)
        poller.tick();
    EXPECT_TRUE(comm.sent().isEmpty());
    EXPECT_EQ(poller.pollCount(), 0);
    EXPECT_TRUE(view.pollCount.isEmpty()) << "a failure must not look like a poll";
    EXPECT_EQ(view.faults, QStringList({"cannot open /dev/ttyS0: gone"}))
        << "once per fault, not per tick";

    comm.canOpen = true; // the adapter is back
    poller.tick();
    EXPECT_EQ(poller.pollCount(), 1);
    EXPECT_EQ(view.pollCount, " 1");
    EXPECT_EQ(view.clears, 1);

    emit comm.errorOccurred(
        {poll::LinkError::PortLost, QStringLiteral("/dev/ttyS0"), QStringLiteral("gone")});
    EXPECT_EQ(view.faults.size(), 2) << "a new fault after recovery is shown again";
}

// Text framing: the same tick with its own reply length, and the text
// receive handler.
class TextPollerTest : public ::testing::Test
{
protected:
    TextPollerTest() { poller.setRequest(QByteArray(":430400000008B1\r\n")); }

    ScriptedLink comm;
    poll::Poller poller{poll::Framing::Text, comm};
    RecordingView view{poller};
};

const QByteArray kGoodText = ":43041000EBFFFB7FFF800000000001FFFF04D2F1\r\n";

TEST_F(TextPollerTest, TickWaitsFor43Characters)
{
    poller.tick();
    EXPECT_EQ(comm.calls,
              QStringList({"OutBufferCount=0", "PortOpen?", "PortOpen=1",
                           "Exchange=3a 34 33 30 34 30 30 30 30 30 30 30 38 42 31 0d 0a for 43"}));
    EXPECT_EQ(view.pollCount, " 1");
    EXPECT_EQ(view.requestText, QString::fromUtf8(":430400000008B1␍␊"))
        << "the request line is shown";
}

TEST_F(TextPollerTest, ShowsTheReplyItsValuesInTenthsAndCountsFailedChecks)
{
    poller.tick();
    comm.reply(kGoodText);
    EXPECT_EQ(view.replyTexts.last(),
              QString::fromUtf8(":43041000EBFFFB7FFF800000000001FFFF04D2F1␍␊"));
    EXPECT_EQ(view.channels,
              QStringList({"23.5", "-0.5", "3276.7", "-3276.8", "0", "0.1", "-0.1", "123.4"}));
    EXPECT_EQ(view.errorCounts, QStringList({"0"}));

    QByteArray lowercase = kGoodText;
    lowercase.replace(39, 2, "f1");
    comm.reply(lowercase);
    comm.reply("?" + kGoodText); // one stray character: everything read one late
    comm.reply({});              // even an empty text is a reply here
    EXPECT_EQ(view.errorCounts, QStringList({"0", "1", "2", "3"}));
    EXPECT_EQ(view.replyTexts.size(), 4);
    EXPECT_EQ(view.replyTexts.last(), "");
    EXPECT_EQ(view.channels[0], "0") << "the values of the last reply";
}

// An adapter that hears itself, in both framings: the echo of the request is dropped, anything
// else in its place fails the reply, and an echo alone never reaches the receive threshold.
TEST(PollerEcho, DropsTheEchoOfTheRequestAndFailsAnythingElseInItsPlace)
{
    for (const auto framing : {poll::Framing::Binary, poll::Framing::Text}) {
        const bool binary = framing == poll::Framing::Binary;
        const QByteArray request =
            binary ? QByteArray::fromHex("430400000008feee") : ":430400000008B1\r\n";
        ScriptedLink comm;
        poll::Poller poller{framing, comm};
        RecordingView view{poller};
        poller.setRequest(request);
        poller.setEcho(true);
        poller.tick();
        EXPECT_TRUE(comm.calls.last().endsWith(binary ? " for 29" : " for 60"))
            << comm.calls.last().toStdString();
        const QByteArray reply = binary ? kGoodReply : kGoodText;
        comm.reply(request + reply);
        EXPECT_EQ(view.channels[0], binary ? "235" : "23.5");
        comm.reply(QByteArray(request).replace(3, 1, "\x10") + reply); // a collision
        comm.reply(request.left(5) + reply + "xyz");                   // the echo cut short
        EXPECT_EQ(view.errorCounts, QStringList({"0", "1", "2"}));
    }
}

// --trace: a line per frame, in the order things happened on the line.
TEST_F(PollerTest, TracesEachFrameInOrder)
{
    QStringList lines;
    QObject::connect(&poller, &poll::Poller::frameTraced, &view, [&](const poll::FrameEvent& e) {
        lines << poll::FormatTraceLine(e, poll::Framing::Binary, 12.5);
    });
    poller.setEcho(true);
    for (const QByteArray& reply : {kGoodReply, damaged(kGoodReply)}) {
        poller.tick();
        comm.reply(poller.request() + reply);
    }
    poller.tick();                     // a silence
    comm.pending = kGoodReply.left(4); // the start of a late reply
    poller.tick();
    const QString tx = "12.500 ms  tx 43 04 00 00 00 08 FE EE  poll ";
    const QString echo = "12.500 ms  dropped 8 bytes (echo): 43 04 00 00 00 08 FE EE";
    const QString rx = "12.500 ms  rx 43 04 10 00 EB FF FB 7F FF 80 00 00 00 00 01 FF FF 04 D2 E9 ";
    EXPECT_EQ(lines,
              QStringList({tx + "1", echo, rx + "7C  checksum ok", tx + "2", echo,
                           rx + "26  checksum FAILED", tx + "3", "12.500 ms  no reply to poll 3",
                           "12.500 ms  dropped 4 bytes (flushed before the send): 43 04 10 00",
                           tx + "4"}));
}

// Silence is told after the third unanswered poll to one module, once, and
// its end with the next reply; a poll still out to the last module when the
// address changes does not count against the new one.
TEST_F(PollerTest, TellsASilenceOfThreePollsOnceAndItsEnd)
{
    QStringList told;
    QObject::connect(
        &poller, &poll::Poller::moduleSilent, &view,
        [&](int address, const QDateTime&) { told << QStringLiteral("silent %1").arg(address); });
    QObject::connect(&poller, &poll::Poller::moduleSilenceEnded, &view,
                     [&](int address, bool answered) {
                         told << QStringLiteral("ended %1 %2").arg(address).arg(answered);
                     });
    for (int i = 0; i < 6; ++i)
        poller.tick(); // polls 1 to 5 unanswered by the time poll 6 goes
    comm.reply(kGoodReply);
    poller.tick();
    poller.setRequest(QByteArray::fromHex("440400000008ff59")); // poll 7 to 67 still out
    for (int i = 0; i < 3; ++i)
        poller.tick();
    EXPECT_EQ(told, QStringList({"silent 67", "ended 67 1"}))
        << "three polls to 68, but the first unanswered one went to 67";
    poller.tick();
    EXPECT_EQ(told.value(2), "silent 68");
}

} // namespace
