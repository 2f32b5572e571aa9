#include "aTime.h"

#include <sys/time.h>
#include <unistd.h>

uint64_t aTime_GetMSTicks(void)
{
    struct timeval tv;
    if (gettimeofday(&tv, nullptr) != 0) return 0;
    return static_cast<uint64_t>(tv.tv_sec) * 1000u + static_cast<uint64_t>(tv.tv_usec) / 1000u;
}

aErr aTime_MSSleep(uint64_t ms)
{
    // usleep is only specified below one second, so long sleeps are chunked.
    uint64_t remaining = ms * 1000u;
    while (remaining > 0) {
        uint64_t chunk = remaining > 999999u ? 999999u : remaining;
        usleep(static_cast<useconds_t>(chunk));
        remaining -= chunk;
    }
    return aErrNone;
}
