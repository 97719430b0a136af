#include "poll/tickschedule.h"

namespace poll {

NextTick ScheduleNextTick(std::int64_t previous, std::chrono::nanoseconds interval,
                          std::chrono::nanoseconds now)
{
    const std::int64_t step = interval.count();
    const std::int64_t elapsed = now.count();
    std::int64_t next = previous + 1;
    if (next * step - elapsed < step / 2)
        next = (elapsed + step / 2) / step + 1; // the first slot at least half an interval away
    return {next, std::chrono::nanoseconds(next * step - elapsed)};
}

} // namespace poll
