// When the poll ticks fall due: tick n is n intervals after the start, so the
// timer's own lateness never adds up (after an hour the 3600th tick is still
// within a few milliseconds of 3600 s).
#pragma once

#include <chrono>
#include <cstdint>

namespace poll {

struct NextTick
{
    std::int64_t number;           // of the tick to wait for
    std::chrono::nanoseconds wait; // from now until it is due, never negative
};

// The tick after `previous` (0 right after the start), given the time `now`
// since the start. A tick that would fall due less than half an interval from
// now is skipped, with any others already missed: after a machine slept or a
// debugger stopped the program, requests never go out back to back, where
// the next tick's flush of the transmit buffer would cut the last one short.
NextTick ScheduleNextTick(std::int64_t previous, std::chrono::nanoseconds interval,
                          std::chrono::nanoseconds now);

} // namespace poll
