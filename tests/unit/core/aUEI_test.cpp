// Big-endian protocol values.
#include "aUEI.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

TEST(ByteOrder, BigEndianOnTheWire)
{
    const uint8_t word[4] = {0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(0x12345678u, aUEI_RetrieveInt(word));
    EXPECT_EQ(0x1234u, aUEI_RetrieveShort(word));
    uint8_t out[4];
    aUEI_StoreInt(out, 0xDEADBEEF);
    EXPECT_EQ((std::vector<uint8_t>{0xDE, 0xAD, 0xBE, 0xEF}), std::vector<uint8_t>(out, out + 4));
    aUEI_StoreShort(out, 0x0102);
    EXPECT_EQ((std::vector<uint8_t>{0x01, 0x02}), std::vector<uint8_t>(out, out + 2));
    uint32_t words[2];
    const uint8_t raw[8] = {0, 0, 0, 1, 0x80, 0, 0, 2};
    memcpy(words, raw, sizeof raw);
    EXPECT_EQ(2u, aUEI_ModifyIntBuffer(words, 2));
    EXPECT_EQ(1u, words[0]);
    EXPECT_EQ(0x80000002u, words[1]);
}

}  // namespace
