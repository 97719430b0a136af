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

} // namespace

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
    const std::vector<Received> received = m_receiver.feed(bytes, now);
    logAll(received);

    std::size_t requests = 0;
    for (const Received& r : received) {
        if (!r.frame || !IsForModule(*r.frame, m_options.address))
            continue; // someone else's frame, or no frame: a module keeps quiet
        ++requests;
        if (m_options.silent)
            continue;
        const std::chrono::duration<double> age = now - m_started;
        const Registers registers = m_options.values.value_or(LiveValues(age.count()));
        const auto body = BuildReplyBody(*ReadRequest(*r.frame), registers);
        std::vector<Piece> plan = PlanReply(m_options, body, ++m_replies, now);
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

std::vector<std::uint8_t> Module::takeDue(Clock::time_point now)
{
    std::vector<std::uint8_t> bytes;
    while (!m_pending.empty() && m_pending.front().due <= now) {
        Piece& piece = m_pending.front();
        for (const std::string& line : piece.log)
            m_log(line);
        bytes.insert(bytes.end(), piece.bytes.begin(), piece.bytes.end());
        m_pending.pop_front();
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
        m_log((r.frame ? "rx " : "rx-bad ") + r.text);
}

} // namespace modsim
