// polltrend's follower: a recording read while a poller appends to it, and
// read afresh when it is cut short or replaced.

#include "polltrend/follower.h"
#include "support/wait.h"
#include "ui/trendview.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QTimeZone>

#include <filesystem>
#include <functional>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

using namespace std::chrono_literals;

namespace {

QByteArray row(int second, int polls)
{
    return QStringLiteral("2026-12-09T08:00:%1.000+01:00,%2,0,1,1,2,3,4,5,6,7,8\r\n")
        .arg(second, 2, 10, QLatin1Char('0'))
        .arg(polls)
        .toLatin1();
}

TEST(RecordingFollower, TakesEachRowOnceAsTheFileGrowsAndStartsOverWhenCut)
{
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("values.csv")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    file.write("time,polls,errors,checksum_ok,ch0,ch1,ch2,ch3,ch4,ch5,ch6,ch7\r\n" + row(0, 1) +
               row(1, 2).left(20));
    poll::History view;
    polltrend::RecordingFollower follower(file.fileName(), view);
    ASSERT_FALSE(follower.readAll());
    EXPECT_EQ(view.size(), 1) << "a line being written is not a row yet";

    follower.follow(10ms);
    file.write(row(1, 2).mid(20) + row(2, 3));
    ASSERT_TRUE(testing_support::waitFor([&] { return view.size() == 3; }));
    EXPECT_EQ(follower.reader().skippedCount(), 0) << follower.summary().toStdString();
    EXPECT_EQ(view.newest().polls, 3);

    file.resize(0); // a new recording in the same file
    file.seek(0);
    file.write("time,polls,errors,checksum_ok,ch0,ch1,ch2,ch3,ch4,ch5,ch6,ch7\r\n" + row(30, 1));
    ASSERT_TRUE(testing_support::waitFor([&] { return view.size() == 1; }));
    EXPECT_EQ(view.newest().polls, 1);
}

const QByteArray kHeader = "time,polls,errors,checksum_ok,ch0,ch1,ch2,ch3,ch4,ch5,ch6,ch7\r\n";

// A recording of rows `from` to `to` (their poll counts), a second apart.
QByteArray recording(int from, int to)
{
    QByteArray bytes = kHeader;
    for (int polls = from; polls <= to; ++polls)
        bytes += row(polls % 60, polls);
    return bytes;
}

void put(const QString& path, const QByteArray& bytes, QIODevice::OpenMode mode)
{
    QFile file(path);
    ASSERT_TRUE(file.open(mode)) << qPrintable(path);
    ASSERT_EQ(file.write(bytes), bytes.size());
}

std::vector<int> pollsShown(const poll::History& view)
{
    std::vector<int> polls;
    for (qsizetype i = 0; i < view.size(); ++i)
        polls.push_back(view.at(i).polls);
    return polls;
}

TEST(RecordingFollower, ShowsExactlyTheRowsOfTheFileThePathNamesNow)
{
    using Change = std::function<void(const QString& path, polltrend::RecordingFollower&)>;
    const std::vector<int> old{1, 2, 3}, fresh{11, 12, 13, 14, 15};
    const struct
    {
        const char* name;
        Change change;
        std::vector<int> polls;
        const char* note;
    } cases[] = {
        {"appended",
         [](const QString& path, auto&) { put(path, row(4, 4) + row(5, 5), QIODevice::Append); },
         {1, 2, 3, 4, 5},
         ""},
        {"rewritten longer in place",
         [](const QString& path, auto&) { put(path, recording(11, 15), QIODevice::ReadWrite); },
         fresh, "file rewritten"},
        {"renamed over by a longer file",
         [](const QString& path, auto&) {
             put(path + ".new", recording(11, 15), QIODevice::WriteOnly);
             std::filesystem::rename(QFile::encodeName(path + ".new").toStdString(),
                                     QFile::encodeName(path).toStdString());
         },
#ifdef Q_OS_UNIX
         fresh, "file replaced"},
#else
         fresh, "file rewritten"}, // Qt tells no file's identity there, only its bytes
#endif
        {"deleted, then made again",
         [&old](const QString& path, polltrend::RecordingFollower& follower) {
             ASSERT_TRUE(QFile::remove(path));
             ASSERT_TRUE(testing_support::waitFor(
                 [&] { return follower.summary().contains("file gone, waiting for it"); }));
             EXPECT_EQ(follower.reader().rowCount(), std::ssize(old)) << "the last view stays";
             put(path, recording(11, 15), QIODevice::WriteOnly);
         },
         fresh, "file back"},
        {"truncated",
         [](const QString& path, auto&) { put(path, recording(11, 11), QIODevice::WriteOnly); },
         {11},
         "file cut short"},
#ifdef Q_OS_UNIX
        {"made a FIFO",
         [](const QString& path, auto&) {
             ASSERT_TRUE(QFile::remove(path));
             ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
         },
         old, "is a pipe or FIFO, not a file"},
#endif
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("values.csv"));
        put(path, recording(1, 3), QIODevice::WriteOnly);
        poll::History view;
        polltrend::RecordingFollower follower(path, view);
        ASSERT_FALSE(follower.readAll());
        follower.follow(50ms);
        // All at once, between two checks.
        c.change(path, follower);
        EXPECT_TRUE(testing_support::waitFor([&] {
            return pollsShown(view) == c.polls && follower.summary().contains(c.note);
        })) << follower.summary().toStdString()
            << "; rows shown: " << ::testing::PrintToString(pollsShown(view));
        EXPECT_EQ(follower.reader().rowCount(), std::ssize(c.polls)) << "no old row counted";
    }
}

// A recording made at one poll every 5 s is a line, not dots: its gaps are
// judged by its own spacing, not a fixed second's.
TEST(RecordingFollower, ARecordingAtFiveSecondsIsDrawnAsLines)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("slow.csv"));
    QByteArray bytes = kHeader;
    const QDateTime start(QDate(2026, 12, 9), QTime(8, 0), QTimeZone(3600));
    for (int i = 0; i <= 120; ++i) // ten minutes
        bytes += start.addSecs(5 * i).toString(Qt::ISODateWithMs).toLatin1() +
                 QStringLiteral(",%1,0,1,%2,2,3,4,5,6,7,8\r\n").arg(i + 1).arg(i % 7).toLatin1();
    put(path, bytes, QIODevice::WriteOnly);
    poll::History history;
    polltrend::RecordingFollower follower(path, history);
    ASSERT_FALSE(follower.readAll());
    ASSERT_EQ(history.size(), 121);
    EXPECT_EQ(history.interval(), 5s);

    ui::TrendView view(history);
    view.setTimeWindow(history.oldest().timeMs, history.newest().timeMs);
    const QSize size(800, 400);
    const QImage image = view.toImage(size);
    const QRect plot = view.plotArea(size);
    int drawn = 0;
    for (int x = plot.left() + 2; x < plot.right() - 1; ++x)
        for (int y = plot.top(); y <= plot.bottom(); ++y)
            if (const QColor pixel(image.pixel(x, y)), ink = ui::TrendView::channelColor(0);
                std::abs(pixel.red() - ink.red()) + std::abs(pixel.green() - ink.green()) +
                    std::abs(pixel.blue() - ink.blue()) <=
                30) {
                ++drawn;
                break;
            }
    EXPECT_GE(drawn, plot.width() * 95 / 100)
        << "channel 0 in " << drawn << " of " << plot.width() << " columns: dots, not a line";
}

} // namespace
