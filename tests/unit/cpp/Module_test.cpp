// Module and Link: connecting, the automatic address query, raw packets, the
// packet log.
#include "Module.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "Link.h"
#include "ScriptedModule.h"

using Orvantis::Keystrand::Link;
using Orvantis::Keystrand::Module;
using Packet = ScriptedModule::Packet;
using Bytes = std::vector<uint8_t>;

namespace {

TEST(Module, AdoptsTheAddressTheModuleReportsUnlessNetworkingIsOff)
{
    Module none(2, 0);
    EXPECT_EQ(none.connect(USB, 0), aErrParam) << "a serial number is needed";
    EXPECT_FALSE(none.isConnected());

    ScriptedModule peer(6);
    Module module(2, 0);
    ASSERT_EQ(module.connectFromSpec(peer.Spec()), aErrNone);
    EXPECT_TRUE(module.isConnected());
    EXPECT_EQ(module.getModuleAddress(), 6);
    EXPECT_EQ(module.connectFromSpec(peer.Spec()), aErrBusy);
    module.disconnect();
    EXPECT_FALSE(module.isConnected());

    Module fixed(2, false, 0);
    ASSERT_EQ(fixed.connectFromSpec(peer.Spec()), aErrNone);
    EXPECT_EQ(fixed.getModuleAddress(), 2);
    fixed.disconnect();
}

TEST(Module, ThroughARouterKeepsItsOwnAddressAndSharesTheLink)
{
    ScriptedModule peer(4);
    Module router(2, 0);
    ASSERT_EQ(router.connectFromSpec(peer.Spec()), aErrNone);
    EXPECT_EQ(router.getModuleAddress(), 4);
    Module behind(10, 0);
    ASSERT_EQ(behind.connectThroughLinkModule(&router), aErrNone);
    EXPECT_EQ(behind.getModuleAddress(), 10);
    EXPECT_EQ(behind.getLink()->getLinkId(), router.getLink()->getLinkId());
    EXPECT_EQ(peer.Connections(), 1);
    // Reconnecting does not ask for an address any more.
    behind.disconnect();
    ASSERT_EQ(behind.reconnect(), aErrNone);
    EXPECT_EQ(behind.getModuleAddress(), 10);
    behind.disconnect();
    EXPECT_TRUE(router.isConnected());
    router.disconnect();
}

TEST(Module, DebugEchoesTheBytes)
{
    ScriptedModule peer(2);
    peer.SetResponder([](const Packet& p) {
        Packet reply{2, p.payload};
        if (p.payload.size() == 3) reply.payload.back() ^= 1;  // a corrupted echo
        return std::vector<Packet>{reply};
    });
    Module module(2, 0);
    ASSERT_EQ(module.connectFromSpec(peer.Spec()), aErrNone);
    const uint8_t bytes[4] = {1, 2, 3, 4};
    EXPECT_EQ(module.debug(bytes, 4), aErrNone);
    EXPECT_EQ(module.debug(bytes, 2), aErrIO);
    module.disconnect();
}

TEST(Link, RawPacketLimitsAndMatching)
{
    ScriptedModule peer(2);
    peer.SetResponder([](const Packet& p) {
        if (p.payload[0] != 0x49) return std::vector<Packet>{};
        return std::vector<Packet>{{2, {0x48, 0x01}}, {2, {0x49, 0xFF, 0, 0, 0x04, 0xB0}}};
    });
    Module module(2, 0);
    ASSERT_EQ(module.connectFromSpec(peer.Spec()), aErrNone);
    Link* link = module.getLink();
    uint8_t data[28] = {0};
    EXPECT_EQ(link->sendPacket(2, 0x10, 28, data), aErrParam);
    EXPECT_EQ(link->sendPacket(3, 0x10, 1, data), aErrPacket);
    EXPECT_EQ(link->sendPacket(0, 0x10, 1, data), aErrPacket);
    EXPECT_EQ(link->sendPacket(2, 0x10, 27, data), aErrNone);
    ASSERT_TRUE(peer.WaitForPackets(3, 2000));
    EXPECT_EQ(peer.Received().back().payload.size(), 28u);

    const uint8_t query = 0xFF;
    ASSERT_EQ(link->sendPacket(2, 0x49, 1, &query), aErrNone);
    const uint8_t match[2] = {0x49, 0xFF};
    uint8_t length = 2;
    uint8_t reply[28];
    ASSERT_EQ(link->receivePacket(2, match, &length, reply), aErrNone);
    EXPECT_EQ(length, 6);
    EXPECT_EQ(reply[5], 0xB0);
    // The non-matching packet is still queued; length 0 takes anything.
    length = 0;
    ASSERT_EQ(link->receivePacket(2, nullptr, &length, reply), aErrNone);
    EXPECT_EQ(length, 2);
    EXPECT_EQ(reply[0], 0x48);
    length = 0;
    EXPECT_EQ(link->receivePacket(2, nullptr, &length, reply), aErrTimeout);
    module.disconnect();
    EXPECT_EQ(link->sendPacket(2, 0x10, 1, data), aErrConnection);
}

// The logger reads the core link by id. Left running past disconnect() it
// read a link being freed, and after a reconnect it never saw the new one.
TEST(Link, PacketLogFollowsTheLinkAcrossAReconnect)
{
    ScriptedModule peer(4);
    const std::string path = testing::TempDir() + "link_packet_log.txt";
    std::remove(path.c_str());
    Link link(peer.Spec(), "Link");
    ASSERT_EQ(link.connect(), aErrNone);
    ASSERT_EQ(link.enablePacketLog(path.c_str()), aErrNone);
    link.disconnect();
    ASSERT_EQ(link.connect(), aErrNone);
    const uint8_t data[] = {0x5A};
    ASSERT_EQ(link.sendPacket(4, 0x30, sizeof data, data), aErrNone);
    auto logged = [&] {
        std::ostringstream text;
        text << std::ifstream(path).rdbuf();
        return text.str().find("4 > 0x4 0x2 0x30 0x5A") != std::string::npos;
    };
    for (int i = 0; i < 200 && !logged(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(logged());
    link.disconnect();
    std::remove(path.c_str());
}

}  // namespace
