// The record of decoded replies: its CSV lines, and the file they go to.

#include "acquisition/recorder.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <QTimeZone>

namespace {

// 2026-12-08 09:05:07.045 where the offset is `offsetSeconds`.
poll::Sample sample(int offsetSeconds)
{
    return {
        .timeMs = QDateTime(QDate(2026, 12, 8), QTime(9, 5, 7, 45), QTimeZone(offsetSeconds))
                      .toMSecsSinceEpoch(),
        .values = {23.5f, -0.5f, 0.0f, -32768.0f, 3276.7f, 1e-4f, 1234567.0f, 0.1f},
        .polls = 17,
        .errors = 2,
        .address = 68,
        .checksumOk = false,
    };
}

QByteArray line(int offsetSeconds, poll::CsvColumns columns = poll::CsvColumns::ValuesAndAddress)
{
    return poll::CsvLine(sample(offsetSeconds), columns, QTimeZone(offsetSeconds));
}

TEST(CsvLine, CarriesTheTimeTheCountsAndTheValuesAsShownWithAPoint)
{
    QLocale::setDefault(QLocale(QLocale::German)); // a decimal comma on screen
    EXPECT_EQ(
        line(3600),
        "2026-12-08T09:05:07.045+01:00,17,2,0,23.5,-0.5,0,-32768,3276.7,0.0001,1234567,0.1,68\r\n");
    QLocale::setDefault(QLocale::c());
    EXPECT_TRUE(line(-(5 * 3600 + 30 * 60)).startsWith("2026-12-08T09:05:07.045-05:30,"));
    EXPECT_EQ(poll::CsvHeader(),
              "time,polls,errors,checksum_ok,ch0,ch1,ch2,ch3,ch4,ch5,ch6,ch7,address\r\n");
}

TEST(Recorder, WritesTheHeaderOnceAndAppendsRunAfterRun)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("values.csv"));
    for (int run = 0; run < 2; ++run) {
        auto opened = acquisition::Recorder::Open(path);
        ASSERT_TRUE(std::holds_alternative<std::unique_ptr<acquisition::Recorder>>(opened));
        auto& recorder = std::get<std::unique_ptr<acquisition::Recorder>>(opened);
        ASSERT_TRUE(recorder->record(sample(0)));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = file.readAll().split('\n');
        EXPECT_EQ(lines.size(), 3 + run) << "flushed as written, appended to what was there";
        EXPECT_TRUE(lines[0].startsWith("time,polls")) << run;
        EXPECT_EQ(lines.count(lines[0]), 1) << "one header";
    }
}

TEST(Recorder, AppendsToAFileOfTheFormBeforeTheAddressInThatForm)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("old.csv"));
    const QByteArray old = "time,polls,errors,checksum_ok,ch0,ch1,ch2,ch3,ch4,ch5,ch6,ch7\r\n"
                           "2026-12-08T09:05:06.045+01:00,16,2,0,1,2,3,4,5,6,7,8\r\n";
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(old);
    }
    auto opened = acquisition::Recorder::Open(path);
    ASSERT_TRUE(std::holds_alternative<std::unique_ptr<acquisition::Recorder>>(opened));
    ASSERT_TRUE(std::get<std::unique_ptr<acquisition::Recorder>>(opened)->record(sample(3600)));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray written = file.readAll();
    EXPECT_TRUE(written.startsWith(old + "2026-12-08T") &&
                written.endsWith(",17,2,0,23.5,-0.5,0,-32768,3276.7,0.0001,1234567,0.1\r\n"))
        << written.toStdString();
}

TEST(Recorder, SaysWhyAFileCannotBeOpenedAndReportsAFailedWrite)
{
    auto missing = acquisition::Recorder::Open(QStringLiteral("/nonexistent/dir/values.csv"));
    ASSERT_TRUE(std::holds_alternative<QString>(missing));
    EXPECT_TRUE(std::get<QString>(missing).contains("/nonexistent/dir/values.csv"));

    auto full = acquisition::Recorder::Open(QStringLiteral("/dev/full"));
    ASSERT_TRUE(std::holds_alternative<std::unique_ptr<acquisition::Recorder>>(full));
    auto& recorder = std::get<std::unique_ptr<acquisition::Recorder>>(full);
    EXPECT_FALSE(recorder->record(sample(0)));
    EXPECT_FALSE(recorder->errorString().isEmpty());
    EXPECT_FALSE(recorder->record(sample(0))) << "tried again, still full";
}

} // namespace
