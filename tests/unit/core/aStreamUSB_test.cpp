#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "aKeystrand.h"
#include "aStream.h"
#include "helpers/FakeLibusb.h"
#include "ksusb.h"
#include "ksusb_libusb.h"

namespace {

typedef std::vector<uint8_t> Bytes;

class UsbTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        device_.serial = "0012ABCD";
        fake_.addDevice(&device_);
    }
    void TearDown() override
    {
        if (usb_ != nullptr) ksusb_destroy(&usb_);
    }
    // An open libusb record for device_.
    void openDevice()
    {
        usb_ = ksusb_create_usb(true);
        ASSERT_NE(nullptr, usb_);
        ASSERT_EQ(aErrNone, ksusb_open_keystrand_device(usb_, "0012ABCD"));
        ASSERT_EQ(KSUSB_STATE_OPEN, ksusb_get_state(usb_));
    }
    FakeLibusb fake_;
    FakeUsbDevice device_;
    ksusb* usb_ = nullptr;
};

TEST_F(UsbTest, VendorIdentifiesAModule)
{
    EXPECT_EQ(0x4B53, KEYSTRAND_USB_VENDOR_ID);
    FakeUsbDevice other;
    other.vendor = 0x1234;
    EXPECT_TRUE(is_keystrand_device(reinterpret_cast<libusb_device*>(&device_)));
    EXPECT_FALSE(is_keystrand_device(reinterpret_cast<libusb_device*>(&other)));
    EXPECT_FALSE(is_keystrand_device(nullptr));
}

TEST_F(UsbTest, SerialStringMustMatchAllEightDigits)
{
    FakeUsbDevice shortSerial;
    shortSerial.serial = "12ABCD";
    shortSerial.config = ConfigBuilder().addInterface(
        0, 0xFF, 0x88, 0x10, {{0x07, LIBUSB_TRANSFER_TYPE_BULK}, {0x87, LIBUSB_TRANSFER_TYPE_BULK}});
    FakeUsbDevice foreign;  // right serial, wrong maker: never opened
    foreign.vendor = 0x0483;
    foreign.serial = "0012ABCD";
    FakeLibusb only;  // a bus without device_
    only.addDevice(&shortSerial);
    only.addDevice(&foreign);
    aStreamRef stream = reinterpret_cast<aStreamRef>(1);
    EXPECT_EQ(aErrNotFound, aStream_CreateUSB(0x0012ABCD, &stream));
    EXPECT_EQ(nullptr, stream);
    EXPECT_EQ(1, only.count("open")) << "only the maker's device is opened";
    EXPECT_EQ(1, only.count("close")) << "a non-matching device is closed again";
    EXPECT_EQ(1, only.count("free_device_list"));

    only.addDevice(&device_);
    device_.config = ConfigBuilder().addInterface(
        0, 0xFF, 0x88, 0x10, {{0x03, LIBUSB_TRANSFER_TYPE_BULK}, {0x83, LIBUSB_TRANSFER_TYPE_BULK}});
    ASSERT_EQ(aErrNone, aStream_CreateUSB(0x0012ABCD, &stream));
    const uint8_t bytes[] = {1, 2};
    ASSERT_EQ(aErrNone, aStream_Write(stream, bytes, 2));
    ASSERT_EQ(1u, only.outTransfers().size());
    EXPECT_EQ(0x03, only.outTransfers()[0].endpoint) << "the module with serial 0012ABCD was taken";
    EXPECT_EQ(aErrNone, aStream_Destroy(&stream));
    EXPECT_EQ(1, only.count("release_interface"));
    EXPECT_EQ(2, only.count("exit"));
    EXPECT_EQ(aErrParam, aStream_CreateUSB(0, &stream));
}

TEST(UsbEndpoints, PicksTheModuleInterfaceAndItsFirstOutAndInEndpoints)
{
    ConfigBuilder config;
    config.addInterface(0, 0x03, 0x00, 0x00, {{0x01, LIBUSB_TRANSFER_TYPE_INTERRUPT}, {0x81, LIBUSB_TRANSFER_TYPE_INTERRUPT}});
    config.addInterface(1, 0xFF, 0x88, 0x10,
                        {{0x86, LIBUSB_TRANSFER_TYPE_ISOCHRONOUS},
                         {0x83, LIBUSB_TRANSFER_TYPE_INTERRUPT},
                         {0x04, LIBUSB_TRANSFER_TYPE_BULK},
                         {0x85, LIBUSB_TRANSFER_TYPE_BULK},
                         {0x06, LIBUSB_TRANSFER_TYPE_BULK}});
    uint8_t iface = 0xEE, out = 0xEE, in = 0xEE;
    ASSERT_TRUE(ksusb_find_endpoints(config.get(), &iface, &out, &in));
    EXPECT_EQ(1, iface);
    EXPECT_EQ(0x04, out);
    EXPECT_EQ(0x83, in) << "bit 1 of bmAttributes: bulk or interrupt, not isochronous";

    ConfigBuilder wrongProtocol;
    wrongProtocol.addInterface(0, 0xFF, 0x88, 0x11, {{0x02, LIBUSB_TRANSFER_TYPE_BULK}, {0x81, LIBUSB_TRANSFER_TYPE_BULK}});
    EXPECT_FALSE(ksusb_find_endpoints(wrongProtocol.get(), &iface, &out, &in));
    ConfigBuilder outOnly;
    outOnly.addInterface(0, 0xFF, 0x88, 0x10, {{0x02, LIBUSB_TRANSFER_TYPE_BULK}, {0x81, LIBUSB_TRANSFER_TYPE_ISOCHRONOUS}});
    EXPECT_FALSE(ksusb_find_endpoints(outOnly.get(), &iface, &out, &in));
    EXPECT_EQ(0x04, out) << "outputs are untouched on failure";
}

TEST_F(UsbTest, MissingInterfaceIsAConfigurationError)
{
    device_.config = ConfigBuilder().addInterface(0, 0x03, 0, 0, {{0x81, LIBUSB_TRANSFER_TYPE_INTERRUPT}});
    usb_ = ksusb_create_usb(true);
    ASSERT_NE(nullptr, usb_);
    EXPECT_EQ(aErrConfiguration, ksusb_open_keystrand_device(usb_, "0012ABCD"));
    EXPECT_EQ(KSUSB_STATE_CLOSED, ksusb_get_state(usb_));
    EXPECT_EQ(1, fake_.count("close"));
    EXPECT_EQ(0, fake_.count("claim_interface"));
    EXPECT_EQ(1, fake_.count("free_config_descriptor"));
}

TEST_F(UsbTest, ClaimFailuresMapToErrors)
{
    const struct {
        int claim;
        aErr expected;
    } cases[] = {{LIBUSB_ERROR_BUSY, aErrBusy},
                 {LIBUSB_ERROR_NO_DEVICE, aErrBusy},
                 {LIBUSB_ERROR_ACCESS, aErrPermission},
                 {LIBUSB_ERROR_IO, aErrUnknown}};
    int closes = 0;
    for (const auto& c : cases) {
        device_.claimResult = c.claim;
        ksusb* usb = ksusb_create_usb(true);
        ASSERT_NE(nullptr, usb);
        EXPECT_EQ(c.expected, ksusb_open_keystrand_device(usb, "0012ABCD")) << c.claim;
        EXPECT_EQ(KSUSB_STATE_CLOSED, ksusb_get_state(usb));
        EXPECT_EQ(++closes, fake_.count("close"));
        ksusb_destroy(&usb);
        EXPECT_EQ(nullptr, usb);
    }
}

TEST_F(UsbTest, AnswersPerState)
{
    uint8_t byte = 0;
    usb_ = ksusb_create_usb(true);
    ASSERT_EQ(KSUSB_STATE_CREATED, ksusb_get_state(usb_));
    EXPECT_EQ(aErrNotReady, ksusb_get_from_device(usb_, &byte));
    EXPECT_EQ(aErrNotReady, ksusb_write_to_device(usb_, &byte, 1));

    aErr duringOpenGet = aErrNone, duringOpenWrite = aErrNone;
    int stateDuringOpen = 0;
    device_.onClaim = [&] {
        stateDuringOpen = ksusb_get_state(usb_);
        duringOpenGet = ksusb_get_from_device(usb_, &byte);
        duringOpenWrite = ksusb_write_to_device(usb_, &byte, 1);
    };
    ASSERT_EQ(aErrNone, ksusb_open_keystrand_device(usb_, "0012ABCD"));
    EXPECT_EQ(KSUSB_STATE_OPENING, stateDuringOpen);
    EXPECT_EQ(aErrNotReady, duringOpenGet);
    EXPECT_EQ(aErrNotReady, duringOpenWrite);
    EXPECT_EQ(aErrMode, ksusb_open_keystrand_device(usb_, "0012ABCD")) << "only a new record opens";

    fake_.queueInAnswer({LIBUSB_ERROR_IO, {}});
    EXPECT_EQ(aErrIO, ksusb_get_from_device(usb_, &byte));
    EXPECT_EQ(KSUSB_STATE_FAILED, ksusb_get_state(usb_));
    size_t transfers = fake_.outTransfers().size();
    EXPECT_EQ(aErrIO, ksusb_get_from_device(usb_, &byte));
    EXPECT_EQ(aErrIO, ksusb_write_to_device(usb_, &byte, 1));
    EXPECT_EQ(transfers, fake_.outTransfers().size()) << "a failed record makes no transfers";

    EXPECT_EQ(aErrNone, ksusb_close_keystrand_device(usb_));
    EXPECT_EQ(KSUSB_STATE_CLOSED, ksusb_get_state(usb_));
    EXPECT_EQ(aErrConnection, ksusb_get_from_device(usb_, &byte));
    EXPECT_EQ(aErrConnection, ksusb_write_to_device(usb_, &byte, 1));
}

TEST_F(UsbTest, WriteOfOneHundredTwentyBytesGoesAsFiftyFiftyTwenty)
{
    openDevice();
    Bytes bytes(120);
    for (int i = 0; i < 120; i++) bytes[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(aErrNone, ksusb_write_to_device(usb_, bytes.data(), bytes.size()));
    std::vector<FakeLibusb::Transfer> t = fake_.outTransfers();
    ASSERT_EQ(3u, t.size());
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 50), t[0].data);
    EXPECT_EQ(Bytes(bytes.begin() + 50, bytes.begin() + 100), t[1].data);
    EXPECT_EQ(Bytes(bytes.begin() + 100, bytes.end()), t[2].data);
    for (const auto& x : t) {
        EXPECT_EQ(0x02, x.endpoint);
        EXPECT_EQ(50u, x.timeoutMs);
    }
}

TEST_F(UsbTest, StalledOutEndpointIsClearedAndTheChunkSentAgain)
{
    openDevice();
    Bytes bytes(60, 0x11);
    fake_.queueOutAnswer({0, 50});
    fake_.queueOutAnswer({LIBUSB_ERROR_PIPE, 0});
    ASSERT_EQ(aErrNone, ksusb_write_to_device(usb_, bytes.data(), bytes.size()));
    std::vector<FakeLibusb::Transfer> t = fake_.outTransfers();
    ASSERT_EQ(3u, t.size());
    EXPECT_EQ(10u, t[1].data.size());
    EXPECT_EQ(10u, t[2].data.size());
    EXPECT_EQ(Bytes{0x02}, fake_.clearHalts());
    EXPECT_EQ(KSUSB_STATE_OPEN, ksusb_get_state(usb_));
}

TEST_F(UsbTest, FailedClearHaltFailsTheRecord)
{
    openDevice();
    fake_.queueOutAnswer({LIBUSB_ERROR_PIPE, 0});
    fake_.setClearHaltResult(LIBUSB_ERROR_NO_DEVICE);
    const uint8_t bytes[] = {1, 2, 3};
    EXPECT_EQ(aErrIO, ksusb_write_to_device(usb_, bytes, 3));
    EXPECT_EQ(KSUSB_STATE_FAILED, ksusb_get_state(usb_));
}

TEST_F(UsbTest, OtherOutErrorSendsTheRestOnceMore)
{
    openDevice();
    Bytes bytes(30);
    for (int i = 0; i < 30; i++) bytes[i] = static_cast<uint8_t>(i);
    fake_.queueOutAnswer({LIBUSB_ERROR_TIMEOUT, 12});
    ASSERT_EQ(aErrNone, ksusb_write_to_device(usb_, bytes.data(), bytes.size()));
    std::vector<FakeLibusb::Transfer> t = fake_.outTransfers();
    ASSERT_EQ(2u, t.size());
    EXPECT_EQ(Bytes(bytes.begin() + 12, bytes.end()), t[1].data);

    fake_.queueOutAnswer({LIBUSB_ERROR_IO, 0});
    fake_.queueOutAnswer({LIBUSB_ERROR_IO, 0});
    EXPECT_EQ(aErrIO, ksusb_write_to_device(usb_, bytes.data(), bytes.size()));
    EXPECT_EQ(KSUSB_STATE_FAILED, ksusb_get_state(usb_));
}

TEST_F(UsbTest, BytesThatNeverGoOutAreAWriteError)
{
    openDevice();
    for (int i = 0; i < 100; i++) fake_.queueOutAnswer({LIBUSB_ERROR_PIPE, 0});
    const uint8_t byte = 0x42;
    EXPECT_EQ(aErrWrite, ksusb_write_to_device(usb_, &byte, 1));
    EXPECT_EQ(100u, fake_.outTransfers().size()) << "at most 100 rounds";
}

TEST_F(UsbTest, InTransfersAreHandedOutByteByByte)
{
    openDevice();
    uint8_t byte = 0;
    EXPECT_EQ(aErrNotReady, ksusb_get_from_device(usb_, &byte)) << "time-out without bytes";
    EXPECT_EQ(KSUSB_STATE_OPEN, ksusb_get_state(usb_));

    fake_.queueInAnswer({0, {0x04, 0x00, 0x06}});
    fake_.queueInAnswer({LIBUSB_ERROR_TIMEOUT, {0x08}});  // timed out after some bytes
    Bytes got;
    for (int i = 0; i < 4; i++) {
        ASSERT_EQ(aErrNone, ksusb_get_from_device(usb_, &byte)) << i;
        got.push_back(byte);
    }
    EXPECT_EQ((Bytes{0x04, 0x00, 0x06, 0x08}), got);
    EXPECT_EQ(2, fake_.count("bulk_transfer") - 1) << "one IN transfer per batch";

    fake_.queueInAnswer({LIBUSB_ERROR_PIPE, {}});
    EXPECT_EQ(aErrNotReady, ksusb_get_from_device(usb_, &byte));
    EXPECT_EQ(Bytes{0x81}, fake_.clearHalts());
    EXPECT_EQ(KSUSB_STATE_OPEN, ksusb_get_state(usb_));
}

TEST_F(UsbTest, CloseReportsAFailedReleaseAndGoesOn)
{
    static std::vector<std::string> messages;
    messages.clear();
    ksusb_set_message_sink([](const char* text) { messages.push_back(text); });
    device_.releaseResult = LIBUSB_ERROR_NO_DEVICE;
    openDevice();
    EXPECT_EQ(aErrNone, ksusb_close_keystrand_device(usb_));
    ksusb_set_message_sink(nullptr);
    EXPECT_EQ(KSUSB_STATE_CLOSED, ksusb_get_state(usb_));
    EXPECT_EQ(1, fake_.count("close"));
    ASSERT_EQ(1u, messages.size());
    EXPECT_EQ("error release -4\n", messages[0]);
}

class KernelNodeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(nullptr, mkdtemp(dir_));
        ksusb_set_device_node_directory(dir_);
        node_ = std::string(dir_) + "/keystrand.0012ABCD";
    }
    void TearDown() override
    {
        ksusb_set_device_node_directory(nullptr);
        unlink(node_.c_str());
        rmdir(node_.c_str());
        rmdir(dir_);
    }
    char dir_[32] = "/tmp/ksusbNodeXXXXXX";
    std::string node_;
    FakeLibusb fake_;
};

TEST_F(KernelNodeTest, NodeIsUsedInsteadOfLibusb)
{
    FILE* f = fopen(node_.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    fwrite("\x04\x00", 1, 2, f);
    fclose(f);
    EXPECT_TRUE(ksusb_is_kernel_driver_installed(0x0012ABCD));
    EXPECT_FALSE(ksusb_is_kernel_driver_installed(0x12ABCD00));

    aStreamRef stream = nullptr;
    ASSERT_EQ(aErrNone, aStream_CreateUSB(0x0012ABCD, &stream));
    EXPECT_EQ(0, fake_.count("init"));
    EXPECT_EQ(0, fake_.count("get_device_list")) << "no USB enumeration";
    uint8_t in[2] = {};
    ASSERT_EQ(aErrNone, aStream_Read(stream, in, 2));
    EXPECT_EQ((Bytes{0x04, 0x00}), Bytes(in, in + 2));
    uint8_t byte = 0;
    EXPECT_EQ(aErrNotReady, aStream_Read(stream, &byte, 1)) << "read of 0 bytes: nothing waiting";
    const uint8_t out[] = {0xAF, 0x01, 0x01};
    ASSERT_EQ(aErrNone, aStream_Write(stream, out, 3));
    EXPECT_EQ(aErrNone, aStream_Destroy(&stream));

    f = fopen(node_.c_str(), "rb");
    ASSERT_NE(nullptr, f);
    uint8_t all[8] = {};
    size_t n = fread(all, 1, sizeof(all), f);
    fclose(f);
    EXPECT_EQ((Bytes{0x04, 0x00, 0xAF, 0x01, 0x01}), Bytes(all, all + n));
}

TEST_F(KernelNodeTest, DirectoryIsNotANode)
{
    ASSERT_EQ(0, mkdir(node_.c_str(), 0700));
    EXPECT_FALSE(ksusb_is_kernel_driver_installed(0x0012ABCD));
    ksusb* usb = ksusb_create_usb(false);
    ASSERT_NE(nullptr, usb);
    EXPECT_EQ(KSUSB_KIND_KERNEL, ksusb_get_kind(usb));
    EXPECT_EQ(aErrIO, ksusb_open_keystrand_device(usb, "0012ABCD"));
    ksusb_destroy(&usb);
}

}  // namespace
