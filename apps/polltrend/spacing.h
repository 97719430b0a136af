// The interval samples come at, for the gap rule, from the samples
// themselves: the median spacing of the first 1000, a quarter of an hour at
// one a second. A pause between runs, or a silence, is far rarer than a
// poll and does not move it. A recording followed and a broker's readings
// are judged alike.
#pragma once

#include <QtGlobal>

#include <algorithm>
#include <chrono>
#include <optional>
#include <vector>

namespace polltrend {

class SpacingMedian
{
public:
    // Takes the next sample's time; true if it gave a spacing (a sample
    // before it, earlier than it, and fewer than 1000 spacings so far).
    bool add(qint64 timeMs)
    {
        const bool taken = m_previousMs && m_spacings.size() < kSpacings && timeMs > *m_previousMs;
        if (taken)
            m_spacings.push_back(timeMs - *m_previousMs);
        m_previousMs = timeMs;
        return taken;
    }
    // The median of the spacings taken; 1 s before there is one.
    std::chrono::milliseconds interval() const
    {
        if (m_spacings.empty())
            return std::chrono::milliseconds(1000);
        std::vector<qint64> sorted = m_spacings;
        const auto middle = sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2);
        std::nth_element(sorted.begin(), middle, sorted.end());
        return std::chrono::milliseconds(*middle);
    }
    void clear() { *this = SpacingMedian(); }

private:
    static constexpr std::size_t kSpacings = 1000;
    std::vector<qint64> m_spacings;
    std::optional<qint64> m_previousMs;
};

} // namespace polltrend
