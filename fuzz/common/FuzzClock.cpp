// The fuzz targets' clock in place of aTime: a sleep only moves a virtual
// offset forward, so paced clients run at full speed, while every deadline
// computed from the ticks still passes and every bounded wait ends.
#include <sys/time.h>

#include <atomic>

#include "aTime.h"

namespace {
std::atomic<uint64_t> gSleptUs{0};
}

uint64_t aTime_GetUSTicks(void)
{
    struct timeval tv;
    if (gettimeofday(&tv, nullptr) != 0) return 0;
    uint64_t real = static_cast<uint64_t>(tv.tv_sec) * 1000000u + static_cast<uint64_t>(tv.tv_usec);
    return real + gSleptUs.load(std::memory_order_relaxed);
}

uint64_t aTime_GetMSTicks(void)
{
    return aTime_GetUSTicks() / 1000u;
}

aErr aTime_USSleep(uint64_t us)
{
    // No yield: the ISP client polls thousands of times per input.
    gSleptUs.fetch_add(us, std::memory_order_relaxed);
    return aErrNone;
}

aErr aTime_MSSleep(uint64_t ms)
{
    return aTime_USSleep(ms * 1000u);
}
