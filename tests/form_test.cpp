// The window of each program: controls, captions, geometry, tab order, focus.

#include "poll/form1.h"

#include <gtest/gtest.h>

#include <QFontDatabase>
#include <QTest>

#include <vector>

namespace {

struct Placed
{
    const char* name;
    int left, top, width, height; // twips
};

// The forms as drawn: 15 twips a pixel at 96 dpi.
const std::vector<Placed> kBytePoll = {
    {"Label1", 960, 240, 975, 255},     {"Text1", 2040, 120, 855, 375},
    {"Command1", 3600, 120, 1095, 375}, {"Label6", 480, 960, 1095, 255},
    {"Text4", 1800, 840, 1335, 375},    {"Label3", 3480, 960, 975, 255},
    {"Text2", 4560, 840, 1335, 375},    {"Label2", 480, 1560, 975, 255},
    {"Label4", 480, 1920, 1815, 255},   {"Label5", 480, 2760, 1815, 255},
    {"Text3(0)", 480, 2160, 1095, 270}, {"Text3(1)", 2040, 2160, 1095, 270},
    {"Text3(2)", 3600, 2160, 1095, 270}, {"Text3(3)", 5160, 2160, 1095, 270},
    {"Text3(4)", 480, 3120, 1095, 270}, {"Text3(5)", 2040, 3120, 1095, 270},
    {"Text3(6)", 3600, 3120, 1095, 270}, {"Text3(7)", 5160, 3120, 1095, 270},
};
const std::vector<Placed> kAutoPoll = {
    {"Label6", 480, 480, 1095, 255},    {"Text4", 1800, 360, 1335, 375},
    {"Label3", 3480, 480, 975, 255},    {"Text2", 4560, 360, 1335, 375},
    {"Label2", 480, 1200, 975, 255},    {"Label4", 480, 1560, 1815, 255},
    {"Label5", 480, 2400, 1815, 255},   {"Text3(0)", 480, 1800, 1095, 270},
    {"Text3(3)", 5160, 1800, 1095, 270}, {"Text3(4)", 480, 2760, 1095, 270},
    {"Text3(7)", 5160, 2760, 1095, 270},
};
const std::vector<Placed> kTextPoll = {
    {"Label1", 960, 240, 975, 255},     {"Text1", 2040, 120, 855, 375},
    {"Command1", 3600, 120, 1095, 375}, {"Label7(0)", 360, 720, 975, 255},
    {"Text5", 1440, 720, 2655, 270},    {"Label7(1)", 360, 1200, 975, 255},
    {"Text6", 1440, 1200, 4695, 270},   {"Label6", 360, 1800, 1095, 255},
    {"Text4", 1680, 1680, 1335, 375},   {"Label3", 3360, 1800, 975, 255},
    {"Text2", 4440, 1680, 1335, 375},   {"Label2", 360, 2400, 975, 255},
    {"Label4", 360, 2760, 1815, 255},   {"Label5", 360, 3600, 1815, 255},
    {"Text3(0)", 360, 3000, 1095, 270}, {"Text3(2)", 3480, 3000, 1095, 270},
    {"Text3(5)", 1920, 3960, 1095, 270}, {"Text3(7)", 5040, 3960, 1095, 270},
};

QRect pixels(const Placed& p)
{
    return QRect(p.left / 15, p.top / 15, p.width / 15, p.height / 15);
}

void expectPlaced(const poll::Form1& form, const std::vector<Placed>& table)
{
    ASSERT_EQ(form.logicalDpiX(), 96) << "the offscreen screen is the reference 96 dpi";
    for (const Placed& p : table) {
        const QWidget* control = form.findChild<QWidget*>(QString::fromLatin1(p.name));
        ASSERT_TRUE(control) << p.name;
        EXPECT_EQ(control->geometry(), pixels(p)) << p.name;
    }
}

TEST(Form1, ControlsStandWhereTheFormPlacesThem)
{
    poll::Form1 bytepoll(poll::Program::BytePoll);
    expectPlaced(bytepoll, kBytePoll);
    EXPECT_EQ(bytepoll.size(), QSize(443, 251));

    poll::Form1 autopoll(poll::Program::AutoPoll);
    expectPlaced(autopoll, kAutoPoll);
    EXPECT_EQ(autopoll.size(), QSize(443, 251));
    for (const char* absent : {"Label1", "Text1", "Command1", "Text5", "Text6"})
        EXPECT_FALSE(autopoll.findChild<QWidget*>(QString::fromLatin1(absent))) << absent;
    EXPECT_FALSE(autopoll.Text1());

    poll::Form1 textpoll(poll::Program::TextPoll);
    expectPlaced(textpoll, kTextPoll);
    EXPECT_EQ(textpoll.size(), QSize(443, 314));

    // Controls keep their places when the window is resized.
    bytepoll.show();
    bytepoll.resize(900, 700);
    expectPlaced(bytepoll, kBytePoll);
    bytepoll.resize(200, 100);
    expectPlaced(bytepoll, kBytePoll);
}

TEST(Form1, CaptionsAndAccessibleNames)
{
    poll::Form1 form(poll::Program::TextPoll);
    EXPECT_EQ(form.windowTitle(), "Form1");
    const std::pair<const char*, const char*> labels[] = {
        {"Label1", "模块地址："}, {"Label6", "采集次数："}, {"Label3", "出错次数："},
        {"Label2", "采集数据："}, {"Label4", "channel 0-3"}, {"Label5", "channel 4-7"},
        {"Label7(0)", "输出命令："}, {"Label7(1)", "接收命令："},
    };
    for (const auto& [name, caption] : labels) {
        const auto* label = form.findChild<QLabel*>(QString::fromLatin1(name));
        ASSERT_TRUE(label) << name;
        EXPECT_EQ(label->text(), QString::fromUtf8(caption)) << name;
    }
    EXPECT_EQ(form.Command1()->text(), QString::fromUtf8("开始采集"));

    EXPECT_EQ(form.Text1()->accessibleName(), QString::fromUtf8("模块地址"));
    EXPECT_EQ(form.field(poll::Field::Text2)->accessibleName(), QString::fromUtf8("出错次数"));
    EXPECT_EQ(form.field(poll::Field::Text4)->accessibleName(), QString::fromUtf8("采集次数"));
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(form.Text3(i)->accessibleName(), QStringLiteral("channel %1").arg(i));

    // The captions need a font with Chinese characters, or they show as boxes.
    EXPECT_FALSE(QFontDatabase::families(QFontDatabase::SimplifiedChinese).isEmpty())
        << "no font for Chinese is installed";
}

TEST(Form1, TabOrderAndFirstFocus)
{
    poll::Form1 form(poll::Program::BytePoll);
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    ASSERT_TRUE(form.focusWidget());
    EXPECT_EQ(form.focusWidget()->objectName(), "Text2");

    QStringList order;
    QWidget* w = form.focusWidget();
    for (int i = 0; i < 11; ++i, w = w->nextInFocusChain()) {
        while (w->focusPolicy() == Qt::NoFocus || !w->isVisibleTo(&form))
            w = w->nextInFocusChain();
        order << w->objectName();
    }
    EXPECT_EQ(order, QStringList({"Text2", "Text3(0)", "Text3(1)", "Text3(2)", "Text3(3)", "Text3(4)",
                                  "Text3(5)", "Text3(6)", "Text3(7)", "Text4", "Command1"}));
    QTest::keyClick(&form, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget()->objectName(), "Text3(0)");
}

} // namespace
