// The three programs end to end, as their main() builds them: the window,
// and the comm control and poller on their own thread, against the
// simulated module on a pseudo-terminal.

#include "autopoll/autopoll.h"
#include "bytepoll/bytepoll.h"
#include "support/modsim_process.h"
#include "support/pty.h"
#include "support/running_program.h"
#include "support/wait.h"
#include "textpoll/textpoll.h"

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryFile>

#include <atomic>
#include <thread>

#include <unistd.h>

using namespace std::chrono_literals;
using testing_support::ModsimProcess;
using testing_support::runEventsFor;
using testing_support::RunningProgram;
using testing_support::waitFor;

namespace {

constexpr auto kTestInterval = 150ms;

// This process's standard error goes to a file while one of these lives.
struct StandardErrorCapture
{
    StandardErrorCapture() { ::dup2(file.open() ? file.handle() : saved, STDERR_FILENO); }
    ~StandardErrorCapture()
    {
        ::dup2(saved, STDERR_FILENO);
        ::close(saved);
    }
    QString text() const
    {
        QFile written(file.fileName());
        return written.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(written.readAll()) : "";
    }
    int saved = ::dup(STDERR_FILENO);
    QTemporaryFile file;
};

QStringList requests(const ModsimProcess& module)
{
    QStringList frames;
    for (const QString& line : module.logLines().filter(QStringLiteral(" rx ")))
        frames << line.section(QLatin1Char(' '), 2).toLower();
    return frames;
}

TEST(BytePoll, SendsNothingUntilTheButtonIsPressed)
{
    ModsimProcess module({"--address", "67", "--values", "235,-5,32767,-32768,0,1,-1,1234"});
    ASSERT_TRUE(module.start());
    RunningProgram program(&bytepoll::Load, module.link());
    EXPECT_EQ(program.text("Text1"), "67");
    runEventsFor(3 * kTestInterval);
    EXPECT_TRUE(requests(module).isEmpty()) << "polled before the start button";
    EXPECT_TRUE(program.text("Text4").isEmpty());

    program.press(); // without touching the address: the same bytes as the fixed request
    ASSERT_TRUE(waitFor([&] { return !program.text("Text2").isEmpty(); }));
    EXPECT_EQ(requests(module).value(0), "43 04 00 00 00 08 fe ee");
    EXPECT_EQ(program.text("Text4"), " 1");
    EXPECT_EQ(program.text("Text2"), "0");
    EXPECT_EQ(program.channels(),
              QStringList({"235", "-5", "32767", "-32768", "0", "1", "-1", "1234"}));
}

TEST(BytePoll, TypedAddressGoesOnTheWireAndChangesWhilePolling)
{
    ModsimProcess module({"--address", "1", "--values", "1,2,3,4,5,6,7,8"});
    ASSERT_TRUE(module.start());
    RunningProgram program(&bytepoll::Load, module.link());

    program.start(QStringLiteral("1"));
    ASSERT_TRUE(waitFor([&] { return program.text("Text3(7)") == "8"; }));
    EXPECT_EQ(requests(module).value(0), "01 04 00 00 00 08 f1 cc");

    // Pressing again while polling rebuilds the request; the counters carry on.
    program.start(QStringLiteral("2"));
    const int polls = program.text("Text4").toInt();
    ASSERT_TRUE(waitFor([&] { return requests(module).contains("02 04 00 00 00 08 f1 ff"); }));
    ASSERT_TRUE(waitFor([&] { return program.text("Text4").toInt() > polls; }));
    EXPECT_EQ(program.text("Text1"), "2") << "the field keeps what the operator typed";
}

// Two modules on one line, polled one after the other into one recording:
// each row says which module it came from.
TEST(BytePoll, ARecordingAcrossAnAddressChangeNamesEachRowsModule)
{
    ModsimProcess module({"--address", "1", "--also-address", "2"});
    ASSERT_TRUE(module.start());
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("values.csv"));
    {
        RunningProgram program(
            &bytepoll::Load, module.link(), kTestInterval,
            std::get<std::unique_ptr<acquisition::Recorder>>(acquisition::Recorder::Open(path)));
        program.start(QStringLiteral("1"));
        ASSERT_TRUE(waitFor([&] { return program.text("Text2") == "0"; }));
        program.start(QStringLiteral("2"));
        ASSERT_TRUE(waitFor([&] { return requests(module).contains("02 04 00 00 00 08 f1 ff"); }));
        const int polls = program.text("Text4").toInt();
        ASSERT_TRUE(waitFor([&] { return program.text("Text4").toInt() > polls + 1; }));
    }
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QStringList addresses;
    for (const QByteArray& line : file.readAll().trimmed().split('\n').mid(1))
        addresses << QString::fromLatin1(line.trimmed().split(',').value(12));
    addresses.removeDuplicates();
    EXPECT_EQ(addresses, QStringList({"1", "2"}));
}

// A module that stops answering leaves its last values in the fields; a
// note says they are not current after three polls without a reply, and
// goes with the next reply.
TEST(BytePoll, ValuesNoLongerAnsweredAreNotedUntilTheNextReply)
{
    ModsimProcess module({"--address", "67", "--values", "1,2,3,4,5,6,7,8"});
    ASSERT_TRUE(module.start());
    const StandardErrorCapture captured;
    RunningProgram program(&bytepoll::Load, module.link(), kTestInterval);
    program.press();
    ASSERT_TRUE(waitFor([&] { return program.text("Text3(7)") == "8"; }));
    module.pause(true);
    const int polls = program.text("Text4").toInt();
    ASSERT_TRUE(waitFor([&] { return !program.window().silenceNote().isEmpty(); }));
    EXPECT_GE(program.text("Text4").toInt(), polls + 3);
    EXPECT_TRUE(program.window().silenceNote().startsWith(QString::fromUtf8("模块 67 自 ")))
        << program.window().silenceNote().toStdString();
    EXPECT_TRUE(captured.text().contains(": no reply from module 67 since "))
        << captured.text().toStdString();
    EXPECT_EQ(program.text("Text3(7)"), "8") << "the fields keep the last values";

    module.pause(false);
    ASSERT_TRUE(waitFor([&] { return program.window().silenceNote().isEmpty(); }));
}

TEST(BytePoll, ARefusedAddressIsNotedAndAMissingPortShownUntilItAppears)
{
    QTemporaryDir dir;
    const QString link = ModsimProcess::uniqueLinkPath(dir);
    const StandardErrorCapture captured;
    RunningProgram program(&bytepoll::Load, link);

    program.start(QStringLiteral("256"));
    EXPECT_EQ(program.window().addressNote(), QString::fromUtf8("地址只能是 0 到 255"));
    runEventsFor(3 * kTestInterval);
    EXPECT_TRUE(program.window().portFault().isEmpty())
        << "the port is opened by the first tick, not before";

    program.start(QStringLiteral("67"));
    EXPECT_TRUE(program.window().addressNote().isEmpty())
        << "the note goes once an address is accepted";
    // One source text: in English on standard error, as it has always been
    // worded, and in Chinese in the window.
    const QString hint = QStringLiteral(" (choose the device with --port DEVICE or COMM_PORT1)\n");
    ASSERT_TRUE(waitFor([&] { return captured.text().contains(hint); }));
    const QString told = QCoreApplication::applicationName() + ": cannot open " + link + ": ";
    const QString reason = captured.text().section(told, 1).section(hint, 0, 0);
    EXPECT_FALSE(reason.isEmpty() || reason.contains('\n')) << captured.text().toStdString();
    ASSERT_TRUE(waitFor([&] { return !program.window().portFault().isEmpty(); }));
    EXPECT_EQ(program.window().portFault(),
              QString::fromUtf8("无法打开 %1：%2（可用 --port 或 COMM_PORT1 选择其他串口）")
                  .arg(link, reason));
    EXPECT_TRUE(program.text("Text4").isEmpty()) << "nothing was sent";
    EXPECT_EQ(program.window().windowTitle(), "Form1");

    ModsimProcess module({"--address", "67"}, link); // the adapter is plugged in
    ASSERT_TRUE(module.start());
    ASSERT_TRUE(waitFor([&] { return program.window().portFault().isEmpty(); }));
    ASSERT_TRUE(waitFor([&] { return program.text("Text2") == "0"; }));
}

TEST(AutoPoll, PollsAddress68WithoutTheOperator)
{
    ModsimProcess module({"--address", "68", "--values", "-7,0,7,100,-100,32767,-32768,68"});
    ASSERT_TRUE(module.start());
    RunningProgram program(&autopoll::Load, module.link());
    program.window().show();

    ASSERT_TRUE(waitFor([&] { return program.text("Text3(7)") == "68"; }));
    EXPECT_EQ(requests(module).value(0), "44 04 00 00 00 08 ff 59");
    EXPECT_EQ(program.channels(),
              QStringList({"-7", "0", "7", "100", "-100", "32767", "-32768", "68"}));
    EXPECT_EQ(program.text("Text2"), "0");
}

// Ctrl+T on the form opens the trend beside it, fed with what the form
// shows; closing the trend leaves polling alone.
TEST(AutoPoll, TheTrendOpensFromTheFormAndFollowsThePoll)
{
    ModsimProcess module({"--address", "68", "--values", "1,2,3,4,5,6,7,8"});
    ASSERT_TRUE(module.start());
    RunningProgram program(&autopoll::Load, module.link());
    program.window().show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&program.window()));
    QTest::keyClick(&program.window(), Qt::Key_T, Qt::ControlModifier);
    ui::TrendView& trend = program.program().trend();
    ASSERT_TRUE(trend.isVisible());
    EXPECT_FALSE(trend.geometry().intersects(program.window().geometry()))
        << "beside the form, not over it";

    ASSERT_TRUE(waitFor([&] { return trend.history().size() >= 2; }));
    EXPECT_EQ(trend.history().newest().values[7], 8.0f);
    trend.close();
    const int polls = program.text("Text4").toInt();
    ASSERT_TRUE(waitFor([&] { return program.text("Text4").toInt() > polls + 1; }));
    EXPECT_TRUE(program.window().isVisible());
}

TEST(AutoPoll, AModuleAtAnotherAddressNeverAnswers)
{
    ModsimProcess module({"--address", "67"});
    ASSERT_TRUE(module.start());
    RunningProgram program(&autopoll::Load, module.link());

    ASSERT_TRUE(waitFor([&] { return program.text("Text4") == " 4"; }));
    EXPECT_TRUE(program.text("Text2").isEmpty()) << "written only when a reply arrives";
}

// Requests leave on time while the window cannot paint (a stalled display),
// and the screen catches up once it can. Closing the program closes its port.
TEST(AutoPoll, TicksGoOnWhileTheWindowIsBlocked)
{
    ModsimProcess module({"--address", "68", "--values", "1,2,3,4,5,6,7,8"});
    ASSERT_TRUE(module.start());
    auto program = std::make_unique<RunningProgram>(&autopoll::Load, module.link(), 100ms);
    program->window().show();
    ASSERT_TRUE(waitFor([&] { return program->text("Text2") == "0"; }));

    const qsizetype before = requests(module).size();
    std::this_thread::sleep_for(3s); // the GUI thread runs no events at all
    const qsizetype during = requests(module).size() - before;
    EXPECT_GE(during, 20) << "about 30 requests were due in 3 s";
    ASSERT_TRUE(waitFor([&] { return program->text("Text4").toInt() >= before + during; }))
        << "the poll count on screen did not catch up";

    program.reset();
    RunningProgram second(&autopoll::Load, module.link());
    ASSERT_TRUE(waitFor([&] { return second.text("Text2") == "0"; }));
    EXPECT_TRUE(second.window().portFault().isEmpty()) << "the first program left its port open";
}

// Each decoded reply becomes a CSV line, written from the acquisition thread;
// a record that cannot be written is noted on screen while polling goes on.
TEST(AutoPoll, RecordsEachReplyAndKeepsPollingWhenTheRecordFails)
{
    ModsimProcess module({"--address", "68", "--values", "-7,0,7,100,-100,32767,-32768,68"});
    ASSERT_TRUE(module.start());
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("values.csv"));
    {
        RunningProgram program(
            &autopoll::Load, module.link(), kTestInterval,
            std::get<std::unique_ptr<acquisition::Recorder>>(acquisition::Recorder::Open(path)));
        ASSERT_TRUE(waitFor([&] { return program.text("Text4") == " 3"; }));
        ASSERT_TRUE(waitFor([&] { return program.text("Text2") == "0"; }));
    }
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().trimmed().split('\n');
    ASSERT_GE(lines.size(), 3) << "the header and a line a reply";
    EXPECT_TRUE(lines[1].endsWith(",1,0,1,-7,0,7,100,-100,32767,-32768,68,68\r"))
        << lines[1].toStdString();

    RunningProgram full(&autopoll::Load, module.link(), kTestInterval,
                        std::get<std::unique_ptr<acquisition::Recorder>>(
                            acquisition::Recorder::Open(QStringLiteral("/dev/full"))));
    ASSERT_TRUE(waitFor([&] { return !full.window().recordFault().isEmpty(); }));
    ASSERT_TRUE(waitFor([&] { return full.text("Text4") == " 3"; })) << "polling goes on";
    EXPECT_EQ(full.text("Text3(7)"), "68");
}

TEST(TextPoll, RequestAndReplyTextsOnScreenAndOnTheWire)
{
    ModsimProcess module(
        {"--framing", "ascii", "--address", "67", "--values", "235,-5,32767,-32768,0,1,-1,1234"});
    ASSERT_TRUE(module.start());
    RunningProgram program(&textpoll::Load, module.link());
    EXPECT_EQ(program.text("Text1"), "67");
    for (const char* field : {"Text2", "Text4", "Text5", "Text6"})
        EXPECT_TRUE(program.text(QString::fromLatin1(field)).isEmpty()) << field;

    program.press(); // without touching the address
    ASSERT_TRUE(waitFor([&] { return !program.text("Text2").isEmpty(); }));
    EXPECT_EQ(program.text("Text5"), QString::fromUtf8(":430400000008B1␍␊"));
    EXPECT_EQ(program.text("Text4"), " 1");
    EXPECT_EQ(program.text("Text6"),
              QString::fromUtf8(":43041000EBFFFB7FFF800000000001FFFF04D2F1␍␊"));
    EXPECT_EQ(program.channels(),
              QStringList({"23.5", "-0.5", "3276.7", "-3276.8", "0", "0.1", "-0.1", "123.4"}));
    EXPECT_EQ(program.text("Text2"), "0");
    EXPECT_EQ(requests(module).value(0), ":430400000008b1\\r\\n");
}

TEST(TextPoll, CountsRepliesWithAWrongLrc)
{
    ModsimProcess wrong(
        {"--framing", "ascii", "--values", "1,2,3,4,5,6,7,8", "--corrupt-every", "2"});
    ASSERT_TRUE(wrong.start());
    RunningProgram program(&textpoll::Load, wrong.link());
    program.press();
    ASSERT_TRUE(waitFor([&] { return program.text("Text2") == "2"; }, 20s));
    EXPECT_EQ(program.channels(),
              QStringList({"0.1", "0.2", "0.3", "0.4", "0.5", "0.6", "0.7", "0.8"}));
    EXPECT_GE(wrong.logCount(QStringLiteral("tx")), 2)
        << "good replies came between the damaged ones";
}

TEST(TextPoll, ALowercaseLrcFailsTheCheck)
{
    // Every digit of the reply lowercase, its LRC too: the values read the
    // same, and every reply fails its check.
    ModsimProcess lower({"--framing", "ascii", "--values", "10,0,0,0,0,0,0,0", "--lowercase"});
    ASSERT_TRUE(lower.start());
    RunningProgram program(&textpoll::Load, lower.link());
    program.press();
    ASSERT_TRUE(waitFor([&] { return program.text("Text2") == "3"; }, 20s));
    EXPECT_EQ(program.text("Text3(0)"), "1");
    EXPECT_TRUE(program.text("Text6").contains(QStringLiteral("000a"))) << "the reply as received";
}

TEST(TextPoll, TypedAddressIsSentAsItsLowByte)
{
    ModsimProcess module({"--framing", "ascii", "--address", "44", "--values", "44,0,0,0,0,0,0,0"});
    ASSERT_TRUE(module.start());
    RunningProgram program(&textpoll::Load, module.link());
    program.start(QStringLiteral("300"));
    ASSERT_TRUE(waitFor([&] { return program.text("Text3(0)") == "4.4"; }));
    EXPECT_EQ(program.text("Text5"), QString::fromUtf8(":2C0400000008C8␍␊"));
    EXPECT_EQ(program.text("Text2"), "0");
}

// Behind an echoing adapter: with --echo the values and no error; without, every reply fails.
TEST(Programs, AnEchoingAdapter)
{
    const struct
    {
        RunningProgram::Load load;
        QStringList module;
        QString channel7;
    } rows[] = {{&bytepoll::Load, {}, "8"},
                {&autopoll::Load, {"--address", "68"}, "8"},
                {&textpoll::Load, {"--framing", "ascii"}, "0.8"}};
    for (const auto& row : rows) {
        ModsimProcess module(row.module + QStringList{"--values", "1,2,3,4,5,6,7,8", "--echo"});
        ASSERT_TRUE(module.start());
        for (const bool echo : {true, false}) {
            RunningProgram program(row.load, module.link(), kTestInterval, nullptr, echo);
            if (row.load != &autopoll::Load) // which starts by itself
                program.press();
            ASSERT_TRUE(waitFor([&] { return program.text("Text2") == (echo ? "0" : "3"); }))
                << "echo " << echo;
            ASSERT_TRUE(waitFor([&] { return program.text("Text4").toInt() >= 4; }));
            const int polls = program.text("Text4").toInt(), errors = program.text("Text2").toInt();
            EXPECT_TRUE(echo ? errors == 0 : errors >= polls - 1)
                << errors << " errors in " << polls << " polls";
            EXPECT_EQ(program.text("Text3(7)") == row.channel7, echo);
        }
    }
}

} // namespace

// The acquisition ended mid-poll, as when the window closes: nothing it told
// before its end reaches the window afterwards, and the port is free at once.
TEST(Acquisition, EndsMidPollAndLeavesThePortFree)
{
    testing_support::PseudoTerminal module;
    acquisition::LinkSettings settings;
    settings.device = module.slaveName();
    settings.pollInterval = 50ms;
    const QByteArray request = QByteArray::fromHex("430400000008feee");
    const QByteArray reply = QByteArray::fromHex("43041000ebfffb7fff800000000001ffff04d2e97c");
    ui::Form1 window(ui::Layout::AutoPoll);

    // A reply decoded but not yet shown, and the next one half received.
    auto acquisition = std::make_unique<acquisition::Acquisition>(poll::Framing::Binary, settings);
    acquisition->addListener(&window);
    std::atomic<bool> decoded = false;
    poll::Poller& poller = acquisition->worker().poller();
    QObject::connect(&poller, &poll::Poller::replyDecoded, &window, &ui::Form1::showSample);
    QObject::connect(
        &poller, &poll::Poller::replyDecoded, &poller, [&] { decoded = true; },
        Qt::DirectConnection);
    acquisition->start(request);
    ASSERT_EQ(module.read(request.size()), request);
    module.write(reply);
    const QDeadlineTimer deadline(5s);
    while (!decoded && !deadline.hasExpired())
        std::this_thread::sleep_for(1ms); // no events run here: the window's share stays queued
    ASSERT_TRUE(decoded);
    module.write(reply.left(7));
    acquisition.reset();
    runEventsFor(200ms);
    EXPECT_EQ(window.findChild<QLineEdit*>(QStringLiteral("Text2"))->text(), "")
        << "a slot ran after the end";

    // A start just handed over, then a second program on the same port.
    acquisition = std::make_unique<acquisition::Acquisition>(poll::Framing::Binary, settings);
    acquisition->start(request);
    acquisition.reset();
    acquisition::Acquisition next(poll::Framing::Binary, settings);
    QSignalSpy faults(&next.worker().poller(), &poll::Poller::portFault);
    next.start(request);
    EXPECT_EQ(module.read(request.size(), 2s), request);
    EXPECT_EQ(faults.count(), 0);
}
