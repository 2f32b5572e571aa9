// Big-endian protocol values.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "aUEI.h"

namespace {

TEST(ByteOrder, BigEndianOnTheWire)
{
    const uint8_t word[4] = {0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(aUEI_RetrieveInt(word), 0x12345678u);
    const uint8_t half[2] = {0xAB, 0xCD};
    EXPECT_EQ(aUEI_RetrieveShort(half), 0xABCDu);
    uint8_t out[4];
    aUEI_StoreInt(out, 0xDEADBEEF);
    EXPECT_EQ(out[0], 0xDE);
    EXPECT_EQ(out[3], 0xEF);
    aUEI_StoreShort(out, 0x0102);
    EXPECT_EQ(out[0], 0x01);
    EXPECT_EQ(out[1], 0x02);
    uint32_t words[2];
    const uint8_t raw[8] = {0, 0, 0, 1, 0x80, 0, 0, 2};
    memcpy(words, raw, sizeof raw);
    EXPECT_EQ(aUEI_ModifyIntBuffer(words, 2), 2u);
    EXPECT_EQ(words[0], 1u);
    EXPECT_EQ(words[1], 0x80000002u);
}

}  // namespace
