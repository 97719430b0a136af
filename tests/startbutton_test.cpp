// The start buttons of bytepoll and textpoll against a poller on a scripted
// comm control: what a typed address puts on the wire, and what a refused
// one leaves as it was.

#include "bytepoll/bytepoll.h"
#include "support/scripted.h"
#include "textpoll/textpoll.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <limits>

using testing_support::RecordingView;
using testing_support::ScriptedLink;

namespace {

// A start button wired as the programs wire it, to a poller on a scripted comm.
class Rig
{
public:
    Rig(std::unique_ptr<apps::StartButton> made, poll::Framing framing)
        : poller(framing, comm), view(poller), button(std::move(made))
    {
        QObject::connect(button.get(), &apps::StartButton::start, &poller,
                         qOverload<const QByteArray&>(&poll::Poller::start));
        QObject::connect(button.get(), &apps::StartButton::addressNote,
                         [this](const QString& t) { note = t; });
    }
    void click(const QString& typed)
    {
        button->click(typed);
        QCoreApplication::processEvents();
    }
    // Clicks with `typed` in the address field, then runs one tick: returns
    // what that tick sent.
    QString clickAndTick(const QString& typed)
    {
        click(typed);
        comm.calls.clear();
        poller.tick();
        return comm.sent().value(0);
    }

    ScriptedLink comm;
    poll::Poller poller;
    RecordingView view;
    std::unique_ptr<apps::StartButton> button;
    QString note = QStringLiteral("(none)");
};

QString line(const char* text)
{
    return QString::fromLatin1(QByteArray(text).toHex(' '));
}

TEST(StartButton, BytePollReadsTheAddressTheWayTheFieldAlwaysHas)
{
    Rig rig(bytepoll::MakeStartButton(), poll::Framing::Binary);
    EXPECT_EQ(rig.clickAndTick(QStringLiteral("67")), "43 04 00 00 00 08 fe ee");
    EXPECT_TRUE(rig.poller.isPolling());
    EXPECT_EQ(rig.note, "") << "an accepted address clears the note";
    EXPECT_EQ(rig.clickAndTick(QStringLiteral("1")), "01 04 00 00 00 08 f1 cc")
        << "CRC filled in for the new address";
    const std::pair<const char*, const char*> rows[] = {
        {"67.5", "44"},  {"66.5", "42"}, {"abc", "00"},   {"", "00"},
        {" 1 2 ", "0c"}, {"&H43", "43"}, {"&HFF", "ff"},  {"2.5e1", "19"},
        {"255.4", "ff"}, {"-0.4", "00"}, {"17abc", "11"},
    };
    for (const auto& [typed, address] : rows)
        EXPECT_TRUE(
            rig.clickAndTick(QString::fromUtf8(typed)).startsWith(QLatin1String(address) + " 04"))
            << '"' << typed << '"';
}

TEST(StartButton, BytePollRefusesAnAddressOutOfRangeAndKeepsWhatRuns)
{
    Rig rig(bytepoll::MakeStartButton(), poll::Framing::Binary);
    for (const char* typed :
         {"256", "255.5", "-1", "-0.6", "1e400", "&H8000", "99999999999999999999"}) {
        rig.click(QString::fromLatin1(typed));
        EXPECT_FALSE(rig.poller.isPolling()) << typed << " started polling";
        EXPECT_EQ(rig.note, QString::fromUtf8("地址只能是 0 到 255")) << typed;
    }
    EXPECT_EQ(rig.clickAndTick(QStringLiteral("5")), "05 04 00 00 00 08 f0 48");
    EXPECT_EQ(rig.clickAndTick(QStringLiteral("300")), "05 04 00 00 00 08 f0 48")
        << "refused while polling: the request stays";
    EXPECT_TRUE(rig.poller.isPolling());
}

TEST(StartButton, TextPollSendsTheLowByteAndRefusesWhatDoesNotFitSixteenBits)
{
    Rig rig(textpoll::MakeStartButton(), poll::Framing::Text);
    for (const char* typed : {"32756", "-32769", "1e10", "-1e400"}) {
        rig.click(QString::fromLatin1(typed));
        EXPECT_FALSE(rig.poller.isPolling()) << typed;
        EXPECT_TRUE(rig.view.requestText.isEmpty()) << typed;
        EXPECT_EQ(rig.note, QString::fromUtf8("地址只能是 -32768 到 32755")) << typed;
    }
    EXPECT_EQ(rig.clickAndTick(QStringLiteral("67")), line(":430400000008B1\r\n"));
    EXPECT_EQ(rig.view.requestText, QString::fromUtf8(":430400000008B1␍␊"));
    EXPECT_EQ(rig.clickAndTick(QStringLiteral("300")), line(":2C0400000008C8\r\n"));
    EXPECT_EQ(rig.clickAndTick(QStringLiteral("32755")), line(":F3040000000801\r\n"));
    EXPECT_EQ(rig.clickAndTick(QStringLiteral("-32768")), line(":000400000008F4\r\n"));
    EXPECT_EQ(rig.clickAndTick(QStringLiteral("&HFFFF")), line(":FF0400000008F5\r\n")) << "-1";
    EXPECT_EQ(rig.clickAndTick(QStringLiteral("66.5")), line(":420400000008B2\r\n"));
}

// Texts an operator (or a cat on the keyboard) may leave in the address field.
TEST(StartButton, HostileTextsAreReadOrRefusedNeverHarmful)
{
    Rig bytes(bytepoll::MakeStartButton(), poll::Framing::Binary);
    Rig text(textpoll::MakeStartButton(), poll::Framing::Text);
    constexpr int kRefused = std::numeric_limits<int>::min();
    const QString huge = QStringLiteral("9").repeated(400);
    const std::pair<QString, int> rows[] = {
        {"", 0},
        {"   \t  ", 0},
        {"+", 0},
        {"-", 0},
        {"+-", 0},
        {huge, kRefused},
        {"1e999999999999", kRefused},
        {"1e-999999999999", 0},
        {"0." + QString(5000, u'0') + "1", 0},
        {"&H123456789ABC", kRefused},
        {"&HFFFFFFFFF", kRefused},
        {"&O7777777777777777777777", kRefused},
        {QString::fromUtf8("模块"), 0},
        {QString::fromUtf8("６７"), 0},
        {QString::fromUtf8("12٣"), 12},
        {QString(100000, u'7'), kRefused},
        {QString(30000, u' ') + "42", 42},
        {"NaN", 0},
        {"inf", 0},
        {"0x10", 0},
    };
    for (const auto& [typed, address] : rows) {
        const std::string shown = typed.left(40).toStdString();
        bytes.note = text.note = QStringLiteral("(none)");
        const QString sentBefore = bytes.clickAndTick(QStringLiteral("7"));
        const QString textBefore = text.clickAndTick(QStringLiteral("7"));
        const QString sent = bytes.clickAndTick(typed);
        const QString textSent = text.clickAndTick(typed);
        if (address == kRefused) {
            EXPECT_EQ(sent, sentBefore) << shown;
            EXPECT_EQ(textSent, textBefore) << shown;
            EXPECT_FALSE(bytes.note.isEmpty() || text.note.isEmpty()) << shown;
        } else {
            EXPECT_EQ(sent.left(2).toInt(nullptr, 16), address) << shown;
            EXPECT_EQ(QByteArray::fromHex(textSent.toLatin1()).mid(1, 2).toInt(nullptr, 16),
                      address)
                << shown;
            EXPECT_TRUE(bytes.note.isEmpty() && text.note.isEmpty()) << shown;
        }
    }
    // Sixteen bits fit textpoll but not bytepoll.
    EXPECT_EQ(text.clickAndTick(QStringLiteral("&O177777")), line(":FF0400000008F5\r\n"));
    bytes.clickAndTick(QStringLiteral("7"));
    EXPECT_EQ(bytes.clickAndTick(QStringLiteral("&O177777")), "07 04 00 00 00 08 f1 aa")
        << "refused: 7 stays";
}

} // namespace
