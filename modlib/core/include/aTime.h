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

#endif
