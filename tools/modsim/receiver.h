// Cuts the byte stream arriving at the module into frames. No I/O: the
// caller hands over bytes and the time they arrived.
#pragma once

#include "frames.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace modsim {

using Clock = std::chrono::steady_clock;

// Modbus RTU ends a frame with 3.5 character times of silence: 4 ms at 9600
// baud. A pty or a USB adapter hands bytes over in bursts with a few ms of
// jitter, so bytes are held together for 20 ms instead.
constexpr std::chrono::milliseconds kRtuSilenceGap{20};
// Modbus ASCII allows up to a second between characters of one frame.
constexpr std::chrono::milliseconds kAsciiSilenceGap{1000};
// The longest Modbus ASCII frame is 513 characters; nothing longer is kept.
constexpr std::size_t kMaxAsciiLine = 513;
// Bytes that could not be a frame are reported in lines of at most this many.
constexpr std::size_t kMaxBadChunk = 512;

struct Received
{
    std::optional<Frame> frame; // nullopt: input that made no frame
    std::string text;           // the bytes as logged: hex (RTU) or escaped text (ASCII)
};

class Receiver
{
public:
    explicit Receiver(Framing framing) : m_framing(framing) {}

    // Bytes that arrived at `now`, oldest first. Returns the frames they
    // complete, and the input found to be no frame, in arrival order.
    std::vector<Received> feed(std::span<const std::uint8_t> bytes, Clock::time_point now);

    // When the line has been quiet long enough, what is held is given up:
    // returned as input that made no frame.
    std::vector<Received> expire(Clock::time_point now);

    // When expire() has something to give up, if nothing arrives first.
    std::optional<Clock::time_point> deadline() const;

    // Forget everything held (the port was closed).
    void reset();

private:
    void feedRtu(std::span<const std::uint8_t> bytes, std::vector<Received>& out);
    void feedAscii(std::span<const std::uint8_t> bytes, std::vector<Received>& out);
    void giveUp(std::vector<Received>& out);
    void flushBad(std::vector<Received>& out);
    bool holding() const;

    Framing m_framing;
    Clock::time_point m_last{};
    // RTU: bytes not yet ruled out as the start of a frame (at most 7 between calls).
    std::vector<std::uint8_t> m_window;
    // ASCII: the line since the last ':'.
    std::string m_line;
    // Input ruled out as a frame, waiting to be reported.
    std::vector<std::uint8_t> m_bad;
};

} // namespace modsim
