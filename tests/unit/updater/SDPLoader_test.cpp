#include "SDPLoader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <string>
#include <vector>

#include "HID_SDPLoader.h"
#include "Pty.h"
#include "Serial_SDPLoader.h"

using Bytes = std::vector<unsigned char>;

namespace {

// A 70-byte HID reply: report 3 as its 5 bytes, then report 4 with word.
Bytes HidReply(unsigned int word)
{
    Bytes r = {3, 0x12, 0x34, 0x34, 0x12, 4};
    for (int i = 0; i < 4; i++) r.push_back(static_cast<unsigned char>(word >> (8 * i)));
    r.resize(70, 0);
    return r;
}

// A transport double shaped like HID: each read hands out the next scripted
// reply; words are taken out with HID_SDPLoader's own rule.
class FakeTransport : public SDPLoader_Interface {
public:
    bool init() override { return true; }
    ssize_t writeData(const Bytes& packet) override
    {
        writes.push_back(packet);
        return static_cast<ssize_t>(packet.size());
    }
    ssize_t readData(Bytes& out, unsigned int timeout_ms) override
    {
        readTimeouts.push_back(timeout_ms);
        if (replies.empty()) return 0;
        Bytes reply = replies.front();
        replies.pop_front();
        out.insert(out.end(), reply.begin(), reply.end());
        return static_cast<ssize_t>(reply.size());
    }
    bool getDataFromBuffer(const Bytes& reply, unsigned int offset, unsigned int& value) override
    {
        return hid.getDataFromBuffer(reply, offset, value);
    }

    std::deque<Bytes> replies;  // one per read; nothing once used up
    std::vector<Bytes> writes;
    std::vector<unsigned int> readTimeouts;
    HID_SDPLoader hid{IMX1050::VID, IMX1050::PID};
};

// An SDP command as the HID transport sends it: report ID 1, 16 bytes.
Bytes Command(std::initializer_list<unsigned char> head)
{
    Bytes c(head);
    c.resize(MAX_COMMAND_BYTES, 0);
    return c;
}

const Bytes kStatusCommand = Command({1, 0x05, 0x05});

class SDPLoaderTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sdp.setLoader(t)); }

    FakeTransport* t = new FakeTransport;  // owned by sdp
    SDPLoader sdp;
};

}  // namespace

// The reply-word rules of both transports are checked by the fuzz target
// against its own reading (fuzz/regressions/sdp holds the boundary cases).
TEST_F(SDPLoaderTest, WriteLoaderSendsStatusWriteFileAndDataPackets)
{
    t->replies = {HidReply(0x12345678), {}, {}, {}, {}, {}, HidReply(0x88888888)};
    Bytes image(0x1234);
    for (size_t i = 0; i < image.size(); i++) image[i] = static_cast<unsigned char>(i * 7 + i / 256);
    EXPECT_EQ(sdp.writeLoader(image, 0x20000000), SDPLoader::SDP_OK);

    std::vector<Bytes> expected = {
        kStatusCommand, Command({1, 0x04, 0x04, 0x20, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x12, 0x34})};
    for (size_t at = 0; at < image.size(); at += 1024) {
        expected.push_back({2});
        expected.back().insert(expected.back().end(), image.begin() + long(at),
                               image.begin() + long(std::min<size_t>(at + 1024, image.size())));
    }
    EXPECT_EQ(t->writes, expected);
    // The status reply, a look without waiting before each data packet, the completion.
    EXPECT_EQ(t->readTimeouts, (std::vector<unsigned int>{100, 0, 0, 0, 0, 0, 100}));
}

TEST(SDPLoaderTransport, WriteLoaderOutcomes)
{
    // The replies, the result, the packets written, how many were status commands.
    const Bytes n;  // no reply
    const struct {
        std::deque<Bytes> replies;
        int result;
        size_t writes;
        long statuses;
    } rows[] = {
        {{n, n, n, n, Bytes(69, 0), HidReply(0)}, SDPLoader::SDP_NO_STATUS, 5, 5},
        // Any word answers the status command.
        {{n, n, n, n, HidReply(0), n, n, n, HidReply(0x88888888)}, SDPLoader::SDP_OK, 9, 5},
        // The chip speaks during the transfer.
        {{HidReply(0), n, HidReply(0xDEADBEEF)}, SDPLoader::SDP_DATA_IN_TRANSFER, 3, 1},
        {{HidReply(0), n, n, n, HidReply(0xF0F0F0F0)}, SDPLoader::SDP_NO_COMPLETION, 5, 1},
        // The completion word in a reply of 71 bytes.
        {{HidReply(0), n, n, n, Bytes(71, 0x88)}, SDPLoader::SDP_NO_COMPLETION, 5, 1},
        {{HidReply(0)}, SDPLoader::SDP_NO_COMPLETION, 5, 1},
    };
    for (const auto& row : rows) {
        SDPLoader sdp;
        FakeTransport* t = new FakeTransport;
        ASSERT_TRUE(sdp.setLoader(t));
        t->replies = row.replies;
        const size_t at = size_t(&row - rows);
        EXPECT_EQ(sdp.writeLoader(Bytes(2500, 0x5A), 0x20000000), row.result) << at;
        EXPECT_EQ(t->writes.size(), row.writes) << at;
        EXPECT_EQ(std::count(t->writes.begin(), t->writes.end(), kStatusCommand), row.statuses) << at;
    }
}

// getFingerprint, which the updater does not call, is left to the fuzz target.
TEST_F(SDPLoaderTest, JumpCommand)
{
    sdp.startLoader(IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS);
    EXPECT_EQ(t->writes, std::vector<Bytes>{Command({1, 0x0B, 0x0B, 0x20, 0x00, 0x04, 0x00})});
    EXPECT_EQ(t->readTimeouts, std::vector<unsigned int>{100});
}

// The serial transport over a pseudo-terminal.

TEST(SerialSDP, StalledWriteFailsWithinASecondAndStaysFailed)
{
    Pty pty;  // nobody reads the master: the line fills up
    Serial_SDPLoader serial(pty.path.c_str());
    ASSERT_TRUE(serial.init());
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_LT(serial.writeData(Bytes(1 << 20, 0x55)), 0);
    double first = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    // The class measures with the wall clock, the test with a steady one.
    EXPECT_GE(first, 0.95);
    EXPECT_LT(first, 3.0);
    t0 = std::chrono::steady_clock::now();
    EXPECT_LT(serial.writeData({1, 2, 3}), 0);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 0.1);
}
