#include <gtest/gtest.h>

#include <vector>

#include "aPacket.h"

namespace {

typedef std::vector<uint8_t> Bytes;

// Feeds bytes until one is refused; returns the results in order.
std::vector<aErr> feed(aPacket* packet, const Bytes& bytes)
{
    std::vector<aErr> results;
    for (uint8_t b : bytes) results.push_back(aPacket_AddByte(packet, b));
    return results;
}

class PacketTest : public ::testing::Test {
protected:
    void SetUp() override { packet_ = aPacket_Create(); }
    void TearDown() override
    {
        if (packet_ != nullptr) aPacket_Destroy(&packet_);
    }
    aPacket* packet_ = nullptr;
};

TEST_F(PacketTest, CreateGivesAnEmptyValidPacket)
{
    ASSERT_NE(nullptr, packet_);
    EXPECT_EQ(0xBEEF, packet_->tag);
    EXPECT_EQ(0, packet_->curSize);
    EXPECT_EQ(0, packet_->address);
    EXPECT_EQ(0, packet_->dataSize);
    EXPECT_FALSE(aPacket_IsComplete(packet_));
}

TEST_F(PacketTest, AddressThenZeroLengthFramesAnEmptyPacketAtOnce)
{
    EXPECT_EQ(aErrNone, aPacket_AddByte(packet_, 0x04));
    EXPECT_FALSE(aPacket_IsComplete(packet_));
    EXPECT_EQ(aErrNone, aPacket_AddByte(packet_, 0x00));
    EXPECT_TRUE(aPacket_IsComplete(packet_));
    EXPECT_EQ(4, packet_->address);
    EXPECT_EQ(0, packet_->dataSize);
    EXPECT_EQ(aErrPacket, aPacket_AddByte(packet_, 0x00)) << "nothing may follow a complete packet";
}

TEST_F(PacketTest, OddOrZeroAddressIsRefused)
{
    EXPECT_EQ(aErrPacket, aPacket_AddByte(packet_, 0x05));
    aPacket_Reset(packet_);
    EXPECT_EQ(aErrPacket, aPacket_AddByte(packet_, 0x00));
    aPacket_Reset(packet_);
    EXPECT_EQ(aErrPacket, aPacket_AddByte(packet_, 0xAF)) << "host control addresses are odd";
}

TEST_F(PacketTest, LengthTwentyEightIsTheLargestPayload)
{
    Bytes wire = {0x08, 28};
    for (int i = 0; i < 28; i++) wire.push_back(static_cast<uint8_t>(0x40 + i));
    std::vector<aErr> results = feed(packet_, wire);
    EXPECT_EQ(std::vector<aErr>(30, aErrNone), results);
    ASSERT_TRUE(aPacket_IsComplete(packet_));
    EXPECT_EQ(28, packet_->dataSize);
    EXPECT_EQ(Bytes(wire.begin() + 2, wire.end()), Bytes(packet_->data, packet_->data + 28));
    EXPECT_EQ(30, packet_->curSize);
    EXPECT_EQ(aErrOverrun, aPacket_AddByte(packet_, 0x00)) << "a 31st byte overruns";

    aPacket_Reset(packet_);
    EXPECT_EQ((std::vector<aErr>{aErrNone, aErrPacket}), feed(packet_, {0x08, 29}));
}

TEST_F(PacketTest, PayloadIsCopiedInOrder)
{
    EXPECT_EQ(std::vector<aErr>(5, aErrNone), feed(packet_, {0x02, 3, 0xA1, 0xB2, 0xC3}));
    ASSERT_TRUE(aPacket_IsComplete(packet_));
    EXPECT_EQ((Bytes{0xA1, 0xB2, 0xC3}), Bytes(packet_->data, packet_->data + 3));
    EXPECT_EQ(aErrNone, aPacket_Reset(packet_));
    EXPECT_EQ(0, packet_->curSize);
    EXPECT_EQ(0, packet_->address);
    EXPECT_EQ(0, packet_->dataSize);
    EXPECT_EQ(0, packet_->data[0]);
}

TEST_F(PacketTest, InvalidRecordsAreRefused)
{
    aPacket bogus = {};
    EXPECT_EQ(aErrParam, aPacket_AddByte(&bogus, 0x02));
    EXPECT_EQ(aErrParam, aPacket_Reset(&bogus));
    EXPECT_FALSE(aPacket_IsComplete(&bogus));
    EXPECT_EQ(nullptr, aPacket_Copy(&bogus));
    aPacket* none = nullptr;
    EXPECT_EQ(aErrParam, aPacket_Destroy(&none));
    EXPECT_EQ(aErrNone, aPacket_Destroy(&packet_));
    EXPECT_EQ(nullptr, packet_);
}

TEST(PacketData, CreateWithDataAndCopy)
{
    const uint8_t data[] = {0x12, 0xC5, 0xE7};
    aPacket* p = aPacket_CreateWithData(0x06, 3, data);
    ASSERT_NE(nullptr, p);
    EXPECT_TRUE(aPacket_IsComplete(p));
    EXPECT_EQ(5, p->curSize);
    aPacket* copy = aPacket_Copy(p);
    ASSERT_NE(nullptr, copy);
    EXPECT_EQ(0x06, copy->address);
    EXPECT_EQ(3, copy->dataSize);
    EXPECT_EQ(Bytes(data, data + 3), Bytes(copy->data, copy->data + 3));

    uint8_t cmd = 0, option = 0, index = 0;
    EXPECT_EQ(aErrNone, aPacket_GetCmd(copy, &cmd));
    EXPECT_EQ(aErrNone, aPacket_GetOption(copy, &option));
    EXPECT_EQ(aErrNone, aPacket_GetIndex(copy, &index));
    EXPECT_EQ(0x12, cmd);
    EXPECT_EQ(0x05, option) << "option is the low 6 bits";
    EXPECT_EQ(0x07, index) << "index is the low 5 bits";
    EXPECT_EQ(aErrParam, aPacket_GetCmd(copy, nullptr));
    aPacket_Destroy(&copy);
    aPacket_Destroy(&p);

    uint8_t big[29] = {};
    EXPECT_EQ(nullptr, aPacket_CreateWithData(0x02, 29, big));
    aPacket* shortOne = aPacket_CreateWithData(0x02, 1, data);
    EXPECT_EQ(aErrNone, aPacket_GetCmd(shortOne, &cmd));
    EXPECT_EQ(aErrPacket, aPacket_GetOption(shortOne, &option));
    EXPECT_EQ(aErrPacket, aPacket_GetIndex(shortOne, &index));
    aPacket_Destroy(&shortOne);
    aPacket* empty = aPacket_CreateWithData(0x02, 0, nullptr);
    ASSERT_NE(nullptr, empty);
    EXPECT_EQ(aErrPacket, aPacket_GetCmd(empty, &cmd));
    aPacket_Destroy(&empty);
}

}  // namespace
