#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <time.h>

#include "aPacketFifo.h"
#include "aTime.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t msSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

aPacket makePacket(uint8_t address, uint8_t cmd)
{
    aPacket p = {};
    p.tag = aPACKET_TAG;
    p.address = address;
    p.dataSize = 1;
    p.data[0] = cmd;
    p.curSize = 3;
    return p;
}

bool cmdIs(const aPacket* packet, void* reference)
{
    return packet->dataSize >= 1 && packet->data[0] == *static_cast<uint8_t*>(reference);
}

class FifoTest : public ::testing::Test {
protected:
    void SetUp() override { id_ = aPacketFifo_Create(); }
    void TearDown() override
    {
        if (id_ != 0) aPacketFifo_Destroy(&id_);
    }
    void put(uint8_t address, uint8_t cmd)
    {
        aPacket p = makePacket(address, cmd);
        ASSERT_EQ(aErrNone, aPacketFifo_Put(id_, &p));
    }
    aPacketFifoRef id_ = 0;
};

TEST_F(FifoTest, PacketsComeOutInOrderAsCopies)
{
    ASSERT_NE(0u, id_);
    put(2, 10);
    put(4, 11);
    EXPECT_EQ(2, aPacketFifo_GetLength(id_));
    aPacket* p = aPacketFifo_Get(id_);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(2, p->address);
    EXPECT_EQ(10, p->data[0]);
    aPacket_Destroy(&p);
    p = aPacketFifo_Get(id_);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(4, p->address);
    aPacket_Destroy(&p);
    EXPECT_EQ(nullptr, aPacketFifo_Get(id_));
}

TEST_F(FifoTest, TheTwentyFirstPacketEmptiesTheQueue)
{
    for (int i = 0; i < 20; i++) put(2, static_cast<uint8_t>(i));
    EXPECT_EQ(20, aPacketFifo_GetLength(id_));
    put(2, 20);
    EXPECT_EQ(0, aPacketFifo_GetLength(id_));
    EXPECT_EQ(nullptr, aPacketFifo_Get(id_));
    put(2, 21);
    EXPECT_EQ(1, aPacketFifo_GetLength(id_)) << "the queue works on after the drop";
}

TEST_F(FifoTest, UnknownQueuesAndInvalidPackets)
{
    aPacket p = makePacket(2, 1);
    aPacketFifoRef unknown = id_ + 1000;
    EXPECT_EQ(aErrParam, aPacketFifo_Put(unknown, &p));
    EXPECT_EQ(0, aPacketFifo_GetLength(unknown));
    EXPECT_EQ(nullptr, aPacketFifo_Get(unknown));
    EXPECT_EQ(nullptr, aPacketFifo_Await(unknown, 10));
    EXPECT_EQ(0u, aPacketFifo_DrainPackets(unknown, cmdIs, nullptr));
    EXPECT_EQ(aErrNotFound, aPacketFifo_Destroy(&unknown));
    aPacket bad = {};
    EXPECT_EQ(aErrParam, aPacketFifo_Put(id_, &bad));
    EXPECT_EQ(aErrParam, aPacketFifo_Put(id_, nullptr));

    aPacketFifoRef other = aPacketFifo_Create();
    EXPECT_GT(other, id_) << "ids are counted upwards";
    EXPECT_EQ(aErrNone, aPacketFifo_Destroy(&other));
    EXPECT_EQ(0u, other);
}

TEST_F(FifoTest, GetFirstAndDrainLeaveOthersInOrder)
{
    put(2, 1);
    put(2, 7);
    put(4, 1);
    put(6, 7);
    put(8, 3);
    uint8_t want = 7;
    aPacket* p = aPacketFifo_GetFirst(id_, cmdIs, &want);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(2, p->address);
    aPacket_Destroy(&p);
    want = 1;
    EXPECT_EQ(2u, aPacketFifo_DrainPackets(id_, cmdIs, &want));
    want = 9;
    EXPECT_EQ(nullptr, aPacketFifo_GetFirst(id_, cmdIs, &want));
    p = aPacketFifo_Get(id_);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(6, p->address);
    aPacket_Destroy(&p);
    p = aPacketFifo_Get(id_);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(8, p->address);
    aPacket_Destroy(&p);
}

TEST_F(FifoTest, AwaitFirstFindsAMatchBehindOthers)
{
    put(2, 1);
    put(2, 2);
    put(4, 5);
    uint8_t want = 5;
    auto start = Clock::now();
    aPacket* p = aPacketFifo_AwaitFirst(id_, cmdIs, &want, 1000);
    EXPECT_LT(msSince(start), 100) << "a queued match is returned at once";
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(4, p->address);
    aPacket_Destroy(&p);
    EXPECT_EQ(2, aPacketFifo_GetLength(id_));
}

TEST_F(FifoTest, AwaitFirstTimesOutWithinItsDeadline)
{
    put(2, 1);  // present but never matching: rescanned until the deadline
    uint8_t want = 9;
    auto start = Clock::now();
    EXPECT_EQ(nullptr, aPacketFifo_AwaitFirst(id_, cmdIs, &want, 150));
    int64_t elapsed = msSince(start);
    EXPECT_GE(elapsed, 145);
    EXPECT_LE(elapsed, 400);

    aPacketFifoRef empty = aPacketFifo_Create();
    start = Clock::now();
    EXPECT_EQ(nullptr, aPacketFifo_AwaitFirst(empty, cmdIs, &want, 150));
    elapsed = msSince(start);
    EXPECT_GE(elapsed, 145);
    EXPECT_LE(elapsed, 400);
    aPacketFifo_Destroy(&empty);
    EXPECT_EQ(1, aPacketFifo_GetLength(id_));
}

TEST_F(FifoTest, AwaitFirstIsWokenByAMatchingPut)
{
    uint8_t want = 5;
    std::thread producer([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        aPacket other = makePacket(2, 1);
        aPacketFifo_Put(id_, &other);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        aPacket match = makePacket(4, 5);
        aPacketFifo_Put(id_, &match);
    });
    auto start = Clock::now();
    aPacket* p = aPacketFifo_AwaitFirst(id_, cmdIs, &want, 5000);
    int64_t elapsed = msSince(start);
    producer.join();
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(4, p->address);
    EXPECT_LT(elapsed, 1000);
    aPacket_Destroy(&p);
}

TEST_F(FifoTest, AwaitIsWokenByAPutFromAnotherThread)
{
    std::thread producer([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        aPacket p = makePacket(6, 42);
        aPacketFifo_Put(id_, &p);
    });
    auto start = Clock::now();
    aPacket* p = aPacketFifo_Await(id_, 5000);
    int64_t elapsed = msSince(start);
    producer.join();
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(42, p->data[0]);
    EXPECT_GE(elapsed, 25);
    EXPECT_LT(elapsed, 1000);
    aPacket_Destroy(&p);
}

TEST_F(FifoTest, DestroyWakesWaiters)
{
    std::atomic<int> woken{0};
    std::atomic<int64_t> slowest{0};
    uint8_t want = 1;
    auto start = Clock::now();
    std::thread a([&] {
        aPacket* p = aPacketFifo_Await(id_, 5000);
        EXPECT_EQ(nullptr, p);
        woken++;
        slowest = std::max<int64_t>(slowest.load(), msSince(start));
    });
    std::thread b([&] {
        aPacket* p = aPacketFifo_AwaitFirst(id_, cmdIs, &want, 5000);
        EXPECT_EQ(nullptr, p);
        woken++;
        slowest = std::max<int64_t>(slowest.load(), msSince(start));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    aPacketFifoRef id = id_;
    EXPECT_EQ(aErrNone, aPacketFifo_Destroy(&id_));
    a.join();
    b.join();
    EXPECT_EQ(2, woken.load());
    EXPECT_LT(slowest.load(), 1500) << "waiters must not sleep out their time-out";
    aPacket p = makePacket(2, 1);
    EXPECT_EQ(aErrParam, aPacketFifo_Put(id, &p));
}

// The wait's absolute deadline must carry nanoseconds into seconds: starting
// 700 ms into a second, 1500 ms ends 200 ms into the second after next. A
// deadline left with 1.2e9 nanoseconds makes the wait fail at once.
TEST_F(FifoTest, AwaitWaitsTheFullTimeAcrossSecondBoundaries)
{
    ASSERT_TRUE([] {
        for (int i = 0; i < 2000; i++) {
            struct timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            if (now.tv_nsec >= 700000000L && now.tv_nsec < 800000000L) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }());
    auto start = Clock::now();
    EXPECT_EQ(nullptr, aPacketFifo_Await(id_, 1500));
    int64_t elapsed = msSince(start);
    EXPECT_GE(elapsed, 1495);
    EXPECT_LE(elapsed, 1800);
}

TEST_F(FifoTest, AwaitReturnsAQueuedPacketAtOnce)
{
    put(2, 3);
    auto start = Clock::now();
    aPacket* p = aPacketFifo_Await(id_, 5000);
    EXPECT_LT(msSince(start), 100);
    ASSERT_NE(nullptr, p);
    aPacket_Destroy(&p);
}

}  // namespace
