// Line and port faults through the real program, window and acquisition
// thread: a flood of noise, a device pulled and replugged again and again,
// and a second program on the same port.

#include "bytepoll/bytepoll.h"
#include "support/modsim_process.h"
#include "support/running_program.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QTest>

using namespace std::chrono_literals;
using testing_support::ModsimProcess;
using testing_support::RunningProgram;
using testing_support::waitFor;

namespace {

qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    return -1;
}

TEST(LineFaults, AFloodOfNoiseKeepsMemoryBoundedAndTheWindowResponsive)
{
    ModsimProcess module({"--values", "11,22,33,44,55,66,77,88", "--noise-for", "3000"});
    ASSERT_TRUE(module.start());
    const QDeadlineTimer floodEnds(3000ms); // modsim counts from before its link appeared
    RunningProgram program(&bytepoll::Load, module.link());
    const qint64 before = residentKiB();
    program.start(QStringLiteral("67"));

    // While the noise pours in, ticks go on and a click is taken at once.
    ASSERT_TRUE(waitFor([&] { return program.text("Text4").toInt() >= 6; }));
    program.start(QStringLiteral("256"));
    EXPECT_FALSE(program.window().addressNote().isEmpty())
        << "the click was not handled during the flood";
    program.start(QStringLiteral("67"));
    const qint64 during = residentKiB();

    // After it, the module's replies come through clean again. A clean reply
    // also slips through now and then during the flood, so look only once it
    // has ended and two ticks have emptied the line of noise still on the way.
    ASSERT_TRUE(waitFor([&] { return floodEnds.hasExpired(); }));
    const int ticks = program.text("Text4").toInt();
    ASSERT_TRUE(waitFor([&] { return program.text("Text4").toInt() >= ticks + 2; }));
    program.window().findChild<QLineEdit*>(QStringLiteral("Text3(7)"))->clear();
    ASSERT_TRUE(waitFor([&] { return program.text("Text3(7)") == "88"; }, 20s));
    const QString errors = program.text("Text2");
    const int polls = program.text("Text4").toInt();
    ASSERT_TRUE(waitFor([&] { return program.text("Text4").toInt() >= polls + 3; }));
    EXPECT_EQ(program.text("Text2"), errors) << "errors still rising after the flood";
#ifndef __SANITIZE_ADDRESS__
    // AddressSanitizer keeps freed memory in quarantine, so only the plain
    // build can tell how much the flood really holds.
    EXPECT_LT(during - before, 8 * 1024) << "KiB grown during the flood";
#endif
}

TEST(PortFaults, ADevicePulledAndReplugged10TimesIsFollowedEachTime)
{
    ModsimProcess module(
        {"--values", "5,5,5,5,5,5,5,5", "--away-after", "2", "--away-for", "300", "--away-repeat"});
    ASSERT_TRUE(module.start());
    RunningProgram program(&bytepoll::Load, module.link());
    program.press();

    // Each cycle: a fault on screen, then the line cleared once polling is back.
    for (int cycle = 1; cycle <= 10; ++cycle) {
        ASSERT_TRUE(waitFor([&] { return !program.window().portFault().isEmpty(); }, 10s))
            << "cycle " << cycle;
        ASSERT_TRUE(waitFor([&] { return program.window().portFault().isEmpty(); }, 10s))
            << "cycle " << cycle;
    }
    const int replies = module.logCount(QStringLiteral("tx"));
    ASSERT_TRUE(waitFor([&] { return module.logCount(QStringLiteral("tx")) > replies; }));
    ASSERT_TRUE(waitFor([&] { return program.text("Text3(0)") == "5"; }));
    EXPECT_EQ(program.text("Text2"), "0") << "a replug must not look like a damaged reply";
}

TEST(PortFaults, ASecondProgramOnTheSamePortIsToldItIsBusy)
{
    ModsimProcess module({"--values", "9,9,9,9,9,9,9,9"});
    ASSERT_TRUE(module.start());
    RunningProgram first(&bytepoll::Load, module.link());
    first.press();
    ASSERT_TRUE(waitFor([&] { return first.text("Text3(0)") == "9"; }));

    RunningProgram second(&bytepoll::Load, module.link());
    second.press();
    ASSERT_TRUE(waitFor([&] { return !second.window().portFault().isEmpty(); }));
    const std::string fault = second.window().portFault().toStdString();
    EXPECT_TRUE(second.window().portFault().contains(module.link())) << fault;
    EXPECT_TRUE(second.window().portFault().contains(QStringLiteral("in use by another program")))
        << fault;
    EXPECT_TRUE(second.text("Text4").isEmpty()) << "nothing counted as sent";

    const int polls = first.text("Text4").toInt();
    ASSERT_TRUE(waitFor([&] { return first.text("Text4").toInt() >= polls + 3; }));
    EXPECT_TRUE(first.window().portFault().isEmpty()) << "the first program keeps its port";
}

} // namespace
