// The window of each program, checked by what must hold of its layout rather
// than against a second copy of it: every control inside the client area and
// clear of the others, the tab order the programs list, the captions, and a
// size that follows the screen's dpi (15 twips a pixel at 96 dpi). CTest runs
// it at 96 and at 144 dpi.

#include "poll/numberformat.h"
#include "poll/poller.h"
#include "ui/form1.h"

#include <gtest/gtest.h>

#include <QFontDatabase>
#include <QTest>

namespace {

struct Program
{
    const char* name;
    ui::Layout layout;
    int heightTwips; // 6645 twips wide in all three
    QStringList tabOrder;
};

const QStringList kCounterTabs = {"Text2",    "Text3(0)", "Text3(1)", "Text3(2)", "Text3(3)",
                                  "Text3(4)", "Text3(5)", "Text3(6)", "Text3(7)", "Text4"};
const Program kPrograms[] = {
    {"bytepoll", ui::Layout::BytePoll, 3765, kCounterTabs + QStringList{"Command1", "Text1"}},
    {"autopoll", ui::Layout::AutoPoll, 3765, kCounterTabs},
    {"textpoll", ui::Layout::TextPoll, 4710,
     kCounterTabs + QStringList{"Command1", "Text1", "Text5", "Text6"}},
};

// The controls a program shows: labels, fields and the button, not the
// notes that appear only when there is something to say.
QList<QWidget*> controls(const ui::Form1& form)
{
    QList<QWidget*> shown;
    for (QWidget* child : form.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
        if (child->isVisibleTo(&form))
            shown << child;
    return shown;
}

QStringList focusChain(ui::Form1& form)
{
    QStringList order;
    QWidget* first = form.focusWidget();
    QWidget* w = first;
    do {
        if (w->focusPolicy() != Qt::NoFocus && w->isVisibleTo(&form) && w != &form)
            order << w->objectName();
        w = w->nextInFocusChain();
    } while (w != first);
    return order;
}

TEST(Form1, SizeFollowsTheScreensDpi)
{
    for (const Program& program : kPrograms) {
        ui::Form1 form(program.layout);
        // Qt lays out in device-independent pixels (96 a logical inch) and
        // scales them by the screen's device pixel ratio.
        const double dpi = form.logicalDpiX() * form.devicePixelRatioF();
        if (qEnvironmentVariableIsSet("FORM_TEST_DPI")) {
            ASSERT_EQ(dpi, qEnvironmentVariableIntValue("FORM_TEST_DPI"))
                << "the screen's dpi was not taken";
        }
        EXPECT_EQ(form.toPixels(1440), form.logicalDpiX()) << "an inch";
        const QSize devicePixels = form.size() * form.devicePixelRatioF();
        EXPECT_NEAR(devicePixels.width(), 6645 * dpi / 1440, 1) << program.name;
        EXPECT_NEAR(devicePixels.height(), program.heightTwips * dpi / 1440, 1) << program.name;
        if (dpi == 96) {
            EXPECT_EQ(form.size(), QSize(443, program.heightTwips == 3765 ? 251 : 314))
                << program.name;
        }
    }
}

TEST(Form1, EveryControlLiesInsideTheClientAreaAndClearOfTheOthers)
{
    for (const Program& program : kPrograms) {
        ui::Form1 form(program.layout);
        form.show();
        const QList<QWidget*> shown = controls(form);
        ASSERT_GE(shown.size(), 15) << program.name;
        QList<QRect> before;
        for (const QWidget* a : shown) {
            EXPECT_TRUE(form.rect().contains(a->geometry()))
                << program.name << " " << a->objectName().toStdString();
            for (const QWidget* b : shown) {
                // The channel labels reach one pixel (15 twips) into the first row of fields.
                const QRect overlap = a->geometry().intersected(b->geometry());
                const bool labelEdge = (a->inherits("QLabel") || b->inherits("QLabel")) &&
                                       overlap.height() <= form.toPixels(15);
                EXPECT_TRUE(a == b || overlap.isEmpty() || labelEdge)
                    << program.name << ": " << a->objectName().toStdString() << " overlaps "
                    << b->objectName().toStdString();
            }
            before << a->geometry();
        }
        // Controls keep their places when the window is resized.
        for (const QSize size : {QSize(900, 700), QSize(200, 100)}) {
            form.resize(size);
            for (int i = 0; i < shown.size(); ++i)
                EXPECT_EQ(shown[i]->geometry(), before[i])
                    << program.name << " " << shown[i]->objectName().toStdString();
        }
    }
}

TEST(Form1, FocusStartsInText2AndFollowsTheTabIndex)
{
    for (const Program& program : kPrograms) {
        ui::Form1 form(program.layout);
        form.show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
        ASSERT_TRUE(form.focusWidget()) << program.name;
        EXPECT_EQ(focusChain(form), program.tabOrder) << program.name;
        QTest::keyClick(&form, Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget()->objectName(), "Text3(0)") << program.name;
    }
}

TEST(Form1, CaptionsAndAccessibleNames)
{
    ui::Form1 form(ui::Layout::TextPoll);
    EXPECT_EQ(form.windowTitle(), "Form1");
    const std::pair<const char*, const char*> captions[] = {
        {"Label1", "模块地址："},    {"Label6", "采集次数："},    {"Label3", "出错次数："},
        {"Label2", "采集数据："},    {"Label4", "channel 0-3"},   {"Label5", "channel 4-7"},
        {"Label7(0)", "输出命令："}, {"Label7(1)", "接收命令："}, {"Command1", "开始采集"},
    };
    for (const auto& [name, caption] : captions) {
        const QWidget* control = form.findChild<QWidget*>(QString::fromLatin1(name));
        ASSERT_TRUE(control) << name;
        EXPECT_EQ(control->property("text").toString(), QString::fromUtf8(caption)) << name;
    }
    const std::pair<const char*, const char*> fields[] = {
        {"Text1", "模块地址"}, {"Text2", "出错次数"}, {"Text4", "采集次数"},
        {"Text5", "输出命令"}, {"Text6", "接收命令"}, {"Text3(7)", "channel 7"},
    };
    for (const auto& [name, spoken] : fields)
        EXPECT_EQ(form.findChild<QWidget*>(QString::fromLatin1(name))->accessibleName(),
                  QString::fromUtf8(spoken));
    // The captions need a font with Chinese characters, or they show as boxes.
    EXPECT_FALSE(QFontDatabase::families(QFontDatabase::SimplifiedChinese).isEmpty())
        << "no font for Chinese";
}

TEST(Form1, ShowsWhatItIsGivenAndReportsTheTypedAddress)
{
    ui::Form1 form(ui::Layout::BytePoll);
    form.setAddressText(QStringLiteral("67"));
    form.showPollCount(3);
    form.showSample({.values = {0, 0, 0, 0, 0, 0, 0, -32768}, .errors = 1});
    const auto text = [&](const char* name) {
        return form.findChild<QLineEdit*>(QString::fromLatin1(name))->text();
    };
    EXPECT_EQ(text("Text1"), "67");
    EXPECT_EQ(text("Text4"), " 3");
    EXPECT_EQ(text("Text2"), "1");
    EXPECT_EQ(text("Text3(7)"), "-32768");

    QString clicked;
    QObject::connect(&form, &ui::Form1::startClicked,
                     [&](const QString& typed) { clicked = typed; });
    auto* field = form.findChild<QLineEdit*>(QStringLiteral("Text1"));
    field->clear();
    QTest::keyClicks(field, QStringLiteral("&H43"));
    QTest::mouseClick(form.findChild<QPushButton*>(QStringLiteral("Command1")), Qt::LeftButton);
    EXPECT_EQ(clicked, "&H43");

    // Notes in the captions' language, the system's reason as it gives it.
    form.showPortFault({poll::LinkError::OpenFailed, QStringLiteral("/dev/ttyUSB0"),
                        QStringLiteral("No such file")});
    EXPECT_EQ(form.portFault(),
              QString::fromUtf8(
                  "无法打开 /dev/ttyUSB0：No such file（可用 --port 或 COMM_PORT1 选择其他串口）"));
    form.showRecordFault(QStringLiteral("No space left on device"));
    const auto* strip = form.findChild<QLabel*>(QStringLiteral("faults"));
    EXPECT_TRUE(strip->toolTip().contains(form.portFault()) &&
                strip->toolTip().contains(form.recordFault()));

    // A path too long for the strip gives way before the system's reason.
    const QString path =
        "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_" + QString(80, u'A') + "-if00-port0";
    form.showRecordFault({});
    form.showPortFault({poll::LinkError::OpenFailed, path, QStringLiteral("Permission denied")});
    EXPECT_TRUE(strip->text().startsWith(QString::fromUtf8("无法打开 /dev/ser")) &&
                strip->text().contains(QString::fromUtf8("…")) &&
                strip->text().contains(QString::fromUtf8("port0：Permission denied（")))
        << strip->text().toStdString();
    EXPECT_TRUE(strip->toolTip() == form.portFault() &&
                strip->accessibleDescription() == form.portFault());
    form.clearPortFault();
    EXPECT_TRUE(form.portFault().isEmpty() && form.recordFault().isEmpty());
    EXPECT_FALSE(strip->isVisibleTo(&form));
}

// One source text a message: standard error gives it in English, word for
// word as the programs always have, the window in Chinese.
TEST(Form1, EachFaultInEnglishOnStandardErrorAndInChineseInTheWindow)
{
    using poll::LinkError;
    const std::tuple<LinkError, const char*, const char*> rows[] = {
        {LinkError::OpenFailed,
         "cannot open /dev/ttyUSB0: gone (choose the device with --port DEVICE or COMM_PORT1)",
         "无法打开 /dev/ttyUSB0：gone（可用 --port 或 COMM_PORT1 选择其他串口）"},
        {LinkError::PortLost, "/dev/ttyUSB0 lost: gone", "/dev/ttyUSB0 已断开：gone"},
        {LinkError::WriteFailed, "cannot write to /dev/ttyUSB0: gone",
         "无法写入 /dev/ttyUSB0：gone"},
        {LinkError::NotOpen, "/dev/ttyUSB0 is not open", "/dev/ttyUSB0 未打开"},
        {LinkError::OutBufferFull, "gone", "/dev/ttyUSB0：gone"},
    };
    ui::Form1 form(ui::Layout::AutoPoll);
    for (const auto& [error, english, window] : rows) {
        const poll::LinkFault fault{error, QStringLiteral("/dev/ttyUSB0"), QStringLiteral("gone")};
        EXPECT_EQ(fault.text() + fault.hint(), QString::fromUtf8(english));
        form.showPortFault(fault);
        EXPECT_EQ(form.portFault(), QString::fromUtf8(window));
    }
    const QDateTime since = QDateTime::currentDateTime();
    const QString clock = poll::FormatClockTime(since);
    EXPECT_EQ(poll::ModuleSilentText(67, since), "no reply from module 67 since " + clock);
    form.showModuleSilent(67, since);
    form.showRecordFault(QStringLiteral("disk full"));
    EXPECT_EQ(form.findChild<QLabel*>(QStringLiteral("faults"))->toolTip(),
              QString::fromUtf8("/dev/ttyUSB0：gone；模块 67 自 ") + clock +
                  QString::fromUtf8(" 起无应答；无法记录数据：disk full"));
}

} // namespace
