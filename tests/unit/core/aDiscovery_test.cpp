// Discovery: USB enumeration through a fake libusb table, TCP/IP reply
// parsing, and transports without discovery.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <string>
#include <vector>

#include "aDiscovery.h"
#include "aKeystrand.h"
#include "ksusb_libusb.h"

namespace {

struct FakeDevice {
    uint16_t vendor;
    uint16_t product;
    std::string serial;
};

std::vector<FakeDevice> g_devices;
std::vector<libusb_device*> g_list;
int g_opened = 0;
int g_closed = 0;

size_t Index(libusb_device* device) { return reinterpret_cast<size_t>(device) - 1; }

int FakeInit(libusb_context** context)
{
    *context = reinterpret_cast<libusb_context*>(0x1);
    return 0;
}
void FakeExit(libusb_context*) {}
ssize_t FakeList(libusb_context*, libusb_device*** list)
{
    g_list.clear();
    for (size_t i = 0; i < g_devices.size(); ++i) g_list.push_back(reinterpret_cast<libusb_device*>(i + 1));
    g_list.push_back(nullptr);
    *list = g_list.data();
    return static_cast<ssize_t>(g_devices.size());
}
void FakeFreeList(libusb_device**, int) {}
int FakeDescriptor(libusb_device* device, libusb_device_descriptor* d)
{
    memset(d, 0, sizeof *d);
    d->idVendor = g_devices[Index(device)].vendor;
    d->idProduct = g_devices[Index(device)].product;
    d->iSerialNumber = static_cast<uint8_t>(Index(device) + 1);
    return 0;
}
int FakeOpen(libusb_device* device, libusb_device_handle** handle)
{
    ++g_opened;
    *handle = reinterpret_cast<libusb_device_handle*>(device);
    return 0;
}
void FakeClose(libusb_device_handle*) { ++g_closed; }
int FakeString(libusb_device_handle* handle, uint8_t index, unsigned char* data, int length)
{
    const std::string& s = g_devices[Index(reinterpret_cast<libusb_device*>(handle))].serial;
    EXPECT_EQ(index, Index(reinterpret_cast<libusb_device*>(handle)) + 1);
    int n = static_cast<int>(s.size()) < length - 1 ? static_cast<int>(s.size()) : length - 1;
    memcpy(data, s.data(), n);
    data[n] = 0;
    return n;
}
int FakeConfig(libusb_device*, uint8_t, libusb_config_descriptor**) { return LIBUSB_ERROR_NOT_FOUND; }
void FakeFreeConfig(libusb_config_descriptor*) {}
int FakeClaim(libusb_device_handle*, int) { return 0; }
int FakeBulk(libusb_device_handle*, unsigned char, unsigned char*, int, int*, unsigned int) { return LIBUSB_ERROR_IO; }
int FakeHalt(libusb_device_handle*, unsigned char) { return 0; }

const ksusb_libusb_api kFake = {FakeInit,  FakeExit,   FakeList,       FakeFreeList, FakeDescriptor,
                                FakeOpen,  FakeClose,  FakeString,     FakeConfig,   FakeFreeConfig,
                                FakeClaim, FakeClaim,  FakeBulk,       FakeHalt};

class DiscoveryUSB : public testing::Test {
protected:
    void SetUp() override
    {
        g_opened = g_closed = 0;
        ksusb_libusb_install(&kFake);
    }
    void TearDown() override { ksusb_libusb_install(nullptr); }
};

bool Collect(const linkSpec* spec, bool* found, void* reference)
{
    static_cast<std::vector<linkSpec>*>(reference)->push_back(*spec);
    *found = true;
    return true;
}

bool StopAtFirst(const linkSpec* spec, bool* found, void* reference)
{
    static_cast<std::vector<linkSpec>*>(reference)->push_back(*spec);
    *found = true;
    return false;
}

TEST_F(DiscoveryUSB, OnlyModulesWithEightCharacterSerials)
{
    g_devices = {{KEYSTRAND_USB_VENDOR_ID, 0x0113, "1A2B3C4D"},
                 {0x1234, 0x0113, "11111111"},
                 {KEYSTRAND_USB_VENDOR_ID, 0x0105, "1A2B3C4"},
                 {KEYSTRAND_USB_VENDOR_ID, 0x0204, "0012ABCD"}};
    std::vector<linkSpec> specs;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, Collect, &specs), 2u);
    ASSERT_EQ(specs.size(), 2u);
    EXPECT_EQ(specs[0].type, static_cast<uint32_t>(USB));
    EXPECT_EQ(specs[0].serialNumber, 0x1A2B3C4Du);
    EXPECT_EQ(specs[0].usbId, 0x1A2B3C4Du);
    EXPECT_EQ(specs[0].model, 0x13u);
    EXPECT_EQ(specs[0].moduleAddress, 0u);
    EXPECT_EQ(specs[1].serialNumber, 0x0012ABCDu);
    EXPECT_EQ(specs[1].model, 0x04u);
    EXPECT_EQ(g_opened, g_closed);
}

TEST_F(DiscoveryUSB, CallbackStopsTheEnumeration)
{
    g_devices = {{KEYSTRAND_USB_VENDOR_ID, 1, "00000001"}, {KEYSTRAND_USB_VENDOR_ID, 1, "00000002"}};
    std::vector<linkSpec> specs;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, StopAtFirst, &specs), 1u);
    EXPECT_EQ(specs.size(), 1u);
}

TEST_F(DiscoveryUSB, FindModuleBySerialNumber)
{
    g_devices = {{KEYSTRAND_USB_VENDOR_ID, 1, "87654321"}, {KEYSTRAND_USB_VENDOR_ID, 1, "12345678"}};
    linkSpec* spec = aDiscovery_FindModule(USB, 0x12345678);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->serialNumber, 0x12345678u);
    aLinkSpec_Destroy(&spec);
    EXPECT_EQ(spec, nullptr);
    EXPECT_EQ(aDiscovery_FindModule(USB, 0x11111111), nullptr);
    spec = aDiscovery_FindFirstModule(USB);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->serialNumber, 0x87654321u);
    aLinkSpec_Destroy(&spec);
}

TEST(Discovery, SerialHasNoDiscovery)
{
    std::vector<linkSpec> specs;
    EXPECT_EQ(aDiscovery_EnumerateModules(SERIAL, Collect, &specs), 0u);
    EXPECT_TRUE(specs.empty());
}

TEST(Discovery, TCPIPReplyIsLittleEndian)
{
    const uint8_t reply[16] = {0, 0x02, 0x50, 0x1F, 0x78, 0x56, 0x34, 0x12, 0, 0, 0, 0, 0x07, 0, 0, 0};
    in_addr sender;
    inet_pton(AF_INET, "192.168.1.20", &sender);
    linkSpec spec{};
    ASSERT_TRUE(aDiscovery_ParseReply(reply, 16, sender.s_addr, &spec));
    EXPECT_EQ(spec.type, static_cast<uint32_t>(TCPIP));
    EXPECT_EQ(spec.serialNumber, 0x12345678u);
    EXPECT_EQ(spec.moduleAddress, 2u);
    EXPECT_EQ(spec.routerAddress, 2u);
    EXPECT_EQ(spec.routerSerialNumber, 0x12345678u);
    EXPECT_EQ(spec.ipPort, 8016u);
    EXPECT_EQ(spec.model, 7u);
    EXPECT_EQ(spec.ipAddress, sender.s_addr);

    linkSpec shortSpec{};
    ASSERT_TRUE(aDiscovery_ParseReply(reply, 12, sender.s_addr, &shortSpec));
    EXPECT_EQ(shortSpec.model, 255u);
    EXPECT_FALSE(aDiscovery_ParseReply(reply, 7, sender.s_addr, &shortSpec));
}

TEST(LinkSpec, CreateCopyDestroy)
{
    linkSpec* spec = aLinkSpec_Create(TCPIP);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->type, static_cast<uint32_t>(TCPIP));
    EXPECT_EQ(spec->serialNumber, 0u);
    spec->ipPort = 99;
    linkSpec* copy = aLinkSpec_Copy(spec);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->ipPort, 99u);
    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);
    EXPECT_EQ(aLinkSpec_Destroy(&copy), aErrNone);
    EXPECT_EQ(aLinkSpec_Destroy(&copy), aErrParam);
}

}  // namespace
