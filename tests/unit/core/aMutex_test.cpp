#include "aMutex.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Mutex, NamesUpTo255Characters)
{
    std::string longest(255, 'n');
    aMutex* m = aMutex_Create(longest.c_str());
    ASSERT_NE(nullptr, m);
    EXPECT_EQ(longest, aMutex_Identifier(m));
    EXPECT_EQ(nullptr, aMutex_Create(std::string(256, 'n').c_str()));
    EXPECT_EQ(aErrNone, aMutex_Lock(m));
    EXPECT_EQ(aErrNone, aMutex_Unlock(m));
    EXPECT_EQ(aErrNone, aMutex_Destroy(&m));
    EXPECT_EQ(nullptr, m);
    EXPECT_EQ(aErrParam, aMutex_Destroy(&m));
}

}  // namespace
