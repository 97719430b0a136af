// What leaves the trend window through its menu, read back as its reader
// would: the image files as images, the copied values and exported rows as
// a recording.

#include "poll/csvformat.h"
#include "ui/trendmenu.h"

#include <gtest/gtest.h>

#include "support/wait.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QMenu>
#include <QMimeData>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

namespace {

constexpr qint64 kT0 = 1'700'000'000'000;

// Rows back from CSV text, as polltrend reads a file.
std::vector<poll::Sample> read(const QByteArray& csv)
{
    poll::RecordingReader reader(QStringLiteral("copied"));
    reader.feed(csv);
    reader.finish();
    return reader.takeRows();
}

struct Window
{
    // A minute of readings, channel 0 counting the seconds.
    Window() : view(history), menu(view, QStringLiteral("day.csv"))
    {
        for (int t = 0; t < 60; ++t)
            history.append(poll::Sample{.timeMs = kT0 + t * 1000, .values = {float(t), 5}});
        view.setTimeWindow(kT0, kT0 + 60'000);
        menu.setErrorSink([](const QString&) {});
        menu.setFileChooser([this](ui::TrendMenu::FileKind, const QString&) { return path; });
    }
    poll::History history;
    ui::TrendView view;
    ui::TrendMenu menu;
    QString path;
};

TEST(TrendMenu, SavesByTheNamesSuffixAndRefusesWhatItCannotWrite)
{
    QTemporaryDir dir;
    Window w;
    QMenu* menu = w.menu.makeMenu();
    QAction* save = w.menu.action(ui::TrendMenu::Command::SaveImage);
    ASSERT_TRUE(menu->actions().contains(save));
    // Debian's Qt writes both; the Windows build's neither, and says so.
    const auto writes = [](const char* name) {
        return std::holds_alternative<QByteArray>(ui::ImageFormatFor(QString::fromLatin1(name)));
    };
    struct Row
    {
        const char* name;
        const char* error; // in the message when refused, nullptr when written
    };
    for (const Row& row : {Row{"trend.png", nullptr},
                           Row{"trend.jpg", writes("x.jpg") ? nullptr : ".jpg is not an image"},
                           Row{"trend.svg", writes("x.svg") ? nullptr : "no SVG writer"},
                           Row{"trend.foo", ".foo is not an image format"},
                           Row{"no/such/dir/trend.png", "no/such/dir/trend.png: "}}) {
        SCOPED_TRACE(row.name);
        w.path = dir.filePath(QString::fromLatin1(row.name));
        save->trigger();
        if (row.error) {
            EXPECT_TRUE(w.menu.lastError().contains(QString::fromLatin1(row.error)))
                << w.menu.lastError().toStdString();
            EXPECT_FALSE(QFile::exists(w.path));
            continue;
        }
        EXPECT_EQ(w.menu.lastError(), QString());
        if (w.path.endsWith(u"svg")) {
            QFile file(w.path);
            ASSERT_TRUE(file.open(QIODevice::ReadOnly));
            QXmlStreamReader xml(&file);
            ASSERT_TRUE(xml.readNextStartElement());
            EXPECT_EQ(xml.name(), QStringLiteral("svg"));
            while (!xml.atEnd())
                xml.readNext();
            EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
            continue;
        }
        const QImage image(w.path);
        EXPECT_EQ(image.size(), w.view.sizeHint());
        // The title names the file and the range shown.
        EXPECT_TRUE(image.text(QStringLiteral("Title")).startsWith(u"day.csv — "))
            << image.text(QStringLiteral("Title")).toStdString();
    }
    delete menu;
}

TEST(TrendMenu, CopiesTheValuesAtTheCursorOrBetweenTheMarkersAsCsv)
{
    Window w;
    QClipboard* clipboard = QGuiApplication::clipboard();
    const auto copied = [&] {
        return read(clipboard->mimeData()->data(QStringLiteral("text/csv")));
    };
    // At the cursor: the reading at or before it.
    ASSERT_TRUE(w.menu.copyValues(kT0 + 20'500));
    ASSERT_EQ(copied().size(), 1U);
    EXPECT_EQ(copied()[0], w.history.at(20));
    EXPECT_EQ(clipboard->text().toUtf8(), clipboard->mimeData()->data(QStringLiteral("text/csv")));

    // Between the markers, B before A as well, from the menu's action.
    w.view.setMarker(ui::TrendView::Marker::A, kT0 + 12'000);
    w.view.setMarker(ui::TrendView::Marker::B, kT0 + 10'000);
    w.menu.action(ui::TrendMenu::Command::CopyValues)->trigger();
    EXPECT_EQ(copied(), (std::vector{w.history.at(10), w.history.at(11), w.history.at(12)}));
}

// The menu covers the plot once open, and the pointer leaves it: the values
// copied are those where the right click was.
TEST(TrendMenu, TheContextMenuCopiesTheValuesWhereItOpened)
{
    Window w;
    QGuiApplication::clipboard()->clear();
    w.view.resize(800, 400);
    w.view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w.view));
    const QRect plot = w.view.plotArea(w.view.size());
    const QPoint at(plot.left() + plot.width() / 2, plot.center().y()); // 30 s in
    QTest::mouseMove(&w.view, at); // on Windows, moves the cursor: its event comes later
    ASSERT_TRUE(testing_support::waitFor([&] { return w.view.hoverTime().has_value(); }));
    QContextMenuEvent click(QContextMenuEvent::Mouse, at, w.view.mapToGlobal(at));
    QApplication::sendEvent(&w.view, &click);
    QMenu* menu = nullptr;
    ASSERT_TRUE(testing_support::waitFor(
        [&] { return (menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())); }));
    QAction* copy = w.menu.action(ui::TrendMenu::Command::CopyValues);
    copy->trigger(); // chosen while the menu is open (a click on it needs a pointer grab)
    menu->close();
    const auto rows = read(QGuiApplication::clipboard()->text().toUtf8());
    ASSERT_EQ(rows.size(), 1U) << w.menu.lastError().toStdString();
    EXPECT_NEAR(rows[0].values[0], 30, 1);
}

TEST(TrendMenu, ExportsTheRowsInViewAsARecording)
{
    QTemporaryDir dir;
    Window w;
    w.view.setTimeWindow(kT0 + 30'000, kT0 + 40'000);
    w.path = dir.filePath(QStringLiteral("rows.csv"));
    w.menu.action(ui::TrendMenu::Command::ExportRows)->trigger();
    QFile file(w.path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << w.menu.lastError().toStdString();
    const QByteArray csv = file.readAll();
    const std::vector<poll::Sample> rows = read(csv);
    ASSERT_EQ(rows.size(), 11U) << csv.toStdString();
    EXPECT_EQ(rows.front(), w.history.at(30));
    EXPECT_EQ(rows.back(), w.history.at(40));
}

} // namespace
