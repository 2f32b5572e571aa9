// Named mutexes: name limits and error mapping.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "aMutex.h"

namespace {

TEST(Mutex, NameLengthAndErrorMapping)
{
    std::string longest(255, 'n');
    aMutex* m = aMutex_Create(longest.c_str());
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(std::string(aMutex_Identifier(m)), longest);
    EXPECT_EQ(aMutex_Create(std::string(256, 'n').c_str()), nullptr);
    EXPECT_EQ(aMutex_Lock(m), aErrNone);
    EXPECT_EQ(aMutex_TryLock(m), aErrBusy);
    EXPECT_EQ(aMutex_Unlock(m), aErrNone);
    EXPECT_EQ(aMutex_Destroy(&m), aErrNone);
    EXPECT_EQ(m, nullptr);
    EXPECT_EQ(aMutex_Destroy(&m), aErrParam);
    EXPECT_EQ(aMutex_Lock(nullptr), aErrParam);

    aMutex* unnamed = aMutex_Create(nullptr);
    ASSERT_NE(unnamed, nullptr);
    EXPECT_STREQ(aMutex_Identifier(unnamed), "");
    aMutex_Destroy(&unnamed);
}

}  // namespace
