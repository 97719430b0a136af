// The simulated module between the wire and its registers: frames in,
// replies (with the chosen faults) scheduled out. No I/O and no clock of its
// own, so every fault can be checked with made-up times.
#pragma once

#include "options.h"
#include "receiver.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace modsim {

// Eight slow sine waves for a live demo: channel i has amplitude 100 (i + 1)
// and period 10 + 5i seconds, each an eighth of a turn ahead of the one
// before, so at t = 0 the channels already differ.
Registers LiveValues(double seconds);

// Bytes due on the wire at `due`; `log` (if not empty) is written when they go.
struct Piece
{
    Clock::time_point due;
    std::vector<std::uint8_t> bytes;
    std::vector<std::string> log;
};

// The pieces one reply leaves in under the options' faults. `number` counts
// replies from 1, including this one. `arrived` is when the request came in.
std::vector<Piece> PlanReply(const Options& options, std::span<const std::uint8_t> body,
                             std::uint64_t number, Clock::time_point arrived);

class Module
{
public:
    using LogSink = std::function<void(std::string_view line)>;

    // `started` is time zero of the live values.
    Module(Options options, Clock::time_point started, LogSink log);

    // Bytes read from the line at `now`. Returns how many requests for this
    // module they completed (answered or, with --silent, not).
    std::size_t receive(std::span<const std::uint8_t> bytes, Clock::time_point now);

    // Gives up input held through a silence (see Receiver).
    void expire(Clock::time_point now);

    // Bytes due by `now`, in order; logs their lines.
    std::vector<std::uint8_t> takeDue(Clock::time_point now);

    // The next time takeDue() or expire() has work.
    std::optional<Clock::time_point> deadline() const;

    // True when no reply is waiting to go out.
    bool idle() const { return m_pending.empty(); }

    // The port went away: drop unsent replies and half-received input.
    void reset();

private:
    void logAll(const std::vector<Received>& received);

    Options m_options;
    Clock::time_point m_started;
    LogSink m_log;
    Receiver m_receiver;
    std::deque<Piece> m_pending; // ordered by due time
    std::uint64_t m_replies = 0;
};

} // namespace modsim
