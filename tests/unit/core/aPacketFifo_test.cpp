#include "aPacketFifo.h"

#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "ScriptedStream.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t msSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
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
    static aErr put(aPacketFifoRef id, uint8_t address, uint8_t cmd)
    {
        aPacket p = MakePacket(address, {cmd});
        return aPacketFifo_Put(id, &p);
    }
    // The address of the packet taken (0 for none).
    static uint8_t take(aPacket* p)
    {
        uint8_t address = p != nullptr ? p->address : 0;
        if (p != nullptr) aPacket_Destroy(&p);
        return address;
    }
    aPacketFifoRef id_ = 0;
};

TEST_F(FifoTest, TheTwentyFirstPacketEmptiesTheQueue)
{
    for (int i = 0; i < 20; i++) ASSERT_EQ(aErrNone, put(id_, static_cast<uint8_t>(2 + 2 * i), 0));
    EXPECT_EQ(20, aPacketFifo_GetLength(id_));
    EXPECT_EQ(2, take(aPacketFifo_Get(id_))) << "first in, first out";
    put(id_, 2, 20);
    put(id_, 2, 21);
    EXPECT_EQ(0, aPacketFifo_GetLength(id_));
    EXPECT_EQ(nullptr, aPacketFifo_Get(id_));
    put(id_, 2, 22);
    EXPECT_EQ(1, aPacketFifo_GetLength(id_)) << "the queue works on after the drop";
}

TEST_F(FifoTest, GetFirstAwaitFirstAndDrainLeaveOthersInOrder)
{
    const uint8_t packets[][2] = {{2, 1}, {2, 7}, {4, 1}, {6, 7}, {8, 3}, {10, 5}};
    for (const auto& p : packets) put(id_, p[0], p[1]);
    uint8_t want = 7;
    EXPECT_EQ(2, take(aPacketFifo_GetFirst(id_, cmdIs, &want)));
    want = 5;
    auto start = Clock::now();
    EXPECT_EQ(10, take(aPacketFifo_AwaitFirst(id_, cmdIs, &want, 1000)));
    EXPECT_LT(msSince(start), 100) << "a queued match is returned at once";
    want = 1;
    EXPECT_EQ(2u, aPacketFifo_DrainPackets(id_, cmdIs, &want));
    want = 9;
    EXPECT_EQ(nullptr, aPacketFifo_GetFirst(id_, cmdIs, &want));
    EXPECT_EQ(6, take(aPacketFifo_Get(id_)));
    EXPECT_EQ(8, take(aPacketFifo_Get(id_)));
}

TEST_F(FifoTest, AwaitFirstTimesOutWithinItsDeadline)
{
    put(id_, 2, 1);  // present but never matching: rescanned until the deadline
    uint8_t want = 9;
    aPacketFifoRef empty = aPacketFifo_Create();
    for (aPacketFifoRef id : {id_, empty}) {
        auto start = Clock::now();
        EXPECT_EQ(nullptr, aPacketFifo_AwaitFirst(id, cmdIs, &want, 150));
        int64_t elapsed = msSince(start);
        EXPECT_GE(elapsed, 145);
        EXPECT_LE(elapsed, 400);
    }
    aPacketFifo_Destroy(&empty);
    EXPECT_EQ(1, aPacketFifo_GetLength(id_));
}

TEST_F(FifoTest, AwaitAndAwaitFirstAreWokenByAPutFromAnotherThread)
{
    std::thread producer([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        put(id_, 2, 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        put(id_, 4, 5);
    });
    auto start = Clock::now();
    EXPECT_EQ(2, take(aPacketFifo_Await(id_, 5000)));
    EXPECT_GE(msSince(start), 25);
    uint8_t want = 5;
    EXPECT_EQ(4, take(aPacketFifo_AwaitFirst(id_, cmdIs, &want, 5000)));
    EXPECT_LT(msSince(start), 1000);
    producer.join();
}

TEST_F(FifoTest, DestroyWakesWaiters)
{
    std::atomic<int> woken{0};
    uint8_t want = 1;
    auto start = Clock::now();
    std::thread a([&] { woken += aPacketFifo_Await(id_, 5000) == nullptr; });
    std::thread b([&] { woken += aPacketFifo_AwaitFirst(id_, cmdIs, &want, 5000) == nullptr; });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    aPacketFifoRef id = id_;
    EXPECT_EQ(aErrNone, aPacketFifo_Destroy(&id_));
    a.join();
    b.join();
    EXPECT_EQ(2, woken.load());
    EXPECT_LT(msSince(start), 1500) << "waiters must not sleep out their time-out";
    EXPECT_EQ(aErrParam, put(id, 2, 1));
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

}  // namespace
