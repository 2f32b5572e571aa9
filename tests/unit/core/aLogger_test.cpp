// The polling logger thread.
#include "aLogger.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "ScriptedStream.h"
#include "aFile.h"
#include "aTime.h"

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
    ASSERT_NE(nullptr, logger);
    EXPECT_EQ(aErrNone, aLogger_Enable(logger));
    EXPECT_EQ(aErrNone, aLogger_Enable(logger));
    EXPECT_TRUE(waitUntil([] { return g_polls.load() >= 3; }));
    EXPECT_EQ(aErrNone, aLogger_Disable(logger));
    int after = g_polls.load();
    aTime_MSSleep(10);
    EXPECT_EQ(after, g_polls.load());
    EXPECT_EQ(aErrNone, aLogger_Destroy(&logger));
    FILE* f = fopen(path, "r");
    char line[32] = {0};
    EXPECT_NE(nullptr, fgets(line, sizeof line, f));
    fclose(f);
    unlink(path);
    EXPECT_STREQ("ref=42\n", line);
    EXPECT_EQ(nullptr, aLogger_Create(1, CountingPoll, "/nonexistent-dir/x.log"));
}

}  // namespace
