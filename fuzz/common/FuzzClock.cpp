// The fuzz targets' clock in place of aTime: a sleep only moves a virtual
// offset forward, so paced clients run at full speed, while every deadline
// computed from aTime_GetMSTicks still passes and every bounded wait ends.
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
    // No yield: the ISP client polls thousands of times per input.
    gSleptMs.fetch_add(ms, std::memory_order_relaxed);
    return aErrNone;
}
