#include "aPacketLog.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

typedef std::vector<uint8_t> Bytes;

// Every record left, oldest first, as direction and bytes.
std::vector<std::pair<uint8_t, Bytes>> drain(aPacketLog* log)
{
    std::vector<std::pair<uint8_t, Bytes>> records;
    uint8_t direction = 0;
    uint8_t buffer[256];
    size_t length = sizeof(buffer);
    for (int guard = 0; guard < 100 && aPacketLog_Get(log, &direction, &length, buffer) == aErrNone;
         guard++) {
        records.emplace_back(direction, Bytes(buffer, buffer + length));
        length = sizeof(buffer);
    }
    return records;
}

// A record takes its bytes and two more; one byte of the ring stays free.
TEST(PacketLog, SixteenByteLogTakesThirteenByDroppingOlderAndRefusesFourteen)
{
    aPacketLog* log = aPacketLog_Create(16);
    ASSERT_NE(nullptr, log);
    const Bytes a = {0xA0, 0xA1};
    const Bytes thirteen(13, 0x13);
    ASSERT_EQ(aErrNone, aPacketLog_Put(log, 1, a.size(), a.data()));
    ASSERT_EQ(aErrNone, aPacketLog_Put(log, 2, a.size(), a.data()));
    ASSERT_EQ(aErrNone, aPacketLog_Put(log, 3, thirteen.size(), thirteen.data()));
    EXPECT_EQ((std::vector<std::pair<uint8_t, Bytes>>{{3, thirteen}}), drain(log)) << "both older records go";

    ASSERT_EQ(aErrNone, aPacketLog_Put(log, 1, a.size(), a.data()));
    const Bytes fourteen(14, 0x14);
    EXPECT_EQ(aErrOverrun, aPacketLog_Put(log, 2, fourteen.size(), fourteen.data()));
    EXPECT_EQ((std::vector<std::pair<uint8_t, Bytes>>{{1, a}}), drain(log))
        << "a refused record drops nothing";

    // Records of 2 + 3 bytes wrap around the ring; the newest three fit.
    for (uint8_t i = 0; i < 10; i++) {
        const uint8_t bytes[] = {i, static_cast<uint8_t>(i + 1), static_cast<uint8_t>(i + 2)};
        ASSERT_EQ(aErrNone, aPacketLog_Put(log, 2, 3, bytes));
    }
    EXPECT_EQ((std::vector<std::pair<uint8_t, Bytes>>{{2, {7, 8, 9}}, {2, {8, 9, 10}}, {2, {9, 10, 11}}}),
              drain(log));
    aPacketLog_Destroy(&log);
    EXPECT_EQ(nullptr, log);
}

TEST(PacketLog, GetReportsEmptyAndTooSmallBuffers)
{
    aPacketLog* log = aPacketLog_Create(64);
    uint8_t direction = 0;
    uint8_t buffer[4];
    size_t length = sizeof(buffer);
    EXPECT_EQ(aErrNotFound, aPacketLog_Get(log, &direction, &length, buffer));
    const uint8_t text[] = {'S', 'T', 'A', 'R', 'T', 0};
    ASSERT_EQ(aErrNone, aPacketLog_Put(log, 3, sizeof(text), text));
    EXPECT_EQ(aErrOverrun, aPacketLog_Get(log, &direction, &length, buffer));
    EXPECT_EQ(6u, length) << "the record's length is reported";
    EXPECT_EQ((std::vector<std::pair<uint8_t, Bytes>>{{3, Bytes(text, text + 6)}}), drain(log))
        << "nothing was consumed before";
    aPacketLog_Destroy(&log);
}

}  // namespace
