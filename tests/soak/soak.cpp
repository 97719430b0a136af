// Soak run: the real comm control and poller against modsim with random
// faults, for many polls at a short interval. Afterwards the counts the
// poller showed are checked against modsim's log, replayed against the tick
// times recorded here, and peak memory late in the run against early on.
//
//   soak [--polls N] [--interval MS] [--seed S] [--fault-rate P] [--max-delay MS]
//        [--window MS] [--keep-log FILE]
//
// Prints a summary. Exit status 0 when every check passes, 1 when one fails
// or the run is aborted, 2 for a bad command line.

#include "replay.h"

#include "codec/rtu.h"
#include "poll/poller.h"
#include "serial/commcontrol.h"
#include "serial/receivebuffer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using soak::kMillisecond;
using soak::Nanos;

static_assert(soak::kReceiveBufferSize == serial::ReceiveBuffer::kCapacity);
static_assert(soak::kReceiveBufferSize == serial::CommControl::kInBufferSize);

constexpr std::uint8_t kAddress = 67;
// Peak memory is first taken after this many polls, once everything the run
// needs has been set up and used.
constexpr std::size_t kMemoryMark = 1000;
constexpr long kMemoryGrowthLimitKiB = 1024;
// After the last tick: how often modsim's log is looked at, how long the
// port stays open once the log shows every reply out (for the poller to
// handle the last one), and how long modsim may take to get there.
constexpr auto kDrainCheck = 10ms;
constexpr Nanos kSettle = 50 * kMillisecond;
constexpr Nanos kDrainLimit = 10'000 * kMillisecond;
constexpr auto kStartLimit = 10s;
constexpr std::size_t kDiagnosedIntervals = 10;

Nanos Now()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Peak resident set size (VmHWM) in KiB, -1 if unknown. Reads into a stack
// buffer, so taking the figure does not itself move it.
long PeakResidentKiB()
{
    char status[8192];
    const int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    const ssize_t n = ::read(fd, status, sizeof status - 1);
    ::close(fd);
    if (n <= 0)
        return -1;
    status[n] = '\0';
    const char* line = std::strstr(status, "\nVmHWM:");
    return line ? std::strtol(line + 7, nullptr, 10) : -1;
}

// Time a task has spent runnable but waiting for a CPU, in ns: the second
// field of /proc/PID/schedstat. -1 if unknown. No allocation.
Nanos RunQueueDelay(const char* schedstat)
{
    char text[128];
    const int fd = ::open(schedstat, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0)
        return -1;
    text[n] = '\0';
    char* rest = nullptr;
    std::strtoll(text, &rest, 10); // time on a CPU
    const long long waited = std::strtoll(rest, &rest, 10);
    return rest && (*rest == ' ' || *rest == '\n') ? waited : -1;
}

double CpuSeconds(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct Settings
{
    std::size_t polls = 100'000;
    int intervalMs = 5;
    unsigned long long seed = 1;
    QString faultRate = QStringLiteral("0.3");
    int maxDelayMs = 10;
    int windowMs = 1;
    QString keepLog;               // copy modsim's log here
    std::size_t showDiffering = 0; // print this many differing intervals even on a pass
};

struct Handled
{
    Nanos at = 0;
    long long errors = 0; // the error count the poller showed after this reply
};

// The window's stand-in: the time of every tick and of every reply handled.
// Room for all of them is taken and filled up front, so that recording does
// not raise peak memory during the run.
class RecordingView : public poll::PollView
{
public:
    explicit RecordingView(std::size_t polls) : m_ticks(polls), m_handled(polls + polls / 4 + 64) {}

    std::function<void(std::size_t ticks)> onTick;

    void setText(poll::Field field, const QString& text) override
    {
        const Nanos now = Now();
        if (field == poll::Field::Text4) {
            if (m_tickCount < m_ticks.size())
                m_ticks[m_tickCount] = now;
            ++m_tickCount;
            if (onTick)
                onTick(m_tickCount);
        } else if (field == poll::Field::Text2) {
            if (m_handledCount < m_handled.size())
                m_handled[m_handledCount] = {now, text.toLongLong()};
            ++m_handledCount;
        }
    }
    void setChannelText(int, const QString&) override {}
    void showPortFault(const QString& text) override
    {
        if (m_portFaults++ == 0)
            m_firstFault = text;
    }
    void clearPortFault() override {}

    std::vector<Nanos> ticks() const
    {
        return {m_ticks.begin(), m_ticks.begin() + static_cast<std::ptrdiff_t>(
                                                       std::min(m_tickCount, m_ticks.size()))};
    }
    std::size_t tickCount() const { return m_tickCount; }
    Nanos lastTick() const
    {
        return m_tickCount > 0 ? m_ticks[std::min(m_tickCount, m_ticks.size()) - 1] : 0;
    }
    std::vector<Handled> handled() const
    {
        return {m_handled.begin(), m_handled.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                           m_handledCount, m_handled.size()))};
    }
    std::size_t handledCount() const { return m_handledCount; }
    bool handledOverflow() const { return m_handledCount > m_handled.size(); }
    int portFaults() const { return m_portFaults; }
    QString firstFault() const { return m_firstFault; }

private:
    std::vector<Nanos> m_ticks;
    std::vector<Handled> m_handled;
    std::size_t m_tickCount = 0;
    std::size_t m_handledCount = 0;
    int m_portFaults = 0;
    QString m_firstFault;
};

// Follows modsim's log as it grows, counting requests and replies that are
// over (sent whole, or silent), in fixed memory.
class LogTail
{
public:
    explicit LogTail(const QString& path) : m_path(QFile::encodeName(path).toStdString())
    {
        m_line.reserve(256);
    }
    ~LogTail()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    LogTail(const LogTail&) = delete;
    LogTail& operator=(const LogTail&) = delete;

    void read()
    {
        if (m_fd < 0)
            m_fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
        char chunk[16384];
        ssize_t n = 0;
        while (m_fd >= 0 && (n = ::read(m_fd, chunk, sizeof chunk)) > 0) {
            for (ssize_t i = 0; i < n; ++i) {
                if (chunk[i] != '\n') {
                    m_line += chunk[i];
                    continue;
                }
                take(m_line);
                m_line.clear();
            }
        }
    }

    std::size_t requests = 0;
    std::size_t over = 0;
    Nanos lastRequest = 0; // when the last request was read

private:
    void take(std::string_view line)
    {
        const std::size_t from = line.find(' ') + 1;
        const std::size_t to = std::min(line.find(' ', from), line.size());
        const std::string_view event = line.substr(from, to - from);
        if (event == "rx") {
            ++requests;
            lastRequest = soak::ReadLogTime(line.substr(0, from - 1)).value_or(0);
        } else if (event == "silent" || event == "tx" || event == "tx-corrupt" ||
                   event == "tx-late" || event == "tx-truncated") {
            ++over;
        } else if (event == "tx-split") {
            // "tx-split I/N ...": the reply is over with its Nth piece.
            const std::string_view of = line.substr(to + 1, line.find(' ', to + 1) - to - 1);
            const std::size_t slash = of.find('/');
            if (slash != std::string_view::npos && of.substr(0, slash) == of.substr(slash + 1))
                ++over;
        }
    }

    std::string m_path;
    int m_fd = -1;
    std::string m_line;
};

// Where the run keeps modsim's link and log: in memory where there is a
// tmpfs, since a disk slow to take a log line would hold modsim up between
// reading a request and answering it.
QString TemporaryFolderTemplate()
{
    const QFileInfo shm(QStringLiteral("/dev/shm"));
    if (shm.isDir() && shm.isWritable())
        return QStringLiteral("/dev/shm/soak-XXXXXX");
    return QDir::temp().filePath(QStringLiteral("soak-XXXXXX"));
}

QString Milliseconds(Nanos t)
{
    return QString::number(static_cast<double>(t) / 1e6, 'f', 3);
}

QByteArray SignedMilliseconds(Nanos t)
{
    return ((t >= 0 ? QStringLiteral("+") : QString()) + Milliseconds(t)).toUtf8();
}

class Soak
{
public:
    explicit Soak(Settings settings)
        : m_settings(std::move(settings)), m_view(m_settings.polls),
          m_modsimWaited(m_settings.polls, -1), m_soakWaited(m_settings.polls, -1),
          m_reads(2 * m_settings.polls + 64)
    {
    }

    int run()
    {
        const Nanos runStart = Now();
        // From here on: a script that execs this program brings the CPU time
        // of its own past children (the build) along.
        m_cpuBefore = CpuSeconds(RUSAGE_SELF);
        m_childCpuBefore = CpuSeconds(RUSAGE_CHILDREN);
        if (!m_dir.isValid())
            return fail("cannot make a temporary folder");
        // The serial port's lock file is named after the link: a name of
        // this run's own keeps parallel runs apart.
        const QString link =
            m_dir.filePath(QStringLiteral("ttySOAK") + QFileInfo(m_dir.path()).fileName());
        const QString logPath = m_dir.filePath(QStringLiteral("modsim.log"));
        if (!startModsim(link, logPath))
            return 1;

        qputenv("COMM_PORT1", QFile::encodeName(link));
        serial::CommControl comm;
        comm.setCommPort(poll::kCommPort);
        comm.setSettings(poll::kLineSettings);
        poll::Poller poller(poll::Framing::Binary, comm, m_view);
        poller.setInterval(std::chrono::milliseconds(m_settings.intervalMs));
        poller.setRequest(rtu::BuildRequest(kAddress));
        // The poller has no stop of its own: the program stops polling by
        // stopping the timer control, as the window's code would.
        auto* timer1 = poller.findChild<QTimer*>(QStringLiteral("Timer1"));
        if (!timer1)
            return fail("the poller has no timer named Timer1");

        // When the comm control read bytes from its port, and how many it
        // then held: connected after the control's own handler, which runs
        // first. Only watched, never touched.
        auto* port = comm.findChild<QSerialPort*>();
        if (!port)
            return fail("the comm control has no serial port among its children");
        QObject::connect(port, &QSerialPort::readyRead, &comm, [this, &comm] {
            if (m_readCount < m_reads.size())
                m_reads[m_readCount++] = {Now(), comm.InBufferCount()};
            else
                ++m_readCount;
        });

        QEventLoop loop;
        LogTail tail(logPath);
        QTimer drain;
        drain.setInterval(kDrainCheck);
        Nanos pollingEnd = 0;
        Nanos lastTick = 0;
        std::optional<Nanos> allOut;
        bool aborted = false;
        bool modsimDied = false;

        const std::size_t mark = std::min(kMemoryMark, m_settings.polls);
        const std::string modsimSchedstat =
            "/proc/" + std::to_string(m_modsim.processId()) + "/schedstat";
        m_view.onTick = [&](std::size_t ticks) {
            if (ticks <= m_modsimWaited.size()) {
                m_modsimWaited[ticks - 1] = RunQueueDelay(modsimSchedstat.c_str());
                m_soakWaited[ticks - 1] = RunQueueDelay("/proc/self/schedstat");
            }
            if (ticks == mark)
                m_memoryAtMark = PeakResidentKiB();
            if (ticks == m_settings.polls) {
                timer1->stop();
                lastTick = m_view.lastTick();
                pollingEnd = Now();
                drain.start();
            }
        };
        QObject::connect(&drain, &QTimer::timeout, [&] {
            tail.read();
            const Nanos now = Now();
            // The last tick's request has been read (no later tick can flush
            // it) and every reply is out.
            if (!allOut && tail.lastRequest > lastTick && tail.over >= tail.requests)
                allOut = now;
            if ((allOut && now - *allOut >= kSettle) || now - pollingEnd >= kDrainLimit) {
                drain.stop();
                loop.quit();
            }
        });
        // Bounded: three times the planned polling time, and at least 30 s.
        const auto planned = std::chrono::milliseconds(static_cast<long long>(m_settings.polls) *
                                                       m_settings.intervalMs);
        const auto limit = std::max<std::chrono::milliseconds>(3 * planned, planned + 30s);
        QTimer::singleShot(limit, &loop, [&] {
            aborted = true;
            loop.quit();
        });
        QObject::connect(&m_modsim, &QProcess::finished, &loop, [&] {
            modsimDied = true;
            loop.quit();
        });

        m_start = Now();
        poller.Start();
        loop.exec();
        const Nanos end = Now();
        m_soakWaitedAtEnd = RunQueueDelay("/proc/self/schedstat");
        comm.setPortOpen(false);
        const long memoryAtEnd = PeakResidentKiB();
        QObject::disconnect(&m_modsim, &QProcess::finished, nullptr, nullptr);
        stopModsim();
        m_soakCpu = CpuSeconds(RUSAGE_SELF) - m_cpuBefore;
        m_modsimCpu = CpuSeconds(RUSAGE_CHILDREN) - m_childCpuBefore;

        if (aborted) {
            std::printf("soak: ABORTED: %zu of %zu polls after %.1f s, over the limit of %.1f s\n",
                        m_view.tickCount(), m_settings.polls,
                        static_cast<double>(end - m_start) / 1e9,
                        static_cast<double>(limit.count()) / 1e3);
            return 1;
        }
        if (modsimDied)
            return fail(QStringLiteral("modsim ended during the run (exit status %1)")
                            .arg(m_modsim.exitCode())
                            .toStdString());
        if (!m_settings.keepLog.isEmpty())
            keep(logPath);
        return report(poller, logPath, end, memoryAtEnd, pollingEnd, Now() - runStart);
    }

private:
    int fail(const std::string& message)
    {
        std::fprintf(stderr, "soak: %s\n", message.c_str());
        stopModsim();
        return 1;
    }

    bool startModsim(const QString& link, const QString& logPath)
    {
        m_modsim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // modsim goes when this process goes, however it goes.
        m_modsim.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        m_modsim.start(QStringLiteral(MODSIM_PATH),
                       {QStringLiteral("--random-faults"), QString::number(m_settings.seed),
                        QStringLiteral("--fault-rate"), m_settings.faultRate,
                        QStringLiteral("--max-delay"), QString::number(m_settings.maxDelayMs),
                        QStringLiteral("--log"), logPath, QStringLiteral("--link"), link});
        // modsim says "modsim: serving ..." once the link is in place.
        QEventLoop wait;
        QObject::connect(&m_modsim, &QProcess::readyReadStandardOutput, &wait, [&] {
            if (m_modsim.readAllStandardOutput().contains("serving"))
                wait.quit();
        });
        QObject::connect(&m_modsim, &QProcess::finished, &wait, &QEventLoop::quit);
        QObject::connect(&m_modsim, &QProcess::errorOccurred, &wait, &QEventLoop::quit);
        QTimer::singleShot(kStartLimit, &wait, &QEventLoop::quit);
        wait.exec();
        QObject::disconnect(&m_modsim, nullptr, &wait, nullptr);
        if (m_modsim.state() != QProcess::Running || !QFileInfo::exists(link)) {
            fail("modsim (" MODSIM_PATH ") did not come up: " +
                 m_modsim.errorString().toStdString());
            return false;
        }
        return true;
    }

    // modsim's log, and beside it the tick and reply times (ns), one a line.
    void keep(const QString& logPath)
    {
        QFile::remove(m_settings.keepLog);
        QFile::copy(logPath, m_settings.keepLog);
        std::ofstream ticks(
            QFile::encodeName(m_settings.keepLog + QStringLiteral(".ticks")).toStdString());
        for (Nanos tick : m_view.ticks())
            ticks << tick << '\n';
        std::ofstream handled(
            QFile::encodeName(m_settings.keepLog + QStringLiteral(".handled")).toStdString());
        for (const Handled& h : m_view.handled())
            handled << h.at << ' ' << h.errors << '\n';
    }

    void stopModsim()
    {
        if (m_modsim.state() == QProcess::NotRunning)
            return;
        m_modsim.terminate();
        if (!m_modsim.waitForFinished(5000)) {
            m_modsim.kill();
            m_modsim.waitForFinished(5000);
        }
    }

    int report(const poll::Poller& poller, const QString& logPath, Nanos end, long memoryAtEnd,
               Nanos pollingEnd, Nanos runTime)
    {
        std::ifstream in(QFile::encodeName(logPath).toStdString());
        const soak::ModsimLog log = soak::ReadModsimLog(in);
        const std::vector<Nanos> ticks = m_view.ticks();
        const std::vector<Handled> handled = m_view.handled();
        soak::Timing timing;
        timing.start = m_start;
        timing.interval = m_settings.intervalMs * kMillisecond;
        timing.window = m_settings.windowMs * kMillisecond;
        timing.heldUp = heldUp(ticks.size());
        std::vector<Nanos> reads;
        for (std::size_t r = 0; r < std::min(m_readCount, m_reads.size()); ++r)
            reads.push_back(m_reads[r].at);
        const std::vector<Nanos> lags = soak::ReadLags(log.pieces, reads, ticks, end);
        for (std::size_t b = 0; b < timing.heldUp.size() && b < lags.size(); ++b)
            timing.heldUp[b] = std::max(timing.heldUp[b], lags[b]);
        const std::vector<std::size_t> requestTicks = soak::MatchRequests(log.requests, ticks);
        const soak::Replay replay =
            soak::ReplayPieces(log.pieces, requestTicks, ticks, end, timing);
        std::vector<Nanos> waitedPerTick(ticks.size(), 0);
        for (std::size_t k = 0; k < ticks.size(); ++k)
            waitedPerTick[k] = waited(m_modsimWaited, k) + waited(m_soakWaited, k);
        const soak::RequestAudit audit =
            soak::AuditRequests(log.requests, requestTicks, ticks, waitedPerTick, timing);

        // What the poller counted in each interval between ticks.
        std::vector<soak::Tally> actual(replay.intervals.size());
        long long shown = 0;
        for (const Handled& h : handled) {
            const auto after = std::upper_bound(ticks.begin(), ticks.end(), h.at);
            const std::size_t i =
                after == ticks.begin() ? 0 : static_cast<std::size_t>(after - ticks.begin() - 1);
            if (i < actual.size()) {
                ++actual[i].replies;
                actual[i].errors += h.errors - shown;
            }
            shown = h.errors;
        }
        std::size_t differ = 0, differUnexplained = 0;
        std::vector<std::size_t> diagnosed;
        for (std::size_t i = 0; i < actual.size(); ++i) {
            if (actual[i].replies == replay.intervals[i].replies &&
                actual[i].errors == replay.intervals[i].errors)
                continue;
            ++differ;
            if (!replay.intervalAmbiguous[i])
                ++differUnexplained;
            if (diagnosed.size() < std::max(kDiagnosedIntervals, m_settings.showDiffering))
                diagnosed.push_back(i);
        }

        const long long polls = poller.pollCount();
        const long long errors = poller.errorCount();
        const auto replies = static_cast<long long>(m_view.handledCount());
        const bool pollsOk = polls == static_cast<long long>(m_settings.polls) &&
                             m_view.tickCount() == m_settings.polls && audit.unmatched == 0 &&
                             audit.unexplained.empty() && audit.read == log.requests.size() &&
                             audit.read + audit.flushed == m_settings.polls;
        // Within what the ambiguous events allow, both as a count of them and
        // as the least and most the replay gives over their possible orders.
        const auto ambiguous = static_cast<long long>(replay.ambiguous);
        const bool repliesOk = replay.replies.admits(replies) &&
                               std::llabs(replies - replay.replies.expected) <= ambiguous &&
                               !m_view.handledOverflow();
        const bool errorsOk = replay.errors.admits(errors) &&
                              std::llabs(errors - replay.errors.expected) <= ambiguous &&
                              errors == shown;
        // An interval whose counts differ from the replay's with no write
        // near its ticks or its handler calls is a reply lost or made up;
        // a few come from delays the run cannot see (a virtual CPU held up
        // by its host), many mean a fault.
        const std::size_t unexplainedLimit = 2 + m_settings.polls / 1000;
        const bool intervalsOk = differUnexplained <= unexplainedLimit;
        const long growth = memoryAtEnd - m_memoryAtMark;
#ifdef __SANITIZE_ADDRESS__
        // AddressSanitizer keeps freed memory in quarantine: growth says
        // nothing about what the poller holds, so only the plain build checks it.
        const bool memoryOk = m_memoryAtMark > 0 && memoryAtEnd > 0;
#else
        const bool memoryOk =
            m_memoryAtMark > 0 && memoryAtEnd > 0 && growth <= kMemoryGrowthLimitKiB;
#endif
        const bool portOk = m_view.portFaults() == 0;
        const bool logOk = log.problems.empty() && log.unsent == 0;
        const bool pass =
            pollsOk && repliesOk && errorsOk && intervalsOk && memoryOk && portOk && logOk;
        const auto verdict = [](bool ok) { return ok ? "ok" : "FAIL"; };

        const auto& f = log.faults;
        std::printf(
            "soak: %zu polls at %d ms, address %u; modsim --random-faults %llu --fault-rate %s "
            "--max-delay %d\n",
            m_settings.polls, m_settings.intervalMs, kAddress, m_settings.seed,
            m_settings.faultRate.toUtf8().constData(), m_settings.maxDelayMs);
        std::printf("polls:       %lld counted, %zu read by modsim, %zu flushed unread by the next "
                    "tick (%zu of them unexplained)%s  %s\n",
                    polls, log.requests.size(), audit.flushed, audit.unexplained.size(),
                    log.badInput ? (", " + std::to_string(log.badInput) + " rx-bad").c_str() : "",
                    verdict(pollsOk));
        std::printf(
            "replies:     %lld handled, expected %lld (%lld..%lld); %zu sent by modsim  %s\n",
            replies, replay.replies.expected, replay.replies.low, replay.replies.high, log.replies,
            verdict(repliesOk));
        std::printf(
            "errors:      actual %lld, expected %lld (%lld..%lld), %zu ambiguous events  %s\n",
            errors, replay.errors.expected, replay.errors.low, replay.errors.high, replay.ambiguous,
            verdict(errorsOk));
        std::printf("intervals:   %zu, %zu differ from the replay, %zu of them with no ambiguous "
                    "event (at most %zu)  %s\n",
                    actual.size(), differ, differUnexplained, unexplainedLimit,
                    verdict(intervalsOk));
        std::printf(
            "faults:      none %zu, corrupt %zu, silent %zu, late %zu, split %zu, stray %zu\n",
            f.none, f.corrupt, f.silent, f.late, f.split, f.stray);
        std::printf("memory:      VmHWM %ld KiB after %zu polls, %ld KiB at the end: %+ld KiB "
                    "(limit +%ld)  %s\n",
                    m_memoryAtMark, std::min(kMemoryMark, m_settings.polls), memoryAtEnd, growth,
                    kMemoryGrowthLimitKiB, verdict(memoryOk));
        std::printf("wall time:   %.1f s (polling %.1f s, planned %.1f s)\n",
                    static_cast<double>(runTime) / 1e9,
                    static_cast<double>(pollingEnd - m_start) / 1e9,
                    static_cast<double>(m_settings.polls) * m_settings.intervalMs / 1e3);
        std::printf("CPU time:    soak %.2f s, modsim %.2f s\n", m_soakCpu, m_modsimCpu);
        if (!portOk)
            std::printf("port faults: %d, first: %s  FAIL\n", m_view.portFaults(),
                        m_view.firstFault().toUtf8().constData());
        if (!logOk) {
            std::printf("modsim log:  %zu unsent replies  FAIL\n", log.unsent);
            for (const std::string& problem : log.problems)
                std::printf("  %s\n", problem.c_str());
        }
        if (audit.unmatched > 0)
            std::printf("  %zu requests read by modsim match no tick\n", audit.unmatched);
        for (std::size_t k : audit.unexplained)
            std::printf("  tick %zu: request not read before %s (+%s ms), though both kept up; "
                        "waited for a CPU meanwhile: modsim %s ms, soak %s ms\n",
                        k + 1, k + 1 < ticks.size() ? "the next tick" : "the end",
                        Milliseconds((k + 1 < ticks.size() ? ticks[k + 1] : end) - ticks[k])
                            .toUtf8()
                            .constData(),
                        Milliseconds(waited(m_modsimWaited, k)).toUtf8().constData(),
                        Milliseconds(waited(m_soakWaited, k)).toUtf8().constData());
        if (!pass || m_settings.showDiffering > 0)
            diagnose(diagnosed, ticks, end, log.pieces, handled, replay, actual, timing);
        std::printf("result:      %s\n", pass ? "PASS" : "FAIL");
        return pass ? 0 : 1;
    }

    // Per tick and then for the end: how long this process waited for a CPU
    // since the tick before.
    std::vector<Nanos> heldUp(std::size_t ticks) const
    {
        std::vector<Nanos> held(ticks + 1, 0);
        for (std::size_t k = 1; k < ticks; ++k)
            held[k] = waited(m_soakWaited, k - 1);
        if (ticks > 0 && ticks <= m_soakWaited.size() && m_soakWaited[ticks - 1] >= 0 &&
            m_soakWaitedAtEnd >= 0)
            held[ticks] = m_soakWaitedAtEnd - m_soakWaited[ticks - 1];
        return held;
    }

    // Run-queue delay from tick k to tick k + 1; 0 if unknown.
    static Nanos waited(const std::vector<Nanos>& samples, std::size_t k)
    {
        if (k + 1 >= samples.size() || samples[k] < 0 || samples[k + 1] < 0)
            return 0;
        return samples[k + 1] - samples[k];
    }

    // The intervals where the poller's counts and the replay's differ: what
    // was written and handled around them, in ms from the interval's tick.
    void diagnose(const std::vector<std::size_t>& intervals, const std::vector<Nanos>& ticks,
                  Nanos end, const std::vector<soak::Piece>& pieces,
                  const std::vector<Handled>& handled, const soak::Replay& replay,
                  const std::vector<soak::Tally>& actual, const soak::Timing& timing)
    {
        for (std::size_t i : intervals) {
            const Nanos tick = ticks[i];
            const Nanos next = i + 1 < ticks.size() ? ticks[i + 1] : end;
            std::printf("  interval %zu: tick %s ms after start, next +%s ms; expected %lld/%lld, "
                        "got %lld/%lld replies/errors%s; held up %s ms, modsim waited %s ms\n",
                        i + 1, Milliseconds(tick - m_start).toUtf8().constData(),
                        Milliseconds(next - tick).toUtf8().constData(), replay.intervals[i].replies,
                        replay.intervals[i].errors, actual[i].replies, actual[i].errors,
                        replay.intervalAmbiguous[i] ? " (ambiguous)" : "",
                        Milliseconds(i + 1 < timing.heldUp.size() ? timing.heldUp[i + 1] : 0)
                            .toUtf8()
                            .constData(),
                        Milliseconds(waited(m_modsimWaited, i)).toUtf8().constData());
            for (const soak::Piece& piece : pieces) {
                if (piece.sent < tick - 3 * kMillisecond || piece.sent > next + kMillisecond)
                    continue;
                const auto reply = rtu::DecodeReply(piece.bytes);
                std::printf("    %9s ms  piece of reply %zu, %zu bytes%s\n",
                            SignedMilliseconds(piece.sent - tick).constData(), piece.request,
                            piece.bytes.size(),
                            reply ? (reply->crcOk ? ", CRC ok" : ", CRC bad") : "");
            }
            for (const Handled& h : handled)
                if (h.at >= tick - 3 * kMillisecond && h.at <= next + kMillisecond)
                    std::printf("    %9s ms  handled, errors %lld\n",
                                SignedMilliseconds(h.at - tick).constData(), h.errors);
            for (std::size_t r = 0; r < std::min(m_readCount, m_reads.size()); ++r)
                if (m_reads[r].at >= tick - 3 * kMillisecond &&
                    m_reads[r].at <= next + kMillisecond)
                    std::printf("    %9s ms  read, %d bytes held\n",
                                SignedMilliseconds(m_reads[r].at - tick).constData(),
                                m_reads[r].held);
        }
    }

    Settings m_settings;
    RecordingView m_view;
    // Run-queue delay of modsim and of this process at each tick.
    std::vector<Nanos> m_modsimWaited;
    std::vector<Nanos> m_soakWaited;
    Nanos m_soakWaitedAtEnd = -1;
    struct Read
    {
        Nanos at = 0;
        int held = 0;
    };
    std::vector<Read> m_reads;
    std::size_t m_readCount = 0;
    QTemporaryDir m_dir{TemporaryFolderTemplate()};
    QProcess m_modsim;
    Nanos m_start = 0;
    long m_memoryAtMark = -1;
    double m_cpuBefore = 0;
    double m_childCpuBefore = 0;
    double m_soakCpu = 0; // while polling and draining, not checking
    double m_modsimCpu = 0;
};

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Polls modsim with random faults through the real comm control and poller, then checks "
        "the counts against modsim's log and peak memory against early in the run."));
    parser.addHelpOption();
    const QCommandLineOption polls(QStringLiteral("polls"),
                                   QStringLiteral("Polls to send (default 100000)."),
                                   QStringLiteral("N"), QStringLiteral("100000"));
    const QCommandLineOption interval(QStringLiteral("interval"),
                                      QStringLiteral("Poll interval in ms (default 5)."),
                                      QStringLiteral("MS"), QStringLiteral("5"));
    const QCommandLineOption seed(QStringLiteral("seed"),
                                  QStringLiteral("modsim's --random-faults seed (default 1)."),
                                  QStringLiteral("S"), QStringLiteral("1"));
    const QCommandLineOption faultRate(QStringLiteral("fault-rate"),
                                       QStringLiteral("modsim's --fault-rate (default 0.3)."),
                                       QStringLiteral("P"), QStringLiteral("0.3"));
    const QCommandLineOption maxDelay(QStringLiteral("max-delay"),
                                      QStringLiteral("modsim's --max-delay in ms (default 10)."),
                                      QStringLiteral("MS"), QStringLiteral("10"));
    const QCommandLineOption window(
        QStringLiteral("window"),
        QStringLiteral("Writes this close to a tick, in ms, may have come "
                       "before or after it (default 1)."),
        QStringLiteral("MS"), QStringLiteral("1"));
    const QCommandLineOption keepLog(QStringLiteral("keep-log"),
                                     QStringLiteral("Copy modsim's log to FILE, the tick and reply "
                                                    "times to FILE.ticks and FILE.handled."),
                                     QStringLiteral("FILE"));
    const QCommandLineOption showDiffering(
        QStringLiteral("show-differing"),
        QStringLiteral("Print up to N intervals whose counts differ from the replay, pass or fail "
                       "(on a fail 10 are printed)."),
        QStringLiteral("N"), QStringLiteral("0"));
    parser.addOptions({polls, interval, seed, faultRate, maxDelay, window, keepLog, showDiffering});
    parser.process(app);

    Settings settings;
    bool ok[6] = {};
    settings.polls = parser.value(polls).toULongLong(&ok[0]);
    settings.intervalMs = parser.value(interval).toInt(&ok[1]);
    settings.seed = parser.value(seed).toULongLong(&ok[2]);
    settings.maxDelayMs = parser.value(maxDelay).toInt(&ok[3]);
    settings.windowMs = parser.value(window).toInt(&ok[4]);
    settings.showDiffering = parser.value(showDiffering).toULongLong(&ok[5]);
    settings.faultRate = parser.value(faultRate);
    settings.keepLog = parser.value(keepLog);
    if (!std::all_of(std::begin(ok), std::end(ok), [](bool b) { return b; }) ||
        settings.polls == 0 || settings.intervalMs < 1 || settings.maxDelayMs < 0 ||
        settings.windowMs < 0) {
        std::fprintf(stderr,
                     "soak: --polls, --interval, --seed, --max-delay, --window and "
                     "--show-differing take whole numbers (polls and interval at least 1)\n");
        return 2;
    }
    return Soak(std::move(settings)).run();
}
