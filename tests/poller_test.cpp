// The poller against a scripted comm control and a recording view.

#include "poll/poller.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <QStringList>

#include <map>

using namespace std::chrono_literals;
using testing_support::runEventsFor;
using testing_support::waitFor;

namespace {

class ScriptedComm : public serial::Comm
{
public:
    bool canOpen = true;
    bool open = false;
    QStringList calls;
    QByteArray pending; // what Input() returns next

    void setInputMode(serial::InputMode mode) override
    {
        calls << QStringLiteral("InputMode=%1").arg(static_cast<int>(mode));
    }
    bool PortOpen() const override
    {
        const_cast<ScriptedComm*>(this)->calls << QStringLiteral("PortOpen?");
        return open;
    }
    bool setPortOpen(bool value) override
    {
        calls << QStringLiteral("PortOpen=%1").arg(value);
        if (value && !canOpen) {
            emit errorOccurred(serial::CommError::OpenFailed, QStringLiteral("cannot open /dev/ttyS0: gone"));
            return false;
        }
        open = value;
        return true;
    }
    void setOutBufferCount(int count) override { calls << QStringLiteral("OutBufferCount=%1").arg(count); }
    bool Output(const QByteArray& data) override
    {
        calls << QStringLiteral("Output=") + QString::fromLatin1(data.toHex(' '));
        return open;
    }
    void setInBufferCount(int count) override { calls << QStringLiteral("InBufferCount=%1").arg(count); }
    void setRThreshold(int threshold) override { calls << QStringLiteral("RThreshold=%1").arg(threshold); }
    QByteArray Input() override
    {
        calls << QStringLiteral("Input");
        return std::exchange(pending, {});
    }

    void reply(const QByteArray& bytes)
    {
        pending = bytes;
        emit OnComm();
    }
};

class RecordingView : public poll::PollView
{
public:
    std::map<poll::Field, QString> fields;
    QStringList replyTexts; // every write of Text6, in order
    QStringList channels = QStringList(8, QString());
    QStringList errorCounts; // every write of Text2, in order
    QStringList faults;
    int clears = 0;

    void setText(poll::Field field, const QString& text) override
    {
        fields[field] = text;
        if (field == poll::Field::Text2)
            errorCounts << text;
        if (field == poll::Field::Text6)
            replyTexts << text;
    }
    void setChannelText(int index, const QString& text) override { channels[index] = text; }
    void showPortFault(const QString& text) override { faults << text; }
    void clearPortFault() override { ++clears; }
};

const QByteArray kGoodReply = QByteArray::fromHex("43041000ebfffb7fff800000000001ffff04d2e97c");

QByteArray damaged(QByteArray reply)
{
    reply[20] = static_cast<char>(reply[20] ^ 0x5A);
    return reply;
}

class PollerTest : public ::testing::Test
{
protected:
    PollerTest() { poller.setRequest(rtu::BuildRequest(67)); }

    ScriptedComm comm;
    RecordingView view;
    poll::Poller poller{poll::Framing::Binary, comm, view};
};

TEST_F(PollerTest, TickRunsItsStepsInOrder)
{
    poller.Timer1_Timer();
    const QStringList first = {
        "OutBufferCount=0", "InputMode=1", "PortOpen?", "PortOpen=1",
        "Output=43 04 00 00 00 08 fe ee", "InBufferCount=0", "RThreshold=21",
    };
    EXPECT_EQ(comm.calls, first);
    EXPECT_EQ(view.fields[poll::Field::Text4], " 1");

    comm.calls.clear();
    poller.Timer1_Timer(); // the port is open now and stays so
    QStringList second = first;
    second.removeAll(QStringLiteral("PortOpen=1"));
    EXPECT_EQ(comm.calls, second);
    EXPECT_EQ(view.fields[poll::Field::Text4], " 2");
    EXPECT_FALSE(view.fields.count(poll::Field::Text2)) << "no reply, no error count shown";
}

TEST_F(PollerTest, StartSendsNothingUntilTheFirstInterval)
{
    poller.setInterval(200ms);
    poller.Start();
    EXPECT_TRUE(poller.isPolling());
    runEventsFor(50ms);
    EXPECT_TRUE(comm.calls.isEmpty()) << "a request was sent at the moment of starting";
    ASSERT_TRUE(waitFor([&] { return poller.pollCount() == 2; }));
    poller.Start(); // again while polling: carries on, counters kept
    ASSERT_TRUE(waitFor([&] { return poller.pollCount() == 3; }));
    EXPECT_EQ(comm.calls.filter(QStringLiteral("Output=")).size(), 3);
}

TEST_F(PollerTest, ShowsEveryReplyAndCountsFailedChecks)
{
    poller.Timer1_Timer();
    comm.reply(kGoodReply);
    EXPECT_EQ(view.channels, QStringList({"235", "-5", "32767", "-32768", "0", "1", "-1", "1234"}));
    EXPECT_EQ(view.fields[poll::Field::Text2], "0") << "shown after every reply";

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
    poller.Timer1_Timer();
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
        poller.Timer1_Timer();
    EXPECT_TRUE(comm.calls.filter(QStringLiteral("Output=")).isEmpty());
    EXPECT_EQ(poller.pollCount(), 0);
    EXPECT_FALSE(view.fields.count(poll::Field::Text4)) << "a failure must not look like a poll";
    EXPECT_EQ(view.faults, QStringList({"cannot open /dev/ttyS0: gone"})) << "once per fault, not per tick";

    comm.canOpen = true; // the adapter is back
    poller.Timer1_Timer();
    EXPECT_EQ(poller.pollCount(), 1);
    EXPECT_EQ(view.fields[poll::Field::Text4], " 1");
    EXPECT_EQ(view.clears, 1);

    emit comm.errorOccurred(serial::CommError::PortLost, QStringLiteral("/dev/ttyS0 lost"));
    EXPECT_EQ(view.faults.size(), 2) << "a new fault after recovery is shown again";
}

// Text framing: the same tick with its own threshold and no input mode, and
// the text receive handler.
class TextPollerTest : public ::testing::Test
{
protected:
    TextPollerTest() { poller.setRequest(QByteArray(":430400000008B1\r\n")); }

    ScriptedComm comm;
    RecordingView view;
    poll::Poller poller{poll::Framing::Text, comm, view};
};

const QByteArray kGoodText = ":43041000EBFFFB7FFF800000000001FFFF04D2F1\r\n";

TEST_F(TextPollerTest, TickLeavesTheInputModeAndWaitsFor43Characters)
{
    poller.Timer1_Timer();
    EXPECT_EQ(comm.calls, QStringList({"OutBufferCount=0", "PortOpen?", "PortOpen=1",
                                       "Output=3a 34 33 30 34 30 30 30 30 30 30 30 38 42 31 0d 0a",
                                       "InBufferCount=0", "RThreshold=43"}));
    EXPECT_EQ(view.fields[poll::Field::Text4], " 1");
}

TEST_F(TextPollerTest, ShowsTheReplyItsValuesInTenthsAndCountsFailedChecks)
{
    poller.Timer1_Timer();
    comm.reply(kGoodText);
    EXPECT_EQ(view.replyTexts.last(), QString::fromUtf8(":43041000EBFFFB7FFF800000000001FFFF04D2F1␍␊"));
    EXPECT_EQ(view.channels, QStringList({"23.5", "-0.5", "3276.7", "-3276.8", "0", "0.1", "-0.1", "123.4"}));
    EXPECT_EQ(view.fields[poll::Field::Text2], "0");

    QByteArray lowercase = kGoodText;
    lowercase.replace(39, 2, "f1");
    comm.reply(lowercase);
    comm.reply("?" + kGoodText); // one stray character: everything read one late
    comm.reply({});               // even an empty text is a reply here
    EXPECT_EQ(view.errorCounts, QStringList({"0", "1", "2", "3"}));
    EXPECT_EQ(view.replyTexts.size(), 4);
    EXPECT_EQ(view.replyTexts.last(), "");
    EXPECT_EQ(view.channels[0], "0") << "the values of the last reply";
}

} // namespace
