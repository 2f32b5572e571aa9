#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "Serial_SDPLoader.h"
#include "aTime.h"

struct PrivateSerial_SDPLoader {
    int fd = -1;
    std::string port;
    struct termios settings;
    // Set when a write stalled: the line is dead for the rest of the session.
    bool failed = false;
};

namespace {

const uint64_t kWriteStallMs = 1000;
const unsigned int kSettleMs = 1000;
// A line that keeps delivering bytes must not hold a read for ever.
const size_t kMaxReadBytes = 65536;

}  // namespace

Serial_SDPLoader::Serial_SDPLoader(const char* port) : priv(new PrivateSerial_SDPLoader)
{
    if (port != nullptr) priv->port = port;
    memset(&priv->settings, 0, sizeof priv->settings);
}

Serial_SDPLoader::~Serial_SDPLoader()
{
    if (priv->fd >= 0) {
        tcflush(priv->fd, TCIOFLUSH);
        close(priv->fd);
    }
    delete priv;
}

bool Serial_SDPLoader::init()
{
    if (priv->fd >= 0) {
        close(priv->fd);
        priv->fd = -1;
    }
    priv->failed = false;
    int fd = open(priv->port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        cause = Cause::FromErrno(errno, priv->port);
        if (errno == EACCES) cause.text += " (is the user in the dialout group?)";
        return false;
    }
    if (!isatty(fd) || tcgetattr(fd, &priv->settings) != 0) {
        cause = Cause(aErrIO, priv->port + ": not a serial port");
        close(fd);
        return false;
    }
    struct termios& t = priv->settings;
    // SDP carries arbitrary bytes: no translation, no echo, no line editing,
    // no flow-control characters; reads return what is there at once.
    t.c_iflag = 0;
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag = CS8 | CREAD | CLOCAL;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (cfsetispeed(&t, B115200) != 0 || cfsetospeed(&t, B115200) != 0 || tcsetattr(fd, TCSAFLUSH, &t) != 0) {
        close(fd);
        return false;
    }
    priv->fd = fd;
    aTime_MSSleep(kSettleMs);
    tcflush(fd, TCIOFLUSH);
    return true;
}

ssize_t Serial_SDPLoader::writeData(const std::vector<unsigned char>& packet)
{
    if (priv->fd < 0 || priv->failed || packet.empty()) return -1;
    const unsigned char* bytes = packet.data() + 1;
    size_t remaining = packet.size() - 1;
    uint64_t lastProgress = aTime_GetMSTicks();
    while (remaining > 0) {
        ssize_t w = write(priv->fd, bytes, remaining);
        if (w > 0) {
            bytes += w;
            remaining -= static_cast<size_t>(w);
            lastProgress = aTime_GetMSTicks();
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            priv->failed = true;
            return -1;
        }
        if (aTime_GetMSTicks() - lastProgress >= kWriteStallMs) {
            priv->failed = true;
            return -1;
        }
        aTime_MSSleep(1);
    }
    return static_cast<ssize_t>(packet.size() - 1);
}

ssize_t Serial_SDPLoader::readData(std::vector<unsigned char>& out, unsigned int timeout_ms)
{
    aTime_MSSleep(timeout_ms);
    if (priv->fd < 0) return 0;
    ssize_t count = 0;
    for (size_t i = 0; i < kMaxReadBytes; i++) {
        unsigned char byte = 0;
        if (read(priv->fd, &byte, 1) <= 0) break;
        out.push_back(byte);
        count++;
    }
    return count;
}

bool Serial_SDPLoader::getDataFromBuffer(const std::vector<unsigned char>& reply, unsigned int offset,
                                         unsigned int& value)
{
    if (offset > 15 || reply.size() < (static_cast<size_t>(offset) + 2) * 4) return false;
    size_t at = offset + 4;
    value |= static_cast<unsigned int>(reply[at]) | static_cast<unsigned int>(reply[at + 1]) << 8 |
             static_cast<unsigned int>(reply[at + 2]) << 16 | static_cast<unsigned int>(reply[at + 3]) << 24;
    return true;
}
