#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "FakeLibusb.h"
#include "aStream.h"
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

TEST(UsbOpen, OnlyTheMakersModuleWithAllEightSerialDigitsIsTaken)
{
    FakeUsbDevice shortSerial, foreign, module;
    shortSerial.serial = "12ABCD";
    foreign.vendor = 0x0483;  // right serial, wrong maker: never opened
    foreign.serial = module.serial = "0012ABCD";
    module.config = ConfigBuilder().addInterface(
        0, 0xFF, 0x88, 0x10, {{0x03, LIBUSB_TRANSFER_TYPE_BULK}, {0x83, LIBUSB_TRANSFER_TYPE_BULK}});
    FakeLibusb fake;
    fake.addDevice(&shortSerial);
    fake.addDevice(&foreign);
    aStreamRef stream = reinterpret_cast<aStreamRef>(1);
    EXPECT_EQ(aErrNotFound, aStream_CreateUSB(0x0012ABCD, &stream));
    EXPECT_EQ(nullptr, stream);
    EXPECT_EQ(1, fake.count("open")) << "only the maker's device is opened";
    EXPECT_EQ(1, fake.count("close")) << "a non-matching device is closed again";
    EXPECT_EQ(1, fake.count("free_device_list"));

    fake.addDevice(&module);
    ASSERT_EQ(aErrNone, aStream_CreateUSB(0x0012ABCD, &stream));
    const uint8_t bytes[] = {1, 2};
    ASSERT_EQ(aErrNone, aStream_Write(stream, bytes, 2));
    ASSERT_EQ(1u, fake.outTransfers().size());
    EXPECT_EQ(0x03, fake.outTransfers()[0].endpoint) << "the module with serial 0012ABCD was taken";
    EXPECT_EQ(aErrNone, aStream_Destroy(&stream));
    EXPECT_EQ(1, fake.count("release_interface"));
    EXPECT_EQ(2, fake.count("exit"));
    EXPECT_EQ(aErrParam, aStream_CreateUSB(0, &stream));
}

TEST(UsbEndpoints, PicksTheModuleInterfaceAndItsFirstOutAndInEndpoints)
{
    ConfigBuilder config;
    config.addInterface(0, 0x03, 0x00, 0x00,
                        {{0x01, LIBUSB_TRANSFER_TYPE_INTERRUPT}, {0x81, LIBUSB_TRANSFER_TYPE_INTERRUPT}});
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

    ConfigBuilder wrongProtocol, outOnly;
    wrongProtocol.addInterface(0, 0xFF, 0x88, 0x11,
                               {{0x02, LIBUSB_TRANSFER_TYPE_BULK}, {0x81, LIBUSB_TRANSFER_TYPE_BULK}});
    EXPECT_FALSE(ksusb_find_endpoints(wrongProtocol.get(), &iface, &out, &in));
    outOnly.addInterface(0, 0xFF, 0x88, 0x10,
                         {{0x02, LIBUSB_TRANSFER_TYPE_BULK}, {0x81, LIBUSB_TRANSFER_TYPE_ISOCHRONOUS}});
    EXPECT_FALSE(ksusb_find_endpoints(outOnly.get(), &iface, &out, &in));
    EXPECT_EQ(0x04, out) << "outputs are untouched on failure";
}

TEST_F(UsbTest, MissingInterfaceIsAConfigurationError)
{
    device_.config = ConfigBuilder().addInterface(0, 0x03, 0, 0, {{0x81, LIBUSB_TRANSFER_TYPE_INTERRUPT}});
    usb_ = ksusb_create_usb(true);
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
        EXPECT_EQ(c.expected, ksusb_open_keystrand_device(usb, "0012ABCD")) << c.claim;
        EXPECT_EQ(KSUSB_STATE_CLOSED, ksusb_get_state(usb));
        EXPECT_EQ(++closes, fake_.count("close"));
        ksusb_destroy(&usb);
    }
}

TEST_F(UsbTest, AnswersPerState)
{
    uint8_t byte = 0;
    usb_ = ksusb_create_usb(true);
    ASSERT_EQ(KSUSB_STATE_CREATED, ksusb_get_state(usb_));
    EXPECT_EQ(aErrNotReady, ksusb_get_from_device(usb_, &byte));
    EXPECT_EQ(aErrNotReady, ksusb_write_to_device(usb_, &byte, 1));
    ASSERT_EQ(aErrNone, ksusb_open_keystrand_device(usb_, "0012ABCD"));
    EXPECT_EQ(aErrMode, ksusb_open_keystrand_device(usb_, "0012ABCD")) << "only a new record opens";

    fake_.queueInAnswer({LIBUSB_ERROR_IO, {}});
    EXPECT_EQ(aErrIO, ksusb_get_from_device(usb_, &byte));
    EXPECT_EQ(KSUSB_STATE_FAILED, ksusb_get_state(usb_));
    size_t transfers = fake_.outTransfers().size();
    EXPECT_EQ(aErrIO, ksusb_get_from_device(usb_, &byte));
    EXPECT_EQ(aErrIO, ksusb_write_to_device(usb_, &byte, 1));
    EXPECT_EQ(transfers, fake_.outTransfers().size()) << "a failed record makes no transfers";

    // A failed release is reported and the close goes on.
    device_.releaseResult = LIBUSB_ERROR_NO_DEVICE;
    EXPECT_EQ(aErrNone, ksusb_close_keystrand_device(usb_));
    EXPECT_EQ(KSUSB_STATE_CLOSED, ksusb_get_state(usb_));
    EXPECT_EQ(1, fake_.count("close"));
    EXPECT_EQ(aErrConnection, ksusb_get_from_device(usb_, &byte));
    EXPECT_EQ(aErrConnection, ksusb_write_to_device(usb_, &byte, 1));
}

// A write goes out in chunks of 50 bytes; a stalled endpoint is cleared and
// the chunk sent again (a failed clear fails the record), any other error
// sends the rest once more, and bytes that never go out are given up after
// 100 rounds.
struct WriteCase {
    const char* name;
    std::vector<FakeLibusb::OutAnswer> answers;
    size_t count;
    aErr expected;
    std::vector<size_t> transferSizes;
};
void PrintTo(const WriteCase& c, std::ostream* os)
{
    *os << c.name;
}

class UsbWriteTest : public UsbTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(UsbWriteTest, ChunksAndFaults)
{
    const WriteCase& c = GetParam();
    openDevice();
    Bytes halts;
    for (const auto& a : c.answers) {
        fake_.queueOutAnswer(a);
        if (a.result == LIBUSB_ERROR_PIPE) halts.push_back(0x02);
    }
    fake_.setClearHaltResult(c.expected == aErrIO ? LIBUSB_ERROR_NO_DEVICE : 0);
    Bytes bytes(c.count);
    for (size_t i = 0; i < c.count; i++) bytes[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(c.expected, ksusb_write_to_device(usb_, bytes.data(), bytes.size()));
    EXPECT_EQ(c.expected == aErrIO ? KSUSB_STATE_FAILED : KSUSB_STATE_OPEN, ksusb_get_state(usb_));
    EXPECT_EQ(halts, fake_.clearHalts());
    // Each transfer carries the bytes still to go. A record that failed goes
    // on sending in the same call: only the transfers up to the failure are
    // pinned.
    std::vector<FakeLibusb::Transfer> t = fake_.outTransfers();
    if (c.expected == aErrIO) t.resize(std::min(t.size(), c.transferSizes.size()));
    ASSERT_EQ(c.transferSizes.size(), t.size());
    for (size_t i = 0, at = 0; i < t.size(); i++) {
        if (i > 0 && c.answers.size() >= i && c.answers[i - 1].result != 0)
            at += c.answers[i - 1].transferred;
        EXPECT_EQ(0x02, t[i].endpoint);
        EXPECT_EQ(Bytes(bytes.begin() + at, bytes.begin() + at + c.transferSizes[i]), t[i].data) << i;
        if (i >= c.answers.size() || c.answers[i].result == 0) at += t[i].data.size();
    }
}

const WriteCase kWriteCases[] = {
    {"FiftyFiftyTwenty", {}, 120, aErrNone, {50, 50, 20}},
    {"StallIsClearedAndTheChunkSentAgain", {{0, 50}, {LIBUSB_ERROR_PIPE, 0}}, 60, aErrNone, {50, 10, 10}},
    {"FailedClearHaltFailsTheRecord", {{LIBUSB_ERROR_PIPE, 0}}, 3, aErrIO, {3}},
    {"OtherErrorSendsTheRestOnceMore", {{LIBUSB_ERROR_TIMEOUT, 12}}, 30, aErrNone, {30, 18}},
    {"SecondOtherErrorFailsTheRecord", {{LIBUSB_ERROR_IO, 0}, {LIBUSB_ERROR_IO, 0}}, 30, aErrIO, {30, 30}},
    {"BytesThatNeverGoOutAreAWriteError", std::vector<FakeLibusb::OutAnswer>(100, {LIBUSB_ERROR_PIPE, 0}), 1,
     aErrWrite, std::vector<size_t>(100, 1)},
};

INSTANTIATE_TEST_SUITE_P(Usb, UsbWriteTest, ::testing::ValuesIn(kWriteCases),
                         [](const ::testing::TestParamInfo<WriteCase>& info) { return info.param.name; });

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

TEST_F(KernelNodeTest, NodeIsUsedInsteadOfLibusbAndADirectoryIsNoNode)
{
    ASSERT_EQ(0, mkdir(node_.c_str(), 0700));
    EXPECT_FALSE(ksusb_is_kernel_driver_installed(0x0012ABCD));
    rmdir(node_.c_str());

    FILE* f = fopen(node_.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    fwrite("\x04\x00", 1, 2, f);
    fclose(f);
    EXPECT_TRUE(ksusb_is_kernel_driver_installed(0x0012ABCD));
    EXPECT_FALSE(ksusb_is_kernel_driver_installed(0x12ABCD00));
    aStreamRef stream = nullptr;
    ASSERT_EQ(aErrNone, aStream_CreateUSB(0x0012ABCD, &stream));
    EXPECT_EQ(0, fake_.count("get_device_list")) << "no USB enumeration";
    uint8_t in[2] = {};
    ASSERT_EQ(aErrNone, aStream_Read(stream, in, 2));
    EXPECT_EQ((Bytes{0x04, 0x00}), Bytes(in, in + 2));
    EXPECT_EQ(aErrNotReady, aStream_Read(stream, in, 1)) << "read of 0 bytes: nothing waiting";
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

}  // namespace
