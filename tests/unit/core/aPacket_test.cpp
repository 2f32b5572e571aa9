#include "aPacket.h"

#include <gtest/gtest.h>

#include <vector>

#include "ScriptedStream.h"

namespace {

typedef std::vector<uint8_t> Bytes;

Bytes fullPacket(size_t extra)
{
    Bytes b = {0x08, 28};
    for (int i = 0; i < 28; i++) b.push_back(static_cast<uint8_t>(0x40 + i));
    b.resize(b.size() + extra, 0x00);
    return b;
}

// Bytes fed one by one into a new packet: every byte is taken until the
// refused one (last), and a packet whose bytes were all taken is complete
// once its length is reached.
TEST(Packet, FramingAcceptsAnEvenAddressAndUpToTwentyEightBytes)
{
    const struct {
        Bytes bytes;
        aErr last;
    } cases[] = {
        {{0x04}, aErrNone},
        {{0x04, 0x00}, aErrNone},
        {{0x04, 0x00, 0x00}, aErrPacket},  // nothing may follow a complete packet
        {{0x05}, aErrPacket},
        {{0x00}, aErrPacket},
        {{0x08, 29}, aErrPacket},
        {{0x02, 3, 0xA1, 0xB2}, aErrNone},
        {fullPacket(0), aErrNone},
        {fullPacket(1), aErrOverrun},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bytes.size() << " bytes from " << int(c.bytes[0]));
        aPacket* p = aPacket_Create();
        for (size_t i = 0; i + 1 < c.bytes.size(); i++) ASSERT_EQ(aErrNone, aPacket_AddByte(p, c.bytes[i]));
        EXPECT_EQ(c.last, aPacket_AddByte(p, c.bytes.back()));
        if (c.last == aErrNone) {
            bool complete = c.bytes.size() >= 2 && c.bytes.size() == 2u + c.bytes[1];
            EXPECT_EQ(complete, aPacket_IsComplete(p));
            EXPECT_EQ(c.bytes.size(), p->curSize);
            if (complete) {
                EXPECT_EQ(Bytes(c.bytes.begin() + 2, c.bytes.end()), Bytes(p->data, p->data + p->dataSize));
            }
        }
        EXPECT_EQ(aErrNone, aPacket_Reset(p));
        EXPECT_EQ(aErrNone, aPacket_AddByte(p, 0x02)) << "a reset packet frames anew";
        aPacket_Destroy(&p);
    }
}

TEST(Packet, CreateWithDataAndCopy)
{
    const uint8_t data[] = {0x12, 0xC5, 0xE7};
    aPacket* p = aPacket_CreateWithData(0x06, 3, data);
    ASSERT_NE(nullptr, p);
    EXPECT_TRUE(aPacket_IsComplete(p));
    aPacket* copy = aPacket_Copy(p);
    aPacket_Destroy(&p);
    ASSERT_NE(nullptr, copy);
    EXPECT_EQ((Bytes{0x06, 3, 0x12, 0xC5, 0xE7}), WireBytes(copy));
    EXPECT_EQ(aErrParam, aPacket_GetCmd(copy, nullptr));
    aPacket_Destroy(&copy);
    uint8_t big[29] = {};
    EXPECT_EQ(nullptr, aPacket_CreateWithData(0x02, 29, big));
}

}  // namespace
