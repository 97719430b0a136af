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
// A piece without bytes stands for a reply that is never sent: its log is
// written at once.
struct Piece
{
    Clock::time_point due;
    std::vector<std::uint8_t> bytes;
    std::vector<std::string> log;
    friend bool operator==(const Piece&, const Piece&) = default;
};

// The pieces one reply leaves in under the options' faults. `number` counts
// replies from 1, including this one. `arrived` is when the request came in.
std::vector<Piece> PlanReply(const Options& options, std::span<const std::uint8_t> body,
                             std::uint64_t number, Clock::time_point arrived);

// The faults --random-faults draws from, each as likely as the others.
enum class RandomFault
{
    None,
    Corrupt, // checksum damaged as by --corrupt-every
    Silent,  // no reply at all
    Late,    // the whole reply after a delay
    Split,   // 2 to 4 pieces of random sizes with random gaps
    Stray,   // 1 to 3 stray bytes right before the reply
};

// One reply's fault and its particulars.
struct FaultDraw
{
    RandomFault fault = RandomFault::None;
    std::chrono::microseconds delay{0};          // Late
    std::vector<std::size_t> pieceSizes;         // Split: adding up to the reply's size
    std::vector<std::chrono::microseconds> gaps; // Split: before each piece after the first
    std::vector<std::uint8_t> stray;             // Stray: random bytes (RTU) or '?' (ASCII)
};

// The fault of reply `number` (from 1) of `replySize` bytes. Depends only on
// the number, the reply's size and the options (seed, rate, longest delay,
// framing): a run with the same seed sees the same faults in the same order.
FaultDraw DrawFault(const Options& options, std::uint64_t number, std::size_t replySize);

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

    // Pieces due by `now`, in order, with their log lines unwritten: the
    // caller writes them when the bytes have gone out.
    std::vector<Piece> takeDuePieces(Clock::time_point now);

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
    void log(const Received& received);

    Options m_options;
    Clock::time_point m_started;
    LogSink m_log;
    Receiver m_receiver;
    std::deque<Piece> m_pending; // ordered by due time
    std::uint64_t m_replies = 0;
};

} // namespace modsim
