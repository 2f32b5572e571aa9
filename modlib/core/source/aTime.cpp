#include "aTime.h"

#include <sys/time.h>
#include <unistd.h>

uint64_t aTime_GetUSTicks(void)
{
    struct timeval tv;
    if (gettimeofday(&tv, nullptr) != 0) return 0;
    return static_cast<uint64_t>(tv.tv_sec) * 1000000u + static_cast<uint64_t>(tv.tv_usec);
}

uint64_t aTime_GetMSTicks(void)
{
    return aTime_GetUSTicks() / 1000u;
}

aErr aTime_USSleep(uint64_t us)
{
    // usleep is only specified below one second, so long sleeps are chunked.
    while (us > 0) {
        uint64_t chunk = us > 999999u ? 999999u : us;
        usleep(static_cast<useconds_t>(chunk));
        us -= chunk;
    }
    return aErrNone;
}

aErr aTime_MSSleep(uint64_t ms)
{
    return aTime_USSleep(ms * 1000u);
}
