#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "Pty.h"
#include "ScriptedStream.h"
#include "aStream.h"

namespace {

typedef std::vector<uint8_t> Bytes;

TEST(SerialStream, RawBytesBothWaysNonBlockingReadsAndSettingsRestoredOnDestroy)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    struct termios before;
    ASSERT_EQ(0, tcgetattr(pty.slave, &before));
    aStreamRef stream = nullptr;
    ASSERT_EQ(aErrNone, aStream_CreateSerial(pty.path.c_str(), 6, false, 0, 0, &stream));
    EXPECT_EQ(static_cast<unsigned>(B115200), pty.SlaveSpeed());

    uint8_t byte = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aErrNotReady, aStream_Read(stream, &byte, 1));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));

    const Bytes out = {0x00, 0x0A, 0x0D, 0xFF, 0x11, 0x13};  // no translation, no flow control
    ASSERT_EQ(aErrNone, aStream_Write(stream, out.data(), out.size()));
    EXPECT_EQ(out, pty.Read(out.size()));
    ASSERT_TRUE(pty.Write({0x0D, 0x0A, 0x03, 0x7F}));
    uint8_t in[4] = {};
    ASSERT_TRUE(waitUntil([&] { return aStream_Read(stream, in, 4) == aErrNone; }));
    EXPECT_EQ((Bytes{0x0D, 0x0A, 0x03, 0x7F}), Bytes(in, in + 4));

    ASSERT_EQ(aErrNone, aStream_Destroy(&stream));
    struct termios after;
    ASSERT_EQ(0, tcgetattr(pty.slave, &after));
    EXPECT_EQ(before.c_lflag, after.c_lflag);
    EXPECT_EQ(before.c_iflag, after.c_iflag);
    EXPECT_EQ(cfgetospeed(&before), cfgetospeed(&after));
}

TEST(SerialStream, RefusesBadParametersBeforeOpeningAndMapsOpenErrors)
{
    aStreamRef stream = reinterpret_cast<aStreamRef>(1);
    // The port does not exist: a parameter error proves nothing was opened.
    const struct {
        int baud, parity, stop;
        aErr expected;
    } cases[] = {{2, 2, 0, aErrParam}, {2, 0, 2, aErrParam}, {8, 0, 0, aErrParam}, {2, 0, 0, aErrNotFound}};
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected,
                  aStream_CreateSerial("/nonexistent/tty", c.baud, false, c.parity, c.stop, &stream));
        EXPECT_EQ(nullptr, stream);
    }
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
