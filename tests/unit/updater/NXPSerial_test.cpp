#include "NXPSerial.h"

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
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Log.h"
#include "LogCapture.h"
#include "Pty.h"

namespace {

// ---------------------------------------------------------------------------
// Helpers independent of the class under test

std::vector<uint8_t> UuDecode(const std::string& line)
{
    std::vector<uint8_t> out;
    if (line.empty()) return out;
    size_t n = static_cast<size_t>((line[0] - 32) & 63);
    for (size_t at = 1; out.size() < n && at + 4 <= line.size(); at += 4) {
        uint32_t v = 0;
        for (size_t k = 0; k < 4; k++) v = (v << 6) | static_cast<uint32_t>((line[at + k] - 32) & 63);
        for (int k = 0; k < 3 && out.size() < n; k++) out.push_back(static_cast<uint8_t>(v >> (16 - 8 * k)));
    }
    return out;
}

std::string UuEncode(const std::vector<uint8_t>& data)
{
    auto ch = [](uint32_t v) { v &= 63; return v == 0 ? '`' : static_cast<char>(v + 32); };
    std::string out(1, ch(static_cast<uint32_t>(data.size())));
    for (size_t i = 0; i < data.size(); i += 3) {
        uint32_t v = static_cast<uint32_t>(data[i]) << 16;
        if (i + 1 < data.size()) v |= static_cast<uint32_t>(data[i + 1]) << 8;
        if (i + 2 < data.size()) v |= data[i + 2];
        for (int s = 18; s >= 0; s -= 6) out += ch(v >> s);
    }
    return out;
}

uint32_t Sum(const uint8_t* p, size_t n)
{
    uint32_t s = 0;
    for (size_t i = 0; i < n; i++) s += p[i];
    return s;
}

std::vector<uint8_t> Pattern(size_t n, uint32_t seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) {
        seed = seed * 1103515245u + 12345u;
        v[i] = static_cast<uint8_t>(seed >> 16);
    }
    return v;
}

// A minimal LPC17xx ISP bootloader on the master side of a pty: auto-baud,
// echo, the single commands with a configurable return code, uuencoded
// writes with checksum blocks, reads served from `memory`.
class FakeIsp {
public:
    explicit FakeIsp(int master) : master_(master) {}
    ~FakeIsp() { Stop(); }

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
    // Writes raw bytes as if the chip sent them unasked.
    void Inject(const std::string& bytes) { WriteAll(bytes); }

    // Configuration, set before Start.
    bool autobaud = false;  // answer a first "?" with "Synchronized"
    bool echo = true;
    std::map<char, std::string> code;  // return code line per command letter; "0" when absent
    std::string syncReply = "OK";
    std::deque<std::string> checksumReplies;  // replies to Write checksums; "OK" when used up
    uint32_t ids[4] = {0x26113F37, 0x12345678, 0x9ABCDEF0, 4000000000u};
    std::vector<uint8_t> memory;  // what R reads
    int badReadChecksums = 0;

    // Observations, read after Stop.
    std::string wire;                 // every byte received
    std::vector<std::string> lines;   // complete received lines, CR LF kept
    std::vector<std::string> events;  // W transfer: "D<bytes>" per data line, "C<sum>" per checksum
    std::vector<uint8_t> ram;         // bytes accepted through W
    bool checksumsMatch = true;

private:
    enum Mode { kCommand, kWriteData, kWriteChecksum, kReadAck };

    void Run()
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        std::string line;
        while (!stop_ && std::chrono::steady_clock::now() < deadline) {
            struct pollfd p = {master_, POLLIN, 0};
            if (poll(&p, 1, 5) <= 0 || (p.revents & POLLIN) == 0) continue;
            char chunk[4096];
            ssize_t n = read(master_, chunk, sizeof chunk);
            if (n <= 0) continue;
            std::string out;
            for (ssize_t i = 0; i < n; i++) {
                char c = chunk[i];
                wire += c;
                if (autobaud) {
                    if (c == '?') {
                        autobaud = false;
                        out += "Synchronized\r\n";
                    }
                    continue;
                }
                if (echo) out += c;
                line += c;
                if (c == '\n') {
                    lines.push_back(line);
                    out += Handle(line);
                    line.clear();
                }
            }
            WriteAll(out);
        }
    }

    void WriteAll(const std::string& bytes)
    {
        size_t done = 0;
        for (int tries = 0; done < bytes.size() && tries < 1000; tries++) {
            ssize_t w = write(master_, bytes.data() + done, bytes.size() - done);
            if (w > 0) done += static_cast<size_t>(w);
            else usleep(1000);
        }
    }

    std::string Code(char letter) const
    {
        auto it = code.find(letter);
        return (it == code.end() ? std::string("0") : it->second) + "\r\n";
    }

    std::string ReadBlock()
    {
        std::string out;
        size_t end = readPos_;
        for (int l = 0; l < 20 && end < readEnd_; l++) {
            size_t n = std::min<size_t>(45, readEnd_ - end);
            out += UuEncode(std::vector<uint8_t>(memory.begin() + end, memory.begin() + end + n)) + "\r\n";
            end += n;
        }
        uint32_t s = Sum(memory.data() + readPos_, end - readPos_);
        if (badReadChecksums > 0) {
            badReadChecksums--;
            s += 1;
        }
        readBlockEnd_ = end;
        return out + std::to_string(s) + "\r\n";
    }

    std::string Handle(const std::string& line)
    {
        std::string body = line.substr(0, line.size() >= 2 && line[line.size() - 2] == '\r' ? line.size() - 2
                                                                                           : line.size() - 1);
        if (mode_ == kWriteData) {
            std::vector<uint8_t> bytes = UuDecode(body);
            events.push_back("D" + std::to_string(bytes.size()));
            pending_.insert(pending_.end(), bytes.begin(), bytes.end());
            blockLines_++;
            if (blockLines_ == 20 || ram.size() + pending_.size() >= writeTotal_) mode_ = kWriteChecksum;
            return "";
        }
        if (mode_ == kWriteChecksum) {
            events.push_back("C" + body);
            if (strtoul(body.c_str(), nullptr, 10) != Sum(pending_.data(), pending_.size())) checksumsMatch = false;
            std::string reply = "OK";
            if (!checksumReplies.empty()) {
                reply = checksumReplies.front();
                checksumReplies.pop_front();
            }
            if (reply == "OK") ram.insert(ram.end(), pending_.begin(), pending_.end());
            pending_.clear();
            blockLines_ = 0;
            mode_ = ram.size() >= writeTotal_ ? kCommand : kWriteData;
            return reply + "\r\n";
        }
        if (mode_ == kReadAck) {
            if (body == "OK") {
                readPos_ = readBlockEnd_;
                if (readPos_ >= readEnd_) {
                    mode_ = kCommand;
                    return "";
                }
            }
            return ReadBlock();
        }

        if (body == "Synchronized") return syncReply + "\r\n";
        if (body == "14746") return "OK\r\n";
        std::istringstream args(body.size() > 1 ? body.substr(1) : "");
        std::string reply = Code(body.empty() ? ' ' : body[0]);
        bool ok = reply == "0\r\n";
        switch (body.empty() ? ' ' : body[0]) {
            case 'A': {
                int on = 1;
                args >> on;
                if (ok) echo = on != 0;  // the command itself was still echoed
                return reply;
            }
            case 'W': {
                unsigned long address = 0;
                args >> address >> writeTotal_;
                if (ok) {
                    mode_ = kWriteData;
                    ram.clear();
                }
                return reply;
            }
            case 'R': {
                unsigned long address = 0;
                args >> address >> readEnd_;
                readPos_ = 0;
                if (!ok) return reply;
                mode_ = kReadAck;
                return reply + ReadBlock();
            }
            case 'N': {
                if (!ok) return reply;
                for (uint32_t id : ids) reply += std::to_string(id) + "\r\n";
                return reply;
            }
            case 'K': return reply + "4\r\n13\r\n";
            case 'J': return reply + "637615927\r\n";
            case 'G': return "";
            default: return reply;
        }
    }

    int master_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    Mode mode_ = kCommand;
    size_t writeTotal_ = 0;
    int blockLines_ = 0;
    std::vector<uint8_t> pending_;
    size_t readPos_ = 0;
    size_t readEnd_ = 0;
    size_t readBlockEnd_ = 0;
};

// Opens the internal primitives for tests.
class TestableNXP : public NXPSerialClass {
public:
    using NXPSerialClass::CommandSucceeded;
    using NXPSerialClass::GetErrorIndex;
    using NXPSerialClass::GetLine;
    void SetEchoField(bool on) { echo = on; }
};

// The class reads some replies after a fixed wait derived from the line rate
// (Sync, the echo of a Read's OK); tests of those run at this slow rate so
// that the fake chip has room to answer on a loaded machine.
const unsigned int kSlowBaud = 2400;

// A connected class and a running fake chip on one pty.
class IspTest : public ::testing::Test {
protected:
    void StartChip(unsigned int baud = 230400)
    {
        ASSERT_EQ(isp.Connect(pty.path.c_str(), baud), aErrNone);
        chip.Start();
    }
    // Echo off on both sides, agreed through the protocol.
    void EchoOff() { ASSERT_EQ(isp.SetEcho(false), aErrNone); }

    Pty pty{true};
    FakeIsp chip{pty.master};
    TestableNXP isp;
};

// ---------------------------------------------------------------------------
// Encoding and tables

TEST(NXPSerialCodec, UuencodeEdgeCases)
{
    char out[80];
    const unsigned char zeros[3] = {0, 0, 0};
    EXPECT_EQ(NXPSerialClass::uuencode(out, zeros, 0), 0u);
    EXPECT_STREQ(out, "`");
    EXPECT_EQ(NXPSerialClass::uuencode(out, zeros, 3), 3u);
    EXPECT_STREQ(out, "#````");
    const unsigned char cat[3] = {'C', 'a', 't'};
    EXPECT_EQ(NXPSerialClass::uuencode(out, cat, 3), 3u);
    EXPECT_STREQ(out, "#0V%T");
    const unsigned char one[1] = {0xFF};
    NXPSerialClass::uuencode(out, one, 1);
    EXPECT_STREQ(out, "!_P``");
    EXPECT_EQ(NXPSerialClass::uuchar(0), '`');
    EXPECT_EQ(NXPSerialClass::uuchar(64), '`');
    EXPECT_EQ(NXPSerialClass::uuchar(1), '!');
    EXPECT_EQ(NXPSerialClass::uuchar(63), '_');
    EXPECT_EQ(NXPSerialClass::uuchar(45), 'M');
}

TEST(NXPSerialCodec, RoundTripsEveryLineLength)
{
    for (unsigned int n = 0; n <= 45; n++) {
        std::vector<uint8_t> data = Pattern(n, n + 7);
        char line[80];
        NXPSerialClass::uuencode(line, data.data(), n);
        EXPECT_EQ(std::string(line), UuEncode(data)) << n;
        EXPECT_EQ(strlen(line), 1 + 4 * ((n + 2) / 3)) << n;
        // Decoding sees the line as it arrives, CR LF included.
        std::string received = std::string(line) + "\r\n";
        std::vector<uint8_t> back(n + 8, 0xA5);
        EXPECT_EQ(NXPSerialClass::uudecode(back.data(), n, received.c_str()), n) << n;
        EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin())) << n;
        for (size_t i = n; i < back.size(); i++) EXPECT_EQ(back[i], 0xA5) << "stored past room, n=" << n;
    }
}

TEST(NXPSerialCodec, UudecodeStaysInsideItsRoom)
{
    std::vector<uint8_t> data = {1, 2, 3, 4, 5, 6, 7};
    std::string line = UuEncode(data);  // count 7: three groups, nine decoded bytes
    uint8_t out[16];
    memset(out, 0xEE, sizeof out);
    EXPECT_EQ(NXPSerialClass::uudecode(out, 7, line.c_str()), 7u);
    EXPECT_EQ(0, memcmp(out, data.data(), 7));
    EXPECT_EQ(out[7], 0xEE);
    EXPECT_EQ(out[8], 0xEE);

    // A count above the room decodes nothing.
    memset(out, 0xEE, sizeof out);
    EXPECT_EQ(NXPSerialClass::uudecode(out, 6, line.c_str()), 0u);
    for (uint8_t b : out) EXPECT_EQ(b, 0xEE);

    // A line shorter than its count: the groups present are decoded, the
    // overrun is logged and the count is still the result.
    LogCapture log(DEBUG_NXPSerial);
    memset(out, 0xEE, sizeof out);
    std::string cut = line.substr(0, 5) + "\r\n";
    EXPECT_EQ(NXPSerialClass::uudecode(out, 16, cut.c_str()), 7u);
    EXPECT_EQ(0, memcmp(out, data.data(), 3));
    EXPECT_EQ(out[3], 0xEE);
    EXPECT_EQ(log.Text(), "Error buffer overrun\n");
}

TEST(NXPSerialCodec, SumIsUnsignedBytes)
{
    const unsigned char bytes[] = {0xFF, 0x01, 0x80};
    EXPECT_EQ(NXPSerialClass::sum(bytes, 3), 0x180u);
    EXPECT_EQ(NXPSerialClass::sum(bytes, 0), 0u);
}

TEST(NXPSerialTables, CopyLength)
{
    LogCapture log(DEBUG_NXPSerial);
    EXPECT_EQ(NXPSerialClass::CopyLength(0), 256u);
    EXPECT_EQ(NXPSerialClass::CopyLength(1), 256u);
    EXPECT_EQ(NXPSerialClass::CopyLength(256), 256u);
    EXPECT_EQ(NXPSerialClass::CopyLength(257), 512u);
    EXPECT_EQ(NXPSerialClass::CopyLength(512), 512u);
    EXPECT_EQ(NXPSerialClass::CopyLength(513), 1024u);
    EXPECT_EQ(NXPSerialClass::CopyLength(1024), 1024u);
    EXPECT_EQ(NXPSerialClass::CopyLength(1025), 4096u);
    EXPECT_EQ(NXPSerialClass::CopyLength(4096), 4096u);
    EXPECT_EQ(log.Text(), "");
    EXPECT_EQ(NXPSerialClass::CopyLength(4097), 4097u);
    EXPECT_EQ(log.Text(), "Copy length is too large. 4097 > 4096.\n");
}

TEST(NXPSerialTables, SectorFromAddressAtTheBoundaries)
{
    EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x0), 0u);
    EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x0FFF), 0u);
    EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x1000), 1u);
    EXPECT_EQ(NXPSerialClass::SectorFromAddress(0xFFFF), 15u);
    EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x10000), 16u);
    EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x17FFF), 16u);
    EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x18000), 17u);
    EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x78000), 29u);
    EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x7FFFF), 29u);
    EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x80000), 30u);
    EXPECT_EQ(NXPSerialClass::SectorFromAddress(0xFFFFFFFF), 30u);
    EXPECT_EQ(NXP_LPC17XX_sectors[30].start, 0xFFFFFFFFu);
}

TEST(NXPSerialTables, ErrorTextFollowsTheLeadingNumber)
{
    EXPECT_STREQ(NXPSerialClass::GetErrorText("0\r\n"), "CMD_SUCCESS");
    EXPECT_STREQ(NXPSerialClass::GetErrorText("9\r\n"), "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION");
    EXPECT_STREQ(NXPSerialClass::GetErrorText("10\r\n"), "COMPARE_ERROR");
    EXPECT_STREQ(NXPSerialClass::GetErrorText("19\r\n"), "CODE_READ_PROTECTION_ENABLED");
    EXPECT_STREQ(NXPSerialClass::GetErrorText("20\r\n"), "Unknown error");
    EXPECT_STREQ(NXPSerialClass::GetErrorText("-1\r\n"), "Unknown error");
    EXPECT_STREQ(NXPSerialClass::GetErrorText("0x0F\r\n"), "CMD_LOCKED");
}

// ---------------------------------------------------------------------------
// Return-code position

TEST(NXPSerialReturnCode, WholeNumberBeforeTheTerminator)
{
    TestableNXP isp;
    struct Case {
        bool echo;
        const char* line;
        uint8_t index;
        bool success;
    } cases[] = {
        {true, "0\r\n", 0, true},
        {true, "19\r\n", 0, false},
        // A two-digit code ending in 0 is COMPARE_ERROR, not success.
        {true, "10\r\n", 0, false},
        {true, "5 0\r\n", 2, true},
        {true, "0", 0, true},
        {true, "x\r\n", 0, false},
        {false, "0\r\n", 0, true},
        {false, "10\r\n", 0, false},
        {false, "19\r\n", 0, false},
        {false, "", 0, false},
    };
    for (const Case& c : cases) {
        isp.SetEchoField(c.echo);
        unsigned int count = static_cast<unsigned int>(strlen(c.line));
        EXPECT_EQ(isp.GetErrorIndex(c.line, count), c.index) << c.line << " echo " << c.echo;
        EXPECT_EQ(isp.CommandSucceeded(c.line, count), c.success) << c.line << " echo " << c.echo;
    }
}

TEST_F(IspTest, PrepareJudgesTheReturnCodeWithEchoOn)
{
    chip.code['P'] = "0";
    StartChip();
    EXPECT_EQ(isp.Prepare(0, 29), aErrNone);
    chip.Stop();
    chip.code['P'] = "19";
    chip.Start();
    EXPECT_EQ(isp.Prepare(0, 29), aErrParam);
    chip.Stop();
    chip.code['P'] = "10";
    chip.Start();
    LogCapture log(DEBUG_NXPSerial);
    EXPECT_EQ(isp.Prepare(3, 4), aErrParam);
    EXPECT_EQ(log.Text(), "Error response ==>[COMPARE_ERROR]\n");
    chip.Stop();
    EXPECT_EQ(chip.lines, (std::vector<std::string>{"P 0 29\r\n", "P 0 29\r\n", "P 3 4\r\n"}));
}

TEST_F(IspTest, PrepareJudgesTheReturnCodeWithEchoOff)
{
    StartChip();
    EchoOff();
    EXPECT_FALSE(isp.Echo());
    EXPECT_EQ(isp.Prepare(1, 2), aErrNone);
    chip.Stop();
    chip.code['P'] = "10";
    chip.Start();
    EXPECT_EQ(isp.Prepare(1, 2), aErrParam);
    chip.Stop();
    chip.code['P'] = "9";
    chip.Start();
    EXPECT_EQ(isp.Prepare(1, 2), aErrParam);
    chip.Stop();
    EXPECT_EQ(chip.lines, (std::vector<std::string>{"A 0\r\n", "P 1 2\r\n", "P 1 2\r\n", "P 1 2\r\n"}));
}

TEST_F(IspTest, ReplyLineStartingWithLineFeedIsReadWithoutIt)
{
    StartChip();
    EchoOff();
    chip.code['E'] = "\n0";
    EXPECT_EQ(isp.Erase(0, 29), aErrNone);
    chip.Stop();
    chip.code['E'] = "\n10";
    chip.Start();
    EXPECT_EQ(isp.Erase(0, 29), aErrParam);
}

TEST_F(IspTest, GetLineKeepsItsNulInsideTheBuffer)
{
    StartChip();
    chip.Inject("ABCDEFGHIJ\r\n");
    char buffer[16];
    memset(buffer, '#', sizeof buffer);
    unsigned int count = 0;
    isp.GetLine(buffer, 8, count, 100);
    EXPECT_EQ(count, 7u);
    EXPECT_STREQ(buffer, "ABCDEFG");
    for (size_t i = 8; i < sizeof buffer; i++) EXPECT_EQ(buffer[i], '#');
    // The rest of the line is still waiting.
    isp.GetLine(buffer, sizeof buffer, count, 100);
    EXPECT_STREQ(buffer, "HIJ\r\n");
    // CR CR LF is not a terminator: the second CR resets the match.
    chip.Inject("1\r\r\n2\r\n");
    isp.GetLine(buffer, sizeof buffer, count, 100);
    EXPECT_STREQ(buffer, "1\r\r\n2\r\n");
}

// ---------------------------------------------------------------------------
// Connect and the handshake

TEST(NXPSerialConnect, ChoosesTheFirstRateNotBelowTheRequest)
{
    Pty pty{true};
    struct Case {
        unsigned int request;
        unsigned int index;
        unsigned int rate;
        speed_t speed;
    } cases[] = {
        {115200, 6, 115200, B115200}, {100000, 6, 115200, B115200}, {1000000, 2, 9600, B9600},
        {0, 0, 2400, B2400},          {230400, 7, 230400, B230400}, {9601, 3, 19200, B19200},
    };
    NXPSerialClass isp;
    for (const Case& c : cases) {
        LogCapture log(DEBUG_NXPSerial);
        ASSERT_EQ(isp.Connect(pty.path.c_str(), c.request), aErrNone);
        EXPECT_EQ(isp.Baud(), c.rate);
        EXPECT_EQ(pty.SlaveSpeed(), c.speed) << c.request;
        EXPECT_EQ(log.Text(), "Creating serial connection: [" + pty.path + "] stream baud:" +
                                  std::to_string(c.index) + "(" + std::to_string(c.rate) + ")\n");
    }
    EXPECT_EQ(isp.Disconnect(), aErrNone);
    EXPECT_EQ(isp.Disconnect(), aErrNone);
}

TEST(NXPSerialConnect, ReportsTheOpenError)
{
    LogCapture log(DEBUG_NXPSerial);
    NXPSerialClass isp;
    EXPECT_EQ(isp.Connect("/nonexistent/ttyISP", 115200), aErrNotFound);
    EXPECT_EQ(log.Text(), std::string("Creating serial connection: [/nonexistent/ttyISP] stream baud:6(115200)\n"
                                      "Error Creating Serial [/nonexistent/ttyISP] ==> ") +
                              aError_GetErrorText(aErrNotFound));
    // Nothing is open: commands fail at the write.
    EXPECT_EQ(isp.Unlock(), aErrParam);
}

TEST_F(IspTest, SyncHandshake)
{
    chip.autobaud = true;
    StartChip(kSlowBaud);
    EXPECT_EQ(isp.Sync(), aErrNone);
    chip.Stop();
    EXPECT_EQ(chip.wire, "?Synchronized\r\n14746\r\n");
}

TEST_F(IspTest, SyncWithoutAnswer)
{
    chip.echo = false;  // "?" just waits for a line end that never comes
    StartChip(115200);
    LogCapture log(DEBUG_NXPSerial);
    EXPECT_EQ(isp.Sync(), aErrNotReady);
    EXPECT_EQ(log.Text(),
              "Did not receive correct response to opening sync command: [Synchronized\r\n]. Response: []\n");
}

TEST_F(IspTest, SyncWithoutOk)
{
    chip.autobaud = true;
    chip.syncReply = "NO";
    StartChip(kSlowBaud);
    LogCapture log(DEBUG_NXPSerial);
    EXPECT_EQ(isp.Sync(), aErrIO);
    EXPECT_EQ(log.Text(), "Did not receive correct response [NO\r\n] != [OK\r\n]\n");
}

// ---------------------------------------------------------------------------
// Single commands

TEST_F(IspTest, CommandTextsOnTheWire)
{
    StartChip();
    EXPECT_EQ(isp.Unlock(), aErrNone);
    EXPECT_EQ(isp.SetBaudRate(57600), aErrNone);
    EXPECT_EQ(isp.Prepare(0, 29), aErrNone);
    EXPECT_EQ(isp.Erase(0, 29), aErrNone);
    EXPECT_EQ(isp.CopyToFlash(0x2000, NXPSerialClass::WRITE_ADDRESS, 4096), aErrNone);
    EXPECT_EQ(isp.SetEcho(false), aErrNone);
    EXPECT_EQ(isp.CopyToFlash(0x100, NXPSerialClass::WRITE_ADDRESS, 256), aErrNone);
    EXPECT_EQ(isp.SetEcho(true), aErrNone);
    EXPECT_EQ(isp.ExecuteFrom(0), aErrNone);
    chip.Stop();
    EXPECT_EQ(chip.lines, (std::vector<std::string>{"U 23130\r\n", "B 57600 1\r\n", "P 0 29\r\n", "E 0 29\r\n",
                                                    "C 8192 268439552 4096\r\n", "A 0\r\n",
                                                    "C 256 268439552 256\r\n", "A 1\r\n", "G 0 T\r\n"}));
}

TEST_F(IspTest, RefusedArgumentsSendNothing)
{
    StartChip();
    LogCapture log(DEBUG_NXPSerial | DEBUG_NXPSerial_E | DEBUG_NXPSerial_SR);
    EXPECT_EQ(isp.Prepare(5, 4), aErrParam);
    EXPECT_EQ(isp.Erase(5, 4), aErrParam);
    EXPECT_EQ(isp.CopyToFlash(0x1000, NXPSerialClass::WRITE_ADDRESS, 4097), aErrParam);
    EXPECT_EQ(isp.CopyToFlash(0x1080, NXPSerialClass::WRITE_ADDRESS, 256), aErrParam);
    EXPECT_EQ(isp.CopyToFlash(0x1000, NXPSerialClass::WRITE_ADDRESS, 768), aErrParam);
    const unsigned char data[8] = {0};
    EXPECT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, 6, data), aErrParam);
    EXPECT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, 0, data), aErrParam);
    EXPECT_EQ(log.Text(), "");
    // The first thing the chip sees is the valid command that follows.
    EXPECT_EQ(isp.Prepare(4, 5), aErrNone);
    chip.Stop();
    EXPECT_EQ(chip.wire, "P 4 5\r\n");
}

TEST_F(IspTest, RefusedCommandsReturnParam)
{
    chip.code['U'] = "15";
    chip.code['A'] = "1";
    chip.code['B'] = "17";
    chip.code['C'] = "9";
    StartChip();
    EXPECT_EQ(isp.Unlock(), aErrParam);
    EXPECT_EQ(isp.SetEcho(false), aErrParam);
    EXPECT_TRUE(isp.Echo());
    EXPECT_EQ(isp.SetBaudRate(9600), aErrParam);
    LogCapture log(DEBUG_NXPSerial);
    EXPECT_EQ(isp.CopyToFlash(0, NXPSerialClass::WRITE_ADDRESS, 1024), aErrParam);
    EXPECT_EQ(log.Text(), "Error response ==>[SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION]\n");
}

// Regression: a chip that sent the return code but no words (a refused N, a
// line gone quiet) gave four zero words and success, so -N printed a
// fingerprint of no chip with exit status 0.
TEST_F(IspTest, DeviceIdWithoutItsWordsIsATimeout)
{
    chip.code['N'] = "1";
    StartChip();
    EXPECT_EQ(isp.GetDeviceID(), aErrTimeout);
    chip.Stop();
    EXPECT_EQ(chip.lines, (std::vector<std::string>{"N\r\n"}));
}

TEST_F(IspTest, IdentificationReplies)
{
    StartChip();
    LogCapture log(DEBUG_NXPSerial);
    EXPECT_EQ(isp.GetDeviceID(), aErrNone);
    EXPECT_EQ(isp.DeviceID()[0], 0x26113F37u);
    EXPECT_EQ(isp.DeviceID()[1], 0x12345678u);
    EXPECT_EQ(isp.DeviceID()[2], 0x9ABCDEF0u);
    EXPECT_EQ(isp.DeviceID()[3], 4000000000u);
    unsigned char major = 0, minor = 0;
    EXPECT_EQ(isp.GetBootLoaderVersion(major, minor), aErrNone);
    EXPECT_EQ(major, 4);
    EXPECT_EQ(minor, 13);
    long part = 0;
    EXPECT_EQ(isp.GetPartNumber(part), aErrNone);
    EXPECT_EQ(part, 637615927);
    EXPECT_EQ(log.Text(), "Device responded with version: 4.13\nDevice responded with part number: 637615927\n");
    chip.Stop();
    EXPECT_EQ(chip.lines, (std::vector<std::string>{"N\r\n", "K\r\n", "J\r\n"}));
}

// ---------------------------------------------------------------------------
// Write and Read

std::vector<std::string> ExpectedEvents(const std::vector<uint8_t>& data, const std::vector<size_t>& blockLines)
{
    std::vector<std::string> ev;
    size_t at = 0;
    for (size_t lines : blockLines) {
        size_t start = at;
        for (size_t l = 0; l < lines; l++) {
            size_t n = std::min<size_t>(45, data.size() - at);
            ev.push_back("D" + std::to_string(n));
            at += n;
        }
        ev.push_back("C" + std::to_string(Sum(data.data() + start, at - start)));
    }
    return ev;
}

TEST_F(IspTest, Write4096BytesIn92LinesAndFiveChecksumBlocks)
{
    StartChip(115200);
    EchoOff();
    std::vector<uint8_t> data = Pattern(4096, 1);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, 4096, data.data()), aErrNone);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    chip.Stop();
    // 91 lines of 45 bytes and one of 1 byte, in blocks of 20/20/20/20/12.
    EXPECT_EQ(chip.events, ExpectedEvents(data, {20, 20, 20, 20, 12}));
    EXPECT_TRUE(chip.checksumsMatch);
    EXPECT_EQ(chip.ram, data);
    ASSERT_GE(chip.lines.size(), 2u + 92 + 5);
    EXPECT_EQ(chip.lines[1], "W 268439552 4096\r\n");
    // Every data line is the standard uuencoding of its bytes plus CR LF.
    EXPECT_EQ(chip.lines[2], UuEncode(std::vector<uint8_t>(data.begin(), data.begin() + 45)) + "\r\n");
    EXPECT_EQ(chip.lines[2].size(), 63u);
    EXPECT_EQ(chip.lines[2 + 20 * 4 + 4 + 11], UuEncode({data[4095]}) + "\r\n");
    // 61 + 2 line bytes at 10 bits each make 0.5 s of line time; the writes
    // are paced by sleeps, not by the pty.
    std::printf("[ measure  ] Write 4096 bytes, echo off, 115200: %.3f s\n", seconds);
    EXPECT_LT(seconds, 5.0);
}

TEST_F(IspTest, WriteWithEchoOn)
{
    StartChip();
    std::vector<uint8_t> data = Pattern(96, 2);
    EXPECT_EQ(isp.Write(0x10000000, 96, data.data()), aErrNone);
    chip.Stop();
    EXPECT_EQ(chip.events, ExpectedEvents(data, {3}));
    EXPECT_EQ(chip.ram, data);
}

TEST_F(IspTest, WriteResendsABlockAtMostTwicePerCall)
{
    std::vector<uint8_t> data = Pattern(1800, 3);  // 40 lines: two blocks of 20
    chip.checksumReplies = {"RESEND", "OK", "RESEND", "OK"};
    StartChip();
    EchoOff();
    EXPECT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, 1800, data.data()), aErrNone);
    chip.Stop();
    std::vector<std::string> first = ExpectedEvents(std::vector<uint8_t>(data.begin(), data.begin() + 900), {20});
    std::vector<std::string> second = ExpectedEvents(std::vector<uint8_t>(data.begin() + 900, data.end()), {20});
    std::vector<std::string> expected;
    for (auto* block : {&first, &first, &second, &second}) expected.insert(expected.end(), block->begin(), block->end());
    EXPECT_EQ(chip.events, expected);
    EXPECT_EQ(chip.ram, data);
}

TEST_F(IspTest, WriteFailsOnTheThirdResend)
{
    std::vector<uint8_t> data = Pattern(1800, 4);
    chip.checksumReplies = {"RESEND", "OK", "RESEND", "RESEND"};
    StartChip();
    EchoOff();
    LogCapture log(DEBUG_NXPSerial);
    EXPECT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, 1800, data.data()), aErrTimeout);
    EXPECT_EQ(log.Text(), "Write() exceeded retries\n");
    chip.Stop();
    // Block 1 twice, block 2 twice, nothing after the third RESEND.
    size_t checksums = 0;
    for (const std::string& e : chip.events) checksums += e[0] == 'C';
    EXPECT_EQ(checksums, 4u);
    EXPECT_EQ(chip.events.size(), 4u * 21);
}

TEST_F(IspTest, WriteFailsOnAnUnexpectedChecksumReply)
{
    std::vector<uint8_t> data = Pattern(400, 5);
    chip.checksumReplies = {"OKAY"};
    StartChip();
    EchoOff();
    LogCapture log(DEBUG_NXPSerial);
    EXPECT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, 400, data.data()), aErrIO);
    EXPECT_EQ(log.Text(), "Write() unexpected response [OKAY\r\n]\n");
}

TEST_F(IspTest, WriteRefusedByTheChip)
{
    chip.code['W'] = "14";
    StartChip();
    LogCapture log(DEBUG_NXPSerial_SR);
    const unsigned char data[4] = {1, 2, 3, 4};
    EXPECT_EQ(isp.Write(0x20000000, 4, data), aErrParam);
    EXPECT_NE(log.Text().find("Write() Error response ==>[ADDR_NOT_MAPPED]\n"), std::string::npos);
    chip.Stop();
    EXPECT_EQ(chip.events.size(), 0u);
}

TEST_F(IspTest, ReadWithChecksumBlocksAndOneResend)
{
    chip.memory = Pattern(1000, 6);  // 23 lines: blocks of 20 and 3
    chip.badReadChecksums = 1;
    StartChip(kSlowBaud);
    std::vector<uint8_t> out(1000 + 4, 0xEE);
    EXPECT_EQ(isp.Read(0, 1000, out.data()), aErrNone);
    EXPECT_TRUE(std::equal(chip.memory.begin(), chip.memory.end(), out.begin()));
    EXPECT_EQ(out[1000], 0xEE);
    chip.Stop();
    EXPECT_EQ(chip.lines, (std::vector<std::string>{"R 0 1000\r\n", "RESEND\r\n", "OK\r\n", "OK\r\n"}));
}

TEST_F(IspTest, ReadGivesUpAfterThreeBadChecksums)
{
    chip.memory = Pattern(40, 7);
    chip.badReadChecksums = 3;
    StartChip(kSlowBaud);
    std::vector<uint8_t> out(40);
    EXPECT_EQ(isp.Read(0, 40, out.data()), aErrTimeout);
    chip.Stop();
    EXPECT_EQ(chip.lines, (std::vector<std::string>{"R 0 40\r\n", "RESEND\r\n", "RESEND\r\n"}));
}

}  // namespace
