// The polling logger thread.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "aLogger.h"
#include "aTime.h"
#include "aFile.h"

namespace {

std::atomic<int> g_polls{0};

void CountingPoll(aFileRef* file, uint32_t reference)
{
    if (g_polls.fetch_add(1) == 0) aFile_Printf(file, "ref=%u\n", reference);
    aTime_MSSleep(1);
}

TEST(Logger, RunsItsPollFunctionUntilDisabled)
{
    char path[] = "/tmp/aLoggerTestXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    aLogger* logger = aLogger_Create(42, CountingPoll, path);
    ASSERT_NE(logger, nullptr);
    EXPECT_EQ(aLogger_Enable(logger), aErrNone);
    EXPECT_EQ(aLogger_Enable(logger), aErrNone);
    uint64_t deadline = aTime_GetMSTicks() + 2000;
    while (g_polls.load() < 3 && aTime_GetMSTicks() < deadline) aTime_MSSleep(1);
    EXPECT_EQ(aLogger_Disable(logger), aErrNone);
    int after = g_polls.load();
    aTime_MSSleep(10);
    EXPECT_EQ(g_polls.load(), after);
    EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
    EXPECT_EQ(logger, nullptr);
    FILE* f = fopen(path, "r");
    char line[32] = {0};
    fgets(line, sizeof line, f);
    fclose(f);
    unlink(path);
    EXPECT_STREQ(line, "ref=42\n");
    EXPECT_EQ(aLogger_Create(1, CountingPoll, "/nonexistent-dir/x.log"), nullptr);
}

}  // namespace
