#ifndef KS_ATIME_H
#define KS_ATIME_H

#include <cstdint>

#include "aError.h"

// Wall-clock milliseconds (gettimeofday); 0 when the clock cannot be read.
// Every time-out of the library and the updater is measured against it.
uint64_t aTime_GetMSTicks(void);

// Sleeps ms milliseconds in chunks below one second; 0 returns at once.
// Always aErrNone.
aErr aTime_MSSleep(uint64_t ms);

// The same clock in microseconds (aTime_GetMSTicks is this over 1000), and a
// sleep of us microseconds; for pacing finer than a millisecond.
uint64_t aTime_GetUSTicks(void);
aErr aTime_USSleep(uint64_t us);

#endif
