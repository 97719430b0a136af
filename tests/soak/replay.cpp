#include "replay.h"

#include "codec/rtu.h"

#include <algorithm>
#include <charconv>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string_view>

namespace soak {

namespace {

constexpr std::size_t kMaxProblems = 20;

std::vector<std::string_view> Words(std::string_view line)
{
    std::vector<std::string_view> words;
    std::size_t at = 0;
    while (at < line.size()) {
        const std::size_t from = line.find_first_not_of(' ', at);
        if (from == std::string_view::npos)
            break;
        const std::size_t to = std::min(line.find(' ', from), line.size());
        words.push_back(line.substr(from, to - from));
        at = to;
    }
    return words;
}

template <typename T> std::optional<T> ReadNumber(std::string_view text, int base = 10)
{
    T value{};
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
    if (text.empty() || ec != std::errc{} || ptr != end)
        return std::nullopt;
    return value;
}

std::optional<std::vector<std::uint8_t>> ReadHex(std::span<const std::string_view> words)
{
    std::vector<std::uint8_t> bytes;
    for (std::string_view word : words) {
        const auto byte = word.size() == 2 ? ReadNumber<unsigned>(word, 16) : std::nullopt;
        if (!byte)
            return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(*byte));
    }
    return bytes;
}

struct Spread
{
    long long minReplies = 0, maxReplies = 0, minErrors = 0, maxErrors = 0;

    void widen(const Spread& other)
    {
        minReplies = std::min(minReplies, other.minReplies);
        maxReplies = std::max(maxReplies, other.maxReplies);
        minErrors = std::min(minErrors, other.minErrors);
        maxErrors = std::max(maxErrors, other.maxErrors);
    }
};

// The receive buffer between two clears, fed pieces [begin, end).
class Interval
{
public:
    Interval(const std::vector<Piece>& pieces, std::size_t begin, std::size_t end, Nanos window)
        : m_pieces(pieces), m_begin(begin), m_end(end), m_window(window), m_memo(end - begin + 1)
    {
    }

    // Writes that follow the one that filled the buffer within `latency`
    // are taken along by the handler; later ones are not. Counts the writes
    // that could have gone either way into `ambiguous`.
    Tally nominal(Nanos latency, std::size_t& ambiguous) const
    {
        Tally tally;
        std::size_t i = m_begin;
        while (const auto crossing = nextCrossing(i)) {
            ++tally.replies;
            tally.errors += crossing->crcFailed ? 1 : 0;
            const std::size_t j = crossing->at;
            std::size_t next = j + 1;
            while (next < m_end && m_pieces[next].sent - m_pieces[j].sent < latency)
                ++next;
            ambiguous += followersWithinWindow(j);
            i = next;
        }
        return tally;
    }

    // Every way the writes right behind a full buffer may have been taken
    // along by the receive handler or not.
    Spread spread() { return from(m_begin); }

private:
    struct Crossing
    {
        std::size_t at; // the piece that brought the buffer to 21 bytes
        bool crcFailed;
    };

    // The piece at or after `i`, starting from an empty buffer, that fills it
    // to the threshold, and whether the first 21 bytes then fail their CRC.
    std::optional<Crossing> nextCrossing(std::size_t i) const
    {
        std::vector<std::uint8_t> buffer;
        for (; i < m_end; ++i) {
            const auto& bytes = m_pieces[i].bytes;
            const std::size_t room = kReceiveBufferSize - buffer.size();
            buffer.insert(buffer.end(), bytes.begin(),
                          bytes.begin() +
                              static_cast<std::ptrdiff_t>(std::min(room, bytes.size())));
            if (buffer.size() >= rtu::kReplySize) {
                const auto reply = rtu::DecodeReply(buffer);
                return Crossing{i, !reply->crcOk};
            }
        }
        return std::nullopt;
    }

    std::size_t followersWithinWindow(std::size_t j) const
    {
        std::size_t k = j + 1;
        while (k < m_end && m_pieces[k].sent - m_pieces[j].sent <= m_window)
            ++k;
        return k - j - 1;
    }

    Spread from(std::size_t i)
    {
        if (i >= m_end)
            return {};
        auto& memo = m_memo[i - m_begin];
        if (memo)
            return *memo;
        Spread result;
        if (const auto crossing = nextCrossing(i)) {
            const std::size_t j = crossing->at;
            const long long error = crossing->crcFailed ? 1 : 0;
            const std::size_t followers = followersWithinWindow(j);
            for (std::size_t swallowed = 0; swallowed <= followers; ++swallowed) {
                Spread rest = from(j + 1 + swallowed);
                rest.minReplies += 1;
                rest.maxReplies += 1;
                rest.minErrors += error;
                rest.maxErrors += error;
                if (swallowed == 0)
                    result = rest;
                else
                    result.widen(rest);
            }
        }
        memo = result;
        return result;
    }

    const std::vector<Piece>& m_pieces;
    std::size_t m_begin, m_end;
    Nanos m_window;
    std::vector<std::optional<Spread>> m_memo; // by first piece, buffer empty
};

// Where a tick falls among the pieces near it: pieces [lo, handledEnd) were
// handled before it, [handledEnd, afterBegin) arrived before it but were
// cleared before the receive handler ran, [afterBegin, hi) came after it.
struct Split
{
    std::size_t handledEnd;
    std::size_t afterBegin;
};

struct Boundary
{
    std::size_t lo = 0, hi = 0; // the pieces whose order against the tick is uncertain
    std::vector<Split> splits;  // the orders possible
    Split nominal{0, 0};        // the order the times say
};

} // namespace

std::optional<Nanos> ReadLogTime(std::string_view text)
{
    const std::size_t dot = text.find('.');
    if (dot == std::string_view::npos || text.size() - dot - 1 != 6)
        return std::nullopt;
    const auto seconds = ReadNumber<Nanos>(text.substr(0, dot));
    const auto micros = ReadNumber<Nanos>(text.substr(dot + 1));
    if (!seconds || !micros)
        return std::nullopt;
    return *seconds * 1'000'000'000 + *micros * 1'000;
}

ModsimLog ReadModsimLog(std::istream& in)
{
    ModsimLog log;
    std::vector<bool> silent;     // per request
    std::size_t answered = 0;     // requests up to here have had their reply begin
    std::size_t strayRequest = 0; // stray bytes wait for their reply's line (0: none)
    std::vector<std::uint8_t> stray;
    std::size_t splitRequest = 0;
    std::size_t lineNumber = 0;

    const auto problem = [&](std::string_view why, const std::string& line) {
        if (log.problems.size() < kMaxProblems)
            log.problems.push_back("line " + std::to_string(lineNumber) + ": " + std::string(why) +
                                   ": " + line);
    };
    // Replies go out in the order of their requests; silent ones have none.
    const auto replyBegins = [&]() -> std::size_t {
        while (answered < silent.size() && silent[answered])
            ++answered;
        if (answered == silent.size())
            return 0;
        ++log.replies;
        return ++answered;
    };

    for (std::string line; std::getline(in, line);) {
        ++lineNumber;
        const std::vector<std::string_view> words = Words(line);
        const std::optional<Nanos> time = words.size() >= 2 ? ReadLogTime(words[0]) : std::nullopt;
        if (!time) {
            problem("no time and event", line);
            continue;
        }
        const std::string_view event = words[1];
        const auto rest = std::span(words).subspan(2);

        if (event == "rx") {
            log.requests.push_back(*time);
            silent.push_back(false);
        } else if (event == "rx-bad") {
            ++log.badInput;
        } else if (event == "silent") {
            if (silent.empty() || answered == silent.size())
                problem("silence for no request", line);
            else
                silent.back() = true;
            ++log.faults.silent;
        } else if (event == "unsent") {
            ++log.unsent;
        } else if (event == "tx-stray") {
            const auto bytes = ReadHex(rest);
            if (!bytes) {
                problem("bytes unreadable", line);
                continue;
            }
            strayRequest = replyBegins();
            if (strayRequest == 0) {
                problem("reply for no request", line);
                continue;
            }
            stray = *bytes;
            ++log.faults.stray;
        } else if (event == "tx" || event == "tx-corrupt" || event == "tx-late" ||
                   event == "tx-truncated") {
            auto bytes = ReadHex(rest);
            if (!bytes) {
                problem("bytes unreadable", line);
                continue;
            }
            const std::size_t request = strayRequest != 0 ? strayRequest : replyBegins();
            if (request == 0) {
                problem("reply for no request", line);
                continue;
            }
            if (strayRequest != 0) {
                bytes->insert(bytes->begin(), stray.begin(), stray.end());
                strayRequest = 0;
            } else if (event == "tx") {
                ++log.faults.none;
            }
            if (event == "tx-corrupt")
                ++log.faults.corrupt;
            else if (event == "tx-late")
                ++log.faults.late;
            else if (event == "tx-truncated")
                ++log.faults.truncated;
            log.pieces.push_back({*time, std::move(*bytes), request});
        } else if (event == "tx-split" && !rest.empty()) {
            const std::string_view of = rest[0];
            const std::size_t slash = of.find('/');
            const auto index = ReadNumber<unsigned>(of.substr(0, slash));
            const auto bytes = ReadHex(rest.subspan(1));
            if (slash == std::string_view::npos || !index || !bytes) {
                problem("split piece unreadable", line);
                continue;
            }
            if (*index == 1) {
                splitRequest = replyBegins();
                ++log.faults.split;
            }
            if (splitRequest == 0) {
                problem("reply for no request", line);
                continue;
            }
            log.pieces.push_back({*time, *bytes, splitRequest});
        } else {
            problem("unknown event", line);
        }
    }
    return log;
}

std::vector<std::size_t> MatchRequests(const std::vector<Nanos>& requests,
                                       const std::vector<Nanos>& ticks)
{
    // From the last request back, so that a read logged a little late
    // (after the next tick) still leaves that tick to the next request.
    std::vector<std::size_t> matched(requests.size(), kNoTick);
    std::size_t limit = ticks.size(); // ticks from here on are taken
    for (std::size_t j = requests.size(); j-- > 0;) {
        const auto after = std::upper_bound(ticks.begin(), ticks.end(), requests[j]);
        const std::size_t latest = std::min(static_cast<std::size_t>(after - ticks.begin()), limit);
        if (latest == 0)
            continue; // before every free tick
        matched[j] = limit = latest - 1;
    }
    return matched;
}

namespace {

// When tick `b` was due: a whole number of intervals after the start, the
// first such time after the tick before (the poller skips ticks it missed).
Nanos DueTime(const std::vector<Nanos>& ticks, std::size_t b, const Timing& timing)
{
    if (b == 0)
        return timing.start + timing.interval;
    return timing.start + ((ticks[b - 1] - timing.start) / timing.interval + 1) * timing.interval;
}

} // namespace

std::vector<Nanos> ReadLags(const std::vector<Piece>& pieces, const std::vector<Nanos>& reads,
                            const std::vector<Nanos>& ticks, Nanos end)
{
    std::vector<Nanos> at = ticks;
    at.push_back(end);
    std::vector<Nanos> lags(at.size(), 0);
    for (const Piece& piece : pieces) {
        const std::size_t b = static_cast<std::size_t>(
            std::upper_bound(at.begin(), at.end(), piece.sent) - at.begin());
        const auto read = std::lower_bound(reads.begin(), reads.end(), piece.sent);
        if (b == 0 || b == at.size() || read == reads.end() || *read >= at[b])
            continue;
        lags[b] = std::max(lags[b], *read - piece.sent);
    }
    return lags;
}

RequestAudit AuditRequests(const std::vector<Nanos>& requests,
                           const std::vector<std::size_t>& requestTicks,
                           const std::vector<Nanos>& ticks, const std::vector<Nanos>& waited,
                           const Timing& timing)
{
    RequestAudit audit;
    std::vector<std::size_t> readAs(ticks.size(), requests.size()); // request read per tick
    for (std::size_t j = 0; j < requestTicks.size(); ++j) {
        if (requestTicks[j] == kNoTick)
            ++audit.unmatched;
        else
            readAs[requestTicks[j]] = j;
    }
    for (std::size_t k = 0; k < ticks.size(); ++k) {
        if (readAs[k] < requests.size()) {
            ++audit.read;
            continue;
        }
        ++audit.flushed;
        if (k + 1 == ticks.size()) {
            audit.unexplained.push_back(k);
            continue;
        }
        const Nanos gap = ticks[k + 1] - ticks[k];
        const bool shortGap = gap < timing.interval - timing.window;
        const bool nextLate =
            timing.interval > 0 && ticks[k + 1] - DueTime(ticks, k + 1, timing) > timing.timerSlack;
        bool modsimBehind = false;
        for (std::size_t next = k + 1; next < ticks.size(); ++next) {
            if (readAs[next] < requests.size()) {
                modsimBehind = requests[readAs[next]] - ticks[next] > timing.window;
                break;
            }
        }
        const bool waitedOut = k < waited.size() && waited[k] >= gap - timing.window;
        if (!shortGap && !nextLate && !modsimBehind && !waitedOut)
            audit.unexplained.push_back(k);
    }
    return audit;
}

Replay ReplayPieces(const std::vector<Piece>& pieces, const std::vector<std::size_t>& requestTicks,
                    const std::vector<Nanos>& ticks, Nanos end, const Timing& timing)
{
    Replay replay;
    if (ticks.empty())
        return replay;

    // The tick each piece's request went out at.
    std::vector<std::size_t> sentAt(pieces.size(), 0);
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const std::size_t request = pieces[i].request;
        if (request > 0 && request <= requestTicks.size() && requestTicks[request - 1] != kNoTick)
            sentAt[i] = requestTicks[request - 1];
    }

    // Boundaries: the ticks, then the closing of the port.
    std::vector<Nanos> at = ticks;
    at.push_back(end);
    const std::size_t count = at.size();

    std::vector<Boundary> boundaries(count);
    std::size_t scan = 0;
    Nanos previousHi = std::numeric_limits<Nanos>::min();
    for (std::size_t b = 0; b < count; ++b) {
        const Nanos tick = at[b];
        // A process that waited for a CPU, or a tick later than the timer's
        // rounding explains, means the event loop was held up: replies that
        // came in meanwhile may not have been handled before the tick, and
        // the clear may have come well before the tick's time was taken.
        // A piece logged after the tick's time went out after its clear:
        // modsim logs the time it issued the write.
        Nanos stall = b < timing.heldUp.size() ? std::max<Nanos>(0, timing.heldUp[b]) : 0;
        if (b < ticks.size() && timing.interval > 0)
            stall = std::max(stall, tick - DueTime(ticks, b, timing) - timing.timerSlack);
        const Nanos lo = std::max(tick - timing.window - stall, previousHi);

        Boundary& boundary = boundaries[b];
        boundary.lo = b == 0 ? 0 : scan;
        while (b > 0 && boundary.lo < pieces.size() && pieces[boundary.lo].sent < lo)
            ++boundary.lo;
        // Only replies to earlier requests can come before this tick.
        boundary.hi = boundary.lo;
        while (boundary.hi < pieces.size() && pieces[boundary.hi].sent < tick &&
               sentAt[boundary.hi] < b)
            ++boundary.hi;

        // As the times say: handled if in well before the tick, cleared
        // unhandled if in just before it, after it if logged after it.
        const Nanos latency = std::min(timing.handlerLatency, timing.window);
        std::size_t handled = boundary.lo;
        while (handled < boundary.hi && pieces[handled].sent < tick - latency)
            ++handled;
        const std::size_t earlier = boundary.hi; // pieces logged before the tick
        boundary.nominal = {handled, earlier};
        for (std::size_t handledEnd = boundary.lo; handledEnd <= earlier; ++handledEnd)
            for (std::size_t after = handledEnd; after <= boundary.hi; ++after)
                if (after == boundary.hi || pieces[after].sent >= tick - timing.window - stall)
                    boundary.splits.push_back({handledEnd, after});
        replay.ambiguous += boundary.hi - boundary.lo;
        scan = boundary.hi;
        previousHi = tick;
    }

    // Through the intervals, the least and most each count can be for each
    // way the next tick may fall.
    std::vector<Spread> reach(boundaries[0].splits.size());
    for (std::size_t i = 0; i + 1 < count; ++i) {
        const Boundary& from = boundaries[i];
        const Boundary& to = boundaries[i + 1];
        const Nanos swallow =
            timing.window +
            (i + 1 < timing.heldUp.size() ? std::max<Nanos>(0, timing.heldUp[i + 1]) : 0);
        std::vector<std::optional<Spread>> next(to.splits.size());
        for (std::size_t s = 0; s < from.splits.size(); ++s) {
            for (std::size_t t = 0; t < to.splits.size(); ++t) {
                Interval interval(pieces, from.splits[s].afterBegin, to.splits[t].handledEnd,
                                  swallow);
                Spread total = interval.spread();
                total.minReplies += reach[s].minReplies;
                total.maxReplies += reach[s].maxReplies;
                total.minErrors += reach[s].minErrors;
                total.maxErrors += reach[s].maxErrors;
                if (next[t])
                    next[t]->widen(total);
                else
                    next[t] = total;
            }
        }
        reach.clear();
        for (const auto& spread : next)
            reach.push_back(*spread);

        std::size_t ambiguous = 0;
        const Interval expected(pieces, from.nominal.afterBegin, to.nominal.handledEnd, swallow);
        const Tally tally =
            expected.nominal(std::min(timing.handlerLatency, timing.window), ambiguous);
        replay.ambiguous += ambiguous;
        replay.intervals.push_back(tally);
        replay.intervalAmbiguous.push_back(ambiguous > 0 || from.hi > from.lo || to.hi > to.lo);
        replay.replies.expected += tally.replies;
        replay.errors.expected += tally.errors;
    }

    Spread all = reach.front();
    for (const Spread& spread : reach)
        all.widen(spread);
    replay.replies.low = all.minReplies;
    replay.replies.high = all.maxReplies;
    replay.errors.low = all.minErrors;
    replay.errors.high = all.maxErrors;
    return replay;
}

} // namespace soak
