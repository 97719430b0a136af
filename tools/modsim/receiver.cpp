#include "receiver.h"

#include <algorithm>

namespace modsim {

namespace {

std::string AsText(std::span<const std::uint8_t> bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

} // namespace

std::vector<Received> Receiver::feed(std::span<const std::uint8_t> bytes, Clock::time_point now)
{
    std::vector<Received> out = expire(now);
    if (bytes.empty())
        return out;
    m_last = now;
    if (m_framing == Framing::Rtu)
        feedRtu(bytes, out);
    else
        feedAscii(bytes, out);
    return out;
}

std::vector<Received> Receiver::expire(Clock::time_point now)
{
    std::vector<Received> out;
    if (const auto due = deadline(); due && now >= *due)
        giveUp(out);
    return out;
}

std::optional<Clock::time_point> Receiver::deadline() const
{
    if (!holding())
        return std::nullopt;
    return m_last + (m_framing == Framing::Rtu ? kRtuSilenceGap : kAsciiSilenceGap);
}

void Receiver::reset()
{
    m_window.clear();
    m_line.clear();
    m_bad.clear();
}

bool Receiver::holding() const
{
    return !m_window.empty() || !m_line.empty() || !m_bad.empty();
}

void Receiver::giveUp(std::vector<Received>& out)
{
    m_bad.insert(m_bad.end(), m_window.begin(), m_window.end());
    m_bad.insert(m_bad.end(), m_line.begin(), m_line.end());
    m_window.clear();
    m_line.clear();
    flushBad(out);
}

void Receiver::flushBad(std::vector<Received>& out)
{
    // Held bytes can push the report past the limit: giving up after a
    // silence adds the RTU window or the ASCII line, and a ':' or an
    // overlong line adds a whole line at once. Report them in pieces.
    const std::span<const std::uint8_t> bad = m_bad;
    for (std::size_t at = 0; at < bad.size(); at += kMaxBadChunk) {
        const auto piece = bad.subspan(at, std::min(kMaxBadChunk, bad.size() - at));
        out.push_back({std::nullopt,
                       m_framing == Framing::Rtu ? HexBytes(piece) : EscapeText(AsText(piece))});
    }
    m_bad.clear();
}

void Receiver::feedRtu(std::span<const std::uint8_t> bytes, std::vector<Received>& out)
{
    m_window.insert(m_window.end(), bytes.begin(), bytes.end());
    // Slide over the input: a valid 8-byte frame may start at any offset, so
    // "FF FF 43 04 00 00 00 08 FE EE" still finds the request after two
    // bytes of line noise. Every offset with 8 bytes after it is decided
    // here; only the last 7 bytes wait for more input.
    const std::span<const std::uint8_t> window = m_window;
    std::size_t at = 0;
    while (window.size() - at >= kRtuRequestSize) {
        const auto candidate = window.subspan(at, kRtuRequestSize);
        if (auto frame = CheckRtuFrame(candidate)) {
            flushBad(out);
            out.push_back({std::move(frame), HexBytes(candidate)});
            at += kRtuRequestSize;
        } else {
            m_bad.push_back(window[at]);
            if (m_bad.size() >= kMaxBadChunk)
                flushBad(out);
            ++at;
        }
    }
    m_window.erase(m_window.begin(), m_window.begin() + static_cast<std::ptrdiff_t>(at));
}

void Receiver::feedAscii(std::span<const std::uint8_t> bytes, std::vector<Received>& out)
{
    for (std::uint8_t byte : bytes) {
        const char c = static_cast<char>(byte);
        if (c == ':') {
            // A colon always starts a new frame; whatever came before is lost.
            m_bad.insert(m_bad.end(), m_line.begin(), m_line.end());
            m_line.assign(1, c);
        } else if (m_line.empty()) {
            m_bad.push_back(byte); // nothing before ':' belongs to a frame
        } else {
            m_line += c;
            if (c == '\n') {
                if (auto frame = CheckAsciiFrame(m_line)) {
                    flushBad(out);
                    out.push_back({std::move(frame), EscapeText(m_line)});
                } else {
                    m_bad.insert(m_bad.end(), m_line.begin(), m_line.end());
                    flushBad(out); // a whole line that failed: report it on its own
                }
                m_line.clear();
            } else if (m_line.size() >= kMaxAsciiLine) {
                m_bad.insert(m_bad.end(), m_line.begin(), m_line.end());
                m_line.clear(); // too long for any Modbus frame
            }
        }
        if (m_bad.size() >= kMaxBadChunk)
            flushBad(out);
    }
}

} // namespace modsim
