// bytepoll and autopoll end to end: the real window, its comm control and
// poller, against the simulated module on a pseudo-terminal.

#include "autopoll/autopoll.h"
#include "bytepoll/bytepoll.h"
#include "textpoll/textpoll.h"
#include "support/modsim_process.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <QTest>

using namespace std::chrono_literals;
using testing_support::ModsimProcess;
using testing_support::runEventsFor;
using testing_support::waitFor;

namespace {

constexpr auto kTestInterval = 150ms;

QStringList channelTexts(const poll::Form1& form)
{
    QStringList texts;
    for (int i = 0; i < 8; ++i)
        texts << form.Text3(i)->text();
    return texts;
}

QString lowerFrames(const ModsimProcess& module)
{
    QStringList frames;
    for (const QString& line : module.logLines().filter(QStringLiteral(" rx ")))
        frames << line.section(QLatin1Char(' '), 2).toLower();
    return frames.join(QLatin1Char('|'));
}

class BytePollTest : public ::testing::Test
{
protected:
    BytePollTest() { qunsetenv("COMM_PORT1"); }
    ~BytePollTest() override { qunsetenv("COMM_PORT1"); }

    void load(const QString& device)
    {
        qputenv("COMM_PORT1", device.toLocal8Bit());
        program.Form_Load();
        form.poller().setInterval(kTestInterval); // the program polls once a second
    }
    void typeAddress(const QString& text)
    {
        form.Text1()->clear();
        QTest::keyClicks(form.Text1(), text);
    }
    void press() { QTest::mouseClick(form.Command1(), Qt::LeftButton); }
    int requestAddress() const { return program.request()[0]; }

    poll::Form1 form{poll::Program::BytePoll};
    bytepoll::BytePoll program{form};
};

TEST_F(BytePollTest, SendsNothingUntilTheButtonIsPressed)
{
    ModsimProcess module({"--address", "67", "--values", "235,-5,32767,-32768,0,1,-1,1234"});
    ASSERT_TRUE(module.start());
    load(module.link());
    EXPECT_EQ(form.Text1()->text(), "67");
    EXPECT_TRUE(form.field(poll::Field::Text4)->text().isEmpty());
    runEventsFor(3 * kTestInterval);
    EXPECT_EQ(module.logCount(QStringLiteral("rx")), 0) << "polled before the start button";
    EXPECT_FALSE(form.Comm1().PortOpen()) << "the port opens on the first tick, not at load";

    press(); // without touching the address: the same bytes as the fixed request
    ASSERT_TRUE(waitFor([&] { return !form.field(poll::Field::Text2)->text().isEmpty(); }));
    EXPECT_TRUE(lowerFrames(module).startsWith("43 04 00 00 00 08 fe ee"));
    EXPECT_EQ(form.field(poll::Field::Text4)->text(), " 1");
    EXPECT_EQ(form.field(poll::Field::Text2)->text(), "0");
    EXPECT_EQ(channelTexts(form), QStringList({"235", "-5", "32767", "-32768", "0", "1", "-1", "1234"}));
    EXPECT_EQ(form.Text1()->text(), "67");
}

TEST_F(BytePollTest, TypedAddressGoesOnTheWireAndChangesWhilePolling)
{
    ModsimProcess module({"--address", "1", "--values", "1,2,3,4,5,6,7,8"});
    ASSERT_TRUE(module.start());
    load(module.link());

    typeAddress("1");
    press();
    ASSERT_TRUE(waitFor([&] { return form.Text3(7)->text() == "8"; }));
    EXPECT_TRUE(lowerFrames(module).startsWith("01 04 00 00 00 08 f1 cc"));

    // Pressing again while polling rebuilds the request; the counters carry on.
    typeAddress("2");
    press();
    const int polls = form.poller().pollCount();
    ASSERT_TRUE(waitFor([&] { return lowerFrames(module).contains("02 04 00 00 00 08"); }));
    EXPECT_GT(form.poller().pollCount(), polls);
    EXPECT_EQ(form.Text1()->text(), "2") << "the field keeps what the operator typed";
}

TEST_F(BytePollTest, ReadsTheAddressTheWayTheFieldAlwaysHas)
{
    load(QStringLiteral("/nonexistent/ttyPOLL"));
    const std::pair<const char*, int> rows[] = {
        {"67.5", 68}, {"66.5", 66}, {"abc", 0}, {"", 0}, {" 1 2 ", 12}, {"&H43", 67},
        {"&HFF", 255}, {"2.5e1", 25}, {"255.4", 255}, {"-0.4", 0}, {"17abc", 17},
    };
    for (const auto& [typed, address] : rows) {
        typeAddress(QString::fromLatin1(typed));
        press();
        EXPECT_EQ(requestAddress(), address) << '"' << typed << '"';
        EXPECT_TRUE(form.addressNote().isEmpty()) << typed;
    }
    typeAddress("1");
    press();
    const rtu::Request expected = {1, 4, 0, 0, 0, 8, 0xF1, 0xCC};
    EXPECT_EQ(program.request(), expected) << "CRC filled in for the new address";
}

TEST_F(BytePollTest, RefusesAnAddressOutOfRange)
{
    load(QStringLiteral("/nonexistent/ttyPOLL"));
    for (const char* typed : {"256", "255.5", "-1", "-0.6", "1e400", "&H8000", "99999999999999999999"}) {
        typeAddress(QString::fromLatin1(typed));
        press();
        EXPECT_FALSE(form.poller().isPolling()) << typed << " started polling";
        EXPECT_EQ(program.request(), bytepoll::kFirstRequest) << typed << " changed the request";
        EXPECT_TRUE(form.addressNote().contains(QStringLiteral("0 to 255"))) << typed;
    }

    typeAddress("5");
    press();
    EXPECT_TRUE(form.poller().isPolling());
    EXPECT_TRUE(form.addressNote().isEmpty()) << "the note goes once an address is accepted";

    typeAddress("300"); // refused while polling: the running request stays
    press();
    EXPECT_EQ(requestAddress(), 5);
    EXPECT_TRUE(form.poller().isPolling());
}

TEST_F(BytePollTest, APortFaultIsShownAndClearedWhenThePortReturns)
{
    QTemporaryDir dir;
    const QString link = ModsimProcess::uniqueLinkPath(dir);
    load(link);
    press();
    ASSERT_TRUE(waitFor([&] { return !form.portFault().isEmpty(); }));
    EXPECT_TRUE(form.portFault().contains(link)) << form.portFault().toStdString();
    EXPECT_TRUE(form.field(poll::Field::Text4)->text().isEmpty()) << "nothing was sent";
    EXPECT_EQ(form.windowTitle(), "Form1");

    ModsimProcess module({"--address", "67"}, link);
    ASSERT_TRUE(module.start());
    ASSERT_TRUE(waitFor([&] { return form.portFault().isEmpty(); }));
    ASSERT_TRUE(waitFor([&] { return !form.field(poll::Field::Text2)->text().isEmpty(); }));
    EXPECT_EQ(form.field(poll::Field::Text4)->text().left(1), " ");
}

TEST(AutoPoll, PollsAddress68WithoutTheOperator)
{
    ModsimProcess module({"--address", "68", "--values", "-7,0,7,100,-100,32767,-32768,68"});
    ASSERT_TRUE(module.start());
    qputenv("COMM_PORT1", module.link().toLocal8Bit());
    poll::Form1 form(poll::Program::AutoPoll);
    autopoll::AutoPoll program(form);
    program.Form_Load();
    EXPECT_TRUE(form.poller().isPolling()) << "started by the load itself";
    EXPECT_EQ(form.poller().interval(), 1000ms);
    form.poller().setInterval(kTestInterval);
    form.show();

    ASSERT_TRUE(waitFor([&] { return form.Text3(7)->text() == "68"; }));
    EXPECT_TRUE(lowerFrames(module).startsWith("44 04 00 00 00 08 ff 59"));
    EXPECT_EQ(channelTexts(form), QStringList({"-7", "0", "7", "100", "-100", "32767", "-32768", "68"}));
    EXPECT_EQ(form.field(poll::Field::Text2)->text(), "0");
    qunsetenv("COMM_PORT1");
}

TEST(AutoPoll, AModuleAtAnotherAddressNeverAnswers)
{
    ModsimProcess module({"--address", "67"});
    ASSERT_TRUE(module.start());
    qputenv("COMM_PORT1", module.link().toLocal8Bit());
    poll::Form1 form(poll::Program::AutoPoll);
    autopoll::AutoPoll program(form);
    program.Form_Load();
    form.poller().setInterval(kTestInterval);

    ASSERT_TRUE(waitFor([&] { return form.poller().pollCount() >= 4; }));
    EXPECT_EQ(form.field(poll::Field::Text4)->text(), QStringLiteral(" %1").arg(form.poller().pollCount()));
    EXPECT_TRUE(form.field(poll::Field::Text2)->text().isEmpty()) << "written only when a reply arrives";
    qunsetenv("COMM_PORT1");
}

class TextPollTest : public ::testing::Test
{
protected:
    TextPollTest() { qunsetenv("COMM_PORT1"); }
    ~TextPollTest() override { qunsetenv("COMM_PORT1"); }

    void load(const QString& device)
    {
        qputenv("COMM_PORT1", device.toLocal8Bit());
        program.Form_Load();
        form.poller().setInterval(kTestInterval);
    }
    void typeAddress(const QString& text)
    {
        form.Text1()->clear();
        QTest::keyClicks(form.Text1(), text);
    }
    void press() { QTest::mouseClick(form.Command1(), Qt::LeftButton); }
    QLineEdit* text(poll::Field field) const { return form.field(field); }

    poll::Form1 form{poll::Program::TextPoll};
    textpoll::TextPoll program{form};
};

TEST_F(TextPollTest, RequestAndReplyTextsOnScreenAndOnTheWire)
{
    ModsimProcess module({"--framing", "ascii", "--address", "67", "--values", "235,-5,32767,-32768,0,1,-1,1234"});
    ASSERT_TRUE(module.start());
    load(module.link());
    EXPECT_EQ(form.Text1()->text(), "67");
    for (poll::Field field : {poll::Field::Text2, poll::Field::Text4, poll::Field::Text5, poll::Field::Text6})
        EXPECT_TRUE(text(field)->text().isEmpty());

    press(); // without touching the address
    EXPECT_EQ(text(poll::Field::Text5)->text(), QString::fromUtf8(":430400000008B1␍␊"));
    EXPECT_EQ(program.request(), ":430400000008B1\r\n");
    ASSERT_TRUE(waitFor([&] { return !text(poll::Field::Text2)->text().isEmpty(); }));
    EXPECT_EQ(text(poll::Field::Text4)->text(), " 1");
    EXPECT_EQ(text(poll::Field::Text6)->text(),
              QString::fromUtf8(":43041000EBFFFB7FFF800000000001FFFF04D2F1␍␊"));
    EXPECT_EQ(channelTexts(form), QStringList({"23.5", "-0.5", "3276.7", "-3276.8", "0", "0.1", "-0.1", "123.4"}));
    EXPECT_EQ(text(poll::Field::Text2)->text(), "0");
    const QStringList received = module.logLines().filter(QStringLiteral(" rx "));
    ASSERT_FALSE(received.isEmpty());
    EXPECT_EQ(received.first().section(QLatin1Char(' '), 2), ":430400000008B1\\r\\n");
}

TEST_F(TextPollTest, CountsRepliesWithAWrongOrLowercaseLrc)
{
    ModsimProcess wrong({"--framing", "ascii", "--values", "1,2,3,4,5,6,7,8", "--corrupt-every", "2"});
    ASSERT_TRUE(wrong.start());
    load(wrong.link());
    press();
    ASSERT_TRUE(waitFor([&] { return text(poll::Field::Text2)->text() == "2"; }, 20s));
    EXPECT_EQ(channelTexts(form), QStringList({"0.1", "0.2", "0.3", "0.4", "0.5", "0.6", "0.7", "0.8"}));
    EXPECT_GE(wrong.logCount(QStringLiteral("tx")), 2) << "good replies came between the damaged ones";
}

TEST_F(TextPollTest, LowercaseDigitsFailTheCheck)
{
    ModsimProcess lower({"--framing", "ascii", "--values", "10,0,0,0,0,0,0,0", "--lowercase"});
    ASSERT_TRUE(lower.start());
    load(lower.link());
    press();
    ASSERT_TRUE(waitFor([&] { return text(poll::Field::Text2)->text() == "3"; }, 20s));
    EXPECT_EQ(form.Text3(0)->text(), "1") << "values read from lowercase digits all the same";
}

TEST_F(TextPollTest, TypedAddressIsSentAsItsLowByte)
{
    ModsimProcess module({"--framing", "ascii", "--address", "44", "--values", "44,0,0,0,0,0,0,0"});
    ASSERT_TRUE(module.start());
    load(module.link());
    typeAddress("300");
    press();
    EXPECT_EQ(program.address(), 300);
    EXPECT_EQ(text(poll::Field::Text5)->text(), QString::fromUtf8(":2C0400000008C8␍␊"));
    ASSERT_TRUE(waitFor([&] { return form.Text3(0)->text() == "4.4"; }));
    EXPECT_EQ(text(poll::Field::Text2)->text(), "0");
}

TEST_F(TextPollTest, RefusesAnAddressOutsideSixteenBits)
{
    load(QStringLiteral("/nonexistent/ttyPOLL"));
    for (const char* typed : {"32756", "-32769", "1e10", "-1e400"}) {
        typeAddress(QString::fromLatin1(typed));
        press();
        EXPECT_FALSE(form.poller().isPolling()) << typed;
        EXPECT_EQ(program.address(), 67) << typed;
        EXPECT_TRUE(text(poll::Field::Text5)->text().isEmpty()) << typed;
        EXPECT_TRUE(form.addressNote().contains(QStringLiteral("-32768 to 32755"))) << typed;
    }
    const std::pair<const char*, int> accepted[] = {{"32755", 32755}, {"-32768", -32768}, {"&HFFFF", -1}, {"66.5", 66}};
    for (const auto& [typed, address] : accepted) {
        typeAddress(QString::fromLatin1(typed));
        press();
        EXPECT_EQ(program.address(), address) << typed;
        EXPECT_TRUE(form.addressNote().isEmpty()) << typed;
    }
    EXPECT_EQ(program.request(), ":420400000008B2\r\n");
}

} // namespace
