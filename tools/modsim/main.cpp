// modsim: a simulated 8-channel Modbus input module on a pseudo-terminal or a
// serial device, for running and testing the pollers without hardware.
// One thread, one poll(2) loop; every wait is a poll timeout.

#include "module.h"
#include "options.h"
#include "port.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <unistd.h>
#include <vector>

namespace {

using modsim::Clock;
using namespace std::chrono_literals;

constexpr int kExitBadOptions = 2;
constexpr int kExitFailure = 1;
constexpr std::size_t kReadChunk = 512;
// Replies nobody reads pile up here once the pty is full; past this they
// are dropped rather than growing without bound.
constexpr std::size_t kMaxQueued = 64 * 1024;
// Noise is queued a chunk at a time, only while the queue runs low.
constexpr std::size_t kNoiseChunk = 256;
// Going away waits for the last reply to be read by the client. Bytes written
// to a pty master reach the slave's queue a moment later, so the queue is
// trusted only 20 ms after the last write; a client that never reads holds
// the module up for at most a second.
constexpr auto kAwaySettle = 20ms;
constexpr auto kAwayDrainLimit = 1000ms;
constexpr auto kAwayCheck = 10ms;
// A port that fails (device unplugged) is retried this often.
constexpr auto kReopenRetry = 1000ms;

int g_signalPipe[2] = {-1, -1};
volatile std::sig_atomic_t g_stop = 0;

extern "C" void OnSignal(int)
{
    g_stop = 1;
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

bool InstallSignals()
{
    if (pipe2(g_signalPipe, O_NONBLOCK | O_CLOEXEC) != 0)
        return false;
    struct sigaction action
    {
    };
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        if (sigaction(sig, &action, nullptr) != 0)
            return false;
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

std::string Timestamp(Clock::time_point t)
{
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch());
    char text[48];
    std::snprintf(text, sizeof text, "%lld.%06lld", static_cast<long long>(us.count() / 1'000'000),
                  static_cast<long long>(us.count() % 1'000'000));
    return text;
}

class Simulator
{
public:
    Simulator(const modsim::Options& options, std::FILE* log)
        : m_options(options), m_log(log), m_port(options.link, options.device),
          m_module(options, Clock::now(), [this](std::string_view line) { writeLog(line); }),
          m_random(static_cast<std::uint32_t>(Clock::now().time_since_epoch().count()))
    {
    }

    int run()
    {
        // Counted before the link appears, so a client that sees the link
        // knows the noise stops within noiseFor from then.
        m_noiseUntil = Clock::now() + m_options.noiseFor;
        std::string error;
        if (!m_port.open(error)) {
            std::fprintf(stderr, "modsim: %s\n", error.c_str());
            return kExitFailure;
        }
        announce();
        while (!g_stop)
            step();
        m_port.close(); // removes the link
        return 0;
    }

private:
    void step()
    {
        Clock::time_point now = Clock::now();
        m_module.expire(now);
        if (m_backAt && now >= *m_backAt)
            comeBack(now);
        if (m_port.isOpen()) {
            for (modsim::Piece& piece : m_module.takeDuePieces(now))
                queuePiece(std::move(piece));
            if (now < m_noiseUntil && m_queue.size() < kNoiseChunk)
                queueNoise();
            if (m_awayPendingSince && readyToGoAway(now))
                goAway(now);
        }

        pollfd fds[2] = {{g_signalPipe[0], POLLIN, 0}, {-1, 0, 0}};
        nfds_t count = 1;
        if (m_port.isOpen()) {
            const bool noisy = now < m_noiseUntil;
            fds[1] = {m_port.fd(),
                      static_cast<short>(POLLIN | (m_queue.empty() && !noisy ? 0 : POLLOUT)), 0};
            count = 2;
        }
        const int ready = ::poll(fds, count, timeoutMs(now));
        if (ready < 0)
            return; // EINTR: a signal; the loop condition sees it
        if (fds[0].revents & POLLIN)
            drainSignalPipe();
        if (count == 2 && fds[1].revents != 0)
            service(fds[1].revents);
    }

    void service(short revents)
    {
        const Clock::time_point now = Clock::now();
        // Log lines carry the time the read or write was issued: the bytes
        // move then, even when the call returns much later (the wakeup it
        // causes can preempt the caller inside it).
        if (revents & POLLIN) {
            std::uint8_t buffer[kReadChunk];
            const Clock::time_point readAt = Clock::now();
            const ssize_t n = read(m_port.fd(), buffer, sizeof buffer);
            if (n > 0) {
                if (m_options.logLine)
                    logLineSettings(readAt);
                if (m_options.echo)
                    echo({buffer, static_cast<std::size_t>(n)}, readAt);
                m_stamp = readAt;
                countRequests(m_module.receive({buffer, static_cast<std::size_t>(n)}, readAt),
                              readAt);
                m_stamp.reset();
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                lost(now, n == 0 ? "end of file" : std::strerror(errno));
                return;
            }
        }
        if ((revents & POLLOUT) && !m_queue.empty()) {
            const Clock::time_point writeAt = Clock::now();
            const ssize_t n = write(m_port.fd(), m_queue.data(), m_queue.size());
            if (n > 0) {
                m_queue.erase(m_queue.begin(), m_queue.begin() + n);
                m_lastWrite = now;
                m_sentTotal += static_cast<std::uint64_t>(n);
                logSent(writeAt);
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                lost(now, std::strerror(errno));
                return;
            }
        }
        if (revents & (POLLERR | POLLHUP | POLLNVAL))
            lost(now, "hangup or error");
    }

    int timeoutMs(Clock::time_point now) const
    {
        std::optional<Clock::time_point> due = m_module.deadline();
        const auto consider = [&](Clock::time_point t) {
            if (!due || t < *due)
                due = t;
        };
        if (m_backAt)
            consider(*m_backAt);
        if (now < m_noiseUntil)
            consider(m_noiseUntil);
        if (m_awayPendingSince)
            consider(now + kAwayCheck);
        if (!due)
            return -1;
        if (*due <= now)
            return 0;
        // Rounded up: waking a fraction early would only poll again at once.
        return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(*due - now).count());
    }

    void queue(const std::vector<std::uint8_t>& bytes)
    {
        const std::size_t room = kMaxQueued - std::min(kMaxQueued, m_queue.size());
        const std::size_t kept = std::min(room, bytes.size());
        m_queue.insert(m_queue.end(), bytes.begin(),
                       bytes.begin() + static_cast<std::ptrdiff_t>(kept));
        m_queuedTotal += kept;
    }

    // The piece's log lines wait until its last byte has been written, and
    // then carry the time of that write: what a reader of the log compares
    // with its own clock is when the bytes went out, not when they were due.
    void queuePiece(modsim::Piece piece)
    {
        queue(piece.bytes);
        m_pendingLog.push_back({m_queuedTotal, std::move(piece.log)});
        logSent(Clock::now());
    }

    // Queued before the module can plan its reply to these bytes, so the
    // echo goes out first, as on a two-wire line.
    void echo(std::span<const std::uint8_t> bytes, Clock::time_point now)
    {
        queuePiece({now, {bytes.begin(), bytes.end()}, {"echo " + modsim::HexBytes(bytes)}});
    }

    void logSent(Clock::time_point when)
    {
        while (!m_pendingLog.empty() && m_pendingLog.front().end <= m_sentTotal) {
            for (const std::string& line : m_pendingLog.front().lines)
                writeLogAt(when, line);
            m_pendingLog.pop_front();
        }
    }

    // The port closed with bytes still queued: their lines say they never went.
    void dropQueue(Clock::time_point now)
    {
        m_queue.clear();
        for (const PendingLog& pending : m_pendingLog)
            for (const std::string& line : pending.lines)
                writeLogAt(now, "unsent " + line);
        m_pendingLog.clear();
        m_queuedTotal = m_sentTotal = 0;
    }

    void queueNoise()
    {
        std::vector<std::uint8_t> noise(kNoiseChunk);
        for (auto& byte : noise)
            byte = static_cast<std::uint8_t>(m_random() & 0xFF);
        queue(noise);
    }

    void countRequests(std::size_t requests, Clock::time_point now)
    {
        if (m_options.awayAfter == 0 || m_awayDone || requests == 0)
            return;
        m_requestsSinceBack += requests;
        if (m_requestsSinceBack >= m_options.awayAfter && !m_awayPendingSince)
            m_awayPendingSince = now;
    }

    bool readyToGoAway(Clock::time_point now) const
    {
        if (now - *m_awayPendingSince >= kAwayDrainLimit)
            return true;
        return m_module.idle() && m_queue.empty() && now - m_lastWrite >= kAwaySettle &&
               m_port.drained();
    }

    void goAway(Clock::time_point now)
    {
        m_port.close();
        m_module.reset();
        dropQueue(now);
        m_awayPendingSince.reset();
        m_requestsSinceBack = 0;
        m_awayDone = !m_options.awayRepeat;
        m_backAt = now + m_options.awayFor;
    }

    void comeBack(Clock::time_point now)
    {
        m_backAt.reset();
        std::string error;
        if (!m_port.open(error)) {
            std::fprintf(stderr, "modsim: %s; trying again\n", error.c_str());
            m_backAt = now + kReopenRetry;
            return;
        }
        announce();
    }

    void lost(Clock::time_point now, const char* why)
    {
        std::fprintf(stderr, "modsim: port %s lost (%s); reopening\n", m_port.describe().c_str(),
                     why);
        m_port.close();
        m_module.reset();
        dropQueue(now);
        m_awayPendingSince.reset();
        m_backAt = now + kReopenRetry;
    }

    void announce()
    {
        std::printf("modsim: serving %s\n", m_port.describe().c_str());
        std::fflush(stdout);
    }

    // Looked at as each request arrives: a client sets the line before it
    // sends, and a device server (RFC 2217) on its client's word.
    void logLineSettings(Clock::time_point when)
    {
        std::string settings = m_port.lineSettings();
        if (settings != m_lineSettings)
            writeLogAt(when, "line " + settings);
        m_lineSettings = std::move(settings);
    }

    void writeLog(std::string_view line) { writeLogAt(m_stamp.value_or(Clock::now()), line); }

    void writeLogAt(Clock::time_point when, std::string_view line)
    {
        if (!m_log)
            return;
        std::fprintf(m_log, "%s %.*s\n", Timestamp(when).c_str(), static_cast<int>(line.size()),
                     line.data());
        std::fflush(m_log); // read by tests while we run
    }

    static void drainSignalPipe()
    {
        char buffer[16];
        while (read(g_signalPipe[0], buffer, sizeof buffer) > 0) {
        }
    }

    const modsim::Options& m_options;
    std::FILE* m_log;
    modsim::Port m_port;
    modsim::Module m_module;
    std::minstd_rand m_random;
    std::vector<std::uint8_t> m_queue;
    struct PendingLog
    {
        std::uint64_t end; // written once m_sentTotal reaches this
        std::vector<std::string> lines;
    };
    std::deque<PendingLog> m_pendingLog;
    std::uint64_t m_queuedTotal = 0; // bytes ever queued, and written, since the port opened
    std::uint64_t m_sentTotal = 0;
    Clock::time_point m_lastWrite{};
    Clock::time_point m_noiseUntil{};
    std::optional<Clock::time_point> m_awayPendingSince;
    std::optional<Clock::time_point> m_backAt;
    std::optional<Clock::time_point> m_stamp; // time for log lines, if not now
    std::string m_lineSettings;               // as last logged
    std::size_t m_requestsSinceBack = 0;
    bool m_awayDone = false;
};

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    const modsim::ParseResult parsed = modsim::ParseOptions(args);
    if (parsed.help) {
        std::fputs(modsim::HelpText().c_str(), stdout);
        return 0;
    }
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "modsim: %s\n", parsed.error.c_str());
        return kExitBadOptions;
    }

    std::FILE* log = nullptr;
    if (!parsed.options.logPath.empty()) {
        log = std::fopen(parsed.options.logPath.c_str(), "w");
        if (!log) {
            std::fprintf(stderr, "modsim: %s: %s\n", parsed.options.logPath.c_str(),
                         std::strerror(errno));
            return kExitFailure;
        }
    }
    if (!InstallSignals()) {
        std::fprintf(stderr, "modsim: cannot install signal handlers: %s\n", std::strerror(errno));
        return kExitFailure;
    }

    const int status = Simulator(parsed.options, log).run();
    if (log)
        std::fclose(log);
    return status;
}
