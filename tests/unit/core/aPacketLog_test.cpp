#include <gtest/gtest.h>

#include <vector>

#include "aPacketLog.h"

namespace {

typedef std::vector<uint8_t> Bytes;

struct Record {
    uint8_t direction;
    Bytes bytes;
};

std::vector<Record> drain(aPacketLog* log)
{
    std::vector<Record> records;
    for (int guard = 0; guard < 100; guard++) {
        uint8_t direction = 0;
        uint8_t buffer[256];
        size_t length = sizeof(buffer);
        if (aPacketLog_Get(log, &direction, &length, buffer) != aErrNone) break;
        records.push_back({direction, Bytes(buffer, buffer + length)});
    }
    return records;
}

TEST(PacketLog, SixteenByteLogTakesThirteenByDroppingOlderAndRefusesFourteen)
{
    aPacketLog* log = aPacketLog_Create(16);
    ASSERT_NE(nullptr, log);
    const uint8_t a[] = {0xA0, 0xA1};
    const uint8_t b[] = {0xB0, 0xB1, 0xB2};
    ASSERT_EQ(aErrNone, aPacketLog_Put(log, 1, 2, a));
    ASSERT_EQ(aErrNone, aPacketLog_Put(log, 2, 3, b));

    Bytes thirteen(13);
    for (int i = 0; i < 13; i++) thirteen[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(aErrNone, aPacketLog_Put(log, 3, thirteen.size(), thirteen.data()));
    std::vector<Record> records = drain(log);
    ASSERT_EQ(1u, records.size()) << "both older records had to go";
    EXPECT_EQ(3, records[0].direction);
    EXPECT_EQ(thirteen, records[0].bytes);

    ASSERT_EQ(aErrNone, aPacketLog_Put(log, 1, 2, a));
    Bytes fourteen(14, 0x55);
    EXPECT_EQ(aErrOverrun, aPacketLog_Put(log, 2, fourteen.size(), fourteen.data()));
    records = drain(log);
    ASSERT_EQ(1u, records.size()) << "a refused record drops nothing";
    EXPECT_EQ(Bytes(a, a + 2), records[0].bytes);
    aPacketLog_Destroy(&log);
    EXPECT_EQ(nullptr, log);
}

TEST(PacketLog, RecordsWrapAroundInOrder)
{
    aPacketLog* log = aPacketLog_Create(16);
    ASSERT_NE(nullptr, log);
    std::vector<Record> expected;
    // Records of 2 + 3 bytes: after three of them the ring wraps.
    for (uint8_t i = 0; i < 10; i++) {
        const uint8_t bytes[] = {i, static_cast<uint8_t>(i + 1), static_cast<uint8_t>(i + 2)};
        ASSERT_EQ(aErrNone, aPacketLog_Put(log, 2, 3, bytes));
        expected.push_back({2, Bytes(bytes, bytes + 3)});
    }
    std::vector<Record> records = drain(log);
    // Three records of 5 bytes leave one byte free, so the log holds the
    // newest three.
    ASSERT_EQ(3u, records.size());
    EXPECT_EQ(expected[7].bytes, records[0].bytes);
    EXPECT_EQ(expected[8].bytes, records[1].bytes);
    EXPECT_EQ(expected[9].bytes, records[2].bytes);
    aPacketLog_Destroy(&log);
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
    length = sizeof(buffer);
    EXPECT_EQ(aErrOverrun, aPacketLog_Get(log, &direction, &length, buffer));
    EXPECT_EQ(6u, length) << "the record's length is reported";
    uint8_t big[8];
    length = sizeof(big);
    ASSERT_EQ(aErrNone, aPacketLog_Get(log, &direction, &length, big)) << "nothing was consumed before";
    EXPECT_EQ(3, direction);
    EXPECT_EQ(Bytes(text, text + 6), Bytes(big, big + length));
    EXPECT_EQ(aErrParam, aPacketLog_Put(nullptr, 1, 0, text));
    aPacketLog_Destroy(&log);
}

}  // namespace
