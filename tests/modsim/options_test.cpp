// modsim's command line: refused lines, a full one read back, the defaults,
// and help naming every option.

#include "options.h"

#include <gtest/gtest.h>

#include <vector>

using namespace modsim;
using namespace std::chrono_literals;

namespace {

ParseResult Parse(std::vector<std::string_view> args)
{
    return ParseOptions(args);
}

TEST(Options, RefusesBadCommandLines)
{
    const std::vector<std::vector<std::string_view>> rows = {
        {},
        {"--link", "a", "--device", "b"},
        {"--link", "a", "--framing", "binary"},
        {"--link", "a", "--address", "0"},
        {"--link", "a", "--address", "256"},
        {"--link", "a", "--address", "6x"},
        {"--link", "a", "--values", "1,2,3,4,5,6,7"},
        {"--link", "a", "--values", "1,2,3,4,5,6,7,8,9"},
        {"--link", "a", "--values", "1,2,3,4,5,6,7,32768"},
        {"--link", "a", "--values", "1,2,3,4,5,6,7,-32769"},
        {"--link", "a", "--values", "1,2,3,,5,6,7,8"},
        {"--link", "a", "--corrupt-every", "0"},
        {"--link", "a", "--truncate-every", "-1"},
        {"--link", "a", "--delay", "-5"},
        {"--link", "a", "--split", "3"},
        {"--link", "a", "--split", "0:10"},
        {"--link", "a", "--split", "3:x"},
        {"--link", "a", "--lowercase"},
        {"--link", "a", "--away-after", "3"},
        {"--link", "a", "--away-for", "100"},
        {"--link", "a", "--away-repeat"},
        {"--link", "a", "--silent=yes"},
        {"--link", "a", "--bogus"},
        {"--link", "a", "--random-faults", "-1"},
        {"--link", "a", "--random-faults", "1", "--fault-rate", "1.5"},
        {"--link", "a", "--random-faults", "1", "--fault-rate", "0,3"},
        {"--link", "a", "--random-faults", "1", "--fault-rate", "0.3x"},
        {"--link", "a", "--fault-rate", "0.5"},
        {"--link", "a", "--max-delay", "3"},
        {"--link", "a", "--random-faults", "1", "--split", "2:5"},
        {"--link", "a", "--silent", "--random-faults", "1"},
        {"--link"},
    };
    for (const auto& row : rows) {
        std::string line;
        for (auto a : row)
            line += std::string(a) + " ";
        const auto result = Parse(row);
        EXPECT_FALSE(result.error.empty()) << line;
        EXPECT_FALSE(result.help) << line;
    }
}

TEST(Options, ReadsAGoodCommandLine)
{
    const auto result = Parse({"--link=/tmp/p",
                               "--framing",
                               "ascii",
                               "--address",
                               "255",
                               "--values",
                               "-32768,-1,0,1,2,3,4,32767",
                               "--lowercase",
                               "--split",
                               "3:25",
                               "--away-after",
                               "2",
                               "--away-for",
                               "500",
                               "--away-repeat",
                               "--stray",
                               "4",
                               "--corrupt-every",
                               "5",
                               "--echo"});
    ASSERT_EQ(result.error, "");
    const Options& o = result.options;
    EXPECT_EQ(o.link, "/tmp/p");
    EXPECT_EQ(o.framing, Framing::Ascii);
    EXPECT_EQ(o.address, 255);
    EXPECT_EQ(o.values, (Registers{-32768, -1, 0, 1, 2, 3, 4, 32767}));
    EXPECT_TRUE(o.lowercase);
    EXPECT_EQ(o.splitPieces, 3u);
    EXPECT_EQ(o.splitGap, 25ms);
    EXPECT_EQ(o.awayAfter, 2u);
    EXPECT_EQ(o.awayFor, 500ms);
    EXPECT_TRUE(o.awayRepeat);
    EXPECT_EQ(o.stray, 4u);
    EXPECT_EQ(o.corruptEvery, 5u);
    EXPECT_TRUE(o.echo);

    const auto defaults = Parse({"--device", "/dev/ttyS0"});
    ASSERT_EQ(defaults.error, "");
    EXPECT_EQ(defaults.options.framing, Framing::Rtu);
    EXPECT_EQ(defaults.options.address, 67);
    EXPECT_FALSE(defaults.options.values);
    EXPECT_FALSE(defaults.options.randomFaults);

    const auto random = Parse({"--link", "p", "--random-faults", "18446744", "--fault-rate=0.25",
                               "--max-delay", "7", "--framing", "ascii"});
    ASSERT_EQ(random.error, "");
    EXPECT_EQ(random.options.randomFaults, 18446744u);
    EXPECT_EQ(random.options.faultRate, 0.25);
    EXPECT_EQ(random.options.maxDelay, 7ms);
    const auto randomDefaults = Parse({"--link", "p", "--random-faults", "0"});
    ASSERT_EQ(randomDefaults.error, "");
    EXPECT_EQ(randomDefaults.options.randomFaults, 0u);
    EXPECT_EQ(randomDefaults.options.faultRate, 0.3);
    EXPECT_EQ(randomDefaults.options.maxDelay, 10ms);
}

TEST(Options, HelpNamesEveryOption)
{
    EXPECT_TRUE(Parse({"--help"}).help);
    const std::string help = HelpText();
    for (const char* name :
         {"--link",        "--device",         "--framing",       "--address",    "--values",
          "--log",         "--corrupt-every",  "--lowercase",     "--silent",     "--delay",
          "--split",       "--truncate-every", "--stray",         "--away-after", "--away-for",
          "--away-repeat", "--noise-for",      "--random-faults", "--fault-rate", "--max-delay",
          "--echo"})
        EXPECT_NE(help.find(std::string("\n  ") + name + " "), std::string::npos) << name;
}

} // namespace
