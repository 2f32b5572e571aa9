#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "ScriptedStream.h"
#include "TcpPeer.h"
#include "aStream.h"

namespace {

typedef std::vector<uint8_t> Bytes;
using Clock = std::chrono::steady_clock;

// Bytes both ways and the close on destroy are seen through the TCP links.
TEST(SocketStream, ConnectsAtOnceAndReadsNeverBlock)
{
    TcpPeer peer;
    aStreamRef stream = nullptr;
    ASSERT_EQ(aErrNone, aStream_CreateSocket(TcpPeer::loopback(), peer.port(), &stream));
    ASSERT_TRUE(peer.accept(0)) << "connected when create returns";
    uint8_t byte = 0;
    auto start = Clock::now();
    EXPECT_EQ(aErrNotReady, aStream_Read(stream, &byte, 1));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(100));
    aStream_Destroy(&stream);
}

TEST(SocketStream, RefusedConnectionIsAResourceError)
{
    uint16_t port;
    {
        TcpPeer peer;
        port = peer.port();
    }
    aStreamRef stream = reinterpret_cast<aStreamRef>(1);
    EXPECT_EQ(aErrResource, aStream_CreateSocket(TcpPeer::loopback(), port, &stream));
    EXPECT_EQ(nullptr, stream);
}

TEST(SocketStream, ReconnectsWhenThePeerResetsTheConnectionAndGivesUpWhenRefused)
{
    TcpPeer peer;
    aStreamRef stream = nullptr;
    ASSERT_EQ(aErrNone, aStream_CreateSocket(TcpPeer::loopback(), peer.port(), &stream));
    ASSERT_TRUE(peer.accept());
    peer.resetConnection();

    // The next reads see the reset and connect again by themselves.
    uint8_t byte = 0;
    ASSERT_TRUE(waitUntil([&] {
        aStream_Read(stream, &byte, 1);
        return peer.connectionPending();
    }));
    ASSERT_TRUE(peer.accept());
    ASSERT_TRUE(peer.send({0x5A}));
    ASSERT_TRUE(waitUntil([&] { return aStream_Read(stream, &byte, 1) == aErrNone; }));
    EXPECT_EQ(0x5A, byte);
    const uint8_t out[] = {0x01, 0x02};
    ASSERT_EQ(aErrNone, aStream_Write(stream, out, 2));
    EXPECT_EQ((Bytes{0x01, 0x02}), peer.read(2));

    // Once a new connection is refused, the connection stays lost.
    peer.closeListener();
    peer.resetConnection();
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
    TcpPeer peer;
    aStreamRef stream = nullptr;
    ASSERT_EQ(aErrNone, aStream_CreateSocket(TcpPeer::loopback(), peer.port(), &stream));
    ASSERT_TRUE(peer.accept());
    peer.shrinkReceiveBuffer();

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
