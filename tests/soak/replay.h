// What the poller should have counted, worked out from modsim's log: the
// pieces modsim wrote, with their bytes and times, replayed against the
// times of the poller's ticks under the comm control's receive rules. No Qt
// and no I/O beyond reading the log from a stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace soak {

// A steady_clock (CLOCK_MONOTONIC) time in nanoseconds: modsim logs it, the
// soak tool records it.
using Nanos = std::int64_t;

constexpr Nanos kMillisecond = 1'000'000;

// The comm control's receive buffer keeps this many bytes and drops the rest
// (serial::ReceiveBuffer::kCapacity; the soak tool checks they agree).
constexpr std::size_t kReceiveBufferSize = 1024;

// Bytes modsim wrote in one go. Stray bytes and the reply behind them are
// one piece; so is each piece of a split reply.
struct Piece
{
    Nanos sent = 0; // when the write had returned
    std::vector<std::uint8_t> bytes;
    std::size_t request = 0; // number (from 1) of the request the reply answers
};

struct FaultCounts
{
    std::size_t none = 0;
    std::size_t corrupt = 0;
    std::size_t silent = 0;
    std::size_t late = 0;
    std::size_t split = 0;
    std::size_t stray = 0;
    std::size_t truncated = 0; // only with --truncate-every
};

struct ModsimLog
{
    std::vector<Nanos> requests; // rx lines: requests for the module
    std::size_t badInput = 0;    // rx-bad lines: input that made no request
    std::size_t replies = 0;     // replies that began to go out
    std::size_t unsent = 0;      // lines of replies the port closed on
    FaultCounts faults;
    std::vector<Piece> pieces;         // in the order written
    std::vector<std::string> problems; // lines that do not read as modsim's
};

ModsimLog ReadModsimLog(std::istream& in);

// A time as modsim logs it: seconds with six digits of microseconds.
std::optional<Nanos> ReadLogTime(std::string_view text);

struct Timing
{
    Nanos start = 0;    // taken just before the poller started: tick n is due n intervals on
    Nanos interval = 0; // the poll interval
    // How far apart in time a write and a tick (or the receive handler) must
    // be for their order to be certain. Within it, both orders are replayed.
    Nanos window = kMillisecond;
    // The poll timer is armed in whole milliseconds, never early: a tick up
    // to this late says nothing about the event loop being held up.
    Nanos timerSlack = kMillisecond;
    // A reply needs two turns of the event loop to reach its handler (read,
    // then the queued threshold check): one that comes in less than this
    // before a tick is taken to be cleared by it. At most `window`.
    Nanos handlerLatency = 250'000;
    // Per tick, and last for the end: how long the poller's side was held up
    // since the tick before (waiting for a CPU, or reading late). Writes that
    // long before a tick may have met a loop that had not got to them.
    // Empty if unknown.
    std::vector<Nanos> heldUp;
};

// A count as the replay's timeline gives it, and the least and most it can
// be when every ambiguous write is put on either side of its tick.
struct Count
{
    long long expected = 0;
    long long low = 0;
    long long high = 0;

    bool admits(long long actual) const { return low <= actual && actual <= high; }
};

struct Tally
{
    long long replies = 0; // receive handler calls that decoded 21 bytes
    long long errors = 0;  // of them, CRC failures
};

struct Replay
{
    Count replies;
    Count errors;
    // Writes whose order against a tick or a receive handler is uncertain.
    std::size_t ambiguous = 0;
    // Per tick interval (from tick n to tick n + 1, the last to `end`): the
    // expected tally, and whether an ambiguous write touches it.
    std::vector<Tally> intervals;
    std::vector<bool> intervalAmbiguous;
};

constexpr std::size_t kNoTick = static_cast<std::size_t>(-1);

// The tick (index into `ticks`) that sent each request modsim read, at
// `requests`: the latest tick before the read that no later request took.
// A tick whose request the next tick flushed unread gets none; kNoTick for
// a request no tick can have sent.
std::vector<std::size_t> MatchRequests(const std::vector<Nanos>& requests,
                                       const std::vector<Nanos>& ticks);

// How late the poller's side got what modsim wrote: per tick, and last for
// `end`, the longest time from a piece's write to the first read of the
// port after it, among pieces written since the tick before and read before
// this one. A busy machine can hold bytes up on the way.
std::vector<Nanos> ReadLags(const std::vector<Piece>& pieces, const std::vector<Nanos>& reads,
                            const std::vector<Nanos>& ticks, Nanos end);

// Every tick first flushes what the port still holds unsent or unread
// (setOutBufferCount(0)): a request modsim has not read by the next tick is
// lost, though its poll was counted. That takes modsim, or the poller's own
// loop, falling a whole interval behind, so each lost request must show it.
struct RequestAudit
{
    std::size_t read = 0;      // ticks whose request modsim read
    std::size_t flushed = 0;   // ticks whose request it never read
    std::size_t unmatched = 0; // requests read that no tick can have sent
    // Ticks (indices) whose lost request nothing explains: the last one
    // (no tick follows to flush it), or one lost while both sides kept up.
    std::vector<std::size_t> unexplained;
};

// `requests` and `requestTicks` as for MatchRequests; `waited` per tick: how
// long modsim and the poller's process together waited for a CPU between
// that tick and the next (empty if unknown). A lost request is explained
// when the next tick came less than an interval less the window after it
// (this tick was late), or the next tick was itself late (the poller's loop
// was held up), or modsim read the next request it got more than the window
// after its tick (modsim was behind), or the waiting covers the gap.
RequestAudit AuditRequests(const std::vector<Nanos>& requests,
                           const std::vector<std::size_t>& requestTicks,
                           const std::vector<Nanos>& ticks, const std::vector<Nanos>& waited,
                           const Timing& timing);

// The comm control's rules, as the poller uses them: every tick empties the
// receive buffer; once it holds 21 bytes the receive handler takes all it
// holds and decodes the first 21. `ticks` are the tick times in order, `end`
// when the port was closed (nothing later counts). Pieces are those of
// ReadModsimLog; `requestTicks` those of MatchRequests: a reply cannot come
// before the tick that sent its request.
Replay ReplayPieces(const std::vector<Piece>& pieces, const std::vector<std::size_t>& requestTicks,
                    const std::vector<Nanos>& ticks, Nanos end, const Timing& timing);

} // namespace soak
