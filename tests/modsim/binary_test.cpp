// The real modsim binary across a pseudo-terminal: served requests in both
// framings, named and random faults as they reach the wire and the log, the
// link going away and coming back, and no CPU spent while idle.

#include "harness.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <iterator>
#include <map>
#include <poll.h>
#include <regex>
#include <sstream>
#include <unistd.h>

using namespace modsim;
using namespace modsim::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

TEST(ModsimBinary, ServesRtuAndCleansUp)
{
    ModsimProcess sim({"--values", kSampleValuesArg});
    ASSERT_TRUE(sim.ready());
    {
        Client client(sim.link);
        ASSERT_TRUE(client.isOpen());
        // Someone else's request first: no answer, then ours is answered.
        ASSERT_TRUE(client.send(FromHex("44 04 00 00 00 08 FF 59")));
        EXPECT_TRUE(client.receive(1, 300ms).empty());
        ASSERT_TRUE(client.send(kRequest67));
        EXPECT_EQ(client.receive(21), kReply67);
        // Out of range: exception 02.
        ASSERT_TRUE(client.send(FromHex("43 04 00 00 00 09 3F 2E")));
        EXPECT_EQ(client.receive(5), FromHex("43 84 02 62 D5"));
    }
    // The client closed its end; a new client is served as before.
    {
        Client again(sim.link);
        ASSERT_TRUE(again.send(kRequest67));
        EXPECT_EQ(again.receive(21), kReply67);
    }
    const std::regex announce("modsim: serving /dev/pts/[0-9]+ as " + sim.link + "\n");
    EXPECT_TRUE(std::regex_match(ReadFile(sim.out), announce)) << ReadFile(sim.out);
    // A log line follows its bytes onto the wire; once modsim has stopped the
    // log holds every line.
    EXPECT_EQ(sim.stop(), 0);

    // Every line "<seconds, six decimals> <event> <bytes>", in the order above.
    const std::string time = "[0-9]+\\.[0-9]{6} ";
    const std::string ours =
        time + "rx " + HexBytes(kRequest67) + "\n" + time + "tx " + HexBytes(kReply67) + "\n";
    const std::regex log(time + "rx 44 04 00 00 00 08 FF 59\n" + ours + time +
                         "rx 43 04 00 00 00 09 3F 2E\n" + time + "tx 43 84 02 62 D5\n" + ours);
    EXPECT_TRUE(std::regex_match(ReadFile(sim.log), log)) << ReadFile(sim.log);
    EXPECT_FALSE(Exists(sim.link));
}

TEST(ModsimBinary, ServesAscii)
{
    ModsimProcess sim({"--framing", "ascii", "--values", kSampleValuesArg});
    ASSERT_TRUE(sim.ready());
    Client client(sim.link);
    ASSERT_TRUE(client.send(FromText("noise:430400000008B1\r\n")));
    EXPECT_EQ(client.receive(43), FromText(kAsciiReply67));
    EXPECT_EQ(sim.stop(), 0);
}

TEST(ModsimBinary, CorruptsEverySecondReply)
{
    ModsimProcess sim({"--values", kSampleValuesArg, "--corrupt-every", "2"});
    ASSERT_TRUE(sim.ready());
    Client client(sim.link);
    for (int i = 1; i <= 3; ++i) {
        ASSERT_TRUE(client.send(kRequest67));
        EXPECT_EQ(client.receive(21), i == 2 ? kCorruptReply67 : kReply67) << "reply " << i;
    }
    EXPECT_EQ(sim.stop(), 0);
}

TEST(ModsimBinary, SilentLogsButNeverAnswers)
{
    ModsimProcess sim({"--silent"});
    ASSERT_TRUE(sim.ready());
    Client client(sim.link);
    ASSERT_TRUE(client.send(kRequest67));
    EXPECT_TRUE(WaitFor([&] {
        return ReadFile(sim.log).find(" rx 43 04 00 00 00 08 FE EE\n") != std::string::npos;
    }));
    EXPECT_TRUE(client.receive(1, 300ms).empty());
    EXPECT_EQ(ReadFile(sim.log).find(" tx"), std::string::npos);
    EXPECT_EQ(sim.stop(), 0);
}

TEST(ModsimBinary, DelaysAndSplitsTheReply)
{
    ModsimProcess sim({"--values", kSampleValuesArg, "--delay", "150", "--split", "3:50"});
    ASSERT_TRUE(sim.ready());
    Client client(sim.link);
    const auto sent = Clock::now();
    ASSERT_TRUE(client.send(kRequest67));
    // Pieces of 7 bytes at 150, 200 and 250 ms; each read returns what has
    // arrived, so the first one holds the first piece (two, if this test
    // stalled for 50 ms).
    const Bytes first = client.receiveSome(21);
    EXPECT_GE(Clock::now() - sent, 150ms);
    EXPECT_TRUE(first.size() == 7 || first.size() == 14) << first.size();
    Bytes all = first;
    const Bytes rest = client.receive(21 - first.size());
    all.insert(all.end(), rest.begin(), rest.end());
    EXPECT_EQ(all, kReply67);
    EXPECT_GE(Clock::now() - sent, 250ms); // two gaps of 50 ms after the delay
    EXPECT_EQ(sim.stop(), 0);
}

TEST(ModsimBinary, GoesAwayAndComesBack)
{
    ModsimProcess sim({"--away-after", "1", "--away-for", "800"});
    ASSERT_TRUE(sim.ready());
    Client client(sim.link);
    ASSERT_TRUE(client.send(kRequest67));
    EXPECT_EQ(client.receive(21).size(), 21u); // the Nth request is still answered

    // The open port hangs up and the link is gone.
    pollfd p{client.fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 3000), 1);
    EXPECT_TRUE(p.revents & POLLHUP) << p.revents;
    EXPECT_TRUE(WaitFor([&] { return !Exists(sim.link); }));
    const int missing = ::open(sim.link.c_str(), O_RDWR | O_NOCTTY);
    EXPECT_EQ(missing, -1);
    EXPECT_EQ(errno, ENOENT);

    // Back with a fresh pty under the same link.
    ASSERT_TRUE(WaitFor([&] { return Exists(sim.link); }));
    Client reopened(sim.link);
    ASSERT_TRUE(reopened.isOpen());
    // Only once without --away-repeat: the same port answers on and on.
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(reopened.send(kRequest67));
        EXPECT_EQ(reopened.receive(21).size(), 21u) << "request " << i;
    }
    const std::string out = ReadFile(sim.out);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2); // announced twice
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_FALSE(Exists(sim.link));
}

// A log of random faults: its lines without the times, whether the times
// never go back, the bytes of the tx lines in order, and how many replies are
// over (sent whole, or silent).
struct RandomLog
{
    std::vector<std::string> events;
    bool inOrder = true;
    Bytes sent;
    int done = 0;
};

RandomLog ReadRandomLog(const std::string& path)
{
    RandomLog log;
    std::istringstream lines(ReadFile(path));
    double previous = 0;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        double time = 0;
        std::string event, of = "1/1"; // a split reply is over at its piece N/N
        words >> time >> event;
        log.inOrder = log.inOrder && time >= previous;
        previous = time;
        log.events.push_back(line.substr(line.find(' ') + 1));
        if (event == "tx-split")
            words >> of;
        if (event.starts_with("tx")) {
            const Bytes bytes = FromHex(std::string(std::istreambuf_iterator<char>(words), {}));
            log.sent.insert(log.sent.end(), bytes.begin(), bytes.end());
        }
        const bool last = of.substr(0, of.find('/')) == of.substr(of.find('/') + 1);
        log.done += event == "silent" || (event.starts_with("tx") && event != "tx-stray" && last);
    }
    return log;
}

TEST(ModsimBinary, RandomFaultsLogWhatWentOutAndRepeatForASeed)
{
    constexpr int kRequests = 40;
    std::vector<std::vector<std::string>> runs;
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        ModsimProcess sim({"--values", kSampleValuesArg, "--random-faults", "3", "--fault-rate",
                           "1", "--max-delay", "5"});
        ASSERT_TRUE(sim.ready());
        Client client(sim.link);
        for (int i = 1; i <= kRequests; ++i) {
            ASSERT_TRUE(client.send(kRequest67));
            ASSERT_TRUE(WaitFor([&] { return ReadRandomLog(sim.log).done == i; })) << i;
        }
        const RandomLog log = ReadRandomLog(sim.log);
        EXPECT_TRUE(log.inOrder);
        // What the log says went out is what arrived, byte for byte.
        EXPECT_EQ(client.receive(log.sent.size()), log.sent);
        EXPECT_TRUE(client.receive(1, 100ms).empty());

        std::map<std::string, int> kinds;
        for (const std::string& event : log.events)
            ++kinds[event.substr(0, event.find(' '))];
        EXPECT_EQ(kinds["rx"], kRequests);
        for (const char* kind : {"silent", "tx-corrupt", "tx-late", "tx-split", "tx-stray"})
            EXPECT_GT(kinds[kind], 0) << kind;
        runs.push_back(log.events);
        EXPECT_EQ(sim.stop(), 0);
    }
    EXPECT_EQ(runs[0], runs[1]) << "the same seed and requests give the same faults";
}

TEST(ModsimBinary, IdleWithoutClientCostsNoCpu)
{
    ModsimProcess sim({});
    ASSERT_TRUE(sim.ready());
    {
        Client touched(sim.link);
    } // a client opens and closes its end
    const auto cpuTicks = [&] {
        // Fields 14 and 15 of /proc/PID/stat: user and system clock ticks.
        std::istringstream stat(ReadFile("/proc/" + std::to_string(sim.pid()) + "/stat"));
        std::string field;
        long total = 0;
        for (int i = 1; i <= 15 && stat >> field; ++i)
            if (i >= 14)
                total += std::stol(field);
        return total;
    };
    const long before = cpuTicks();
    // Not a synchronisation: a measured stretch of idleness.
    ::poll(nullptr, 0, 500);
    EXPECT_LE(cpuTicks() - before, 5); // 5 ticks = 50 ms of 500: no spinning
    EXPECT_EQ(sim.stop(), 0);
}

} // namespace
