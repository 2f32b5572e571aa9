// Packed version words, the library version and features.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "aVersion.h"

namespace {

TEST(Version, PackedWordsAndComparison)
{
    char text[32];
    aVersion_ParseString(0x2A00001D, text, sizeof text);
    EXPECT_STREQ(text, "2.10.29");
    EXPECT_EQ(aVersion_ParsePatch(0x1FFFFFFF), 0xFFFFFFu);
    EXPECT_STREQ(aVersion_GetString(), "2.9.29");
    EXPECT_TRUE(aVersion_IsAtLeastCompare(2, 9, 29, 2, 9, 29));
    EXPECT_FALSE(aVersion_IsAtLeastCompare(2, 9, 28, 2, 9, 29));
    EXPECT_TRUE(aVersion_IsAtLeastCompare(3, 0, 0, 2, 9, 29));
    EXPECT_FALSE(aVersion_IsAtLeastCompare(2, 8, 99, 2, 9, 0));
    EXPECT_TRUE(aVersion_IsAtLeast(2, 9, 29));
    EXPECT_FALSE(aVersion_IsAtLeast(2, 9, 30));
    EXPECT_TRUE(aVersion_HasFeature("VERSION"));
    EXPECT_FALSE(aVersion_HasFeature("version"));
    char* list = aVersion_GetFeatureList();
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list, "VERSION - Version Query API");
    aVersion_DestroyFeatureList(&list);
    EXPECT_EQ(list, nullptr);
}

}  // namespace
