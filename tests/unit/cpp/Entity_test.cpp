// UEI exchanges of EntityClass/SystemClass, byte for byte against a module
// played by the test.
#include "Entity.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "Module.h"
#include "ScriptedModule.h"
#include "System.h"

using Orvantis::Keystrand::EntityClass;
using Orvantis::Keystrand::Module;
using Orvantis::Keystrand::SystemClass;
using Packet = ScriptedModule::Packet;
using Bytes = std::vector<uint8_t>;

namespace {

class EntityTest : public testing::Test {
protected:
    // Connects to a module at address 2 that answers every request with replies.
    void Connect(std::vector<Packet> replies)
    {
        peer_.reset(new ScriptedModule(2));
        peer_->SetResponder([replies](const Packet&) { return replies; });
        module_.reset(new Module(2, 0));
        ASSERT_EQ(module_->connectFromSpec(peer_->Spec()), aErrNone);
        system_.init(module_.get(), 0);
    }
    // Packets the host sent to the module (control packets and address
    // queries left out).
    std::vector<Bytes> Requests()
    {
        std::vector<Bytes> out;
        for (const Packet& p : peer_->Received())
            if (p.address == 2) out.push_back(p.payload);
        return out;
    }
    void TearDown() override
    {
        if (module_) module_->disconnect();
    }

    std::unique_ptr<ScriptedModule> peer_;
    std::unique_ptr<Module> module_;
    SystemClass system_;
};

TEST_F(EntityTest, GetTakesOnlyTheReplyToItsOwnOptionIndexAndAddress)
{
    const struct {
        std::vector<Packet> replies;
        aErr expected;
        uint32_t serial;
    } cases[] = {
        {{{2, {0x03, 0x09, 0x00, 0x12, 0x34, 0x56, 0x78}}}, aErrNone, 0x12345678u},
        {{{2, {0x03, 0x09, 0x80, 0x1D}}}, aErrInvalidOption, 7},  // an error reply gives its code
        {{{4, {0x03, 0x09, 0x00, 0, 0, 0, 1}},                    // another module
          {2, {0x03, 0x08, 0x00, 0, 0, 0, 2}},                    // another option
          {2, {0x03, 0x09, 0x01, 0, 0, 0, 3}},                    // another index
          {2, {0x03, 0x09, 0x20, 0, 0, 0, 4}}},                   // the reply
         aErrNone,
         4},
        {{}, aErrTimeout, 7},
    };
    for (const auto& c : cases) {
        Connect(c.replies);
        uint32_t serial = 7;
        EXPECT_EQ(c.expected, system_.getSerialNumber(&serial));
        EXPECT_EQ(c.serial, serial);
        EXPECT_EQ(Requests(), (std::vector<Bytes>{{0x03, 0x49, 0x20}}));
        module_->disconnect();
    }
}

TEST_F(EntityTest, SetIsConfirmedWithBothFlagBits)
{
    // First a reply with the plain set bit, which must not confirm.
    Connect({{2, {0x03, 0x84, 0x00}}, {2, {0x03, 0xC4, 0x00}}});
    EXPECT_EQ(system_.setLED(5), aErrNone);
    EXPECT_EQ(Requests(), (std::vector<Bytes>{{0x03, 0x84, 0x20, 0x01}}));
}

// Nothing in the product reads or writes byte blocks: one test of the
// chunking of a write.
TEST_F(EntityTest, ByteBlockGoesInChunksOf24WithSequenceBytes)
{
    Connect({});
    peer_->SetResponder([](const Packet& p) {
        if ((p.payload.back() & 0x80) != 0) return std::vector<Packet>{};  // more chunks follow
        return std::vector<Packet>{{2, {0x03, 0xE0, 0x00}}};
    });
    Bytes name(50);
    for (size_t i = 0; i < name.size(); ++i) name[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(system_.setName(name.data(), name.size()), aErrNone);
    std::vector<Bytes> sent = Requests();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0][1], 0xA0);
    EXPECT_EQ(sent[0].size(), 3u + 24u + 1u);
    EXPECT_EQ(sent[1].size(), 3u + 24u + 1u);
    EXPECT_EQ(Bytes(sent[2].begin() + 3, sent[2].end()), (Bytes{48, 49, 0x02}));
    EXPECT_EQ(sent[0].back(), 0x80);
    EXPECT_EQ(sent[1].back(), 0x81);
}

TEST(EntityWithoutModule, ReportsMissingResources)
{
    EntityClass entity;
    uint32_t value = 0;
    EXPECT_EQ(entity.getUEI32(1, &value), aErrResource);
    Module module(2, 0);
    entity.init(&module, 3, 0);
    EXPECT_EQ(entity.getUEI32(1, &value), aErrConnection);
}

}  // namespace
