#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "aStream.h"
#include "helpers/ScriptedStream.h"

namespace {

typedef std::vector<uint8_t> Bytes;

// A pseudo-terminal: the stream opens the slave side as its serial port, the
// test plays the device on the master side.
class Pty {
public:
    Pty()
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
        const char* name = ptsname(master_);
        if (name != nullptr) slave_ = name;
        // Hold the slave open so the master never sees a hang-up between
        // the test's steps.
        keep_ = open(slave_.c_str(), O_RDWR | O_NOCTTY);
    }
    ~Pty()
    {
        if (keep_ >= 0) close(keep_);
        if (master_ >= 0) close(master_);
    }
    bool ok() const { return master_ >= 0 && !slave_.empty() && keep_ >= 0; }
    const std::string& slave() const { return slave_; }
    bool settings(struct termios* t) const { return tcgetattr(keep_, t) == 0; }
    bool write(const Bytes& bytes) const
    {
        return ::write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    Bytes read(size_t n, int timeoutMs = 2000) const
    {
        Bytes out;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out.size() < n) {
            int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                    .count());
            if (left <= 0) break;
            struct pollfd p = {master_, POLLIN, 0};
            if (poll(&p, 1, left) != 1) break;
            uint8_t buffer[64];
            ssize_t r = ::read(master_, buffer, sizeof(buffer) < n - out.size() ? sizeof(buffer) : n - out.size());
            if (r <= 0) break;
            out.insert(out.end(), buffer, buffer + r);
        }
        return out;
    }

private:
    int master_ = -1;
    int keep_ = -1;
    std::string slave_;
};

TEST(SerialStream, AppliesRawSettingsAndRestoresThemOnDestroy)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    struct termios before;
    ASSERT_TRUE(pty.settings(&before));

    aStreamRef stream = nullptr;
    ASSERT_EQ(aErrNone, aStream_CreateSerial(pty.slave().c_str(), 6, false, 0, 0, &stream));
    struct termios t;
    ASSERT_TRUE(pty.settings(&t));
    EXPECT_EQ(static_cast<tcflag_t>(IGNBRK), t.c_iflag);
    EXPECT_EQ(0u, t.c_oflag);
    EXPECT_EQ(0u, t.c_lflag);
    EXPECT_EQ(static_cast<tcflag_t>(CLOCAL | CREAD | CS8), t.c_cflag & (CLOCAL | CREAD | CSIZE | PARENB | CSTOPB));
    EXPECT_EQ(0, t.c_cc[VMIN]);
    EXPECT_EQ(0, t.c_cc[VTIME]);
    EXPECT_EQ(static_cast<speed_t>(B115200), cfgetispeed(&t));
    EXPECT_EQ(static_cast<speed_t>(B115200), cfgetospeed(&t));

    ASSERT_EQ(aErrNone, aStream_Destroy(&stream));
    struct termios after;
    ASSERT_TRUE(pty.settings(&after));
    EXPECT_EQ(before.c_iflag, after.c_iflag);
    EXPECT_EQ(before.c_lflag, after.c_lflag);
    EXPECT_EQ(before.c_cflag, after.c_cflag);
    EXPECT_EQ(cfgetospeed(&before), cfgetospeed(&after));
}

TEST(SerialStream, ParitySevenBitsAndTwoStopBits)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    aStreamRef stream = nullptr;
    ASSERT_EQ(aErrNone, aStream_CreateSerial(pty.slave().c_str(), 0, true, 1, 1, &stream));
    struct termios t;
    ASSERT_TRUE(pty.settings(&t));
    EXPECT_EQ(static_cast<tcflag_t>(IGNBRK | IGNPAR), t.c_iflag);
    // A pseudo-terminal keeps CS8 and drops PARENB whatever is asked, so only
    // the flags it stores can be checked here.
    EXPECT_EQ(static_cast<tcflag_t>(CLOCAL | CREAD | CSTOPB), t.c_cflag & (CLOCAL | CREAD | CSTOPB | PARODD));
    EXPECT_EQ(static_cast<speed_t>(B2400), cfgetispeed(&t));
    aStream_Destroy(&stream);
}

TEST(SerialStream, BytesBothWaysAndReadsNeverBlock)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    aStreamRef stream = nullptr;
    ASSERT_EQ(aErrNone, aStream_CreateSerial(pty.slave().c_str(), 7, false, 0, 0, &stream));

    uint8_t byte = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aErrNotReady, aStream_Read(stream, &byte, 1));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));

    const uint8_t out[] = {0x00, 0x0A, 0x0D, 0xFF, 0x11, 0x13};  // raw: no translation, no flow control
    ASSERT_EQ(aErrNone, aStream_Write(stream, out, sizeof(out)));
    EXPECT_EQ(Bytes(out, out + sizeof(out)), pty.read(sizeof(out)));

    ASSERT_TRUE(pty.write({0x0D, 0x0A, 0x03, 0x7F}));
    uint8_t in[4] = {};
    ASSERT_TRUE(waitUntil([&] { return aStream_Read(stream, in, 4) == aErrNone; }));
    EXPECT_EQ((Bytes{0x0D, 0x0A, 0x03, 0x7F}), Bytes(in, in + 4));
    aStream_Destroy(&stream);
}

TEST(SerialStream, RefusesBadParametersBeforeOpeningAndMapsOpenErrors)
{
    aStreamRef stream = reinterpret_cast<aStreamRef>(1);
    // The port does not exist: a parameter error proves nothing was opened.
    EXPECT_EQ(aErrParam, aStream_CreateSerial("/nonexistent/tty", 2, false, 2, 0, &stream));
    EXPECT_EQ(nullptr, stream);
    EXPECT_EQ(aErrParam, aStream_CreateSerial("/nonexistent/tty", 2, false, 0, 2, &stream));
    EXPECT_EQ(aErrParam, aStream_CreateSerial("/nonexistent/tty", 8, false, 0, 0, &stream));
    EXPECT_EQ(aErrNotFound, aStream_CreateSerial("/nonexistent/tty", 2, false, 0, 0, &stream));
    EXPECT_EQ(nullptr, stream);
    // A regular file opens but takes no terminal settings.
    char path[] = "/tmp/aStreamSerialXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(aErrIO, aStream_CreateSerial(path, 2, false, 0, 0, &stream));
    EXPECT_EQ(nullptr, stream);
    unlink(path);
}

}  // namespace
