#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

#include "ScriptedModule.h"
#include "ScriptedStream.h"
#include "aStream.h"

namespace {

using Clock = std::chrono::steady_clock;

TEST(SocketStream, ConnectsAtOnceAndReadsNeverBlock)
{
    ScriptedModule peer(2);
    aStreamRef stream = nullptr;
    ASSERT_EQ(aErrNone, aStream_CreateSocket(peer.Ip(), peer.Port(), &stream));
    EXPECT_TRUE(waitUntil([&] { return peer.Connections() == 1; }, 100)) << "connected when create returns";
    uint8_t byte = 0;
    auto start = Clock::now();
    EXPECT_EQ(aErrNotReady, aStream_Read(stream, &byte, 1));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(100));
    aStream_Destroy(&stream);
}

TEST(SocketStream, RefusedConnectionIsAResourceError)
{
    std::unique_ptr<ScriptedModule> gone(new ScriptedModule(2));
    const linkSpec spec = gone->Spec();
    gone.reset();
    aStreamRef stream = reinterpret_cast<aStreamRef>(1);
    EXPECT_EQ(aErrResource, aStream_CreateSocket(spec.ipAddress, spec.ipPort, &stream));
    EXPECT_EQ(nullptr, stream);
}

TEST(SocketStream, ReconnectsWhenThePeerResetsTheConnectionAndGivesUpWhenRefused)
{
    ScriptedModule peer(2);
    aStreamRef stream = nullptr;
    ASSERT_EQ(aErrNone, aStream_CreateSocket(peer.Ip(), peer.Port(), &stream));
    ASSERT_TRUE(waitUntil([&] { return peer.Connections() == 1; }));
    peer.Reset();

    // The next reads see the reset and connect again by themselves.
    uint8_t byte = 0;
    ASSERT_TRUE(waitUntil([&] {
        aStream_Read(stream, &byte, 1);
        return peer.Connections() == 2;
    }));
    peer.SendRaw({0x5A});
    ASSERT_TRUE(waitUntil([&] { return aStream_Read(stream, &byte, 1) == aErrNone; }));
    EXPECT_EQ(0x5A, byte);
    const uint8_t out[] = {0x04, 0x01, 0x07};
    ASSERT_EQ(aErrNone, aStream_Write(stream, out, 3));
    ASSERT_TRUE(peer.WaitForPackets(1, 2000));
    EXPECT_EQ((std::vector<uint8_t>{0x07}), peer.Received()[0].payload);

    // Once a new connection is refused, the connection stays lost.
    peer.Reset(true);
    aErr err = aErrNone;
    ASSERT_TRUE(waitUntil([&] {
        err = aStream_Read(stream, &byte, 1);
        return err != aErrNotReady;
    }));
    EXPECT_EQ(aErrConnection, err);
    EXPECT_EQ(aErrConnection, aStream_Read(stream, &byte, 1));
    EXPECT_EQ(aErrConnection, aStream_Write(stream, &byte, 1));
    aStream_Destroy(&stream);
}

// A peer that stops reading: once both socket buffers are full every send
// fails with EAGAIN, and the write gives up after ten attempts 60 ms apart.
TEST(SocketStream, WriteGivesUpWithIOErrorAfterTenFailedAttempts)
{
    ScriptedModule peer(2, 1, 0, true);
    aStreamRef stream = nullptr;
    ASSERT_EQ(aErrNone, aStream_CreateSocket(peer.Ip(), peer.Port(), &stream));
    std::vector<uint8_t> big(16 * 1024 * 1024, 0x55);
    auto start = Clock::now();
    EXPECT_EQ(aErrIO, aStream_Write(stream, big.data(), big.size()));
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    // Nine pauses after the partial send that filled the buffers.
    EXPECT_GE(elapsed, 9 * 60 - 5);
    EXPECT_LE(elapsed, 3000);
    aStream_Destroy(&stream);
}

}  // namespace
