// UEI exchanges of EntityClass/SystemClass, byte for byte against a module
// played by the test.
#include <gtest/gtest.h>

#include <vector>

#include "Entity.h"
#include "Module.h"
#include "System.h"
#include "ScriptedModule.h"

using Orvantis::Keystrand::EntityClass;
using Orvantis::Keystrand::Module;
using Orvantis::Keystrand::SystemClass;
using Packet = ScriptedModule::Packet;
using Bytes = std::vector<uint8_t>;

namespace {

// Packets the host sent to the module's own address (control packets and
// address queries left out).
std::vector<Bytes> Requests(ScriptedModule& peer, uint8_t address)
{
    std::vector<Bytes> out;
    for (const Packet& p : peer.Received())
        if (p.address == address) out.push_back(p.payload);
    return out;
}

class EntityTest : public testing::Test {
protected:
    void Connect(uint8_t address)
    {
        peer_.reset(new ScriptedModule(address));
        module_.reset(new Module(address, 0));
        ASSERT_EQ(module_->connectFromSpec(peer_->Spec()), aErrNone);
        ASSERT_EQ(module_->getModuleAddress(), address);
        system_.init(module_.get(), 0);
    }
    void TearDown() override
    {
        if (module_) module_->disconnect();
    }

    std::unique_ptr<ScriptedModule> peer_;
    std::unique_ptr<Module> module_;
    SystemClass system_;
};

TEST_F(EntityTest, SerialNumberRequestAndReplyOnAddress6)
{
    Connect(6);
    peer_->SetResponder(
        [](const Packet&) { return std::vector<Packet>{{6, {0x03, 0x09, 0x00, 0x12, 0x34, 0x56, 0x78}}}; });
    uint32_t serial = 0;
    EXPECT_EQ(system_.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x12345678u);
    EXPECT_EQ(Requests(*peer_, 6), (std::vector<Bytes>{{0x03, 0x49, 0x20}}));
}

TEST_F(EntityTest, ErrorReplyGivesItsCode)
{
    Connect(6);
    peer_->SetResponder([](const Packet&) { return std::vector<Packet>{{6, {0x03, 0x09, 0x80, 0x1D}}}; });
    uint32_t serial = 7;
    EXPECT_EQ(system_.getSerialNumber(&serial), aErrInvalidOption);
    EXPECT_EQ(serial, 7u);
}

TEST_F(EntityTest, RepliesToOtherOptionsOrAddressesAreNotTaken)
{
    Connect(4);
    peer_->SetResponder([](const Packet&) {
        return std::vector<Packet>{{6, {0x03, 0x08, 0x00, 0x13}},   // another module
                                   {4, {0x03, 0x07, 0x00, 0x13}},   // another option
                                   {4, {0x03, 0x08, 0x01, 0x14}},   // another index
                                   {4, {0x03, 0x08, 0x20, 0x15}}};  // the reply
    });
    uint8_t model = 0;
    EXPECT_EQ(system_.getModel(&model), aErrNone);
    EXPECT_EQ(model, 0x15);
}

TEST_F(EntityTest, SetIsConfirmedWithBothFlagBits)
{
    Connect(2);
    peer_->SetResponder([](const Packet& p) {
        // First a reply with the plain set bit, which must not confirm.
        return std::vector<Packet>{{2, {p.payload[0], 0x84, 0x00}}, {2, {p.payload[0], 0xC4, 0x00}}};
    });
    EXPECT_EQ(system_.setLED(5), aErrNone);
    EXPECT_EQ(Requests(*peer_, 2), (std::vector<Bytes>{{0x03, 0x84, 0x20, 0x01}}));
}

TEST_F(EntityTest, SilentModuleTimesOut)
{
    Connect(2);
    peer_->SetResponder([](const Packet&) { return std::vector<Packet>{}; });
    uint32_t version = 0;
    EXPECT_EQ(system_.getVersion(&version), aErrTimeout);
}

TEST_F(EntityTest, ByteBlockGoesInChunksOf24WithSequenceBytes)
{
    Connect(2);
    peer_->SetResponder([](const Packet& p) {
        if ((p.payload.back() & 0x80) != 0) return std::vector<Packet>{};
        return std::vector<Packet>{{2, {0x03, 0xE0, 0x00}}};
    });
    Bytes name(50);
    for (size_t i = 0; i < name.size(); ++i) name[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(system_.setName(name.data(), name.size()), aErrNone);
    std::vector<Bytes> sent = Requests(*peer_, 2);
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].size(), 3u + 24u + 1u);
    EXPECT_EQ(sent[1].size(), 3u + 24u + 1u);
    EXPECT_EQ(sent[2].size(), 3u + 2u + 1u);
    EXPECT_EQ(sent[0][1], 0xA0);
    EXPECT_EQ(sent[0].back(), 0x80);
    EXPECT_EQ(sent[1].back(), 0x81);
    EXPECT_EQ(sent[2].back(), 0x02);
    EXPECT_EQ(sent[2][3], 48);
    EXPECT_EQ(sent[2][4], 49);
}

TEST_F(EntityTest, ReadingAByteBlockStopsAtTheCapacity)
{
    Connect(2);
    peer_->SetResponder([](const Packet&) {
        Packet first{2, {0x03, 0x20, 0x00}};
        Packet second{2, {0x03, 0x20, 0x00}};
        for (int i = 0; i < 24; ++i) first.payload.push_back(static_cast<uint8_t>(i));
        for (int i = 0; i < 24; ++i) second.payload.push_back(static_cast<uint8_t>(100 + i));
        first.payload.push_back(0x80);
        second.payload.push_back(0x81);
        // Out of order on purpose: the chunk numbers decide.
        return std::vector<Packet>{second, first};
    });
    uint8_t buffer[30] = {0};
    size_t received = 0;
    EXPECT_EQ(system_.getName(buffer, sizeof buffer, &received), aErrMemory);
    EXPECT_EQ(received, 24u);
    EXPECT_EQ(buffer[23], 23);
}

TEST_F(EntityTest, ReadingAByteBlockInTwoChunks)
{
    Connect(2);
    peer_->SetResponder([](const Packet&) {
        return std::vector<Packet>{{2, {0x03, 0x1F, 0x00, 0, 0, 0, 1, 0, 0, 0, 2, 0x80}},
                                   {2, {0x03, 0x1F, 0x00, 0x80, 0, 0, 3, 0x01}}};
    });
    uint32_t words[4] = {0};
    size_t count = 0;
    EXPECT_EQ(system_.getInputPowerBehaviorConfig(words, 4, &count), aErrNone);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(words[0], 1u);
    EXPECT_EQ(words[2], 0x80000003u);
}

TEST(EntityWithoutModule, ReportsMissingResources)
{
    EntityClass entity;
    uint32_t value = 0;
    EXPECT_EQ(entity.getUEI32(1, &value), aErrResource);
    entity.init(nullptr, 3, 0);
    EXPECT_EQ(entity.callUEI(11), aErrResource);
    Module module(2, 0);
    entity.init(&module, 3, 0);
    EXPECT_EQ(entity.getUEI32(1, nullptr), aErrParam);
    EXPECT_EQ(entity.getUEI32(1, &value), aErrConnection);
    size_t count = 8;
    EXPECT_EQ(entity.getUEIBytesCheck(&count, 4), aErrNone);
    EXPECT_EQ(count, 2u);
    count = 7;
    EXPECT_NE(entity.getUEIBytesCheck(&count, 4), aErrNone);
    EXPECT_EQ(count, 7u);
}

}  // namespace
