// Packed version words: 4 bits major, 4 bits minor, 24 bits patch.
#include "aVersion.h"

#include <gtest/gtest.h>

namespace {

TEST(Version, PackedWordsAndTheAtLeastComparison)
{
    EXPECT_EQ(2u, aVersion_ParseMajor(0x2A00001D));
    EXPECT_EQ(10u, aVersion_ParseMinor(0x2A00001D));
    EXPECT_EQ(29u, aVersion_ParsePatch(0x2A00001D));
    EXPECT_EQ(0xFFFFFFu, aVersion_ParsePatch(0x1FFFFFFF));
    EXPECT_EQ(0xFu, aVersion_ParseMinor(0xFFFFFFFF));
    EXPECT_TRUE(aVersion_IsAtLeastCompare(2, 9, 29, 2, 9, 29));
    EXPECT_FALSE(aVersion_IsAtLeastCompare(2, 9, 28, 2, 9, 29));
}

}  // namespace
