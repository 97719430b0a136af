// Line and port faults through the real window, comm control and poller:
// a flood of noise, a device pulled and replugged again and again, a second
// program on the same port, and hostile texts in the address field.

#include "bytepoll/bytepoll.h"
#include "support/modsim_process.h"
#include "support/pty.h"
#include "support/wait.h"
#include "textpoll/textpoll.h"

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QTest>

using namespace std::chrono_literals;
using testing_support::ModsimProcess;
using testing_support::waitFor;

namespace {

constexpr auto kTestInterval = 150ms;

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

class BytePollWindow
{
public:
    explicit BytePollWindow(const QString& device)
    {
        qputenv("COMM_PORT1", device.toLocal8Bit());
        program.Form_Load();
        form.poller().setInterval(kTestInterval);
    }
    ~BytePollWindow() { qunsetenv("COMM_PORT1"); }

    void start(const QString& address = QStringLiteral("67"))
    {
        form.Text1()->setText(address);
        QTest::mouseClick(form.Command1(), Qt::LeftButton);
    }
    QString text(poll::Field field) const { return form.field(field)->text(); }

    poll::Form1 form{poll::Program::BytePoll};
    bytepoll::BytePoll program{form};
};

TEST(LineFaults, AFloodOfNoiseKeepsMemoryBoundedAndTheWindowResponsive)
{
    ModsimProcess module({"--values", "11,22,33,44,55,66,77,88", "--noise-for", "3000"});
    ASSERT_TRUE(module.start());
    const QDeadlineTimer floodEnds(3000ms); // modsim counts from before its link appeared
    BytePollWindow window(module.link());
    const qint64 before = residentKiB();
    window.start();

    // While the noise pours in, ticks go on and a click is taken at once.
    ASSERT_TRUE(waitFor([&] { return window.form.poller().pollCount() >= 6; }));
    window.start(QStringLiteral("68"));
    EXPECT_EQ(window.program.request()[0], 68) << "the click was not handled during the flood";
    window.start(QStringLiteral("67"));
    const qint64 during = residentKiB();

    // After it, the module's replies come through clean again. A clean reply
    // also slips through now and then during the flood, so look only once it
    // has ended and two ticks have emptied the line of noise still on the way.
    ASSERT_TRUE(waitFor([&] { return floodEnds.hasExpired(); }));
    const int ticks = window.form.poller().pollCount();
    ASSERT_TRUE(waitFor([&] { return window.form.poller().pollCount() >= ticks + 2; }));
    window.form.Text3(7)->clear();
    ASSERT_TRUE(waitFor([&] { return window.form.Text3(7)->text() == "88"; }, 20s));
    const QString errors = window.text(poll::Field::Text2);
    const int polls = window.form.poller().pollCount();
    ASSERT_TRUE(waitFor([&] { return window.form.poller().pollCount() >= polls + 3; }));
    EXPECT_EQ(window.text(poll::Field::Text2), errors) << "errors still rising after the flood";
#ifndef __SANITIZE_ADDRESS__
    // AddressSanitizer keeps freed memory in quarantine, so only the plain
    // build can tell how much the flood really holds.
    EXPECT_LT(during - before, 8 * 1024) << "KiB grown during the flood";
#endif
}

TEST(PortFaults, ADevicePulledAndReplugged10TimesIsFollowedEachTime)
{
    ModsimProcess module({"--values", "5,5,5,5,5,5,5,5", "--away-after", "2", "--away-for", "300", "--away-repeat"});
    ASSERT_TRUE(module.start());
    BytePollWindow window(module.link());
    window.start();

    // Each cycle: a fault on screen, then the line cleared once polling is back.
    for (int cycle = 1; cycle <= 10; ++cycle) {
        ASSERT_TRUE(waitFor([&] { return !window.form.portFault().isEmpty(); }, 10s)) << "cycle " << cycle;
        ASSERT_TRUE(waitFor([&] { return window.form.portFault().isEmpty(); }, 10s)) << "cycle " << cycle;
    }
    const int replies = module.logCount(QStringLiteral("tx"));
    ASSERT_TRUE(waitFor([&] { return module.logCount(QStringLiteral("tx")) > replies; }));
    EXPECT_EQ(window.form.Text3(0)->text(), "5");
    EXPECT_EQ(window.text(poll::Field::Text2), "0") << "a replug must not look like a damaged reply";
}

TEST(PortFaults, ASecondProgramOnTheSamePortIsToldItIsBusy)
{
    ModsimProcess module({"--values", "9,9,9,9,9,9,9,9"});
    ASSERT_TRUE(module.start());
    BytePollWindow first(module.link());
    first.start();
    ASSERT_TRUE(waitFor([&] { return first.form.Text3(0)->text() == "9"; }));

    poll::Form1 secondForm(poll::Program::BytePoll);
    bytepoll::BytePoll second(secondForm);
    second.Form_Load();
    secondForm.poller().setInterval(kTestInterval);
    QTest::mouseClick(secondForm.Command1(), Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] { return !secondForm.portFault().isEmpty(); }));
    EXPECT_TRUE(secondForm.portFault().contains(module.link())) << secondForm.portFault().toStdString();
    EXPECT_TRUE(secondForm.portFault().contains(QStringLiteral("in use by another program")))
        << secondForm.portFault().toStdString();
    EXPECT_EQ(secondForm.poller().pollCount(), 0);

    const int polls = first.form.poller().pollCount();
    ASSERT_TRUE(waitFor([&] { return first.form.poller().pollCount() >= polls + 3; }));
    EXPECT_TRUE(first.form.portFault().isEmpty()) << "the first program keeps its port";
}

// Texts an operator (or a cat on the keyboard) may leave in the address field.
TEST(AddressField, HostileTextsAreReadOrRefusedNeverHarmful)
{
    BytePollWindow byteWindow(QStringLiteral("/nonexistent/ttyPOLL"));
    poll::Form1 textForm(poll::Program::TextPoll);
    textpoll::TextPoll text(textForm);
    text.Form_Load();

    struct Row
    {
        QString typed;
        int bytepollAddress; // -1: refused
        int textpollAddress; // INT_MIN: refused
    };
    constexpr int kRefused = -1;
    constexpr int kTextRefused = std::numeric_limits<int>::min();
    const QString huge = QStringLiteral("9").repeated(400);
    const std::vector<Row> rows = {
        {"", 0, 0},
        {"   \t  ", 0, 0},
        {"+", 0, 0},
        {"-", 0, 0},
        {"+-", 0, 0},
        {huge, kRefused, kTextRefused},
        {"1e999999999999", kRefused, kTextRefused},
        {"1e-999999999999", 0, 0},
        {"0." + QString(5000, u'0') + "1", 0, 0},
        {"&H123456789ABC", kRefused, kTextRefused},
        {"&HFFFFFFFFF", kRefused, kTextRefused},
        {"&O7777777777777777777777", kRefused, kTextRefused},
        {"&O177777", kRefused, -1},
        {QString::fromUtf8("模块"), 0, 0},
        {QString::fromUtf8("６７"), 0, 0},
        {QString::fromUtf8("12٣"), 12, 12},
        {QString(100000, u'7'), kRefused, kTextRefused},
        // A single-line field holds 32,767 characters: the 42 never gets in.
        {QString(100000, u' ') + "42", 0, 0},
        {QString(30000, u' ') + "42", 42, 42},
        {"NaN", 0, 0},
        {"inf", 0, 0},
        {"0x10", 0, 0},
    };
    for (const Row& row : rows) {
        const rtu::Request byteBefore = byteWindow.program.request();
        byteWindow.start(row.typed);
        if (row.bytepollAddress == kRefused) {
            EXPECT_EQ(byteWindow.program.request(), byteBefore) << row.typed.left(40).toStdString();
            EXPECT_FALSE(byteWindow.form.addressNote().isEmpty());
        } else {
            EXPECT_EQ(byteWindow.program.request()[0], row.bytepollAddress) << row.typed.left(40).toStdString();
            EXPECT_TRUE(byteWindow.form.addressNote().isEmpty()) << row.typed.left(40).toStdString();
        }
        EXPECT_EQ(byteWindow.form.Text1()->text().size(), std::min<qsizetype>(row.typed.size(), 32767))
            << "the field keeps what was typed";

        const QByteArray textBefore = text.request();
        textForm.Text1()->setText(row.typed);
        QTest::mouseClick(textForm.Command1(), Qt::LeftButton);
        if (row.textpollAddress == kTextRefused) {
            EXPECT_EQ(text.request(), textBefore) << row.typed.left(40).toStdString();
            EXPECT_FALSE(textForm.addressNote().isEmpty());
        } else {
            EXPECT_EQ(text.address(), row.textpollAddress) << row.typed.left(40).toStdString();
            EXPECT_TRUE(textForm.addressNote().isEmpty()) << row.typed.left(40).toStdString();
        }
    }
}

} // namespace
