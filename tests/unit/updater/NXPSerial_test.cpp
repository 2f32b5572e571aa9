#include "NXPSerial.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BirdBuilder.h"
#include "Pty.h"

namespace {

// uuencoding as the chip reads it, written independently of the class.
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

uint32_t Sum(const std::vector<uint8_t>& v, size_t from, size_t to)
{
    uint32_t s = 0;
    for (size_t i = from; i < to; i++) s += v[i];
    return s;
}

// A minimal LPC17xx ISP bootloader, already synchronized, on the master side
// of a pty: echo, single commands answered with a configurable return code,
// and uuencoded writes with a checksum line after every 20 data lines.
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

    // Configuration, set before Start.
    bool echo = true;
    std::map<char, std::string> code;         // return code line per command letter; "0" when absent
    std::deque<std::string> checksumReplies;  // replies to Write checksums; "OK" when used up
    int lateMs = 0;                           // how long the chip takes to answer N

    // Observations, read after Stop.
    std::vector<std::string> lines;   // complete received lines, CR LF kept
    std::vector<std::string> events;  // W transfer: "D<bytes>" per data line, "C<sum>" per checksum
    std::vector<uint8_t> ram;         // bytes accepted through W

private:
    void Run()
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        std::string line;
        while (!stop_ && std::chrono::steady_clock::now() < deadline) {
            struct pollfd p = {master_, POLLIN, 0};
            if (poll(&p, 1, 5) <= 0 || (p.revents & POLLIN) == 0) continue;
            char chunk[4096];
            ssize_t n = read(master_, chunk, sizeof chunk);
            std::string out;
            for (ssize_t i = 0; i < n; i++) {
                char c = chunk[i];
                if (echo) out += c;
                line += c;
                if (c == '\n') {
                    lines.push_back(line);
                    if (line[0] == 'N') {  // the echo at once, the reply lateMs later
                        Flush(out);
                        std::this_thread::sleep_for(std::chrono::milliseconds(lateMs));
                    }
                    out += Handle(line.substr(0, line.find_first_of("\r\n")));
                    line.clear();
                }
            }
            Flush(out);
        }
    }

    void Flush(std::string& out)
    {
        for (size_t done = 0, tries = 0; done < out.size() && tries < 1000; tries++) {
            ssize_t w = write(master_, out.data() + done, out.size() - done);
            if (w > 0)
                done += static_cast<size_t>(w);
            else
                usleep(1000);
        }
        out.clear();
    }

    std::string Handle(const std::string& body)
    {
        if (writeTotal_ > 0) return WriteLine(body);
        const char letter = body.empty() ? ' ' : body[0];
        std::string reply = (code.count(letter) ? code[letter] : "0") + "\r\n";
        const bool ok = reply == "0\r\n";
        std::istringstream args(body.substr(body.empty() ? 0 : 1));
        unsigned long address = 0;
        int on = 1;
        if (letter == 'A' && ok && args >> on) echo = on != 0;  // the command itself was still echoed
        if (letter == 'W' && ok) args >> address >> writeTotal_;
        if (letter == 'N' && ok)
            for (uint32_t id : {0x26113F37u, 0x12345678u, 0x9ABCDEF0u, 4000000000u})
                reply += std::to_string(id) + "\r\n";
        return letter == 'G' ? "" : reply;
    }

    std::string WriteLine(const std::string& body)
    {
        if (blockLines_ < 20 && ram.size() + pending_.size() < writeTotal_) {
            std::vector<uint8_t> bytes = UuDecode(body);
            events.push_back("D" + std::to_string(bytes.size()));
            pending_.insert(pending_.end(), bytes.begin(), bytes.end());
            blockLines_++;
            return "";
        }
        events.push_back("C" + body);
        std::string reply = checksumReplies.empty() ? "OK" : checksumReplies.front();
        if (!checksumReplies.empty()) checksumReplies.pop_front();
        if (reply == "OK" && body == std::to_string(Sum(pending_, 0, pending_.size())))
            ram.insert(ram.end(), pending_.begin(), pending_.end());
        pending_.clear();
        blockLines_ = 0;
        if (ram.size() >= writeTotal_ || (reply != "OK" && reply != "RESEND")) writeTotal_ = 0;
        return reply + "\r\n";
    }

    int master_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    size_t writeTotal_ = 0;
    int blockLines_ = 0;
    std::vector<uint8_t> pending_;
};

// A connected client and a running fake chip on one pty.
struct Rig {
    void Start()
    {
        ASSERT_EQ(isp.Connect(pty.path.c_str(), 230400), aErrNone);
        chip.Start();
    }
    // Echo off on both sides, agreed through the protocol.
    void EchoOff() { ASSERT_EQ(isp.SetEcho(false), aErrNone); }

    Pty pty{true};
    FakeIsp chip{pty.master};
    NXPSerialClass isp;
};

class IspTest : public ::testing::Test, public Rig {};

// The data lines of data[from, to) and the checksum line after them.
std::vector<std::string> Block(const std::vector<uint8_t>& data, size_t from, size_t to)
{
    std::vector<std::string> ev;
    for (size_t at = from; at < to; at += 45)
        ev.push_back("D" + std::to_string(std::min<size_t>(45, to - at)));
    ev.push_back("C" + std::to_string(Sum(data, from, to)));
    return ev;
}

}  // namespace

TEST(NXPSerialTables, CopyLengthAndSectorFromAddress)
{
    const unsigned int copy[][2] = {{0, 256},     {256, 256},   {257, 512},   {512, 512},  {513, 1024},
                                    {1024, 1024}, {1025, 4096}, {4096, 4096}, {4097, 4097}};
    for (const auto& row : copy) EXPECT_EQ(NXPSerialClass::CopyLength(row[0]), row[1]) << row[0];
    const unsigned int sector[][2] = {{0x0, 0},      {0x0FFF, 0},     {0x1000, 1},   {0xFFFF, 15},
                                      {0x10000, 16}, {0x17FFF, 16},   {0x18000, 17}, {0x7FFFF, 29},
                                      {0x80000, 30}, {0xFFFFFFFF, 30}};
    for (const auto& row : sector) EXPECT_EQ(NXPSerialClass::SectorFromAddress(row[0]), row[1]) << row[0];
}

TEST(NXPSerialReturnCode, ReplyLinesWithEchoOnAndOff)
{
    const struct {
        bool echo;
        const char* code;
        aErr result;
    } rows[] = {
        // With echo on the code is the whole number before CR LF; "10"
        // (COMPARE_ERROR) must not pass because it ends in 0.
        {true, "0", aErrNone},
        {true, "19", aErrParam},
        {true, "10", aErrParam},
        {true, "5 0", aErrNone},
        {true, "x", aErrParam},
        {true, "", aErrParam},
        // With echo off it starts the line.
        {false, "0", aErrNone},
        {false, "10", aErrParam},
        {false, "9", aErrParam},
        {false, "5 0", aErrParam},
        // The LF that ends the echo may still be waiting when echo was just turned off.
        {false, "\n0", aErrNone},
        {false, "\n10", aErrParam},
    };
    for (const auto& row : rows) {
        Rig rig;
        rig.chip.code['P'] = row.code;
        rig.Start();
        if (!row.echo) rig.EchoOff();
        EXPECT_EQ(rig.isp.Prepare(3, 4), row.result) << "echo " << row.echo << " code " << row.code;
        rig.chip.Stop();
        EXPECT_EQ(rig.chip.lines.back(), "P 3 4\r\n");
    }
}

TEST(NXPSerialConnect, ChoosesTheFirstRateNotBelowTheRequest)
{
    Pty pty{true};
    const struct {
        unsigned int request;
        unsigned int rate;
        speed_t speed;
    } rows[] = {{115200, 115200, B115200}, {100000, 115200, B115200}, {1000000, 9600, B9600},
                {0, 2400, B2400},          {230400, 230400, B230400}, {9601, 19200, B19200}};
    NXPSerialClass isp;
    for (const auto& row : rows) {
        ASSERT_EQ(isp.Connect(pty.path.c_str(), row.request), aErrNone);
        EXPECT_EQ(isp.Baud(), row.rate);
        EXPECT_EQ(pty.SlaveSpeed(), row.speed) << row.request;
    }
}

TEST_F(IspTest, CommandTextsOnTheWireAndRefusedArgumentsSendNothing)
{
    Start();
    const unsigned char data[8] = {0};
    EXPECT_EQ(isp.Prepare(5, 4), aErrParam);
    EXPECT_EQ(isp.Erase(5, 4), aErrParam);
    EXPECT_EQ(isp.CopyToFlash(0x1000, NXPSerialClass::WRITE_ADDRESS, 4097), aErrParam);
    EXPECT_EQ(isp.CopyToFlash(0x1080, NXPSerialClass::WRITE_ADDRESS, 256), aErrParam);
    EXPECT_EQ(isp.CopyToFlash(0x1000, NXPSerialClass::WRITE_ADDRESS, 768), aErrParam);
    EXPECT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, 6, data), aErrParam);
    EXPECT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, 0, data), aErrParam);
    EXPECT_EQ(isp.Unlock(), aErrNone);
    EXPECT_EQ(isp.Prepare(0, 29), aErrNone);
    EXPECT_EQ(isp.Erase(0, 29), aErrNone);
    EXPECT_EQ(isp.CopyToFlash(0x2000, NXPSerialClass::WRITE_ADDRESS, 4096), aErrNone);
    EXPECT_EQ(isp.SetEcho(false), aErrNone);
    EXPECT_EQ(isp.CopyToFlash(0x100, NXPSerialClass::WRITE_ADDRESS, 256), aErrNone);
    EXPECT_EQ(isp.SetEcho(true), aErrNone);
    EXPECT_EQ(isp.ExecuteFrom(0), aErrNone);
    chip.Stop();
    EXPECT_EQ(chip.lines, (std::vector<std::string>{"U 23130\r\n", "P 0 29\r\n", "E 0 29\r\n",
                                                    "C 8192 268439552 4096\r\n", "A 0\r\n",
                                                    "C 256 268439552 256\r\n", "A 1\r\n", "G 0 T\r\n"}));
}

TEST_F(IspTest, RefusedCommandsReturnParamAndKeepTheEchoState)
{
    chip.code = {{'U', "15"}, {'A', "1"}, {'C', "9"}, {'E', "8"}};
    Start();
    EXPECT_EQ(isp.Unlock(), aErrParam);
    EXPECT_EQ(isp.SetEcho(false), aErrParam);
    EXPECT_TRUE(isp.Echo());
    EXPECT_EQ(isp.CopyToFlash(0, NXPSerialClass::WRITE_ADDRESS, 1024), aErrParam);
    EXPECT_EQ(isp.Erase(0, 29), aErrParam);
}

TEST_F(IspTest, DeviceIdNeedsAllFourWords)
{
    Start();
    EXPECT_EQ(isp.GetDeviceID(), aErrNone);
    EXPECT_EQ(std::vector<uint32_t>(isp.DeviceID(), isp.DeviceID() + 4),
              (std::vector<uint32_t>{0x26113F37, 0x12345678, 0x9ABCDEF0, 4000000000u}));
    // Regression: a refused N (a return code and no words) gave four zero
    // words and success, so -N printed a fingerprint of no chip.
    chip.Stop();
    chip.code['N'] = "1";
    chip.Start();
    EXPECT_EQ(isp.GetDeviceID(), aErrTimeout);
    // Regression: a reply later than the budget shifted the words by one
    // (the return code read as the first): a wrong fingerprint as a success.
    chip.Stop();
    chip.code['N'] = "0";
    chip.lateMs = 180;  // past the return code's budget of 100 polls, within the next line's
    chip.Start();
    EXPECT_EQ(isp.GetDeviceID(), aErrTimeout);
}

TEST(NXPSerialWrite, ChecksumRepliesResendsAndRefusal)
{
    // 1804 bytes: 41 lines, two blocks of 20 and one of a single line of four
    // bytes. A RESEND sends the block again, at most twice in one call.
    const std::vector<uint8_t> data = BirdBuilder::Counting(1804, 3);
    const std::vector<std::string> one = Block(data, 0, 900), two = Block(data, 900, 1800),
                                   three = Block(data, 1800, 1804);
    const struct {
        bool echo;
        const char* w_code;
        std::deque<std::string> replies;
        aErr result;
        std::vector<const std::vector<std::string>*> blocks;
    } rows[] = {
        {false, "0", {}, aErrNone, {&one, &two, &three}},
        {true, "0", {"RESEND", "OK", "OK"}, aErrNone, {&one, &one, &two, &three}},
        {false, "0", {"RESEND", "OK", "RESEND", "OK"}, aErrNone, {&one, &one, &two, &two, &three}},
        {false, "0", {"RESEND", "OK", "RESEND", "RESEND"}, aErrTimeout, {&one, &one, &two, &two}},
        {false, "0", {"RESEND", "RESEND", "RESEND"}, aErrTimeout, {&one, &one, &one}},
        {false, "0", {"OKAY"}, aErrIO, {&one}},
        {false, "14", {}, aErrParam, {}},
    };
    for (const auto& row : rows) {
        Rig rig;
        rig.chip.code['W'] = row.w_code;
        rig.chip.checksumReplies = row.replies;
        rig.Start();
        if (!row.echo) rig.EchoOff();
        EXPECT_EQ(rig.isp.Write(NXPSerialClass::WRITE_ADDRESS, 1804, data.data()), row.result);
        rig.chip.Stop();
        std::vector<std::string> expected;
        for (const auto* block : row.blocks) expected.insert(expected.end(), block->begin(), block->end());
        EXPECT_EQ(rig.chip.events, expected)
            << row.replies.size() << " replies, W " << row.w_code << ", echo " << row.echo;
        if (row.result == aErrNone) {
            EXPECT_EQ(rig.chip.ram, data);
        }
        if (&row != rows) continue;
        const std::vector<std::string>& lines = rig.chip.lines;
        ASSERT_EQ(lines.size(), 2u + 41 + 3);
        EXPECT_EQ(lines[1], "W 268439552 1804\r\n");
        EXPECT_EQ(lines[2].size(), 63u);
        // The padding of the last line (never blanks) is the fuzz target's check.
        EXPECT_EQ(lines[lines.size() - 2].size(), 11u);
    }
}
