// Headless poller: runs the poll cycle (RTU or ASCII) on serial port 1
// without a window and prints each poll and what came of it. With --duration
// it stops by itself and prints the replies' outcomes and how well the ticks
// kept time.

#include "acquisition/acquisition.h"
#include "acquisition/commandline.h"
#include "acquisition/settings.h"
#include "acquisition/startup.h"
#include "codec/protocol.h"
#include "poll/numberformat.h"
#include "poll/poller.h"
#include "serial/portlist.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <optional>
#include <vector>

namespace {

// Prints what the poller tells, on the main thread: each poll and what came
// of it on standard output, faults on standard error; keeps the tick times
// and the replies' outcomes for the report.
class ConsolePrinter : public QObject
{
public:
    ConsolePrinter(const QElapsedTimer& clock, bool quiet) : m_clock(clock), m_quiet(quiet) {}

    void listenTo(acquisition::Acquisition& acquisition)
    {
        acquisition.addListener(this);
        poll::Poller& poller = acquisition.worker().poller();
        connect(&poller, &poll::Poller::pollSent, this, &ConsolePrinter::pollSent);
        connect(&poller, &poll::Poller::pollUnanswered, this, &ConsolePrinter::pollUnanswered);
        connect(&poller, &poll::Poller::replyTextChanged, this, &ConsolePrinter::replyText);
        connect(&poller, &poll::Poller::replyDecoded, this, &ConsolePrinter::replyDecoded);
        connect(&poller, &poll::Poller::portFault, this, &ConsolePrinter::portFault);
        connect(&poller, &poll::Poller::portFaultCleared, this,
                [] { QTextStream(stderr) << "pollcli: port back" << Qt::endl; });
        connect(&acquisition.worker(), &acquisition::AcquisitionWorker::recordFault, this,
                &ConsolePrinter::recordFault);
        if (acquisition::PublisherThread* publishing = acquisition.publisher()) {
            acquisition.publisher()->addListener(this);
            connect(&publishing->publisher(), &acquisition::Publisher::fault, this,
                    [](const acquisition::PublishFault& fault) {
                        QTextStream(stderr) << "pollcli: " << fault.text() << Qt::endl;
                    });
            connect(&publishing->publisher(), &acquisition::Publisher::faultCleared, this,
                    [] { QTextStream(stderr) << "pollcli: publishing again" << Qt::endl; });
        }
    }

    const std::vector<qint64>& tickTimes() const { return m_tickTimes; }
    int goodReplies() const { return m_goodReplies; }
    int failedReplies() const { return m_failedReplies; }
    bool recordFailed() const { return m_recordFailed; }

private:
    void pollSent(std::int32_t poll)
    {
        m_tickTimes.push_back(m_clock.nsecsElapsed());
        print(QStringLiteral("sent      poll %1").arg(poll));
    }
    void pollUnanswered(std::int32_t poll) { print(QStringLiteral("no reply  poll %1").arg(poll)); }
    void replyText(const QString& text)
    {
        if (!m_quiet)
            QTextStream(stdout) << "  reply text " << text << Qt::endl;
    }
    void replyDecoded(const poll::Sample& sample)
    {
        ++(sample.checksumOk ? m_goodReplies : m_failedReplies);
        if (m_quiet)
            return;
        QStringList values;
        for (const float value : sample.values)
            values << poll::FormatChannelNumber(value);
        print(QStringLiteral("%1  poll %2  errors %3  values %4")
                  .arg(sample.checksumOk ? QStringLiteral("reply ok")
                                         : QStringLiteral("reply FAILED checksum"))
                  .arg(sample.polls)
                  .arg(sample.errors)
                  .arg(values.join(QLatin1Char(' '))));
    }
    void portFault(const poll::LinkFault& fault)
    {
        QTextStream(stderr) << "pollcli: " << fault.text() << fault.hint() << Qt::endl;
    }
    void recordFault(const QString& why)
    {
        m_recordFailed = m_recordFailed || !why.isEmpty();
        QTextStream(stderr) << "pollcli: "
                            << (why.isEmpty() ? QStringLiteral("recording again")
                                              : "cannot record: " + why)
                            << Qt::endl;
    }
    void print(const QString& what)
    {
        if (m_quiet)
            return;
        QTextStream(stdout) << QString::number(static_cast<double>(m_clock.elapsed()) / 1000.0, 'f',
                                               3)
                            << " " << what << Qt::endl;
    }

    const QElapsedTimer& m_clock;
    bool m_quiet;
    std::vector<qint64> m_tickTimes;
    int m_goodReplies = 0;
    int m_failedReplies = 0;
    bool m_recordFailed = false; // some write did not go through: lines are missing
};

// -1 where the figure is not measured.
qint64 peakMemoryKiB()
{
#ifdef Q_OS_LINUX
    // VmHWM is Linux's peak resident set size.
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
#endif
    return -1;
}

// The process's CPU time since `start`, or -1 where it is not measured: on
// Windows the C runtime's clock() counts wall time, not CPU time.
double cpuSecondsSince(std::clock_t start)
{
#ifdef Q_OS_WIN
    Q_UNUSED(start);
    return -1;
#else
    return static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
#endif
}

QString figure(double value, int decimals, const char* unit)
{
    return value < 0
               ? QStringLiteral("not measured on this system")
               : QString::number(value, 'f', decimals) + QLatin1Char(' ') + QLatin1String(unit);
}

double toMs(qint64 nanoseconds)
{
    return static_cast<double>(nanoseconds) / 1e6;
}

void printReport(QTextStream& out, const ConsolePrinter& printer,
                 std::chrono::milliseconds interval, double cpuSeconds)
{
    const std::vector<qint64>& ticks = printer.tickTimes();
    const double period = static_cast<double>(interval.count());
    const auto sent = static_cast<qint64>(ticks.size());
    out << "requests sent:        " << sent << Qt::endl;
    out << "replies ok:           " << printer.goodReplies() << Qt::endl;
    out << "replies failed:       " << printer.failedReplies() << " (checksum)" << Qt::endl;
    // The last request's reply may still have been on its way when the run ended.
    out << "replies missing:      "
        << std::max<qint64>(sent - printer.goodReplies() - printer.failedReplies(), 0) << Qt::endl;
    // A tick that sent nothing (the link down, a server being connected)
    // leaves a gap of whole intervals between two requests: each period is
    // judged against the nearest whole number of intervals, and tick n is
    // due n intervals after the start, whether it sent or not.
    const auto intervals = [period](double ms) { return std::max(std::round(ms / period), 1.0); };
    if (ticks.size() >= 2) {
        std::vector<double> errors;
        for (std::size_t i = 1; i < ticks.size(); ++i) {
            const double ms = toMs(ticks[i] - ticks[i - 1]);
            errors.push_back(std::fabs(ms - period * intervals(ms)));
        }
        std::sort(errors.begin(), errors.end());
        const double span = toMs(ticks.back() - ticks.front());
        const double mean = span / intervals(span);
        const auto p99 = errors[std::min(errors.size() - 1, errors.size() * 99 / 100)];
        out << "mean period:          " << QString::number(mean, 'f', 3) << " ms" << Qt::endl;
        out << "p99 |period - " << period << "|: " << QString::number(p99, 'f', 3) << " ms"
            << Qt::endl;
        out << "max |period - " << period << "|: " << QString::number(errors.back(), 'f', 3)
            << " ms" << Qt::endl;
    }
    if (!ticks.empty()) {
        const double last = toMs(ticks.back());
        const double due = intervals(last);
        out << "cumulative drift:     " << QString::number(last - period * due, 'f', 3)
            << " ms after " << due << " ticks" << Qt::endl;
    }
    out << "CPU time:             " << figure(cpuSeconds, 3, "s") << Qt::endl;
    out << "peak memory (VmHWM):  " << figure(static_cast<double>(peakMemoryKiB()), 0, "KiB")
        << Qt::endl;
}

// The options pollcli adds to those every poller takes, and their values.
struct Options
{
    QCommandLineOption address{QStringLiteral("address"),
                               QStringLiteral("Module address: 0 to 255 in RTU, -32768 to 32755 "
                                              "in ASCII (the low byte goes on the line)."),
                               QStringLiteral("N"), QString::number(protocol::kDefaultAddress)};
    QCommandLineOption interval{QStringLiteral("interval"), QStringLiteral("Poll interval in ms."),
                                QStringLiteral("MS"), QString::number(poll::kPollInterval.count())};
    QCommandLineOption duration{
        QStringLiteral("duration"),
        QStringLiteral("Stop after this many seconds, whatever the interval, and print the "
                       "replies' outcomes and timing figures (on standard error with --record -)."),
        QStringLiteral("S")};
    QCommandLineOption quiet{QStringLiteral("quiet"), QStringLiteral("Print only the figures.")};
    QCommandLineOption framing{QStringLiteral("framing"),
                               QStringLiteral("rtu (binary, CRC-16) or ascii (text lines, LRC)."),
                               QStringLiteral("F"), QStringLiteral("rtu")};
};

// What the options ask for, or why they cannot be used.
struct Run
{
    poll::Framing framing = poll::Framing::Binary;
    int address = protocol::kDefaultAddress;
    int interval = static_cast<int>(poll::kPollInterval.count());
    // The run ends at its duration, whatever the interval, and waits a
    // little past it for the reply to a poll sent right at the end: half an
    // interval, at most half a second (a reply takes 22 ms at 9600 baud).
    std::optional<std::chrono::milliseconds> stopAfter;
};

std::variant<Run, QString> ReadRun(const acquisition::CommandLine& line, const Options& options)
{
    Run run;
    const QString framing = line.value(options.framing);
    if (framing != u"rtu" && framing != u"ascii")
        return QStringLiteral("--framing must be rtu or ascii");
    run.framing = framing == u"rtu" ? poll::Framing::Binary : poll::Framing::Text;
    bool ok = false;
    const poll::AddressRange range = poll::AddressRangeOf(run.framing);
    run.address = line.value(options.address).toInt(&ok);
    if (!ok || run.address < range.lowest || run.address > range.highest)
        return QStringLiteral("--address must be a whole number from %1 to %2 in %3 framing")
            .arg(range.lowest)
            .arg(range.highest)
            .arg(framing);
    run.interval = line.value(options.interval).toInt(&ok);
    if (!ok || run.interval < 1)
        return QStringLiteral("--interval must be a positive number of ms");
    if (line.isSet(options.duration)) {
        const int lastReplyWait = std::min(run.interval / 2, 500);
        const double seconds = line.value(options.duration).toDouble(&ok);
        // The stop is a timer, and a timer holds at most 2^31 - 1 ms (24.8
        // days); beyond it the run would stop at once or never.
        const double longest =
            std::floor((std::numeric_limits<int>::max() - lastReplyWait) / 1000.0);
        if (!ok || !std::isfinite(seconds) || seconds <= 0 || seconds > longest)
            return QStringLiteral("--duration must be a number of seconds above 0 and at most %1")
                .arg(longest, 0, 'f', 0);
        run.stopAfter = std::chrono::milliseconds(std::llround(seconds * 1000) + lastReplyWait);
        if (seconds * 1000 < run.interval)
            QTextStream(stderr) << "pollcli: no poll fits in --duration " << seconds
                                << " s: the first goes one --interval (" << run.interval
                                << " ms) after the start" << Qt::endl;
    }
    return run;
}

} // namespace

int main(int argc, char* argv[])
{
    acquisition::PrepareProcess();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pollcli"));
    acquisition::CommandLine line(
        {QStringLiteral("pollcli"),
         QStringLiteral("Polls the 8-channel input module on serial port 1 without a window, once "
                        "a second, and prints each request and reply; with --record, keeps the "
                        "values as CSV lines."),
         acquisition::About::Kind::Console,
         QStringLiteral("pollcli --port /dev/ttyUSB0 --record - > values.csv")});
    const Options options;
    for (const QCommandLineOption& option :
         {options.address, options.interval, options.duration, options.quiet, options.framing})
        line.addOption(option);
    if (const std::optional<int> status = line.parse(QCoreApplication::arguments()))
        return *status;
    if (line.listPorts()) {
        QTextStream(stdout) << serial::FormatPortList(serial::ListPorts());
        return 0;
    }
    // Every option is judged before the record file is opened: a refusal
    // leaves no file behind.
    const auto read = ReadRun(line, options);
    if (const QString* why = std::get_if<QString>(&read))
        return line.usageError(*why);
    const Run& run = std::get<Run>(read);
    auto opened = line.linkSettings();
    if (const int* status = std::get_if<int>(&opened))
        return *status;
    acquisition::LinkSettings& settings = std::get<acquisition::LinkSettings>(opened);
    settings.pollInterval = std::chrono::milliseconds(run.interval);
    const bool csvToStdout = line.record() == u"-";

    // The same acquisition thread as the window programs', so the figures
    // measure what they ship.
    QElapsedTimer clock;
    ConsolePrinter printer(clock, line.isSet(options.quiet) || csvToStdout);
    acquisition::Acquisition acquisition(run.framing, settings, false);
    printer.listenTo(acquisition);
    const std::clock_t cpuStart = std::clock();
    if (run.stopAfter)
        QTimer::singleShot(*run.stopAfter, &app, &QCoreApplication::quit);
    clock.start();
    acquisition.start(poll::BuildRequest(run.framing, run.address));
    const int status = QCoreApplication::exec();
    if (run.stopAfter) {
        // Standard output may be carrying the recording: the figures must not
        // become rows of it.
        QTextStream figures(csvToStdout ? stderr : stdout);
        printReport(figures, printer, settings.pollInterval, cpuSecondsSince(cpuStart));
    }
    // What is still on its way to the broker gets a moment to arrive.
    const bool published = acquisition.finishPublishing(std::chrono::seconds(2));
    // A script learns that the run did not do its work: no reply in the time
    // given (no module, wrong port or address), lines missing from the
    // record, or readings that did not reach the broker.
    const bool noReply = printer.goodReplies() + printer.failedReplies() == 0;
    if (status == 0 && ((run.stopAfter && (noReply || !published)) || printer.recordFailed()))
        return 1;
    return status;
}
