// Command line of modsim. Parsing is pure: it returns the options or a
// message saying what is wrong, and leaves printing and exiting to main.
#pragma once

#include "frames.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace modsim {

struct Options
{
    Framing framing = Framing::Rtu;
    std::uint8_t address = kDefaultAddress;
    // A second module on the same line, with the same values: a bus of two.
    std::optional<std::uint8_t> alsoAddress;
    std::string link;                // make this path a symlink to a fresh pseudo-terminal
    std::string device;              // or serve this serial device
    std::optional<Registers> values; // fixed values; live signals when absent
    std::string logPath;
    bool logLine = false; // --log-line: the line settings too
    // Play a two-wire adapter that hears its own transmitter: every byte read
    // goes straight back, ahead of any reply. Not a fault of the module, so it
    // combines with all of them.
    bool echo = false;

    // Named faults; 0 (or false) leaves the reply alone.
    unsigned corruptEvery = 0;
    bool lowercase = false;
    bool silent = false;
    std::chrono::milliseconds delay{0};
    unsigned splitPieces = 1;
    std::chrono::milliseconds splitGap{0};
    unsigned truncateEvery = 0;
    unsigned stray = 0;
    unsigned awayAfter = 0;
    std::chrono::milliseconds awayFor{0};
    bool awayRepeat = false;
    std::chrono::milliseconds noiseFor{0};

    // Random faults instead of the named ones: each reply, with probability
    // faultRate, gets one fault drawn from the seed and the reply's number.
    std::optional<std::uint64_t> randomFaults; // the seed
    double faultRate = 0.3;
    // Late replies wait up to this long; split replies spread over at most
    // this long. Two poll intervals of the soak run (5 ms), so that replies
    // straddle ticks.
    std::chrono::milliseconds maxDelay{10};
};

struct ParseResult
{
    Options options;
    bool help = false; // --help was given: print HelpText() and stop
    std::string error; // non-empty: the command line is refused
};

// `args` without the program name. Accepts "--name value" and "--name=value".
ParseResult ParseOptions(std::span<const std::string_view> args);

std::string HelpText();

} // namespace modsim
