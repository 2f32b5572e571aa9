// The fuzz targets' clock, in place of modlib/core's aTime (linked as an
// object ahead of ks_core, whose aTime object is then never pulled in). The
// clients pace themselves with sleeps, which would cap a target at a few
// executions per second: a sleep here only moves a virtual offset forward.
// Time still runs on (the real clock plus everything slept), so every
// deadline computed from aTime_GetMSTicks passes and every bounded wait ends.
#include <sys/time.h>

#include <atomic>

#include "aTime.h"

namespace {
std::atomic<uint64_t> gSleptMs{0};
}

uint64_t aTime_GetMSTicks(void)
{
    struct timeval tv;
    if (gettimeofday(&tv, nullptr) != 0) return 0;
    uint64_t real = static_cast<uint64_t>(tv.tv_sec) * 1000u + static_cast<uint64_t>(tv.tv_usec) / 1000u;
    return real + gSleptMs.load(std::memory_order_relaxed);
}

aErr aTime_MSSleep(uint64_t ms)
{
    // No yield either: on a loaded machine a yield gives the processor away
    // for a whole time slice, and the ISP client polls thousands of times
    // per input.
    gSleptMs.fetch_add(ms, std::memory_order_relaxed);
    return aErrNone;
}
