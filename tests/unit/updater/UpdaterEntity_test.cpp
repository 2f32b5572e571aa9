// The upgrade conversation against a loader played by the test.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <vector>

#include "Module.h"
#include "UpdaterEntity.h"
#include "aTime.h"
#include "ScriptedModule.h"

using Orvantis::Keystrand::Module;
using Packet = ScriptedModule::Packet;
using Bytes = std::vector<uint8_t>;

namespace {

class NullDisplay : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double fraction, const char*) override { fractions.push_back(fraction); }
    void update_spinner(bool spinning, const char*) override { spins += spinning ? 1 : 0; }
    void info_message(const char*) override {}
    void error_message(const char*) override {}
    std::vector<double> fractions;
    int spins = 0;
};

// A loader: sums accepted data since the last PREPARE, SUM or WRITE.
struct Loader {
    uint16_t block_size = 256;
    int short_acks = 0;      // acknowledge one byte less this many times
    uint32_t sum_offset = 0;  // added to the reported sum
    uint32_t sum = 0;
    std::vector<Bytes> data_packets;
    std::vector<uint16_t> writes;
    int sums = 0;

    std::vector<Packet> operator()(const Packet& p)
    {
        if (p.payload.size() < 2 || p.payload[0] != cmdUPGRADE) return {};
        const Bytes& d = p.payload;
        switch (d[1]) {
            case val_UPGRADE_INIT: return {{2, {cmdUPGRADE, 0, 0x00, 0x01, 0x00, 0x00}}};
            case val_UPGRADE_PREPARE:
                sum = 0;
                return {{2, {cmdUPGRADE, 7, 0, static_cast<uint8_t>(block_size >> 8),
                             static_cast<uint8_t>(block_size)}}};
            case val_UPGRADE_DATA: {
                data_packets.push_back(Bytes(d.begin() + 2, d.end()));
                uint8_t n = static_cast<uint8_t>(d.size() - 2);
                if (short_acks > 0) {
                    --short_acks;
                    return {{2, {cmdUPGRADE, 1, static_cast<uint8_t>(n - 1)}}};
                }
                for (size_t i = 2; i < d.size(); ++i) sum += d[i];
                return {{2, {cmdUPGRADE, 1, n}}};
            }
            case val_UPGRADE_SUM: {
                ++sums;
                uint32_t s = sum + sum_offset;
                sum = 0;
                return {{2, {cmdUPGRADE, 7, 0, static_cast<uint8_t>(s >> 24), static_cast<uint8_t>(s >> 16),
                             static_cast<uint8_t>(s >> 8), static_cast<uint8_t>(s)}}};
            }
            case val_UPGRADE_WRITE:
                writes.push_back(static_cast<uint16_t>((d[2] << 8) | d[3]));
                sum = 0;
                return {{2, {cmdUPGRADE, 7, 0}}};
            case val_UPGRADE_LOAD: return {{2, {cmdUPGRADE, 2}}};
            default: return {};
        }
    }
};

class UpdaterEntityTest : public testing::Test {
protected:
    void SetUp() override
    {
        peer_.reset(new ScriptedModule(2));
        peer_->SetResponder([this](const Packet& p) {
            std::lock_guard<std::mutex> lock(mutex_);
            return loader_(p);
        });
        module_.reset(new Module(2, 0));
        ASSERT_EQ(module_->connectFromSpec(peer_->Spec()), aErrNone);
        entity_.init(module_.get(), 0, true);
    }
    void TearDown() override { module_->disconnect(); }

    static Bytes Block(uint32_t address, size_t payload)
    {
        Bytes b{static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16),
                static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
        for (size_t i = 0; i < payload; ++i) b.push_back(static_cast<uint8_t>(i * 7 + 3));
        return b;
    }

    std::mutex mutex_;
    Loader loader_;
    std::unique_ptr<ScriptedModule> peer_;
    std::unique_ptr<Module> module_;
    UpdaterEntity entity_;
    NullDisplay display_;
};

TEST_F(UpdaterEntityTest, LoaderBlockOf60BytesGoesAs26And26And8WithOneSum)
{
    ASSERT_EQ(entity_.LoaderInit(), aErrNone);
    Bytes block = Block(0x10000000, 60);
    uint16_t block_size = 0;
    ASSERT_EQ(entity_.TransferPrepare(block.data(), 60 + 4, 0, block_size), aErrNone);
    EXPECT_EQ(block_size, 256);
    ASSERT_EQ(entity_.LoaderTransfer(block.data(), 64), aErrNone);
    std::lock_guard<std::mutex> lock(mutex_);
    ASSERT_EQ(loader_.data_packets.size(), 3u);
    EXPECT_EQ(loader_.data_packets[0], Bytes(block.begin() + 4, block.begin() + 30));
    EXPECT_EQ(loader_.data_packets[1].size(), 26u);
    EXPECT_EQ(loader_.data_packets[2], Bytes(block.begin() + 56, block.end()));
    EXPECT_EQ(loader_.sums, 1);
}

TEST_F(UpdaterEntityTest, AddressOnlyLoaderBlockSendsNoDataAndExpectsSumZero)
{
    Bytes block = Block(0x10000000, 0);
    ASSERT_EQ(entity_.LoaderTransfer(block.data(), 4), aErrNone);
    std::lock_guard<std::mutex> lock(mutex_);
    EXPECT_TRUE(loader_.data_packets.empty());
    EXPECT_EQ(loader_.sums, 1);
}

TEST_F(UpdaterEntityTest, FirmwareBlockInChunksEachSummedAndWritten)
{
    Bytes block = Block(0x4000, 1000);
    uint16_t block_size = 0;
    ASSERT_EQ(entity_.TransferPrepare(block.data(), 1004, 2, block_size), aErrNone);
    ASSERT_EQ(entity_.FirmwareTransfer(block.data(), 1004, block_size, display_), aErrNone);
    std::lock_guard<std::mutex> lock(mutex_);
    EXPECT_EQ(loader_.writes, (std::vector<uint16_t>{256, 256, 256, 232}));
    EXPECT_EQ(loader_.sums, 4);
    Bytes sent;
    for (const Bytes& p : loader_.data_packets) sent.insert(sent.end(), p.begin(), p.end());
    EXPECT_EQ(sent, Bytes(block.begin() + 4, block.end()));
    ASSERT_EQ(display_.fractions.size(), 4u);
    EXPECT_DOUBLE_EQ(display_.fractions.back(), 1.0);
    EXPECT_GT(display_.fractions.front(), 0.0);
}

TEST_F(UpdaterEntityTest, ShortAcknowledgementResendsTheSameBytes)
{
    loader_.short_acks = 1;
    Bytes block = Block(0, 30);
    ASSERT_EQ(entity_.LoaderTransfer(block.data(), 34), aErrNone);
    std::lock_guard<std::mutex> lock(mutex_);
    ASSERT_EQ(loader_.data_packets.size(), 3u);
    EXPECT_EQ(loader_.data_packets[0], loader_.data_packets[1]);
    EXPECT_EQ(loader_.data_packets[0].size(), 26u);
}

TEST_F(UpdaterEntityTest, ALoaderThatAlwaysMiscountsFailsTheBlock)
{
    loader_.short_acks = 1000;
    Bytes block = Block(0, 10);
    EXPECT_EQ(entity_.LoaderTransfer(block.data(), 14), aErrPacket);
    std::lock_guard<std::mutex> lock(mutex_);
    EXPECT_EQ(loader_.data_packets.size(), static_cast<size_t>(UpdaterEntity::kMaxResends + 1));
    EXPECT_EQ(loader_.sums, 0);
}

TEST_F(UpdaterEntityTest, WrongSumFailsWithInvalidOption)
{
    loader_.sum_offset = 1;
    Bytes block = Block(0, 40);
    EXPECT_EQ(entity_.LoaderTransfer(block.data(), 44), aErrInvalidOption);
}

TEST_F(UpdaterEntityTest, WithoutValidationNoSumIsAsked)
{
    entity_.init(module_.get(), 0, false);
    loader_.sum_offset = 1;
    Bytes block = Block(0, 40);
    EXPECT_EQ(entity_.LoaderTransfer(block.data(), 44), aErrNone);
    std::lock_guard<std::mutex> lock(mutex_);
    EXPECT_EQ(loader_.sums, 0);
}

TEST_F(UpdaterEntityTest, BlockSizeZeroSendsNothing)
{
    Bytes block = Block(0x4000, 100);
    EXPECT_EQ(entity_.FirmwareTransfer(block.data(), 104, 0, display_), aErrSize);
    std::lock_guard<std::mutex> lock(mutex_);
    EXPECT_TRUE(loader_.data_packets.empty());
}

TEST_F(UpdaterEntityTest, LoaderStartAnsweredDirectly)
{
    EXPECT_EQ(entity_.LoaderStart(), aErrNone);
}

TEST(UpdaterEntityReconnect, FiveAttemptsHalfASecondApartThenTimeout)
{
    auto peer = std::make_unique<ScriptedModule>(2);
    Module module(2, 0);
    ASSERT_EQ(module.connectFromSpec(peer->Spec()), aErrNone);
    UpdaterEntity entity;
    entity.init(&module, 0, true);
    peer.reset();  // the module goes away for good
    uint64_t start = aTime_GetMSTicks();
    EXPECT_EQ(entity.LoaderStart(), aErrTimeout);
    uint64_t elapsed = aTime_GetMSTicks() - start;
    // One second awaiting the reply, then five pauses of 500 ms.
    EXPECT_GE(elapsed, 3400u);
    EXPECT_LT(elapsed, 8000u);
    EXPECT_FALSE(module.isConnected());
}

TEST(UpdaterEntityReboot, WaitsForTheLinkToDrop)
{
    auto peer = std::make_unique<ScriptedModule>(2);
    Module module(2, 0);
    ASSERT_EQ(module.connectFromSpec(peer->Spec()), aErrNone);
    UpdaterEntity entity;
    entity.init(&module, 0, true);
    NullDisplay display;
    peer->SetResponder([&peer](const Packet&) { return std::vector<Packet>{}; });
    // The module drops off and refuses reconnection shortly after REBOOT.
    std::thread dropper([&peer] {
        aTime_MSSleep(600);
        peer.reset();
    });
    EXPECT_EQ(entity.LoaderReboot(display), aErrNone);
    dropper.join();
    EXPECT_GE(display.spins, 1);
    module.disconnect();
}

}  // namespace
