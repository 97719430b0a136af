// Times the trend view's redraw of ten minutes (a live window's span, where
// lines join the readings), a day and a week of readings at one a second
// into a 1200x600 image, and of views that span decades (a reading
// stamped 1970 by a module without a clock, then a day; fifty years of
// hourly readings), and weighs a sample in memory.
//   trendbench [RUNS] [PNG_FOLDER]
// Each figure is the median of RUNS (default 21). "first" draws a view not
// drawn before (the samples in view are reduced to columns), "again" draws
// the same view once more, "live" appends one reading and draws the view
// that follows it, as the window does once a second.
#include "ui/trendview.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QPainter>

#include <malloc.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <vector>

namespace {

constexpr QSize kImageSize(1200, 600);
constexpr qint64 kStartMs = 1'700'000'000'000; // 2023-11-14 22:13:20 UTC
constexpr qint64 kDayS = 86'400;

// `count` made-up readings, one a second: slow waves of different periods,
// a little noise, an unplugged minute every six hours and a failed reply
// every 1000.
std::vector<poll::Sample> readings(qint64 count)
{
    std::vector<poll::Sample> samples;
    samples.reserve(static_cast<std::size_t>(count));
    std::int32_t polls = 0;
    std::uint32_t noise = 1;
    for (qint64 i = 0; std::ssize(samples) < count; ++i) {
        if (i % (6 * 3600) < 60 && i > 60)
            continue; // unplugged: no polls
        poll::Sample s;
        s.timeMs = kStartMs + i * 1000;
        s.polls = ++polls;
        s.checksumOk = polls % 1000 != 0;
        for (std::size_t ch = 0; ch < s.values.size(); ++ch) {
            noise = noise * 1664525u + 1013904223u;
            const double period = 600.0 * static_cast<double>(ch + 1) * static_cast<double>(ch + 1);
            s.values[ch] = static_cast<float>(
                100.0 * static_cast<double>(ch) +
                40.0 * std::sin(2 * std::numbers::pi * static_cast<double>(i) / period) +
                static_cast<double>(noise >> 28));
        }
        samples.push_back(s);
    }
    return samples;
}

// Bytes malloc has handed out: small blocks from its arenas, large ones
// (such as the history's 192 KiB blocks) mapped each on its own.
std::size_t heapInUse()
{
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Wall time, and the CPU time of this thread: on a machine shared with
// other work the second is the steadier figure.
struct Stopwatch
{
    QElapsedTimer wall;
    double cpuStartMs = 0;

    static double cpuMs()
    {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
    }
    void start()
    {
        wall.start();
        cpuStartMs = cpuMs();
    }
    void stop(std::vector<double>& wallMs, std::vector<double>& cpu) const
    {
        wallMs.push_back(static_cast<double>(wall.nsecsElapsed()) / 1e6);
        cpu.push_back(cpuMs() - cpuStartMs);
    }
};

// One reading at the epoch (a device that had not set its clock), then
// `day` from kStartMs on: a span of 54 years, all but one reading in its
// last day.
std::vector<poll::Sample> fromEpoch(const std::vector<poll::Sample>& day)
{
    std::vector<poll::Sample> samples{day.front()};
    samples.front().timeMs = 0;
    for (poll::Sample s : day) {
        ++s.polls;
        samples.push_back(s);
    }
    return samples;
}

// One reading an hour for fifty years before kStartMs: 438,300 readings.
std::vector<poll::Sample> hourly(int years)
{
    const qint64 count = years * 8766LL; // 365.25 days of 24 hours
    std::vector<poll::Sample> samples = readings(count);
    for (qint64 i = 0; i < count; ++i)
        samples[static_cast<std::size_t>(i)].timeMs = kStartMs - (count - i) * 3'600'000;
    return samples;
}

// Draws the first `held` of `all`; the live draw appends the next one.
void bench(const char* name, const std::vector<poll::Sample>& all, std::size_t held, int runs,
           const QString& pngFolder)
{
    // Wall and CPU times of the first, again and live draws.
    std::array<std::vector<double>, 3> wall, cpu;
    for (int run = 0; run < runs; ++run) {
        poll::History history(static_cast<qsizetype>(held));
        history.append(std::span(all.data(), held));
        ui::TrendView trend(history);
        // The window's clock reads the newest reading's time, as when it has
        // just come in.
        trend.setClock([&trend] { return trend.history().newest().timeMs; });
        trend.setSpan(all[held - 1].timeMs -
                      all[0].timeMs); // the whole history, as it keeps moving
        QImage image(kImageSize, QImage::Format_RGB32);
        image.fill(
            Qt::white); // its pages mapped now: the first draw is not charged for the kernel's work
        QPainter painter(&image);
        Stopwatch watch;
        for (std::size_t kind = 0; kind < 3; ++kind) {
            if (kind == 2)
                history.append(all[held]); // the oldest goes
            watch.start();
            trend.render(painter, image.rect());
            watch.stop(wall[kind], cpu[kind]);
        }
        if (run == 0 && !pngFolder.isEmpty())
            image.save(pngFolder + QStringLiteral("/trend-%1.png").arg(QLatin1String(name)));
    }
    std::printf("%-4s %6zu samples, ms wall/CPU (median of %d): first %5.1f/%5.1f  again "
                "%5.1f/%5.1f  live %5.1f/%5.1f\n",
                name, held, runs, median(wall[0]), median(cpu[0]), median(wall[1]), median(cpu[1]),
                median(wall[2]), median(cpu[2]));
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int runs = args.size() > 1 ? std::max(args[1].toInt(), 1) : 21;
    const QString pngFolder = args.size() > 2 ? args[2] : QString();

    const std::vector<poll::Sample> week = readings(7 * kDayS + 1);

    // Heap the history takes for a week, as malloc counts it.
    const std::size_t before = heapInUse();
    {
        poll::History history(7 * kDayS);
        history.append(week);
        const std::size_t after = heapInUse();
        std::printf("memory %6lld samples, %.1f bytes a sample (sizeof %zu; heap %.1f MiB)\n",
                    static_cast<long long>(history.size()),
                    static_cast<double>(after - before) / static_cast<double>(history.size()),
                    sizeof(poll::Sample), static_cast<double>(after - before) / (1 << 20));
    }
    bench("10m", week, 600, runs, pngFolder); // a live window's span: a line between each two
    bench("24h", week, kDayS, runs, pngFolder);
    bench("7d", week, 7 * kDayS, runs, pngFolder);
    const std::vector<poll::Sample> epoch = fromEpoch(readings(kDayS + 1));
    bench("1970", epoch, epoch.size() - 1, runs, pngFolder);
    const std::vector<poll::Sample> years = hourly(50);
    bench("50y", years, years.size() - 1, runs, pngFolder);
    return 0;
}
