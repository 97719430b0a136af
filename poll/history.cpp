#include "poll/history.h"

#include <algorithm>

namespace poll {

static_assert(sizeof(Sample) <= 56,
              "a sample is 8 bytes of time, 32 of values, 8 of counts, an address and a flag");

History::History(qsizetype capacity, QObject* parent)
    : QObject(parent), m_capacity(std::max<qsizetype>(capacity, 1))
{
}

void History::setInterval(std::chrono::milliseconds interval)
{
    m_interval = std::max(interval, std::chrono::milliseconds(1));
    m_gapAfterMs = m_interval.count() * 5 / 2;
    ++m_revision;
    emit changed();
}

void History::setCapacity(qsizetype capacity)
{
    m_capacity = std::max<qsizetype>(capacity, 1);
    if (m_size > m_capacity)
        dropOldest(m_size - m_capacity);
    ++m_revision;
    emit changed();
}

void History::append(const Sample& sample)
{
    store(sample);
    emit changed();
}

void History::store(const Sample& sample)
{
    if (m_size == m_capacity)
        dropOldest(1);
    const qsizetype position = m_head + m_size;
    const auto block = static_cast<std::size_t>(position / kBlockSize);
    if (block == m_blocks.size())
        m_blocks.push_back(m_spare ? std::move(m_spare) : std::make_unique<Block>());
    Sample& stored = (*m_blocks[block])[static_cast<std::size_t>(position % kBlockSize)];
    const qint64 newestMs = m_size > 0 ? newest().timeMs : sample.timeMs;
    stored = sample;
    stored.timeMs = std::max(sample.timeMs, newestMs);
    ++m_size;
    ++m_revision;
}

void History::append(std::span<const Sample> samples)
{
    // Only the newest `capacity` would stay.
    if (std::ssize(samples) > m_capacity)
        samples = samples.last(static_cast<std::size_t>(m_capacity));
    for (const Sample& sample : samples)
        store(sample);
    if (!samples.empty())
        emit changed();
}

void History::clear()
{
    m_blocks.clear();
    m_spare.reset();
    m_head = 0;
    m_size = 0;
    ++m_revision;
    emit changed();
}

void History::dropOldest(qsizetype count)
{
    m_head += count;
    m_size -= count;
    while (m_head >= kBlockSize) {
        m_spare = std::move(m_blocks.front());
        m_blocks.pop_front();
        m_head -= kBlockSize;
    }
}

const Sample& History::at(qsizetype index) const
{
    Q_ASSERT(index >= 0 && index < m_size);
    const qsizetype position = m_head + index;
    return (*m_blocks[static_cast<std::size_t>(position / kBlockSize)])[static_cast<std::size_t>(
        position % kBlockSize)];
}

qsizetype History::lowerBound(qint64 timeMs) const
{
    qsizetype low = 0;
    qsizetype high = m_size;
    while (low < high) {
        const qsizetype middle = low + (high - low) / 2;
        if (at(middle).timeMs < timeMs)
            low = middle + 1;
        else
            high = middle;
    }
    return low;
}

qsizetype History::nearest(qint64 timeMs) const
{
    if (m_size == 0)
        return -1;
    const qsizetype after = lowerBound(timeMs);
    if (after == m_size)
        return m_size - 1;
    if (after > 0 && timeMs - at(after - 1).timeMs < at(after).timeMs - timeMs)
        return after - 1;
    return after;
}

const HistoryReduction& History::reduce(qint64 fromMs, qint64 toMs, int columns) const
{
    columns = std::max(columns, 1);
    toMs = std::max(toMs, fromMs + 1);
    HistoryReduction& r = m_reduction;
    if (m_reducedRevision == m_revision && r.fromMs == fromMs && r.toMs == toMs &&
        std::ssize(r.columns) == columns)
        return r;

    r.fromMs = fromMs;
    r.toMs = toMs;
    r.columns.assign(static_cast<std::size_t>(columns), HistoryColumn{});
    r.hasBefore = r.hasAfter = r.afterJoins = false;
    m_reducedRevision = m_revision;

    const qsizetype begin = lowerBound(fromMs);
    const qsizetype end = lowerBound(toMs + 1);
    const qint64 spanMs = toMs - fromMs;
    // Set by a gap, cleared by the next good sample: the line does not run
    // across one. A failed reply leaves it as it is.
    bool broken = true;
    bool haveGood = false;
    qint64 lastGoodMs = 0; // of the newest good sample met, while haveGood
    const Sample* previous = nullptr;
    if (begin > 0) {
        previous = &at(begin - 1);
        // The good sample the line comes in from, back across failed
        // replies, as far as the gap rule lets a line reach: a few samples.
        for (qsizetype k = begin - 1; k >= 0; --k) {
            const Sample& s = at(k);
            if (s.checksumOk) {
                r.hasBefore = haveGood = true;
                r.before = s;
                lastGoodMs = s.timeMs;
                broken = false;
                break;
            }
            if (k == 0 || isGap(at(k - 1), s) || isGoodGap(at(k - 1).timeMs, previous->timeMs))
                break;
        }
    }
    // The column a sample falls in is floor((t - from) * columns / span);
    // stepping to the next boundary costs a division a column, not a sample.
    std::size_t column = 0;
    const auto boundary = [&](std::size_t col) { // the first time in column `col`
        return fromMs + (static_cast<qint64>(col) * spanMs + columns - 1) / columns;
    };
    qint64 nextBoundary = boundary(1);
    const auto last = static_cast<std::size_t>(columns - 1);
    HistoryColumn c; // the column being filled, kept apart so that it can live in registers
    // Block by block: a pointer walk, not an index lookup a sample.
    for (qsizetype i = begin; i < end;) {
        const qsizetype position = m_head + i;
        const Block& block = *m_blocks[static_cast<std::size_t>(position / kBlockSize)];
        const qsizetype offset = position % kBlockSize;
        const qsizetype count = std::min(end - i, kBlockSize - offset);
        for (const Sample *s = block.data() + offset, *stop = s + count; s != stop; ++s) {
            bool moved = false; // to another module, both addresses known
            if (previous) {
                if (isGap(*previous, *s))
                    broken = true;
                moved =
                    previous->address >= 0 && s->address >= 0 && previous->address != s->address;
            }
            previous = s;
            if (column < last && s->timeMs >= nextBoundary) {
                r.columns[column] = c;
                c = HistoryColumn{};
                while (column < last && s->timeMs >= nextBoundary)
                    nextBoundary = boundary(++column + 1);
            }
            if (moved)
                c.newAddress = s->address;
            if (!s->checksumOk) {
                ++c.failed;
                continue;
            }
            if (haveGood && isGoodGap(lastGoodMs, s->timeMs))
                broken = true;
            if (c.good == 0) {
                c.joinsPrevious = !broken;
                c.first = c.min = c.max = s->values;
            } else {
                for (std::size_t ch = 0; ch < protocol::kChannelCount; ++ch) {
                    c.min[ch] = std::min(c.min[ch], s->values[ch]);
                    c.max[ch] = std::max(c.max[ch], s->values[ch]);
                }
            }
            c.last = s->values;
            ++c.good;
            broken = false;
            haveGood = true;
            lastGoodMs = s->timeMs;
        }
        i += count;
    }
    r.columns[column] = c;
    // The good sample the line leaves the plot towards, forward across
    // failed replies as far as the gap rule lets a line reach.
    bool joinable = !broken && haveGood;
    for (qsizetype k = end; k < m_size; ++k) {
        const Sample& s = at(k);
        if (k > 0 && isGap(at(k - 1), s))
            joinable = false;
        if (s.checksumOk) {
            r.hasAfter = true;
            r.after = s;
            r.afterJoins = joinable && !isGoodGap(lastGoodMs, s.timeMs);
            break;
        }
        if (!joinable || isGoodGap(lastGoodMs, s.timeMs))
            break; // no good sample further on could be joined
    }
    return r;
}

} // namespace poll
