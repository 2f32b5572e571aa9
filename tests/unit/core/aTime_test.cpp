// Millisecond ticks and chunked sleeps.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "aTime.h"

namespace {

TEST(Time, SleepsAndTicks)
{
    uint64_t start = aTime_GetMSTicks();
    EXPECT_EQ(aTime_MSSleep(0), aErrNone);
    EXPECT_LT(aTime_GetMSTicks() - start, 20u);
    aTime_MSSleep(30);
    uint64_t elapsed = aTime_GetMSTicks() - start;
    EXPECT_GE(elapsed, 30u);
    EXPECT_LT(elapsed, 1000u);
}

}  // namespace
