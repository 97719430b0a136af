// Soak run: the real comm control and poller against modsim with random
// faults, for many polls at a short interval. Afterwards the counts are
// checked against modsim's log and what was recorded here: the tick times
// (each tick flushes unsent output, sends the request and empties the
// receive buffer; window k runs from tick k to tick k + 1), when the serial
// port wrote and read, and when a reply was shown.
//
//  - Polls: every counted poll's request was read by modsim, or the next
//    tick's flush came before it got through.
//  - Replies: a reply is clean when it alone touched its window, went out
//    whole and well before the next tick (the margin stretched by how long
//    the window was held up), and reached this process in time. Every other
//    reply is ambiguous: cut by a tick, merged with another, or too near a
//    tick to say. A clean reply is shown once, as an error exactly when its
//    first 21 bytes fail the CRC: so clean <= shown <= clean + ambiguous,
//    corrupt clean <= errors <= corrupt clean + ambiguous, and window by
//    window. No window shows more replies than the bytes it can have
//    received make.
//  - Peak memory late in the run no higher than early on (plain build only).
//
//   soak [--polls N] [--interval MS] [--seed S] [--fault-rate P] [--max-delay MS]
//        [--window MS] [--keep-log FILE]
//
// Exit status 0 when every check passes, 1 when one fails, 2 for a bad
// command line.

#include "codec/rtu.h"
#include "poll/poller.h"
#include "serial/commcontrol.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
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
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Nanos = std::int64_t;
constexpr Nanos kMs = 1'000'000;
constexpr std::uint8_t kAddress = 67;
// Peak memory is first taken after this many polls, once everything the run
// needs has been set up and used.
constexpr std::size_t kMemoryMark = 1000;
constexpr long kMemoryGrowthLimitKiB = 1024;
constexpr std::size_t kShownDiagnosed = 10;

Nanos Now()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Reads a small /proc file into a stack buffer: taking a figure allocates
// nothing, so it does not move the peak memory it may be measuring.
bool ReadProc(const char* path, char (&text)[4096])
{
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    text[n > 0 ? n : 0] = '\0';
    return n > 0;
}

// Peak resident set size (VmHWM) in KiB, -1 if unknown.
long PeakResidentKiB()
{
    char text[4096];
    const char* line =
        ReadProc("/proc/self/status", text) ? std::strstr(text, "\nVmHWM:") : nullptr;
    return line ? std::strtol(line + 7, nullptr, 10) : -1;
}

// How long a process's main thread has waited for a CPU, in ns: the second
// field of /proc/PID/schedstat. 0 if unknown.
Nanos RunQueueWait(const char* schedstat)
{
    char text[4096];
    if (!ReadProc(schedstat, text))
        return 0;
    char* rest = nullptr;
    std::strtoll(text, &rest, 10); // time on a CPU
    return std::strtoll(rest, nullptr, 10);
}

struct Settings
{
    std::size_t polls = 100'000;
    int intervalMs = 5;
    unsigned long long seed = 1;
    QString faultRate = QStringLiteral("0.3");
    int maxDelayMs = 10;
    int windowMs = 2;
    QString keepLog;
};

// modsim's log, as far as the checks need it. Lines are "<seconds> <event>
// [bytes in hex]", timed when the read or the write was issued: rx (a
// request read), rx-bad, silent (a reply never sent), unsent, and the
// replies: tx, tx-corrupt, tx-late, tx-truncated, tx-split I/N (piece I of
// N), each piece when it went out. tx-stray comes in the same write as the
// tx line after it, its bytes in front.
struct Piece
{
    Nanos sent = 0;
    std::size_t reply = 0;
    std::size_t size = 0; // bytes
};

struct ModsimLog
{
    std::vector<Nanos> requests;
    std::vector<Piece> pieces;
    std::vector<std::vector<std::uint8_t>> replies; // each reply's bytes as sent, stray ones first
    std::size_t badInput = 0;
    std::size_t silent = 0;
    std::vector<std::string> problems;
};

ModsimLog ReadModsimLog(const QString& path)
{
    ModsimLog log;
    std::ifstream in(QFile::encodeName(path).toStdString());
    std::vector<std::uint8_t> stray;
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        long long seconds = 0, micros = 0;
        char dot = 0;
        std::string event, piece;
        words >> seconds >> dot >> micros >> event;
        if (event == "unsent")
            continue; // queued when the port closed: never sent
        if (event == "tx-split")
            words >> piece;
        std::vector<std::uint8_t> bytes;
        for (unsigned byte = 0; words >> std::hex >> byte;)
            bytes.push_back(static_cast<std::uint8_t>(byte));
        const Nanos at = seconds * 1'000'000'000 + micros * 1'000;
        const bool reply = event == "tx" || event == "tx-corrupt" || event == "tx-late" ||
                           event == "tx-truncated" || event == "tx-split";
        if (dot != '.' || !words.eof()) {
            log.problems.push_back(line);
        } else if (event == "rx") {
            log.requests.push_back(at);
        } else if (event == "rx-bad") {
            ++log.badInput;
        } else if (event == "silent") {
            ++log.silent;
        } else if (event == "tx-stray") {
            stray = bytes;
        } else if (event == "tx-split" && piece.rfind("1/", 0) != 0 && !log.replies.empty()) {
            log.replies.back().insert(log.replies.back().end(), bytes.begin(), bytes.end());
            log.pieces.push_back({at, log.replies.size() - 1, bytes.size()});
        } else if (reply) {
            stray.insert(stray.end(), bytes.begin(), bytes.end());
            log.pieces.push_back({at, log.replies.size(), stray.size()});
            log.replies.push_back(std::move(stray));
            stray.clear();
        } else {
            log.problems.push_back(line);
        }
    }
    return log;
}

struct Shown
{
    Nanos at = 0;
    long long errors = 0; // the error count shown
};

// The window's stand-in: the time of every counted tick (and how long this
// process and modsim had waited for a CPU by then) and of every reply shown.
// Room for all of them is taken up front: recording does not raise peak memory.
class RecordingView : public QObject
{
public:
    explicit RecordingView(std::size_t polls)
        : ticks(polls), waited(polls), modsimWaited(polls), writesAt(polls), reads(4 * polls + 64),
          shown(polls + polls / 4 + 64)
    {
    }

    std::function<void()> onTick;

    void listenTo(poll::Poller& poller)
    {
        // A tick starts when its timer fires: its request goes out before
        // the poll is told.
        if (auto* timer = poller.findChild<QTimer*>(QStringLiteral("Timer1")))
            timer->installEventFilter(this);
        connect(&poller, &poll::Poller::pollSent, this, &RecordingView::pollSent);
        connect(&poller, &poll::Poller::replyDecoded, this, &RecordingView::replyDecoded);
        connect(&poller, &poll::Poller::portFault, this, &RecordingView::portFault);
    }

    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Timer && tickCount < ticks.size()) {
            ticks[tickCount] = Now();
            waited[tickCount] = RunQueueWait("/proc/self/schedstat");
            modsimWaited[tickCount] = RunQueueWait(modsimSchedstat.c_str());
            writesAt[tickCount] = writes;
        }
        return false;
    }
    void pollSent()
    {
        ++tickCount;
        onTick();
    }
    void replyDecoded(const poll::Sample& reading)
    {
        lastErrors = reading.errors;
        if (shownCount < shown.size())
            shown[shownCount] = {Now(), lastErrors};
        ++shownCount;
    }
    void portFault(const poll::LinkFault& fault)
    {
        if (portFaults++ == 0)
            firstFault = fault.text();
    }

    std::vector<Nanos> ticks;
    std::string modsimSchedstat;
    std::vector<Nanos> waited;
    std::vector<Nanos> modsimWaited;
    std::vector<std::size_t> writesAt;
    std::size_t writes = 0;   // writes the serial port has made
    std::vector<Nanos> reads; // when the serial port read bytes
    std::size_t readCount = 0;
    std::vector<Shown> shown;
    std::size_t tickCount = 0;
    std::size_t shownCount = 0;
    long long lastErrors = 0;
    int portFaults = 0;
    QString firstFault;
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

const char* Verdict(bool ok)
{
    return ok ? "ok" : "FAIL";
}

class Soak
{
public:
    explicit Soak(Settings settings) : m_settings(std::move(settings)), m_view(m_settings.polls) {}

    ~Soak() { stopModsim(); }

    int run()
    {
        if (!m_dir.isValid())
            return fail("cannot make a temporary folder");
        // The serial port's lock file is named after the link: a name of
        // this run's own keeps parallel runs apart.
        const QString link =
            m_dir.filePath(QStringLiteral("ttySOAK") + QFileInfo(m_dir.path()).fileName());
        const QString logPath = m_dir.filePath(QStringLiteral("modsim.log"));
        if (!startModsim(link, logPath))
            return 1;
        m_view.modsimSchedstat = "/proc/" + std::to_string(m_modsim.processId()) + "/schedstat";

        qputenv("COMM_PORT1", QFile::encodeName(link));
        serial::CommControl comm;
        comm.setPortNumber(1);
        comm.setSettings(QStringLiteral("9600,N,8,1"));
        poll::Poller poller(poll::Framing::Binary, comm);
        m_view.listenTo(poller);
        // When requests left this process and replies reached it: watched,
        // never touched.
        auto* port = comm.findChild<serial::Device*>();
        if (!port)
            return fail("the comm control has no serial port to watch");
        QObject::connect(&comm, &serial::CommControl::bytesWritten, &comm,
                         [this] { ++m_view.writes; });
        QObject::connect(port, &serial::Device::readyRead, &comm, [this] {
            if (m_view.readCount < m_view.reads.size())
                m_view.reads[m_view.readCount] = Now();
            ++m_view.readCount;
        });
        poller.setInterval(std::chrono::milliseconds(m_settings.intervalMs));

        QEventLoop loop;
        bool aborted = false;
        bool modsimDied = false;
        const std::size_t mark = std::min(kMemoryMark, m_settings.polls);
        m_view.onTick = [&] {
            if (m_view.tickCount == mark)
                m_memoryAtMark = PeakResidentKiB();
            if (m_view.tickCount == m_settings.polls) {
                // Time for the last replies to go out, late or split ones too.
                poller.stop();
                QTimer::singleShot(4 * m_settings.maxDelayMs + 200, &loop, &QEventLoop::quit);
            }
        };
        // Bounded: three times the planned polling time, and at least 30 s.
        const auto planned = std::chrono::milliseconds(static_cast<long long>(m_settings.polls) *
                                                       m_settings.intervalMs);
        QTimer::singleShot(std::max<std::chrono::milliseconds>(3 * planned, planned + 30s), &loop,
                           [&] {
                               aborted = true;
                               loop.quit();
                           });
        QObject::connect(&m_modsim, &QProcess::finished, &loop, [&] {
            modsimDied = true;
            loop.quit();
        });

        const Nanos start = Now();
        poller.start(poll::BuildRequest(poll::Framing::Binary, kAddress));
        loop.exec();
        m_end = Now();
        m_waitedAtEnd = RunQueueWait("/proc/self/schedstat");
        m_modsimWaitedAtEnd = RunQueueWait(m_view.modsimSchedstat.c_str());
        m_writesAtEnd = m_view.writes;
        comm.setPortOpen(false); // nothing modsim sends from here on is counted
        const long memoryAtEnd = PeakResidentKiB();
        QObject::disconnect(&m_modsim, &QProcess::finished, nullptr, nullptr);
        stopModsim();

        if (aborted)
            return fail("aborted after " + std::to_string(m_view.tickCount) + " of " +
                        std::to_string(m_settings.polls) + " polls, over the time limit");
        if (modsimDied)
            return fail("modsim ended during the run");
        if (!m_settings.keepLog.isEmpty())
            keep(logPath);
        std::printf("soak: %zu polls at %d ms in %.1f s; modsim --random-faults %llu "
                    "--fault-rate %s --max-delay %d\n",
                    m_settings.polls, m_settings.intervalMs,
                    static_cast<double>(m_end - start) / 1e9, m_settings.seed,
                    m_settings.faultRate.toUtf8().constData(), m_settings.maxDelayMs);
        return check(poller, ReadModsimLog(logPath), memoryAtEnd);
    }

private:
    int check(const poll::Poller& poller, const ModsimLog& log, long memoryAtEnd)
    {
        // Window k (1 to n) runs from tick k to the next tick, window n to
        // the end. slotOf(t) is the window t falls in, 0 before the first
        // tick, n + 1 after the end; bounds[k] is when window k ends.
        const std::size_t n = std::min(m_view.tickCount, m_view.ticks.size());
        std::vector<Nanos> bounds(m_view.ticks.begin(), m_view.ticks.begin() + n);
        bounds.push_back(m_end);
        const auto slotOf = [&](Nanos t) {
            return static_cast<std::size_t>(std::upper_bound(bounds.begin(), bounds.end(), t) -
                                            bounds.begin());
        };
        const Nanos interval = m_settings.intervalMs * kMs;
        const Nanos margin = m_settings.windowMs * kMs;
        std::vector<int> read(n + 2, 0);
        std::vector<Nanos> readLate(n + 2, 0); // how late modsim read the window's request
        for (Nanos r : log.requests) {
            const std::size_t k = std::min(slotOf(r), n); // read after the end: the last request
            readLate[k] = read[k]++ == 0 && k > 0 ? r - bounds[k - 1] : readLate[k];
        }
        // How long window k was held up: the time this process and modsim
        // waited for a CPU in it, how late its request reached modsim (the
        // pseudo-terminal's own delay), and how much longer than an interval
        // it lasted (ticks keep to a fixed schedule: a longer window means
        // the loop could not run the timer when due).
        const auto held = [&](std::size_t k) {
            const Nanos soak = (k < n ? m_view.waited[k] : m_waitedAtEnd) - m_view.waited[k - 1];
            const Nanos modsim =
                (k < n ? m_view.modsimWaited[k] : m_modsimWaitedAtEnd) - m_view.modsimWaited[k - 1];
            const Nanos overrun =
                k < n ? std::max<Nanos>(0, bounds[k] - bounds[k - 1] - interval) : 0;
            return soak + modsim + readLate[k] + overrun;
        };

        // Polls. The next tick's flush drops a request the port has not
        // written yet, and one the pseudo-terminal has not passed on (its
        // kernel worker can wait many milliseconds for a CPU). So each
        // request modsim never read must be matched by a window in which
        // modsim read no request, and the port wrote one, or the window was
        // too short (under a millisecond: the tick took long, as the first
        // does opening the port) or held up too long (half an interval) for
        // the event loop to get a turn.
        std::size_t flushable = 0;
        for (std::size_t k = 1; k <= n; ++k) {
            const bool wrote =
                (k < n ? m_view.writesAt[k] : m_writesAtEnd) > m_view.writesAt[k - 1];
            flushable += read[k] == 0 &&
                         (wrote || bounds[k] - bounds[k - 1] < kMs || held(k) >= interval / 2);
        }
        const std::size_t requests = log.requests.size();
        const std::size_t missing = requests < n ? n - requests : 0;
        const bool pollsOk = poller.pollCount() == static_cast<long long>(m_settings.polls) &&
                             n == m_settings.polls && requests <= n && missing <= flushable &&
                             read[0] == 0 && log.badInput == 0;

        // Replies. A piece touches the window it went out in, and the next
        // one too if it went out less than the margin before the tick, the
        // margin stretched by how long the window was held up: it may be
        // flushed, or reach the port only after the flush. A window is
        // clean when one reply touches it and no other.
        constexpr long kNone = -1, kMixed = -2;
        std::vector<long> only(n + 2, kNone);
        only[0] = only[n + 1] = kMixed;
        std::vector<std::size_t> firstSlot(log.replies.size(), n + 2);
        std::vector<bool> sent(log.replies.size(), false);
        std::vector<Nanos> lastSentIn(n + 2, 0);    // the last piece to go out in each window
        std::vector<std::size_t> bytesIn(n + 3, 0); // bytes that went out in each window
        std::vector<std::size_t> passIn(n + 3, 0);  // bytes from before that may come through
        const auto touch = [&](std::size_t k, std::size_t reply) {
            long& holder = only[std::min(k, n + 1)];
            holder = holder == kNone || holder == static_cast<long>(reply)
                         ? static_cast<long>(reply)
                         : kMixed;
            std::size_t& first = firstSlot[reply];
            if (first == n + 2)
                first = std::min(k, n + 1);
            else if (first != k)
                only[first] = holder = kMixed;
        };
        for (const Piece& piece : log.pieces) {
            const std::size_t k = slotOf(piece.sent);
            sent[piece.reply] = sent[piece.reply] || k <= n;
            lastSentIn[k] = piece.sent;
            bytesIn[k] += piece.size;
            touch(k, piece.reply);
            if (k >= 1 && k <= n && bounds[k] - piece.sent < margin + held(k)) {
                touch(k + 1, piece.reply);
                passIn[k + 1] += piece.size;
            }
        }
        const std::size_t recorded = std::min(m_view.shownCount, m_view.shown.size());
        std::vector<int> shownIn(n + 2, 0);
        std::vector<long long> errorsIn(n + 2, 0);
        for (std::size_t i = 0; i < recorded; ++i) {
            const std::size_t k = slotOf(m_view.shown[i].at);
            ++shownIn[k];
            errorsIn[k] += m_view.shown[i].errors - (i > 0 ? m_view.shown[i - 1].errors : 0);
        }
        // The pseudo-terminal's kernel worker can wait many milliseconds for
        // a CPU, unseen by either process. Bytes in a window with this
        // process reading nothing after they went out, at least a
        // millisecond (plus the time the window was held up) before the
        // tick, may not have got through in time: flushed, or handed to the
        // next window, which is then ambiguous. So is their own window if it
        // showed nothing.
        const std::size_t readsKept = std::min(m_view.readCount, m_view.reads.size());
        const auto readBetween = [&](Nanos from, Nanos to) {
            const auto at =
                std::lower_bound(m_view.reads.begin(), m_view.reads.begin() + readsKept, from);
            return at != m_view.reads.begin() + readsKept && *at < to;
        };
        std::size_t late = 0;
        for (std::size_t k = 1; k <= n; ++k) {
            const Nanos last = lastSentIn[k] != 0 ? lastSentIn[k] : bounds[k - 1];
            if ((bytesIn[k] == 0 && passIn[k] == 0) || readBetween(last, bounds[k] - kMs - held(k)))
                continue;
            ++late;
            passIn[k + 1] += bytesIn[k] + passIn[k];
            only[k + 1] = only[k + 1] >= 0 ? kMixed : only[k + 1];
            only[k] = only[k] >= 0 && shownIn[k] == 0 ? kMixed : only[k];
        }
        std::size_t clean = 0, corruptClean = 0, ambiguous = 0, replies = 0;
        std::vector<bool> corrupt(log.replies.size(), false);
        for (std::size_t i = 0; i < log.replies.size(); ++i) {
            const auto decoded = rtu::DecodeReply(log.replies[i]);
            corrupt[i] = !decoded || !decoded->crcOk;
            if (!decoded) // too short to be shown
                only[firstSlot[i]] = kMixed;
            const bool isClean = only[firstSlot[i]] == static_cast<long>(i);
            replies += sent[i];
            clean += isClean;
            corruptClean += isClean && corrupt[i];
            ambiguous += sent[i] && !isClean;
        }

        // Each clean window shows its reply exactly once, the error count
        // moving by one for a corrupt reply and not at all otherwise. And
        // since every tick empties the receive buffer, no window shows more
        // replies than the bytes it can have received make, 21 bytes each.
        std::vector<std::size_t> wrong;
        std::size_t overfull = 0;
        for (std::size_t k = 1; k <= n; ++k) {
            if (only[k] >= 0 &&
                (shownIn[k] != 1 || errorsIn[k] != corrupt[static_cast<std::size_t>(only[k])]))
                wrong.push_back(k);
            overfull +=
                static_cast<std::size_t>(shownIn[k]) * rtu::kReplySize > bytesIn[k] + passIn[k];
        }
        const bool windowsOk = wrong.empty() && overfull == 0 && readsKept == m_view.readCount;

        const auto shown = static_cast<long long>(m_view.shownCount);
        const long long errors = poller.errorCount();
        const auto within = [](long long value, std::size_t low, std::size_t high) {
            return static_cast<long long>(low) <= value && value <= static_cast<long long>(high);
        };
        const bool repliesOk = within(shown, clean, clean + ambiguous) &&
                               shown <= static_cast<long long>(replies) &&
                               recorded == m_view.shownCount;
        const bool errorsOk =
            within(errors, corruptClean, corruptClean + ambiguous) && errors == m_view.lastErrors;
        const long growth = memoryAtEnd - m_memoryAtMark;
#ifdef __SANITIZE_ADDRESS__
        // AddressSanitizer keeps freed memory in quarantine: growth says
        // nothing about what the poller holds, so only the plain build checks it.
        const bool memoryOk = m_memoryAtMark > 0 && memoryAtEnd > 0;
#else
        const bool memoryOk =
            m_memoryAtMark > 0 && memoryAtEnd > 0 && growth <= kMemoryGrowthLimitKiB;
#endif
        const bool otherOk = m_view.portFaults == 0 && log.problems.empty();
        const bool pass = pollsOk && repliesOk && errorsOk && windowsOk && memoryOk && otherOk;

        std::printf("polls:    %d counted, %zu requests read by modsim, %zu flushed unread "
                    "(%zu windows could explain that)  %s\n",
                    poller.pollCount(), requests, missing, flushable, Verdict(pollsOk));
        if (log.badInput > 0 || read[0] > 0)
            std::printf("          %zu inputs modsim could not read, %d requests read before "
                        "the first tick\n",
                        log.badInput, read[0]);
        std::printf("replies:  %lld shown; modsim sent %zu (%zu silent): %zu clean, %zu "
                    "ambiguous  %s\n",
                    shown, replies, log.silent, clean, ambiguous, Verdict(repliesOk));
        std::printf("errors:   %lld counted; corrupt: %zu clean, up to %zu ambiguous  %s\n", errors,
                    corruptClean, ambiguous, Verdict(errorsOk));
        std::printf("windows:  %zu clean of %zu, %zu not showing their reply as sent, %zu "
                    "showing more than their bytes make; %zu with bytes maybe too late through "
                    "the pseudo-terminal  %s\n",
                    clean, n, wrong.size(), overfull, late, Verdict(windowsOk));
        std::printf("memory:   VmHWM %ld KiB after %zu polls, %ld KiB at the end: %+ld KiB "
                    "(limit +%ld)  %s\n",
                    m_memoryAtMark, std::min(kMemoryMark, m_settings.polls), memoryAtEnd, growth,
                    kMemoryGrowthLimitKiB, Verdict(memoryOk));
        if (m_view.portFaults > 0)
            std::printf("port:     %d faults, the first: %s  FAIL\n", m_view.portFaults,
                        m_view.firstFault.toUtf8().constData());
        for (std::size_t i = 0; i < std::min<std::size_t>(log.problems.size(), 5); ++i)
            std::printf("log:      unreadable: %s  FAIL\n", log.problems[i].c_str());
        for (std::size_t i = 0; i < std::min(wrong.size(), kShownDiagnosed); ++i) {
            const std::size_t k = wrong[i];
            const auto reply = static_cast<std::size_t>(only[k]);
            std::printf("  window %zu (%.3f ms, held up %.3f ms): reply %zu%s, shown %d times, "
                        "errors %+lld\n",
                        k, static_cast<double>(bounds[k] - bounds[k - 1]) / 1e6,
                        static_cast<double>(held(k)) / 1e6, reply + 1,
                        corrupt[reply] ? " (corrupt)" : "", shownIn[k], errorsIn[k]);
        }
        std::printf("result:   %s\n", pass ? "PASS" : "FAIL");
        return pass ? 0 : 1;
    }

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
        QTimer::singleShot(10s, &wait, &QEventLoop::quit);
        wait.exec();
        QObject::disconnect(&m_modsim, nullptr, &wait, nullptr);
        if (m_modsim.state() == QProcess::Running && QFileInfo::exists(link))
            return true;
        fail("modsim (" MODSIM_PATH ") did not come up: " + m_modsim.errorString().toStdString());
        return false;
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

    // modsim's log, and beside it the tick and shown-reply times (ns), one a line.
    void keep(const QString& logPath)
    {
        QFile::remove(m_settings.keepLog);
        QFile::copy(logPath, m_settings.keepLog);
        std::ofstream ticks(
            QFile::encodeName(m_settings.keepLog + QStringLiteral(".ticks")).toStdString());
        for (std::size_t k = 0; k < std::min(m_view.tickCount, m_view.ticks.size()); ++k)
            ticks << m_view.ticks[k] << ' ' << m_view.waited[k] << ' ' << m_view.modsimWaited[k]
                  << '\n';
        ticks << m_end << ' ' << m_waitedAtEnd << ' ' << m_modsimWaitedAtEnd << '\n';
        std::ofstream shown(
            QFile::encodeName(m_settings.keepLog + QStringLiteral(".shown")).toStdString());
        for (std::size_t i = 0; i < std::min(m_view.shownCount, m_view.shown.size()); ++i)
            shown << m_view.shown[i].at << ' ' << m_view.shown[i].errors << '\n';
    }

    Settings m_settings;
    RecordingView m_view;
    QTemporaryDir m_dir{TemporaryFolderTemplate()};
    QProcess m_modsim;
    Nanos m_end = 0;
    Nanos m_waitedAtEnd = 0;
    Nanos m_modsimWaitedAtEnd = 0;
    std::size_t m_writesAtEnd = 0;
    long m_memoryAtMark = -1;
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
    const auto option = [&](const char* name, const char* help, const char* value,
                            const char* fallback) {
        QCommandLineOption o(QString::fromLatin1(name), QString::fromLatin1(help),
                             QString::fromLatin1(value), QString::fromLatin1(fallback));
        parser.addOption(o);
        return o;
    };
    const auto polls = option("polls", "Polls to send (default 100000).", "N", "100000");
    const auto interval = option("interval", "Poll interval in ms (default 5).", "MS", "5");
    const auto seed = option("seed", "modsim's --random-faults seed (default 1).", "S", "1");
    const auto faultRate = option("fault-rate", "modsim's --fault-rate (default 0.3).", "P", "0.3");
    const auto maxDelay =
        option("max-delay", "modsim's --max-delay in ms (default 10).", "MS", "10");
    const auto window = option("window",
                               "A reply less than this before a tick, in ms, plus the time "
                               "the window was held up, is ambiguous (default 2).",
                               "MS", "2");
    const auto keepLog = option("keep-log",
                                "Copy modsim's log to FILE, the tick and shown-reply times to "
                                "FILE.ticks and FILE.shown.",
                                "FILE", "");
    parser.process(app);

    Settings settings;
    bool ok[5] = {};
    settings.polls = parser.value(polls).toULongLong(&ok[0]);
    settings.intervalMs = parser.value(interval).toInt(&ok[1]);
    settings.seed = parser.value(seed).toULongLong(&ok[2]);
    settings.maxDelayMs = parser.value(maxDelay).toInt(&ok[3]);
    settings.windowMs = parser.value(window).toInt(&ok[4]);
    settings.faultRate = parser.value(faultRate);
    settings.keepLog = parser.value(keepLog);
    if (!std::all_of(std::begin(ok), std::end(ok), [](bool b) { return b; }) ||
        settings.polls == 0 || settings.intervalMs < 1 || settings.maxDelayMs < 0 ||
        settings.windowMs < 0) {
        std::fprintf(stderr, "soak: --polls, --interval, --seed, --max-delay and --window take "
                             "whole numbers (polls and interval at least 1)\n");
        return 2;
    }
    return Soak(std::move(settings)).run();
}
