// The samples of a poll over time, kept apart from whatever draws them: a
// bounded ring of compact samples, oldest dropped when full, and its
// reduction to one minimum and maximum per channel per pixel column, so
// that drawing costs what the width costs whatever the history holds. A
// running program owns one beside its acquisition, fed from the start, and
// its trend view draws it; polltrend fills one from a recording.
#pragma once

#include "codec/protocol.h"
#include "poll/sample.h"

#include <QObject>
#include <QtGlobal>

#include <chrono>

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <vector>

namespace poll {

// One pixel column of a reduced view. Only samples with a good checksum give
// values; a failed one only counts, to be marked.
struct HistoryColumn
{
    std::int32_t good = 0;
    std::int32_t failed = 0;
    // The line comes into this column from the last good sample before it:
    // no gap lies between them, and failed replies between them, if any,
    // leave them no further apart than the gap rule allows.
    bool joinsPrevious = false;
    // The module's address changed in this column, from one known address
    // to this one; -1 if it did not.
    std::int16_t newAddress = -1;
    protocol::ChannelValues first{}, last{}, min{}, max{};
};

struct HistoryReduction
{
    qint64 fromMs = 0;
    qint64 toMs = 0;
    std::vector<HistoryColumn> columns;
    // The nearest good samples just outside the range (across failed
    // replies), so that a line can leave the plot at its edges; valid only
    // if `hasBefore` / `hasAfter`, and joined to the nearest column with
    // values only if that column's `joinsPrevious` / `afterJoins` says so.
    bool hasBefore = false, hasAfter = false, afterJoins = false;
    Sample before, after;
};

class History : public QObject
{
    Q_OBJECT

public:
    // A day at one sample a second.
    static constexpr qsizetype kDefaultCapacity = 86'400;

    explicit History(qsizetype capacity = kDefaultCapacity, QObject* parent = nullptr);

    // How often samples come when nothing is missing: the poll interval of a
    // running program, the usual spacing of a recording's rows. Samples
    // further apart than 2.5 intervals have a silence between them (2.5 s
    // at one poll a second, 12.5 s at one every 5 s).
    void setInterval(std::chrono::milliseconds interval);
    std::chrono::milliseconds interval() const { return m_interval; }
    qint64 gapAfterMs() const { return m_gapAfterMs; }

    // At least one sample; the oldest ones go if there are more than that.
    void setCapacity(qsizetype capacity);
    qsizetype capacity() const { return m_capacity; }

    // A sample timed before the newest (the clock was set back) is kept at
    // the newest one's time, so that the ring stays in time order for search.
    void append(const Sample& sample);
    void append(std::span<const Sample> samples);
    void clear();

    qsizetype size() const { return m_size; }
    bool isEmpty() const { return m_size == 0; }
    // 0 is the oldest sample held.
    const Sample& at(qsizetype index) const;
    const Sample& newest() const { return at(m_size - 1); }
    const Sample& oldest() const { return at(0); }
    // The index of the first sample at or after `timeMs`; size() if none.
    qsizetype lowerBound(qint64 timeMs) const;
    // The sample nearest in time to `timeMs`, or -1 if empty.
    qsizetype nearest(qint64 timeMs) const;

    // True if no line may join `a` to the sample `b` after it: the poll
    // count rose by more than one (requests went unanswered) or there was a
    // silence (the port was unplugged, no requests went out).
    bool isGap(const Sample& a, const Sample& b) const
    {
        return qint64{b.polls} - a.polls > 1 || b.timeMs - a.timeMs > m_gapAfterMs;
    }
    // A line joins good replies across failed ones (they are marked, not
    // drawn) only while the good ones are no further apart than the gap rule:
    // at one poll a second, one failed reply between them (2 s) is joined,
    // two in a row (3 s) are not.
    bool isGoodGap(qint64 goodMs, qint64 nextGoodMs) const
    {
        return nextGoodMs - goodMs > m_gapAfterMs;
    }

    // [fromMs, toMs] in `columns` equal columns. The result is kept: asking
    // again for the same view, with nothing appended, costs nothing.
    const HistoryReduction& reduce(qint64 fromMs, qint64 toMs, int columns) const;

signals:
    // Samples were appended, dropped or cleared, or the interval changed.
    void changed();

private:
    // 4096 samples of 56 bytes, 224 KiB a block: 7 days at 1 Hz is 148
    // blocks, and growing or dropping the oldest never moves a sample.
    static constexpr qsizetype kBlockSize = 4096;
    using Block = std::array<Sample, kBlockSize>;

    void store(const Sample& sample);
    void dropOldest(qsizetype count);

    qsizetype m_capacity;
    std::chrono::milliseconds m_interval{1000};
    qint64 m_gapAfterMs = 2'500;
    std::deque<std::unique_ptr<Block>> m_blocks;
    std::unique_ptr<Block> m_spare; // the last block let go, reused for the next one needed
    qsizetype m_head = 0;           // index of the oldest sample in the first block
    qsizetype m_size = 0;
    std::uint64_t m_revision = 0; // changes whenever the samples do

    mutable HistoryReduction m_reduction;
    mutable std::uint64_t m_reducedRevision = ~std::uint64_t{0};
};

} // namespace poll
