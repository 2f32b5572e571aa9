#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "aStream.h"

#define aSERIAL_TAG 0xBEEF
#define aSERIAL_PATH_SIZE 4096

struct aUnixSerialStream {
    uint16_t tag;
    uint32_t baudIndex;
    char portPath[aSERIAL_PATH_SIZE];
    int fd;
    struct termios saved;  // as found at open, restored on delete
    struct termios applied;
    bool savedValid;  // saved holds the port's settings
};

namespace {

const speed_t kSpeeds[] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};

aUnixSerialStream* sSerial(void* reference)
{
    aUnixSerialStream* serial = static_cast<aUnixSerialStream*>(reference);
    if (serial == nullptr || serial->tag != aSERIAL_TAG || serial->fd < 0) return nullptr;
    return serial;
}

aErr sSerialGet(uint8_t* byte, void* reference)
{
    aUnixSerialStream* serial = sSerial(reference);
    if (serial == nullptr) return aErrParam;
    // VMIN = VTIME = 0: read answers at once, 0 when nothing is waiting.
    ssize_t r = read(serial->fd, byte, 1);
    if (r == 1) return aErrNone;
    if (r == 0) return aErrNotReady;
    return aErrIO;
}

aErr sSerialAwait(uint32_t timeoutMs, void* reference)
{
    aUnixSerialStream* serial = sSerial(reference);
    if (serial == nullptr) return aErrParam;
    struct pollfd pfd = {serial->fd, POLLIN, 0};
    int ready = poll(&pfd, 1, static_cast<int>(timeoutMs));
    if (ready > 0 && (pfd.revents & POLLIN) != 0) return aErrNone;
    // A hung-up port stays "ready" for ever while reads give nothing; waiting
    // out the time here keeps the reader from spinning on it.
    if (ready > 0) usleep(timeoutMs * 1000u);
    return aErrNotReady;
}

aErr sSerialWrite(const uint8_t* bytes, size_t count, void* reference)
{
    aUnixSerialStream* serial = sSerial(reference);
    if (serial == nullptr) return aErrParam;
    ssize_t r = write(serial->fd, bytes, count);
    if (r < 0 || static_cast<size_t>(r) != count) return aErrIO;
    return aErrNone;
}

aErr sSerialPut(uint8_t byte, void* reference)
{
    return sSerialWrite(&byte, 1, reference);
}

aErr sSerialDelete(void* reference)
{
    aUnixSerialStream* serial = static_cast<aUnixSerialStream*>(reference);
    if (serial == nullptr || serial->tag != aSERIAL_TAG) return aErrParam;
    if (serial->fd >= 0) {
        if (serial->savedValid) tcsetattr(serial->fd, TCSANOW, &serial->saved);
        close(serial->fd);
    }
    serial->tag = 0;
    free(serial);
    return aErrNone;
}

aErr sStreamOpenSerial(aUnixSerialStream* serial, bool parity, uint8_t dataBits, uint8_t stopBits)
{
    serial->fd = open(serial->portPath, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (serial->fd < 0) {
        switch (errno) {
            case ENOENT:
                return aErrNotFound;
            case EACCES:
                return aErrPermission;
            default:
                return aErrIO;
        }
    }
    // O_NONBLOCK only keeps open from waiting for carrier; reads are made
    // non-blocking by VMIN/VTIME instead.
    if (fcntl(serial->fd, F_SETFL, 0) != 0) return aErrIO;
    if (tcgetattr(serial->fd, &serial->saved) != 0) return aErrIO;
    serial->savedValid = true;

    struct termios t = serial->saved;
    t.c_iflag = parity ? (IGNBRK | IGNPAR) : IGNBRK;
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag = CLOCAL | CREAD | (dataBits == 0 ? CS8 : CS7);
    if (parity) t.c_cflag |= PARENB;
    if (stopBits == 1) t.c_cflag |= CSTOPB;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    speed_t speed = kSpeeds[serial->baudIndex];
    if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0) return aErrIO;
    if (tcsetattr(serial->fd, TCSANOW, &t) != 0) return aErrIO;
    if (tcflush(serial->fd, TCIOFLUSH) != 0) return aErrIO;
    serial->applied = t;
    return aErrNone;
}

}  // namespace

aErr aStream_CreateSerial(const char* portPath, uint32_t baudIndex, bool parity, uint8_t dataBits,
                          uint8_t stopBits, aStreamRef* stream)
{
    if (stream == nullptr) return aErrParam;
    *stream = nullptr;
    if (portPath == nullptr || dataBits > 1 || stopBits > 1) return aErrParam;
    if (baudIndex >= sizeof(kSpeeds) / sizeof(kSpeeds[0])) return aErrParam;
    if (strnlen(portPath, aSERIAL_PATH_SIZE) >= aSERIAL_PATH_SIZE) return aErrParam;

    aUnixSerialStream* serial = static_cast<aUnixSerialStream*>(calloc(1, sizeof(aUnixSerialStream)));
    if (serial == nullptr) return aErrMemory;
    serial->tag = aSERIAL_TAG;
    serial->baudIndex = baudIndex;
    strcpy(serial->portPath, portPath);
    serial->fd = -1;

    aErr err = sStreamOpenSerial(serial, parity, dataBits, stopBits);
    if (err == aErrNone) {
        *stream = aStream_Create(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete, serial);
        if (*stream == nullptr)
            err = aErrMemory;
        else
            aStream_SetAwait(*stream, sSerialAwait);
    }
    if (err != aErrNone) {
        // A failed open must not leave the port with half-applied settings.
        if (serial->fd >= 0) {
            if (serial->savedValid) tcsetattr(serial->fd, TCSANOW, &serial->saved);
            close(serial->fd);
        }
        serial->tag = 0;
        free(serial);
    }
    return err;
}
