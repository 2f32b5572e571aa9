// Big-endian protocol values.
#include "aUEI.h"

#include <gtest/gtest.h>

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
}

}  // namespace
