// Packed version words and their comparison.
#include "aVersion.h"

#include <gtest/gtest.h>

namespace {

TEST(Version, PackedWordsAndComparison)
{
    char text[32];
    aVersion_ParseString(0x2A00001D, text, sizeof text);
    EXPECT_STREQ("2.10.29", text);
    EXPECT_EQ(0xFFFFFFu, aVersion_ParsePatch(0x1FFFFFFF));
    const struct {
        int major, minor, patch;
        bool atLeast;  // than 2.9.29
    } cases[] = {{2, 9, 29, true}, {2, 9, 28, false}, {3, 0, 0, true}, {2, 8, 99, false}, {2, 10, 0, true}};
    for (const auto& c : cases)
        EXPECT_EQ(c.atLeast, aVersion_IsAtLeastCompare(c.major, c.minor, c.patch, 2, 9, 29))
            << c.major << "." << c.minor << "." << c.patch;
    EXPECT_TRUE(aVersion_HasFeature("VERSION"));
    EXPECT_FALSE(aVersion_HasFeature("version"));
}

}  // namespace
