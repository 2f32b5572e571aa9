#include "SDPLoader.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "HID_SDPLoader.h"
#include "Log.h"
#include "LogCapture.h"
#include "Pty.h"
#include "Serial_SDPLoader.h"

using Bytes = std::vector<unsigned char>;

// ---------------------------------------------------------------------------
// A stand-in for hidapi, linked in place of the library: an i.MX chip in
// serial-download mode answering on USB HID with report 3 (security mode)
// and report 4 (reply word) for every command.

struct hid_device_ {
    int unused;
};

namespace {

struct FakeHidChip {
    bool present = true;
    bool silent = false;
    unsigned int statusWord = 0xF0F0F0F0;
    unsigned int completionWord = 0x88888888;
    std::map<unsigned int, unsigned int> registers;
    int report3Length = 65;  // what hid_read_timeout returns for report 3

    std::vector<Bytes> writes;
    std::vector<int> readTimeouts;
    int inits = 0, exits = 0, opens = 0, closes = 0;
    unsigned short openedVid = 0, openedPid = 0;

    std::deque<std::pair<Bytes, int>> pending;  // reports waiting, with the length a read returns
    size_t expectData = 0;
    hid_device_ device{0};

    void Reply(unsigned int word)
    {
        Bytes r3(65, 0);
        r3[0] = 3;
        r3[1] = 0x12, r3[2] = 0x34, r3[3] = 0x34, r3[4] = 0x12;
        Bytes r4(65, 0);
        r4[0] = 4;
        for (int i = 0; i < 4; i++) r4[1 + i] = static_cast<unsigned char>(word >> (8 * i));
        pending.push_back({r3, report3Length});
        pending.push_back({r4, 65});
    }

    void Take(const Bytes& packet)
    {
        writes.push_back(packet);
        if (silent || packet.empty()) return;
        if (packet[0] == 2) {
            size_t n = packet.size() - 1;
            expectData = n >= expectData ? 0 : expectData - n;
            if (expectData == 0) Reply(completionWord);
            return;
        }
        unsigned int address = static_cast<unsigned int>(packet[3]) << 24 | packet[4] << 16 | packet[5] << 8 | packet[6];
        unsigned int count = static_cast<unsigned int>(packet[8]) << 24 | packet[9] << 16 | packet[10] << 8 | packet[11];
        switch (packet[1]) {
            case 0x05: Reply(statusWord); break;
            case 0x04: expectData = count; break;
            case 0x01:
                if (registers.count(address)) Reply(registers[address]);
                break;
            default: break;
        }
    }
};

FakeHidChip* g_hid = nullptr;

}  // namespace

extern "C" {

int hid_init(void)
{
    if (g_hid) g_hid->inits++;
    return 0;
}

int hid_exit(void)
{
    if (g_hid) g_hid->exits++;
    return 0;
}

hid_device_* hid_open(unsigned short vendor_id, unsigned short product_id, const wchar_t*)
{
    if (!g_hid) return nullptr;
    g_hid->opens++;
    g_hid->openedVid = vendor_id;
    g_hid->openedPid = product_id;
    return g_hid->present ? &g_hid->device : nullptr;
}

void hid_close(hid_device_*)
{
    if (g_hid) g_hid->closes++;
}

int hid_write(hid_device_*, const unsigned char* data, size_t length)
{
    g_hid->Take(Bytes(data, data + length));
    return static_cast<int>(length);
}

int hid_read_timeout(hid_device_*, unsigned char* data, size_t length, int milliseconds)
{
    g_hid->readTimeouts.push_back(milliseconds);
    if (g_hid->pending.empty()) return 0;
    auto report = g_hid->pending.front();
    g_hid->pending.pop_front();
    memcpy(data, report.first.data(), std::min(length, report.first.size()));
    return report.second;
}

}  // extern "C"

namespace {

// ---------------------------------------------------------------------------
// Helpers

Bytes Pattern(size_t n)
{
    Bytes v(n);
    for (size_t i = 0; i < n; i++) v[i] = static_cast<unsigned char>(i * 7 + i / 256);
    return v;
}

Bytes Slice(const Bytes& v, size_t from, size_t n)
{
    return Bytes(v.begin() + static_cast<std::ptrdiff_t>(from), v.begin() + static_cast<std::ptrdiff_t>(from + n));
}

// A 70-byte HID reply: report 3 as its 5 bytes, then report 4 with word.
Bytes HidReply(unsigned int word)
{
    Bytes r = {3, 0x12, 0x34, 0x34, 0x12, 4};
    for (int i = 0; i < 4; i++) r.push_back(static_cast<unsigned char>(word >> (8 * i)));
    r.resize(70, 0);
    return r;
}

// A transport double shaped like HID: replies are scripted per read, words
// are taken out with HID_SDPLoader's own rule.
class FakeTransport : public SDPLoader_Interface {
public:
    explicit FakeTransport(bool* destroyed = nullptr, bool initResult = true)
        : destroyed_(destroyed), initResult_(initResult)
    {
    }
    ~FakeTransport() override
    {
        if (destroyed_) *destroyed_ = true;
    }
    bool init() override
    {
        inits++;
        return initResult_;
    }
    ssize_t writeData(const Bytes& packet) override
    {
        writes.push_back(packet);
        return static_cast<ssize_t>(packet.size());
    }
    ssize_t readData(Bytes& out, unsigned int timeout_ms) override
    {
        readTimeouts.push_back(timeout_ms);
        if (replies.empty()) return 0;
        Bytes r = replies.front();
        replies.pop_front();
        out.insert(out.end(), r.begin(), r.end());
        return static_cast<ssize_t>(r.size());
    }
    bool getDataFromBuffer(const Bytes& reply, unsigned int offset, unsigned int& value) override
    {
        return hidRule_.getDataFromBuffer(reply, offset, value);
    }

    std::deque<Bytes> replies;  // one per readData call, empty when used up
    std::vector<Bytes> writes;
    std::vector<unsigned int> readTimeouts;
    int inits = 0;

private:
    bool* destroyed_;
    bool initResult_;
    HID_SDPLoader hidRule_{IMX1050::VID, IMX1050::PID};
};

Bytes Command(std::initializer_list<unsigned char> head)
{
    Bytes c(head);
    c.resize(MAX_COMMAND_BYTES, 0);
    return c;
}

const Bytes kStatusCommand = Command({1, 0x05, 0x05});

}  // namespace

// ---------------------------------------------------------------------------
// Reply words

TEST(SDPReplyWord, HidTakesBytesSixToNineOfExactlySeventyBytes)
{
    HID_SDPLoader hid(IMX1050::VID, IMX1050::PID);
    Bytes reply = HidReply(0x88888888);
    unsigned int value = 0;
    EXPECT_TRUE(hid.getDataFromBuffer(reply, 0, value));
    EXPECT_EQ(value, 0x88888888u);

    reply[6] = 0x44, reply[7] = 0x33, reply[8] = 0x22, reply[9] = 0x11;
    value = 0x80000000;  // ORed into, not replaced
    EXPECT_TRUE(hid.getDataFromBuffer(reply, 0, value));
    EXPECT_EQ(value, 0x91223344u);

    Bytes shorter(reply.begin(), reply.end() - 1), longer = reply;
    longer.push_back(0);
    value = 0;
    EXPECT_FALSE(hid.getDataFromBuffer(shorter, 0, value));
    EXPECT_FALSE(hid.getDataFromBuffer(longer, 0, value));
    EXPECT_FALSE(hid.getDataFromBuffer(reply, 16, value));
    EXPECT_EQ(value, 0u);
    EXPECT_TRUE(hid.getDataFromBuffer(reply, 15, value));
    EXPECT_EQ(value, static_cast<unsigned int>(reply[21]) | reply[22] << 8 | reply[23] << 16 |
                         static_cast<unsigned int>(reply[24]) << 24);
}

TEST(SDPReplyWord, SerialTakesBytesFourToSeven)
{
    Serial_SDPLoader serial("/dev/null");
    Bytes reply = {0x56, 0x78, 0x78, 0x56, 0x88, 0x88, 0x88, 0x88};
    unsigned int value = 0;
    EXPECT_FALSE(serial.getDataFromBuffer(Bytes(reply.begin(), reply.begin() + 7), 0, value));
    EXPECT_EQ(value, 0u);
    EXPECT_TRUE(serial.getDataFromBuffer(reply, 0, value));
    EXPECT_EQ(value, 0x88888888u);
    reply = {0, 0, 0, 0, 0x0D, 0x0A, 0x11, 0x13};
    value = 0;
    EXPECT_TRUE(serial.getDataFromBuffer(reply, 0, value));
    EXPECT_EQ(value, 0x13110A0Du);
    Bytes big(200, 0);
    EXPECT_FALSE(serial.getDataFromBuffer(big, 16, value));
    EXPECT_TRUE(serial.getDataFromBuffer(big, 15, value));
}

// ---------------------------------------------------------------------------
// SDPLoader through a transport double

TEST(SDPLoaderTransport, SetLoaderOnceAndOwnsIt)
{
    bool firstGone = false, secondGone = false;
    {
        SDPLoader sdp;
        EXPECT_EQ(sdp.init(), SDPLoader::SDP_NO_TRANSPORT);
        Bytes image(8, 0);
        EXPECT_EQ(sdp.writeLoader(image, 0x20000000), SDPLoader::SDP_NO_TRANSPORT);
        EXPECT_FALSE(sdp.setLoader(nullptr));
        FakeTransport* first = new FakeTransport(&firstGone);
        FakeTransport* second = new FakeTransport(&secondGone);
        EXPECT_TRUE(sdp.setLoader(first));
        EXPECT_FALSE(sdp.setLoader(second));
        EXPECT_EQ(sdp.init(), SDPLoader::SDP_OK);
        EXPECT_EQ(first->inits, 1);
        EXPECT_EQ(second->inits, 0);
        delete second;  // not taken over
        EXPECT_FALSE(firstGone);
    }
    EXPECT_TRUE(firstGone);
    EXPECT_TRUE(secondGone);

    SDPLoader failing;
    ASSERT_TRUE(failing.setLoader(new FakeTransport(nullptr, false)));
    EXPECT_EQ(failing.init(), SDPLoader::SDP_INIT_FAILED);
}

TEST(SDPLoaderTransport, WriteFileCommandAndDataPackets)
{
    SDPLoader sdp;
    FakeTransport* t = new FakeTransport;
    ASSERT_TRUE(sdp.setLoader(t));
    t->replies = {HidReply(0x12345678), {}, {}, {}, {}, {}, HidReply(0x88888888)};
    Bytes image = Pattern(0x1234);
    EXPECT_EQ(sdp.writeLoader(image, 0x20000000), SDPLoader::SDP_OK);

    ASSERT_EQ(t->writes.size(), 2u + 5);
    EXPECT_EQ(t->writes[0], kStatusCommand);
    EXPECT_EQ(t->writes[1], (Bytes{1, 0x04, 0x04, 0x20, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x12, 0x34, 0, 0, 0, 0, 0}));
    size_t at = 0;
    for (size_t i = 2; i < t->writes.size(); i++) {
        size_t n = std::min<size_t>(1024, image.size() - at);
        Bytes expected = {2};
        Bytes part = Slice(image, at, n);
        expected.insert(expected.end(), part.begin(), part.end());
        EXPECT_EQ(t->writes[i], expected) << "packet " << i - 2;
        at += n;
    }
    EXPECT_EQ(at, image.size());
    // Status read, a zero-time look before each data packet, the completion read.
    EXPECT_EQ(t->readTimeouts, (std::vector<unsigned int>{100, 0, 0, 0, 0, 0, 100}));
}

TEST(SDPLoaderTransport, SplitsTwentyFiveHundredBytes)
{
    SDPLoader sdp;
    FakeTransport* t = new FakeTransport;
    ASSERT_TRUE(sdp.setLoader(t));
    t->replies = {HidReply(0), {}, {}, {}, HidReply(0x88888888)};
    LogCapture log(DEBUG_iMXSerial);
    EXPECT_EQ(sdp.writeLoader(Pattern(2500), 0x20000400), SDPLoader::SDP_OK);
    ASSERT_EQ(t->writes.size(), 5u);
    EXPECT_EQ(t->writes[2].size(), 1025u);
    EXPECT_EQ(t->writes[3].size(), 1025u);
    EXPECT_EQ(t->writes[4].size(), 453u);
    std::string text = log.Text();
    EXPECT_NE(text.find("Write Res: 1025 , Total: 1025, Loop: 0, tell: 1024, size: 1025\n"), std::string::npos);
    EXPECT_NE(text.find("Write Res: 1025 , Total: 2050, Loop: 1, tell: 2048, size: 1025\n"), std::string::npos);
    EXPECT_NE(text.find("Write Res: 453 , Total: 2503, Loop: 2, tell: 2500, size: 453\n"), std::string::npos);
    EXPECT_NE(text.find("Written Bytes: 2503\nData Read: \n"), std::string::npos);
    EXPECT_NE(text.find("Loader Transfer Successful\n"), std::string::npos);
}

TEST(SDPLoaderTransport, FiveUnansweredStatusCommands)
{
    SDPLoader sdp;
    FakeTransport* t = new FakeTransport;
    ASSERT_TRUE(sdp.setLoader(t));
    t->replies = {{}, {}, {}, {}, Bytes(69, 0), HidReply(0)};
    LogCapture log(DEBUG_iMXSerial);
    EXPECT_EQ(sdp.writeLoader(Pattern(64), 0x20000000), SDPLoader::SDP_NO_STATUS);
    EXPECT_EQ(t->writes, std::vector<Bytes>(5, kStatusCommand));
    EXPECT_EQ(t->readTimeouts, std::vector<unsigned int>(5, 100));
    std::string status = "1 5 5 0 0 0 0 0 0 0 0 0 0 0 0 0 0 \n";
    std::string expected;
    for (int i = 0; i < 4; i++) expected += "bytesWritten: 17\n" + status + "Read Data: 0\n\n";
    expected += "bytesWritten: 17\n" + status + "Read Data: 69\n";
    for (int i = 0; i < 69; i++) expected += "0 ";
    expected += "\nError: No ack from iMX device\n";
    EXPECT_EQ(log.Text(), expected);

    // The fifth attempt can still succeed.
    SDPLoader late;
    FakeTransport* u = new FakeTransport;
    ASSERT_TRUE(late.setLoader(u));
    u->replies = {{}, {}, {}, {}, HidReply(0), HidReply(0x11111111), HidReply(0x22222222)};
    uint64_t value = 0;
    EXPECT_EQ(late.getFingerprint(value), SDPLoader::SDP_OK);
    EXPECT_EQ(value, 0x2222222211111111u);
}

TEST(SDPLoaderTransport, ChipTalkingDuringTheTransferAborts)
{
    SDPLoader sdp;
    FakeTransport* t = new FakeTransport;
    ASSERT_TRUE(sdp.setLoader(t));
    t->replies = {HidReply(0), {}, HidReply(0xDEADBEEF)};
    LogCapture log(DEBUG_iMXSerial);
    EXPECT_EQ(sdp.writeLoader(Pattern(3000), 0x20000000), SDPLoader::SDP_DATA_IN_TRANSFER);
    // Status, command and the first data packet; the look before the second found data.
    EXPECT_EQ(t->writes.size(), 3u);
    EXPECT_NE(log.Text().find("Error while transfering loader. Aborting\n"), std::string::npos);
}

TEST(SDPLoaderTransport, MissingOrWrongCompletionWord)
{
    for (const Bytes& last : {Bytes{}, HidReply(0xF0F0F0F0), Bytes(71, 0x88)}) {
        SDPLoader sdp;
        FakeTransport* t = new FakeTransport;
        ASSERT_TRUE(sdp.setLoader(t));
        t->replies = {HidReply(0), {}, last};
        LogCapture log(DEBUG_iMXSerial);
        EXPECT_EQ(sdp.writeLoader(Pattern(100), 0x20000000), SDPLoader::SDP_NO_COMPLETION);
        EXPECT_NE(log.Text().find("Loader Transfer Unsuccessful\n"), std::string::npos);
    }
}

TEST(SDPLoaderTransport, JumpCommand)
{
    SDPLoader sdp;
    FakeTransport* t = new FakeTransport;
    ASSERT_TRUE(sdp.setLoader(t));
    sdp.startLoader(IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS);
    ASSERT_EQ(t->writes.size(), 1u);
    EXPECT_EQ(t->writes[0], Command({1, 0x0B, 0x0B, 0x20, 0x00, 0x04, 0x00}));
    EXPECT_EQ(t->readTimeouts, std::vector<unsigned int>{100});
}

TEST(SDPLoaderTransport, FingerprintFromTheTwoFuseWords)
{
    SDPLoader sdp;
    FakeTransport* t = new FakeTransport;
    ASSERT_TRUE(sdp.setLoader(t));
    t->replies = {HidReply(0), HidReply(0x11223344), HidReply(0xAABBCCDD)};
    uint64_t value = 0x0000000100000000ull;  // ORed into
    EXPECT_EQ(sdp.getFingerprint(value), SDPLoader::SDP_OK);
    EXPECT_EQ(value, 0xAABBCCDD11223344ull);
    ASSERT_EQ(t->writes.size(), 3u);
    EXPECT_EQ(t->writes[1], Command({1, 0x01, 0x01, 0x40, 0x1F, 0x44, 0x10, 0x20, 0, 0, 0, 4}));
    EXPECT_EQ(t->writes[2], Command({1, 0x01, 0x01, 0x40, 0x1F, 0x44, 0x20, 0x20, 0, 0, 0, 4}));

    SDPLoader missing;
    FakeTransport* u = new FakeTransport;
    ASSERT_TRUE(missing.setLoader(u));
    u->replies = {HidReply(0), HidReply(0x11223344), Bytes(69, 0)};
    value = 0;
    EXPECT_EQ(missing.getFingerprint(value), SDPLoader::SDP_NO_REGISTER_REPLY);

    SDPLoader silent;
    ASSERT_TRUE(silent.setLoader(new FakeTransport));
    EXPECT_EQ(silent.getFingerprint(value), SDPLoader::SDP_NO_STATUS);
}

// ---------------------------------------------------------------------------
// HID transport over the hidapi stand-in

class HidTest : public ::testing::Test {
protected:
    void SetUp() override { g_hid = &chip; }
    void TearDown() override { g_hid = nullptr; }
    FakeHidChip chip;
};

TEST_F(HidTest, OpensByVendorAndProductAndClosesOnDestruction)
{
    {
        LogCapture log(DEBUG_iMXSerial);
        HID_SDPLoader hid(IMX1050::VID, IMX1050::PID);
        EXPECT_TRUE(hid.init());
        EXPECT_EQ(chip.openedVid, 0x1FC9);
        EXPECT_EQ(chip.openedPid, 0x0130);
        char expected[64];
        snprintf(expected, sizeof expected, "handle: %p\n", static_cast<void*>(&chip.device));
        EXPECT_EQ(log.Text(), expected);
    }
    EXPECT_EQ(chip.inits, 1);
    EXPECT_EQ(chip.closes, 1);
    EXPECT_EQ(chip.exits, 1);

    chip.present = false;
    {
        SDPLoader sdp;
        ASSERT_TRUE(sdp.setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID)));
        EXPECT_EQ(sdp.init(), SDPLoader::SDP_INIT_FAILED);
    }
    EXPECT_EQ(chip.closes, 1);  // nothing was open
    EXPECT_EQ(chip.exits, 2);
}

TEST_F(HidTest, ReadAppendsReportsAndCountsReportThreeAsFiveBytes)
{
    HID_SDPLoader hid(IMX1050::VID, IMX1050::PID);
    ASSERT_TRUE(hid.init());
    for (int length : {65, 5, 4}) {
        chip.report3Length = length;
        chip.Reply(0x88888888);
        Bytes reply;
        chip.readTimeouts.clear();
        EXPECT_EQ(hid.readData(reply, 100), 70);
        EXPECT_EQ(reply.size(), 70u);
        EXPECT_EQ(reply[0], 3);
        EXPECT_EQ(reply[5], 4);
        // Reads go on until one times out.
        EXPECT_EQ(chip.readTimeouts, (std::vector<int>{100, 100, 100}));
        unsigned int word = 0;
        EXPECT_TRUE(hid.getDataFromBuffer(reply, 0, word));
        EXPECT_EQ(word, 0x88888888u);
    }
    Bytes nothing;
    EXPECT_EQ(hid.readData(nothing, 0), 0);
    EXPECT_TRUE(nothing.empty());
}

TEST_F(HidTest, LoaderTransferEndToEnd)
{
    chip.registers[0x401F4410] = 0x0D0A1113;
    chip.registers[0x401F4420] = 0xCAFEF00D;
    SDPLoader sdp;
    ASSERT_TRUE(sdp.setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID)));
    ASSERT_EQ(sdp.init(), SDPLoader::SDP_OK);
    uint64_t fingerprint = 0;
    EXPECT_EQ(sdp.getFingerprint(fingerprint), SDPLoader::SDP_OK);
    EXPECT_EQ(fingerprint, 0xCAFEF00D0D0A1113ull);

    chip.writes.clear();
    Bytes image = Pattern(2500);
    EXPECT_EQ(sdp.writeLoader(image, 0x20000000), SDPLoader::SDP_OK);
    ASSERT_EQ(chip.writes.size(), 5u);
    EXPECT_EQ(chip.writes[2].size(), 1025u);
    EXPECT_EQ(chip.writes[3].size(), 1025u);
    EXPECT_EQ(chip.writes[4].size(), 453u);
    Bytes sent;
    for (size_t i = 2; i < 5; i++) {
        EXPECT_EQ(chip.writes[i][0], 2);
        sent.insert(sent.end(), chip.writes[i].begin() + 1, chip.writes[i].end());
    }
    EXPECT_EQ(sent, image);

    chip.completionWord = 0x12345678;
    EXPECT_EQ(sdp.writeLoader(image, 0x20000000), SDPLoader::SDP_NO_COMPLETION);
    chip.silent = true;
    EXPECT_EQ(sdp.writeLoader(image, 0x20000000), SDPLoader::SDP_NO_STATUS);
}

// ---------------------------------------------------------------------------
// Serial transport over a pseudo-terminal

namespace {

// An i.MX chip on the master side of a pty speaking the serial form of SDP:
// 16-byte commands, raw data, replies of a 4-byte security word and a
// 4-byte reply word.
class SerialChip {
public:
    explicit SerialChip(int master) : master_(master) {}
    ~SerialChip() { Stop(); }
    void Start()
    {
        stop_ = false;
        thread_ = std::thread([this] { Run(); });
    }
    void Stop()
    {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }

    bool silent = false;
    bool deafAfterWriteFile = false;  // stops reading once a write-file command came
    std::map<unsigned int, unsigned int> registers;

    Bytes wire;                        // everything received
    std::vector<Bytes> commands;       // 16-byte commands
    Bytes loaded;                      // data of write-file commands
    std::vector<unsigned int> jumps;   // jump addresses

private:
    void Reply(unsigned int word)
    {
        unsigned char r[8] = {0x56, 0x78, 0x78, 0x56};
        for (int i = 0; i < 4; i++) r[4 + i] = static_cast<unsigned char>(word >> (8 * i));
        ssize_t w = write(master_, r, sizeof r);
        (void)w;
    }

    void Run()
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        Bytes command;
        size_t expectData = 0;
        while (!stop_ && std::chrono::steady_clock::now() < deadline) {
            if (deaf_) {
                usleep(5000);
                continue;
            }
            struct pollfd p = {master_, POLLIN, 0};
            if (poll(&p, 1, 5) <= 0 || (p.revents & POLLIN) == 0) continue;
            unsigned char chunk[4096];
            ssize_t n = read(master_, chunk, sizeof chunk);
            if (n <= 0) continue;
            for (ssize_t i = 0; i < n; i++) {
                unsigned char b = chunk[i];
                wire.push_back(b);
                if (expectData > 0) {
                    loaded.push_back(b);
                    if (--expectData == 0) Reply(0x88888888);
                    continue;
                }
                command.push_back(b);
                if (command.size() < 16) continue;
                Bytes c = command;
                command.clear();
                commands.push_back(c);
                unsigned int address = static_cast<unsigned int>(c[2]) << 24 | c[3] << 16 | c[4] << 8 | c[5];
                unsigned int count = static_cast<unsigned int>(c[7]) << 24 | c[8] << 16 | c[9] << 8 | c[10];
                if (silent) continue;
                switch (c[0]) {
                    case 0x05: Reply(0xF0F0F0F0); break;
                    case 0x04:
                        expectData = count;
                        deaf_ = deafAfterWriteFile;
                        break;
                    case 0x01:
                        if (registers.count(address)) Reply(registers[address]);
                        break;
                    case 0x0B: jumps.push_back(address); break;
                    default: break;
                }
            }
        }
    }

    int master_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    bool deaf_ = false;
};

double SecondsSince(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

TEST(SerialSDP, InitAppliesRawSettingsAndKeepsItsOwnPortName)
{
    Pty pty;
    char* name = strdup(pty.path.c_str());
    Serial_SDPLoader serial(name);
    memset(name, 'x', strlen(name));  // the caller's text goes away
    free(name);
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(serial.init());
    EXPECT_GE(SecondsSince(t0), 1.0);

    struct termios t;
    ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP | BRKINT), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8));
    EXPECT_NE(t.c_cflag & CREAD, 0u);
    EXPECT_NE(t.c_cflag & CLOCAL, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);

    // Control characters pass untouched both ways.
    Bytes special = {0, 0x03, 0x0A, 0x0D, 0x11, 0x13, 0x1A, 0x7F, 0xFF};
    Bytes packet = {1};
    packet.insert(packet.end(), special.begin(), special.end());
    EXPECT_EQ(serial.writeData(packet), static_cast<ssize_t>(special.size()));
    Bytes got(special.size());
    size_t have = 0;
    for (int i = 0; i < 100 && have < got.size(); i++) {
        ssize_t r = read(pty.master, got.data() + have, got.size() - have);
        if (r > 0) have += static_cast<size_t>(r);
        else usleep(1000);
    }
    EXPECT_EQ(got, special);
    ASSERT_EQ(write(pty.master, special.data(), special.size()), static_cast<ssize_t>(special.size()));
    Bytes back;
    EXPECT_EQ(serial.readData(back, 50), static_cast<ssize_t>(special.size()));
    EXPECT_EQ(back, special);
}

TEST(SerialSDP, InitRefusesWhatIsNotATerminal)
{
    Serial_SDPLoader null("/dev/null");
    EXPECT_FALSE(null.init());
    Serial_SDPLoader missing("/nonexistent/ttyIMX");
    EXPECT_FALSE(missing.init());
    Bytes packet = {1, 2, 3};
    EXPECT_LT(missing.writeData(packet), 0);
}

TEST(SerialSDP, LoaderTransferAndFingerprintOnTheWire)
{
    Pty pty;
    SerialChip chip(pty.master);
    chip.registers[0x401F4410] = 0x0D0A1113;
    chip.registers[0x401F4420] = 0x7F00FF0A;
    SDPLoader sdp;
    ASSERT_TRUE(sdp.setLoader(new Serial_SDPLoader(pty.path.c_str())));
    ASSERT_EQ(sdp.init(), SDPLoader::SDP_OK);
    chip.Start();

    Bytes image(2500);
    for (size_t i = 0; i < image.size(); i++) image[i] = static_cast<unsigned char>(i);  // every byte value
    EXPECT_EQ(sdp.writeLoader(image, 0x20000000), SDPLoader::SDP_OK);
    uint64_t fingerprint = 0;
    EXPECT_EQ(sdp.getFingerprint(fingerprint), SDPLoader::SDP_OK);
    EXPECT_EQ(fingerprint, 0x7F00FF0A0D0A1113ull);
    sdp.startLoader(0x20000400);
    chip.Stop();

    // No report IDs on the serial wire: 16-byte commands and the bare image.
    Bytes expected;
    auto add = [&expected](const Bytes& b) { expected.insert(expected.end(), b.begin(), b.end()); };
    add(Bytes(kStatusCommand.begin() + 1, kStatusCommand.end()));
    add({0x04, 0x04, 0x20, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x09, 0xC4, 0, 0, 0, 0, 0});
    add(image);
    add(Bytes(kStatusCommand.begin() + 1, kStatusCommand.end()));
    add({0x01, 0x01, 0x40, 0x1F, 0x44, 0x10, 0x20, 0, 0, 0, 4, 0, 0, 0, 0, 0});
    add({0x01, 0x01, 0x40, 0x1F, 0x44, 0x20, 0x20, 0, 0, 0, 4, 0, 0, 0, 0, 0});
    add({0x0B, 0x0B, 0x20, 0x00, 0x04, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(chip.wire, expected);
    EXPECT_EQ(chip.loaded, image);
    EXPECT_EQ(chip.jumps, std::vector<unsigned int>{0x20000400});
}

TEST(SerialSDP, SilentChipCostsFiveStatusCommandsOfAtLeastATenthOfASecond)
{
    Pty pty;
    SerialChip chip(pty.master);
    chip.silent = true;
    SDPLoader sdp;
    ASSERT_TRUE(sdp.setLoader(new Serial_SDPLoader(pty.path.c_str())));
    ASSERT_EQ(sdp.init(), SDPLoader::SDP_OK);
    chip.Start();
    LogCapture log(DEBUG_iMXSerial);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(sdp.writeLoader(Pattern(100), 0x20000000), SDPLoader::SDP_NO_STATUS);
    EXPECT_GE(SecondsSince(t0), 0.5);
    chip.Stop();
    EXPECT_EQ(chip.commands, std::vector<Bytes>(5, Bytes(kStatusCommand.begin() + 1, kStatusCommand.end())));
    std::string text = log.Text();
    EXPECT_EQ(text.substr(text.size() - 30), "Error: No ack from iMX device\n");
    EXPECT_NE(text.find("bytesWritten: 16\n1 5 5 0 0 0 0 0 0 0 0 0 0 0 0 0 0 \nRead Data: 0\n\n"),
              std::string::npos);
}

TEST(SerialSDP, StalledWriteFailsWithinASecondAndStaysFailed)
{
    Pty pty;  // nobody reads the master: the line fills up
    Serial_SDPLoader serial(pty.path.c_str());
    ASSERT_TRUE(serial.init());
    Bytes huge(1 << 20, 0x55);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_LT(serial.writeData(huge), 0);
    double first = SecondsSince(t0);
    // The class measures with the wall clock, the test with a steady one.
    EXPECT_GE(first, 0.95);
    EXPECT_LT(first, 3.0);
    t0 = std::chrono::steady_clock::now();
    Bytes small = {1, 2, 3};
    EXPECT_LT(serial.writeData(small), 0);
    EXPECT_LT(SecondsSince(t0), 0.1);
    std::printf("[ measure  ] stalled serial write gave up after %.3f s\n", first);
}

TEST(SerialSDP, StalledLineEndsTheTransferWithinAboutASecond)
{
    Pty pty;
    SerialChip chip(pty.master);
    chip.deafAfterWriteFile = true;
    SDPLoader sdp;
    ASSERT_TRUE(sdp.setLoader(new Serial_SDPLoader(pty.path.c_str())));
    ASSERT_EQ(sdp.init(), SDPLoader::SDP_OK);
    chip.Start();
    // Far more than the pty holds: the line fills up part way through.
    Bytes image(1 << 20, 0x5A);
    LogCapture log(DEBUG_iMXSerial);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(sdp.writeLoader(image, 0x20000000), SDPLoader::SDP_NO_COMPLETION);
    double seconds = SecondsSince(t0);
    EXPECT_LT(seconds, 3.0);
    std::string text = log.Text();
    // The stalled packet and every later one report failure; none waits again.
    EXPECT_NE(text.find("Write Res: -1 , Total: "), std::string::npos);
    EXPECT_NE(text.find("Loop: 1023, tell: 1048576, size: 1025\n"), std::string::npos);
    EXPECT_NE(text.find("Loader Transfer Unsuccessful\n"), std::string::npos);
    std::printf("[ measure  ] 1 MiB loader over a stalled line failed after %.3f s\n", seconds);
}
