// The fuzz targets' clock: replaces modlib/core's aTime for every target.
//
// The clients under test pace themselves with sleeps (the ISP client waits
// for replies computed from the line rate, the link engine pauses before a
// synchronisation request and between sends). Real sleeps would cap a target
// at a few executions per second, so a sleep here only moves a virtual
// offset forward and returns: time still runs on (the real clock plus
// everything slept), so every deadline computed from aTime_GetMSTicks still
// passes and every bounded wait still ends.
//
// Linked as an object ahead of ks_core: the archive's aTime object defines
// exactly these two functions and is then never pulled in.
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
    // No yield either: on a loaded machine every yield gives the processor
    // away for a whole time slice, and the ISP client polls thousands of
    // times per input. Waits between threads go through condition variables
    // and real sleeps, not through this.
    gSleptMs.fetch_add(ms, std::memory_order_relaxed);
    return aErrNone;
}
