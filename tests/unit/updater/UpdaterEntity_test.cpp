// The upgrade conversation against a loader played by the test.
#include "UpdaterEntity.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Module.h"
#include "ScriptedModule.h"
#include "aTime.h"

using Orvantis::Keystrand::Module;
using Packet = ScriptedModule::Packet;
using Bytes = std::vector<uint8_t>;

namespace {

class NullDisplay : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double fraction, const char*) override { fractions.push_back(fraction); }
    void update_spinner(bool, const char*) override {}
    void info_message(const char*) override {}
    void error_message(const char*) override {}
    void cause_message(const char*) override {}
    std::vector<double> fractions;
};

// A loader: sums accepted data since the last PREPARE, SUM or WRITE.
struct Loader {
    uint16_t block_size = 256;
    int short_acks = 0;       // acknowledge one byte less this many times
    uint32_t sum_offset = 0;  // added to the reported sum
    uint32_t sum = 0;
    std::vector<Bytes> data_packets;
    std::vector<uint16_t> writes;
    int sums = 0;

    std::vector<Packet> operator()(const Packet& p)
    {
        const Bytes& d = p.payload;
        if (d.size() < 2 || d[0] != cmdUPGRADE) return {};
        Bytes reply;
        const uint8_t n = static_cast<uint8_t>(d.size() - 2);
        if (d[1] == val_UPGRADE_INIT) reply = {0, 0x00, 0x01, 0x00, 0x00};
        if (d[1] == val_UPGRADE_PREPARE) reply = {7, 0, uint8_t(block_size >> 8), uint8_t(block_size)};
        if (d[1] == val_UPGRADE_LOAD) reply = {2};
        if (d[1] == val_UPGRADE_WRITE) writes.push_back(static_cast<uint16_t>((d[2] << 8) | d[3]));
        if (d[1] == val_UPGRADE_WRITE) reply = {7, 0};
        if (d[1] == val_UPGRADE_DATA) {
            data_packets.push_back(Bytes(d.begin() + 2, d.end()));
            reply = {1, uint8_t(short_acks > 0 ? n - 1 : n)};
            for (size_t i = 2; i < d.size() && short_acks <= 0; ++i) sum += d[i];
            --short_acks;
        }
        if (d[1] == val_UPGRADE_SUM) {
            ++sums;
            const uint32_t s = sum + sum_offset;
            reply = {7, 0, uint8_t(s >> 24), uint8_t(s >> 16), uint8_t(s >> 8), uint8_t(s)};
        }
        if (d[1] == val_UPGRADE_PREPARE || d[1] == val_UPGRADE_SUM || d[1] == val_UPGRADE_WRITE) sum = 0;
        if (reply.empty()) return {};
        reply.insert(reply.begin(), cmdUPGRADE);
        return {{2, reply}};
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

TEST_F(UpdaterEntityTest, LoaderBlocksGoIn26ByteDataPacketsUnderOneSum)
{
    ASSERT_EQ(entity_.LoaderInit(), aErrNone);
    const struct {
        const char* name;
        size_t payload;
        bool validate;
        int short_acks;
        uint32_t sum_offset;
        aErr result;
        std::vector<size_t> packets;  // data bytes of each packet sent
        int sums;
    } rows[] = {
        {"60 bytes", 60, true, 0, 0, aErrNone, {26, 26, 8}, 1},
        {"address only", 0, true, 0, 0, aErrNone, {}, 1},
        // A short acknowledgement sends the same bytes again.
        {"one short acknowledgement", 30, true, 1, 0, aErrNone, {26, 26, 4}, 1},
        {"a loader that always miscounts", 10, true, 1000, 0, aErrPacket,
         std::vector<size_t>(UpdaterEntity::kMaxResends + 1, 10), 0},
        {"wrong sum", 40, true, 0, 1, aErrInvalidOption, {26, 14}, 1},
        {"wrong sum, not validated", 40, false, 0, 1, aErrNone, {26, 14}, 0},
    };
    for (const auto& row : rows) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            loader_ = Loader();
            loader_.short_acks = row.short_acks;
            loader_.sum_offset = row.sum_offset;
        }
        entity_.init(module_.get(), 0, row.validate);
        Bytes block = Block(0x10000000, row.payload);
        uint16_t block_size = 0;
        ASSERT_EQ(entity_.TransferPrepare(block.data(), uint32_t(block.size()), 0, block_size), aErrNone);
        EXPECT_EQ(block_size, 256);
        EXPECT_EQ(entity_.LoaderTransfer(block.data(), uint32_t(block.size())), row.result) << row.name;
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<size_t> sizes;
        Bytes accepted;
        for (size_t i = 0; i < loader_.data_packets.size(); i++) {
            sizes.push_back(loader_.data_packets[i].size());
            if (int(i) >= row.short_acks)
                accepted.insert(accepted.end(), loader_.data_packets[i].begin(),
                                loader_.data_packets[i].end());
        }
        EXPECT_EQ(sizes, row.packets) << row.name;
        EXPECT_EQ(loader_.sums, row.sums) << row.name;
        if (row.result == aErrNone) {
            EXPECT_EQ(accepted, Bytes(block.begin() + 4, block.end())) << row.name;
        }
    }
}

TEST_F(UpdaterEntityTest, FirmwareBlockInChunksEachSummedAndWritten)
{
    Bytes block = Block(0x4000, 1000);
    EXPECT_EQ(entity_.FirmwareTransfer(block.data(), 1004, 0, display_), aErrSize);
    ASSERT_EQ(entity_.FirmwareTransfer(block.data(), 1004, 256, display_), aErrNone);
    std::lock_guard<std::mutex> lock(mutex_);
    EXPECT_EQ(loader_.writes, (std::vector<uint16_t>{256, 256, 256, 232}));
    EXPECT_EQ(loader_.sums, 4);
    Bytes sent;
    for (const Bytes& p : loader_.data_packets) sent.insert(sent.end(), p.begin(), p.end());
    EXPECT_EQ(sent, Bytes(block.begin() + 4, block.end()));
    ASSERT_EQ(display_.fractions.size(), 4u);
    EXPECT_DOUBLE_EQ(display_.fractions.back(), 1.0);
}

TEST_F(UpdaterEntityTest, LoaderStartTriesFiveReconnectionsHalfASecondApart)
{
    peer_.reset();  // the module goes away for good
    uint64_t start = aTime_GetMSTicks();
    EXPECT_EQ(entity_.LoaderStart(), aErrTimeout);
    uint64_t elapsed = aTime_GetMSTicks() - start;
    // The reply wait ends when the link drops, then five pauses of 500 ms.
    EXPECT_GE(elapsed, 2400u);
    EXPECT_LT(elapsed, 8000u);
    EXPECT_FALSE(module_->isConnected());
}

TEST_F(UpdaterEntityTest, RebootWaitsForTheLinkToDrop)
{
    // The module drops off and refuses reconnection shortly after REBOOT.
    std::thread dropper([this] {
        aTime_MSSleep(600);
        peer_.reset();
    });
    EXPECT_EQ(entity_.LoaderReboot(display_), aErrNone);
    dropper.join();
}

}  // namespace
