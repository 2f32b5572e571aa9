// Discovery: USB enumeration through the replaced libusb table, and the
// parsing of TCP/IP discovery replies.
#include "aDiscovery.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "FakeLibusb.h"

namespace {

bool collect(const linkSpec* spec, bool* found, void* reference)
{
    static_cast<std::vector<linkSpec>*>(reference)->push_back(*spec);
    *found = true;
    return true;
}

bool stopAtFirst(const linkSpec* spec, bool* found, void* reference)
{
    collect(spec, found, reference);
    return false;
}

TEST(DiscoveryUSB, OnlyTheMakersModulesWithEightCharacterSerials)
{
    FakeUsbDevice devices[6];
    const struct {
        uint16_t vendor, product;
        const char* serial;
        int open;
    } rows[] = {{0x4B53, 0x0113, "1A2B3C4D", 0},
                {0x1234, 0x0113, "11111111", LIBUSB_ERROR_ACCESS},
                {0x4B53, 0x0105, "1A2B3C4", 0},
                {0x4B53, 0x0113, "22222222", LIBUSB_ERROR_ACCESS},
                {0x4B53, 0x0113, "33333333", LIBUSB_ERROR_IO},
                {0x4B53, 0x0204, "0012ABCD", 0}};
    FakeLibusb fake;
    for (int i = 0; i < 6; i++) {
        devices[i].vendor = rows[i].vendor;
        devices[i].product = rows[i].product;
        devices[i].serial = rows[i].serial;
        devices[i].openResult = rows[i].open;
        fake.addDevice(&devices[i]);
    }
    std::vector<linkSpec> specs;
    EXPECT_EQ(2u, aDiscovery_EnumerateModules(USB, collect, &specs));
    ASSERT_EQ(2u, specs.size());
    EXPECT_EQ(static_cast<uint32_t>(USB), specs[0].type);
    EXPECT_EQ(0x1A2B3C4Du, specs[0].serialNumber);
    EXPECT_EQ(0x1A2B3C4Du, specs[0].usbId);
    EXPECT_EQ(0x13u, specs[0].model) << "the low byte of the product id";
    EXPECT_EQ(0x0012ABCDu, specs[1].serialNumber);
    EXPECT_EQ(0x04u, specs[1].model);
    EXPECT_EQ(fake.count("open"), fake.count("close") + 2);
    EXPECT_EQ(1u, aDiscovery_RefusedUSBDevices()) << "only the maker's device that denied access";

    specs.clear();
    EXPECT_EQ(1u, aDiscovery_EnumerateModules(USB, stopAtFirst, &specs))
        << "the callback stops the enumeration";
    linkSpec* spec = aDiscovery_FindModule(USB, 0x0012ABCD);
    ASSERT_NE(nullptr, spec);
    EXPECT_EQ(0x0012ABCDu, spec->serialNumber);
    aLinkSpec_Destroy(&spec);
    EXPECT_EQ(nullptr, aDiscovery_FindModule(USB, 0x11111111));
}

TEST(Discovery, TCPIPReplyIsLittleEndian)
{
    const uint8_t reply[16] = {0, 0x02, 0x50, 0x1F, 0x78, 0x56, 0x34, 0x12, 0, 0, 0, 0, 0x07, 0, 0, 0};
    const uint32_t sender = 0x1401A8C0;  // 192.168.1.20 in network order
    linkSpec spec{};
    ASSERT_TRUE(aDiscovery_ParseReply(reply, 16, sender, &spec));
    EXPECT_EQ(static_cast<uint32_t>(TCPIP), spec.type);
    EXPECT_EQ(0x12345678u, spec.serialNumber);
    EXPECT_EQ(2u, spec.moduleAddress);
    EXPECT_EQ(2u, spec.routerAddress);
    EXPECT_EQ(0x12345678u, spec.routerSerialNumber);
    EXPECT_EQ(8016u, spec.ipPort);
    EXPECT_EQ(7u, spec.model);
    EXPECT_EQ(sender, spec.ipAddress);

    linkSpec shortSpec{};
    ASSERT_TRUE(aDiscovery_ParseReply(reply, 12, sender, &shortSpec));
    EXPECT_EQ(255u, shortSpec.model) << "a reply without the model";
    EXPECT_FALSE(aDiscovery_ParseReply(reply, 7, sender, &shortSpec));
}

std::string g_message;

// Two discoveries sharing the reply port would each miss part of the replies:
// the second finds the port busy and says why. Run in a child process in a
// network namespace of its own, with no interface up, so nothing is sent.
TEST(Discovery, BusyReplyPortIsReported)
{
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (unshare(CLONE_NEWNET) != 0) _exit(2);
        int other = socket(AF_INET, SOCK_DGRAM, 0);
        int on = 1;
        setsockopt(other, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        struct sockaddr_in any {};
        any.sin_family = AF_INET;
        any.sin_port = htons(aDISCOVERY_REPLY_PORT);
        if (bind(other, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) _exit(3);
        aDiscovery_SetMessageSink([](const char* text) { g_message += text; });
        aDiscovery_EnumerateModules(
            TCPIP, [](const linkSpec*, bool*, void*) { return true; }, nullptr);
        _exit(g_message.find("UDP port 9889") != std::string::npos ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "no network namespace for this test (needs root)";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
