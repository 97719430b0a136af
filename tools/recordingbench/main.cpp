// How fast a recording reads back. Writes a synthetic recording with the
// recorder's own CsvLine (by default a week at 1 Hz: 604,800 rows, Berlin
// time across the end of summer time, a second run appended half-way), or
// takes an existing file, and reads it with RecordingReader several times:
// from the file in 64 KiB chunks, as a viewer following it would, and in the
// same pieces from memory, the parser alone. Prints the figures; fails if a generated
// file does not read back row for row.
//
//   recordingbench [--rows N] [--passes N] [--keep FILE]
//   recordingbench --read FILE [--passes N]

#include "acquisition/recorder.h"
#include "poll/csvformat.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimeZone>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

constexpr qint64 kWeekAt1Hz = 7 * 24 * 3600;
constexpr qint64 kChunkSize = 64 * 1024;

// A week from 2026-10-22 in Berlin: on the 25th at 03:00 the clocks go back
// to 02:00, so the local times of an hour repeat while UTC goes on.
bool Generate(const QString& path, qint64 rows)
{
    QTimeZone zone("Europe/Berlin");
    if (!zone.isValid())
        zone = QTimeZone(3600); // no time zone data here
    const qint64 startMs = QDateTime(QDate(2026, 10, 22), QTime(0, 0), zone).toMSecsSinceEpoch();
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QByteArray buffer = poll::CsvHeader();
    poll::Sample reading;
    for (qint64 i = 0; i < rows; ++i) {
        // 1 Hz with the few milliseconds of a real tick's jitter; polls
        // restart half-way, as when a second run appends to the file.
        reading.timeMs = startMs + i * 1000 + (i * 7919) % 23;
        const qint64 ofRun = i < rows / 2 ? i : i - rows / 2;
        reading.polls = static_cast<qint32>(ofRun + 1);
        reading.checksumOk = reading.polls % 1000 != 0;
        reading.errors = reading.polls / 1000;
        for (std::size_t ch = 0; ch < reading.values.size(); ++ch) {
            // Registers as the module gives them: whole 16-bit values, and
            // tenths on the last four channels.
            const double wave =
                32767 * std::sin(static_cast<double>(i) / 600.0 + static_cast<double>(ch));
            reading.values[ch] = ch < 4 ? std::round(static_cast<float>(wave))
                                        : std::round(static_cast<float>(wave)) / 10.0f;
        }
        buffer += poll::CsvLine(reading, poll::CsvColumns::ValuesAndAddress, zone);
        if (buffer.size() >= kChunkSize * 16) {
            if (file.write(buffer) != buffer.size())
                return false;
            buffer.clear();
        }
    }
    return file.write(buffer) == buffer.size();
}

struct Pass
{
    double seconds = 0;
    double cpuSeconds =
        0; // of the process; on a shared machine closer to the work than the wall time
    qint64 rows = 0;
    qint64 skipped = 0;
    QString error;
};

// Feeds the reader what `read` returns, piece by piece, up to an empty one,
// and takes the rows after each piece, as a viewer would.
template <typename Read> Pass ReadAll(const QString& name, Read read)
{
    QElapsedTimer clock;
    clock.start();
    const std::clock_t cpuStart =
        std::clock(); // CPU time, except on Windows, where it is wall time
    poll::RecordingReader reader(name);
    Pass pass;
    for (auto bytes = read(); !bytes.isEmpty(); bytes = read()) {
        reader.feed(bytes);
        pass.rows += static_cast<qint64>(reader.takeRows().size());
    }
    reader.finish();
    pass.seconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    pass.cpuSeconds = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    pass.skipped = reader.skippedCount();
    pass.error = reader.errorString();
    for (std::size_t i = 0; i < poll::kSkipReasonCount; ++i)
        if (const qint64 n = reader.skipped(poll::SkipReason(i)))
            pass.error +=
                QStringLiteral(" [%1: %2]").arg(poll::SkipReasonText(poll::SkipReason(i))).arg(n);
    return pass;
}

void Print(const char* what, const std::vector<Pass>& passes, qint64 bytes)
{
    auto [best, worst] =
        std::minmax_element(passes.begin(), passes.end(),
                            [](const Pass& a, const Pass& b) { return a.seconds < b.seconds; });
    std::printf(
        "%-26s best %6.1f ms (CPU %6.1f ms)  worst %6.1f ms  %4.0f MB/s  %4.0f ns/row  rows %lld"
        "  skipped %lld  %s\n",
        what, best->seconds * 1e3, best->cpuSeconds * 1e3, worst->seconds * 1e3,
        static_cast<double>(bytes) / 1e6 / best->seconds,
        best->rows ? best->seconds * 1e9 / static_cast<double>(best->rows) : 0.0,
        static_cast<long long>(best->rows), static_cast<long long>(best->skipped),
        qPrintable(best->error));
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Times RecordingReader on a synthetic or given recording."));
    parser.addHelpOption();
    const QCommandLineOption rowsOption(QStringLiteral("rows"),
                                        QStringLiteral("Rows to generate (604800)."),
                                        QStringLiteral("N"), QString::number(kWeekAt1Hz));
    const QCommandLineOption passesOption(QStringLiteral("passes"),
                                          QStringLiteral("Reads of each kind (5)."),
                                          QStringLiteral("N"), QStringLiteral("5"));
    const QCommandLineOption keepOption(QStringLiteral("keep"),
                                        QStringLiteral("Generate into FILE and keep it."),
                                        QStringLiteral("FILE"));
    const QCommandLineOption readOption(QStringLiteral("read"),
                                        QStringLiteral("Read FILE instead of generating."),
                                        QStringLiteral("FILE"));
    parser.addOptions({rowsOption, passesOption, keepOption, readOption});
    parser.process(app);
    const qint64 rows = parser.value(rowsOption).toLongLong();
    const int passes = std::max(1, parser.value(passesOption).toInt());

    QTemporaryDir dir;
    QString path = parser.value(readOption);
    const bool generated = path.isEmpty();
    if (generated) {
        path = parser.isSet(keepOption) ? parser.value(keepOption)
                                        : dir.filePath(QStringLiteral("week.csv"));
        QElapsedTimer clock;
        clock.start();
        if (!Generate(path, rows)) {
            std::fprintf(stderr, "recordingbench: cannot write %s\n", qPrintable(path));
            return 1;
        }
        std::printf("generated %lld rows with CsvLine in %.1f s\n", static_cast<long long>(rows),
                    static_cast<double>(clock.elapsed()) / 1e3);
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "recordingbench: cannot read %s: %s\n", qPrintable(path),
                     qPrintable(file.errorString()));
        return 1;
    }
    const qint64 size = file.size();
    std::printf("file: %s, %.1f MB\n", qPrintable(path), static_cast<double>(size) / 1e6);

    std::vector<Pass> chunked;
    for (int i = 0; i < passes; ++i) {
        file.seek(0);
        chunked.push_back(ReadAll(path, [&] { return file.read(kChunkSize); }));
    }
    Print("file in 64 KiB chunks:", chunked, size);

    // The parser alone: the same pieces from the file read into memory
    // beforehand. Only where that fits comfortably.
    if (size <= qint64(1) << 30) {
        file.seek(0);
        const QByteArray all = file.readAll();
        std::vector<Pass> inMemory;
        for (int i = 0; i < passes; ++i) {
            qint64 at = 0;
            inMemory.push_back(ReadAll(path, [&] {
                const QByteArrayView piece =
                    QByteArrayView(all).sliced(at, std::min(kChunkSize, all.size() - at));
                at += piece.size();
                return piece;
            }));
        }
        Print("memory in 64 KiB pieces:", inMemory, size);
    }

    if (generated && (chunked.front().rows != rows || chunked.front().skipped != 0)) {
        std::fprintf(stderr, "recordingbench: %lld rows written, %lld read, %lld skipped\n",
                     static_cast<long long>(rows), static_cast<long long>(chunked.front().rows),
                     static_cast<long long>(chunked.front().skipped));
        return 1;
    }
    return 0;
}
