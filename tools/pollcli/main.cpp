// Headless poller: runs the poll cycle (RTU or ASCII) on serial port 1
// without a window and prints each poll and what came of it. With --duration
// it stops by itself and prints the replies' outcomes and how well the ticks
// kept time.

#include "apps/common/acquisition.h"
#include "apps/common/commandline.h"
#include "apps/common/settings.h"
#include "apps/common/startup.h"
#include "codec/ascii.h"
#include "codec/rtu.h"
#include "poll/numberformat.h"
#include "poll/poller.h"
#include "serial/portlist.h"

#include <QCommandLineParser>
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

    void listenTo(apps::Acquisition& acquisition)
    {
        acquisition.addListener(this);
        poll::Poller& poller = acquisition.worker().poller();
        connect(&poller, &poll::Poller::pollSent, this, &ConsolePrinter::pollSent);
        connect(&poller, &poll::Poller::pollUnanswered, this, &ConsolePrinter::pollUnanswered);
        connect(&poller, &poll::Poller::replyDecoded, this, &ConsolePrinter::replyDecoded);
        connect(&poller, &poll::Poller::portFault, this, &ConsolePrinter::portFault);
        connect(&poller, &poll::Poller::portFaultCleared, this,
                [] { QTextStream(stderr) << "pollcli: port back" << Qt::endl; });
        connect(&acquisition.worker(), &apps::AcquisitionWorker::recordFault, this,
                &ConsolePrinter::recordFault);
    }

    const std::vector<qint64>& tickTimes() const { return m_tickTimes; }
    int goodReplies() const { return m_goodReplies; }
    int failedReplies() const { return m_failedReplies; }
    bool recordFailed() const { return m_recordFailed; }

private:
    void pollSent(std::int32_t poll, const QString&)
    {
        m_tickTimes.push_back(m_clock.nsecsElapsed());
        print(QStringLiteral("sent      poll %1").arg(poll));
    }
    void pollUnanswered(std::int32_t poll) { print(QStringLiteral("no reply  poll %1").arg(poll)); }
    void replyDecoded(const poll::Reading& reading)
    {
        ++(reading.checksumOk ? m_goodReplies : m_failedReplies);
        if (m_quiet)
            return;
        if (!reading.replyText.isEmpty())
            QTextStream(stdout) << "  reply text " << reading.replyText << Qt::endl;
        print(QStringLiteral("%1  poll %2  errors %3  values %4")
                  .arg(reading.checksumOk ? QStringLiteral("reply ok")
                                          : QStringLiteral("reply FAILED checksum"))
                  .arg(reading.polls)
                  .arg(reading.errorText)
                  .arg(QStringList(reading.channelTexts.begin(), reading.channelTexts.end())
                           .join(QLatin1Char(' '))));
    }
    void portFault(const serial::CommFault& fault)
    {
        QTextStream(stderr) << "pollcli: " << fault.text()
                            << (fault.error == serial::CommError::OpenFailed
                                    ? " (choose the device with --port DEVICE or COMM_PORT1)"
                                    : "")
                            << Qt::endl;
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
    if (ticks.size() >= 2) {
        std::vector<double> errors;
        for (std::size_t i = 1; i < ticks.size(); ++i)
            errors.push_back(std::fabs(toMs(ticks[i] - ticks[i - 1]) - period));
        std::sort(errors.begin(), errors.end());
        const double mean =
            toMs(ticks.back() - ticks.front()) / static_cast<double>(ticks.size() - 1);
        const auto p99 = errors[std::min(errors.size() - 1, errors.size() * 99 / 100)];
        out << "mean period:          " << QString::number(mean, 'f', 3) << " ms" << Qt::endl;
        out << "p99 |period - " << period << "|: " << QString::number(p99, 'f', 3) << " ms"
            << Qt::endl;
        out << "max |period - " << period << "|: " << QString::number(errors.back(), 'f', 3)
            << " ms" << Qt::endl;
    }
    if (!ticks.empty()) {
        // Tick n is due n intervals after the start.
        const double drift = toMs(ticks.back()) - period * static_cast<double>(ticks.size());
        out << "cumulative drift:     " << QString::number(drift, 'f', 3) << " ms after "
            << ticks.size() << " ticks" << Qt::endl;
    }
    out << "CPU time:             " << figure(cpuSeconds, 3, "s") << Qt::endl;
    out << "peak memory (VmHWM):  " << figure(static_cast<double>(peakMemoryKiB()), 0, "KiB")
        << Qt::endl;
}

} // namespace

int main(int argc, char* argv[])
{
    apps::PrepareProcess();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pollcli"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Polls the 8-channel input module on serial port 1 without a window, once a second, "
        "and prints each request and reply; with --record, keeps the values as CSV lines."));
    const auto [helpOption, versionOption, portOption, echoOption, traceOption, listPortsOption] =
        apps::MakeSharedOptions();
    const QCommandLineOption recordOption(
        QStringLiteral("record"),
        QStringLiteral("Append one CSV line per decoded reply to FILE (- for standard output): "
                       "time, polls, errors, checksum_ok, ch0 to ch7, address."),
        QStringLiteral("FILE"));
    const QCommandLineOption addressOption(QStringLiteral("address"),
                                           QStringLiteral("Module address, 0 to 255."),
                                           QStringLiteral("N"), QStringLiteral("67"));
    const QCommandLineOption intervalOption(
        QStringLiteral("interval"), QStringLiteral("Poll interval in ms."), QStringLiteral("MS"),
        QString::number(poll::kPollInterval.count()));
    const QCommandLineOption durationOption(
        QStringLiteral("duration"),
        QStringLiteral("Stop after this many seconds, whatever the interval, and print the "
                       "replies' outcomes and timing figures (on standard error with --record -)."),
        QStringLiteral("S"));
    const QCommandLineOption quietOption(QStringLiteral("quiet"),
                                         QStringLiteral("Print only the figures."));
    const QCommandLineOption framingOption(
        QStringLiteral("framing"),
        QStringLiteral("rtu (binary, CRC-16) or ascii (text lines, LRC)."), QStringLiteral("F"),
        QStringLiteral("rtu"));
    parser.addOptions({helpOption, versionOption, portOption, recordOption, addressOption,
                       intervalOption, durationOption, quietOption, framingOption, echoOption,
                       traceOption, listPortsOption});
    const QString usage =
        parser.helpText() +
        apps::PortNote(QStringLiteral("pollcli --port /dev/ttyUSB0 --record - > values.csv"));
    const bool parsed = parser.parse(QCoreApplication::arguments());
    const QString emptyValue =
        parsed ? apps::EmptyValueError(parser, {portOption, recordOption}) : QString();
    if (!parsed || !parser.positionalArguments().isEmpty() || !emptyValue.isEmpty()) {
        QTextStream(stderr) << "pollcli: "
                            << (!parsed                 ? parser.errorText()
                                : !emptyValue.isEmpty() ? emptyValue
                                                        : QStringLiteral("unexpected argument"))
                            << "\n\n"
                            << usage;
        return 2;
    }
    if (parser.isSet(helpOption)) {
        QTextStream(stdout) << usage;
        return 0;
    }
    if (parser.isSet(versionOption)) {
        QTextStream(stdout) << "pollcli " << POLLTOOLS_VERSION << Qt::endl;
        return 0;
    }
    if (parser.isSet(listPortsOption)) {
        QTextStream(stdout) << serial::FormatPortList(serial::ListPorts());
        return 0;
    }

    bool ok = false;
    const int address = parser.value(addressOption).toInt(&ok);
    if (!ok || address < 0 || address > 255) {
        QTextStream(stderr) << "pollcli: --address must be a whole number from 0 to 255"
                            << Qt::endl;
        return 2;
    }
    const int interval = parser.value(intervalOption).toInt(&ok);
    if (!ok || interval < 1) {
        QTextStream(stderr) << "pollcli: --interval must be a positive number of ms" << Qt::endl;
        return 2;
    }

    const QString framingName = parser.value(framingOption);
    if (framingName != u"rtu" && framingName != u"ascii") {
        QTextStream(stderr) << "pollcli: --framing must be rtu or ascii" << Qt::endl;
        return 2;
    }
    const auto framing = framingName == u"rtu" ? poll::Framing::Binary : poll::Framing::Text;

    // The run ends at its duration, whatever the interval, and waits a little
    // past it for the reply to a poll sent right at the end: half an
    // interval, at most half a second (a reply takes 22 ms at 9600 baud).
    const int lastReplyWait = std::min(interval / 2, 500);
    // The stop is a timer, and a timer holds at most 2^31 - 1 ms (24.8 days);
    // beyond it the run would stop at once or never.
    std::optional<std::chrono::milliseconds> stopAfter;
    if (parser.isSet(durationOption)) {
        const double seconds = parser.value(durationOption).toDouble(&ok);
        const double longest =
            std::floor((std::numeric_limits<int>::max() - lastReplyWait) / 1000.0);
        if (!ok || !std::isfinite(seconds) || seconds <= 0 || seconds > longest) {
            QTextStream(stderr)
                << "pollcli: --duration must be a number of seconds above 0 and at most "
                << QString::number(longest, 'f', 0) << Qt::endl;
            return 2;
        }
        stopAfter = std::chrono::milliseconds(std::llround(seconds * 1000) + lastReplyWait);
        if (seconds * 1000 < interval)
            QTextStream(stderr) << "pollcli: no poll fits in --duration " << seconds
                                << " s: the first goes one --interval (" << interval
                                << " ms) after the start" << Qt::endl;
    }

    apps::LinkSettings settings;
    settings.device = parser.value(portOption);
    settings.pollInterval = std::chrono::milliseconds(interval);
    settings.echo = parser.isSet(echoOption);
    settings.trace = parser.isSet(traceOption);
    if (parser.isSet(recordOption) && settings.trace) {
        if (const std::optional<QString> why =
                apps::TraceIntoRecording(parser.value(recordOption))) {
            QTextStream(stderr) << "pollcli: " << *why << Qt::endl;
            return 2;
        }
    }
    if (parser.isSet(recordOption)) {
        auto opened = poll::Recorder::Open(parser.value(recordOption));
        if (const QString* why = std::get_if<QString>(&opened)) {
            QTextStream(stderr) << "pollcli: " << *why << Qt::endl;
            return 2;
        }
        settings.recorder = std::move(std::get<std::unique_ptr<poll::Recorder>>(opened));
    }
    const bool csvToStdout = parser.value(recordOption) == u"-";

    // The same acquisition thread as the window programs', so the figures
    // measure what they ship.
    QElapsedTimer clock;
    ConsolePrinter printer(clock, parser.isSet(quietOption) || csvToStdout);
    apps::Acquisition acquisition(framing, settings, false);
    printer.listenTo(acquisition);
    QByteArray request;
    if (framing == poll::Framing::Binary) {
        const rtu::Request frame = rtu::BuildRequest(static_cast<std::uint8_t>(address));
        request = poll::toByteArray(frame);
    } else
        request =
            QByteArray::fromStdString(ascii::BuildRequest(static_cast<std::int16_t>(address)));

    const std::clock_t cpuStart = std::clock();
    if (stopAfter)
        QTimer::singleShot(*stopAfter, &app, &QCoreApplication::quit);
    clock.start();
    acquisition.start(request);
    const int status = app.exec();
    if (stopAfter) {
        // Standard output may be carrying the recording: the figures must not
        // become rows of it.
        QTextStream figures(csvToStdout ? stderr : stdout);
        printReport(figures, printer, settings.pollInterval, cpuSecondsSince(cpuStart));
    }
    // A script learns that the run did not do its work: no reply in the time
    // given (no module, wrong port or address), or lines missing from the record.
    if (status == 0 && ((stopAfter && printer.goodReplies() + printer.failedReplies() == 0) ||
                        printer.recordFailed()))
        return 1;
    return status;
}
