// polltrend's follower: a recording read while a poller appends to it, and
// read afresh when it is cut short or replaced.

#include "polltrend/follower.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

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
    ui::TrendView view;
    polltrend::RecordingFollower follower(file.fileName(), view);
    ASSERT_FALSE(follower.readAll());
    EXPECT_EQ(view.sampleCount(), 1) << "a line being written is not a row yet";

    follower.follow(10ms);
    file.write(row(1, 2).mid(20) + row(2, 3));
    ASSERT_TRUE(testing_support::waitFor([&] { return view.sampleCount() == 3; }));
    EXPECT_EQ(follower.reader().skippedCount(), 0) << follower.summary().toStdString();
    EXPECT_EQ(view.history().newest().polls, 3);

    file.resize(0); // a new recording in the same file
    file.seek(0);
    file.write("time,polls,errors,checksum_ok,ch0,ch1,ch2,ch3,ch4,ch5,ch6,ch7\r\n" + row(30, 1));
    ASSERT_TRUE(testing_support::waitFor([&] { return view.sampleCount() == 1; }));
    EXPECT_EQ(view.history().newest().polls, 1);
}

} // namespace
