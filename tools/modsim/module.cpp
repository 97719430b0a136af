#include "module.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace modsim {

namespace {

constexpr std::uint8_t kRtuStrayByte = 0x00;
constexpr char kAsciiStrayChar = '?';

std::string WireText(Framing framing, std::span<const std::uint8_t> bytes)
{
    if (framing == Framing::Rtu)
        return HexBytes(bytes);
    return EscapeText(std::string(bytes.begin(), bytes.end()));
}

// The reply on the wire: RTU bytes or ASCII characters, its checksum
// damaged if `corrupt`.
std::vector<std::uint8_t> WireReply(const Options& options, std::span<const std::uint8_t> body,
                                    bool corrupt)
{
    if (options.framing == Framing::Rtu) {
        std::vector<std::uint8_t> wire = FrameRtu(body);
        if (corrupt)
            CorruptRtu(wire);
        return wire;
    }
    const HexCase hexCase = options.lowercase ? HexCase::Lower : HexCase::Upper;
    std::string text = FrameAscii(body, hexCase);
    if (corrupt)
        CorruptAscii(text, hexCase);
    return {text.begin(), text.end()};
}

// SplitMix64: a small generator whose whole state is one number, so each
// reply's draws can start from the seed and the reply's number alone.
class Draws
{
public:
    Draws(std::uint64_t seed, std::uint64_t number) : m_state(Mix(seed) ^ Mix(number + kGolden)) {}

    std::uint64_t next() { return Mix(m_state += kGolden); }

    // 0..n-1; for the small n used here the modulo bias is below 1e-15.
    std::uint64_t below(std::uint64_t n) { return next() % n; }

    // Uniform in [0, 1).
    double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

private:
    static constexpr std::uint64_t kGolden = 0x9E3779B97F4A7C15u;

    static std::uint64_t Mix(std::uint64_t z)
    {
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
        return z ^ (z >> 31);
    }

    std::uint64_t m_state;
};

std::vector<Piece> PlanRandomReply(const Options& options, std::span<const std::uint8_t> body,
                                   std::uint64_t number, Clock::time_point arrived)
{
    const FaultDraw draw = DrawFault(options, number, WireReply(options, body, false).size());
    const bool corrupt = draw.fault == RandomFault::Corrupt;
    const std::vector<std::uint8_t> wire = WireReply(options, body, corrupt);
    const auto text = [&](std::span<const std::uint8_t> bytes) {
        return WireText(options.framing, bytes);
    };

    switch (draw.fault) {
    case RandomFault::None:
    case RandomFault::Corrupt:
        return {{arrived, wire, {(corrupt ? "tx-corrupt " : "tx ") + text(wire)}}};
    case RandomFault::Silent:
        return {{arrived, {}, {"silent"}}};
    case RandomFault::Late:
        return {{arrived + draw.delay, wire, {"tx-late " + text(wire)}}};
    case RandomFault::Stray: {
        // One write: the stray bytes, then the reply.
        Piece piece{arrived, draw.stray, {"tx-stray " + text(draw.stray), "tx " + text(wire)}};
        piece.bytes.insert(piece.bytes.end(), wire.begin(), wire.end());
        return {std::move(piece)};
    }
    case RandomFault::Split:
        break;
    }

    std::vector<Piece> plan;
    Clock::time_point due = arrived;
    std::size_t at = 0;
    const std::size_t count = draw.pieceSizes.size();
    for (std::size_t k = 0; k < count; ++k) {
        if (k > 0)
            due += draw.gaps[k - 1];
        const auto bytes = std::span(wire).subspan(at, draw.pieceSizes[k]);
        at += bytes.size();
        plan.push_back({due,
                        {bytes.begin(), bytes.end()},
                        {"tx-split " + std::to_string(k + 1) + "/" + std::to_string(count) + " " +
                         text(bytes)}});
    }
    return plan;
}

} // namespace

FaultDraw DrawFault(const Options& options, std::uint64_t number, std::size_t replySize)
{
    FaultDraw draw;
    if (!options.randomFaults)
        return draw;
    Draws random(*options.randomFaults, number);
    if (!(random.unit() < options.faultRate))
        return draw;
    draw.fault = static_cast<RandomFault>(1 + random.below(5));

    const auto maxDelay = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(options.maxDelay).count());
    switch (draw.fault) {
    case RandomFault::Late:
        draw.delay = std::chrono::microseconds(random.below(maxDelay + 1));
        break;
    case RandomFault::Split: {
        // Cut at distinct places inside the reply; the gaps together stay
        // within the longest delay.
        const std::size_t pieces =
            std::min<std::size_t>(2 + static_cast<std::size_t>(random.below(3)), replySize);
        std::vector<std::size_t> cuts{0, replySize};
        while (cuts.size() < pieces + 1) {
            const std::size_t cut = 1 + static_cast<std::size_t>(random.below(replySize - 1));
            if (std::find(cuts.begin(), cuts.end(), cut) == cuts.end())
                cuts.push_back(cut);
        }
        std::sort(cuts.begin(), cuts.end());
        for (std::size_t k = 1; k < cuts.size(); ++k)
            draw.pieceSizes.push_back(cuts[k] - cuts[k - 1]);
        for (std::size_t k = 1; k < draw.pieceSizes.size(); ++k)
            draw.gaps.emplace_back(random.below(maxDelay / (draw.pieceSizes.size() - 1) + 1));
        break;
    }
    case RandomFault::Stray:
        draw.stray.resize(1 + static_cast<std::size_t>(random.below(3)));
        for (auto& byte : draw.stray)
            byte = options.framing == Framing::Rtu ? static_cast<std::uint8_t>(random.next() & 0xFF)
                                                   : static_cast<std::uint8_t>(kAsciiStrayChar);
        break;
    case RandomFault::None:
    case RandomFault::Corrupt:
    case RandomFault::Silent:
        break;
    }
    return draw;
}

Registers LiveValues(double seconds)
{
    Registers values{};
    for (std::size_t i = 0; i < kRegisterCount; ++i) {
        const double amplitude = 100.0 * static_cast<double>(i + 1);
        const double period = 10.0 + 5.0 * static_cast<double>(i);
        const double phase = std::numbers::pi / 4.0 * static_cast<double>(i);
        const double angle = 2.0 * std::numbers::pi * seconds / period + phase;
        values[i] = static_cast<std::int16_t>(std::lround(amplitude * std::sin(angle)));
    }
    return values;
}

std::vector<Piece> PlanReply(const Options& options, std::span<const std::uint8_t> body,
                             std::uint64_t number, Clock::time_point arrived)
{
    if (options.randomFaults)
        return PlanRandomReply(options, body, number, arrived);

    const bool corrupt = options.corruptEvery != 0 && number % options.corruptEvery == 0;
    const bool truncate = options.truncateEvery != 0 && number % options.truncateEvery == 0;

    std::vector<std::uint8_t> wire;
    std::vector<std::uint8_t> stray;
    if (options.framing == Framing::Rtu) {
        wire = FrameRtu(body);
        if (corrupt)
            CorruptRtu(wire);
        stray.assign(options.stray, kRtuStrayByte);
    } else {
        const HexCase hexCase = options.lowercase ? HexCase::Lower : HexCase::Upper;
        std::string text = FrameAscii(body, hexCase);
        if (corrupt)
            CorruptAscii(text, hexCase);
        wire.assign(text.begin(), text.end());
        stray.assign(options.stray, static_cast<std::uint8_t>(kAsciiStrayChar));
    }
    // 21 bytes keep 10, 43 characters keep 21. The checksum is then never
    // sent, so a truncated reply is logged as truncated even if it was also
    // due to be corrupted.
    if (truncate)
        wire.resize(wire.size() / 2);

    std::vector<std::string> log;
    if (!stray.empty())
        log.push_back("tx-stray " + WireText(options.framing, stray));
    const char* tag = truncate ? "tx-truncated " : corrupt ? "tx-corrupt " : "tx ";
    log.push_back(tag + WireText(options.framing, wire));

    // N nearly equal pieces, the first ones one byte longer: 21 bytes in 4
    // pieces go as 6, 5, 5, 5. Never more pieces than bytes.
    const std::size_t pieces = std::clamp<std::size_t>(options.splitPieces, 1, wire.size());
    std::vector<Piece> plan;
    std::size_t at = 0;
    for (std::size_t k = 0; k < pieces; ++k) {
        const std::size_t size = wire.size() / pieces + (k < wire.size() % pieces ? 1 : 0);
        Piece piece{arrived + options.delay + static_cast<long>(k) * options.splitGap, {}, {}};
        if (k == 0) {
            piece.bytes = stray; // stray bytes go out right in front of the reply
            piece.log = std::move(log);
        }
        piece.bytes.insert(piece.bytes.end(), wire.begin() + static_cast<std::ptrdiff_t>(at),
                           wire.begin() + static_cast<std::ptrdiff_t>(at + size));
        at += size;
        plan.push_back(std::move(piece));
    }
    return plan;
}

Module::Module(Options options, Clock::time_point started, LogSink log)
    : m_options(std::move(options)), m_started(started), m_log(std::move(log)),
      m_receiver(m_options.framing)
{
}

std::size_t Module::receive(std::span<const std::uint8_t> bytes, Clock::time_point now)
{
    std::size_t requests = 0;
    for (const Received& r : m_receiver.feed(bytes, now)) {
        // Each request's line comes before anything its reply logs, so a
        // reply that is never sent is logged right under its request.
        log(r);
        const bool forUs =
            r.frame && (IsForModule(*r.frame, m_options.address) ||
                        (m_options.alsoAddress && IsForModule(*r.frame, *m_options.alsoAddress)));
        if (!forUs)
            continue; // someone else's frame, or no frame: a module keeps quiet
        ++requests;
        if (m_options.silent)
            continue;
        const std::chrono::duration<double> age = now - m_started;
        const Registers registers = m_options.values.value_or(LiveValues(age.count()));
        const auto body = BuildReplyBody(*ReadRequest(*r.frame), registers);
        std::vector<Piece> plan = PlanReply(m_options, body, ++m_replies, now);
        if (plan.size() == 1 && plan.front().bytes.empty()) {
            for (const std::string& line : plan.front().log)
                m_log(line);
            continue;
        }
        // A reply never starts before the one ahead of it has gone out, so
        // the pieces of two replies do not interleave.
        if (!m_pending.empty() && plan.front().due < m_pending.back().due) {
            const auto shift = m_pending.back().due - plan.front().due;
            for (Piece& piece : plan)
                piece.due += shift;
        }
        for (Piece& piece : plan)
            m_pending.push_back(std::move(piece));
    }
    return requests;
}

void Module::expire(Clock::time_point now)
{
    logAll(m_receiver.expire(now));
}

std::vector<Piece> Module::takeDuePieces(Clock::time_point now)
{
    std::vector<Piece> due;
    while (!m_pending.empty() && m_pending.front().due <= now) {
        due.push_back(std::move(m_pending.front()));
        m_pending.pop_front();
    }
    return due;
}

std::vector<std::uint8_t> Module::takeDue(Clock::time_point now)
{
    std::vector<std::uint8_t> bytes;
    for (const Piece& piece : takeDuePieces(now)) {
        for (const std::string& line : piece.log)
            m_log(line);
        bytes.insert(bytes.end(), piece.bytes.begin(), piece.bytes.end());
    }
    return bytes;
}

std::optional<Clock::time_point> Module::deadline() const
{
    std::optional<Clock::time_point> due = m_receiver.deadline();
    if (!m_pending.empty() && (!due || m_pending.front().due < *due))
        due = m_pending.front().due;
    return due;
}

void Module::reset()
{
    m_receiver.reset();
    m_pending.clear();
}

void Module::logAll(const std::vector<Received>& received)
{
    for (const Received& r : received)
        log(r);
}

void Module::log(const Received& received)
{
    m_log((received.frame ? "rx " : "rx-bad ") + received.text);
}

} // namespace modsim
