// Link: the packet log follows the core link it reads across a reconnect.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "Link.h"
#include "helpers/ScriptedModule.h"

using Orvantis::Keystrand::Link;

namespace {

std::string LogText(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
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
    // The packet sent on the new link reaches the log: "4 > 0x4 0x2 0x30 0x5A".
    const std::string sent = "4 > 0x4 0x2 0x30 0x5A";
    for (int i = 0; i < 200 && LogText(path).find(sent) == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_NE(LogText(path).find(sent), std::string::npos) << LogText(path);
    link.disconnect();
    std::remove(path.c_str());
}

}  // namespace
