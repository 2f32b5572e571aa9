#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <new>

#include "aStream.h"
#include "aTime.h"

#define aSOCKET_TAG 0xDEAD
#define aSOCKET_CONNECTED 0x1
#define aSOCKET_WRITE_ATTEMPTS 10
#define aSOCKET_WRITE_PAUSE_MS 60

struct aSocketStream {
    uint16_t tag;
    uint16_t port;               // host order
    struct sockaddr_in address;  // port and address in network order
    // The reader and the writer of a link may both reconnect; the mutex keeps
    // a close-and-reconnect from one thread off a send or recv in the other.
    std::mutex mutex;
    int fd = -1;         // guarded by mutex
    uint32_t flags = 0;  // guarded by mutex
    // Bytes received but not yet read, so a packet costs one receive rather
    // than two system calls a byte. Emptied with the connection.
    uint8_t received[512];   // guarded by mutex
    size_t receivedAt = 0;   // guarded by mutex; next byte to read
    size_t receivedEnd = 0;  // guarded by mutex
};

namespace {

aSocketStream* sSocket(void* reference)
{
    aSocketStream* sock = static_cast<aSocketStream*>(reference);
    if (sock == nullptr || sock->tag != aSOCKET_TAG) return nullptr;
    return sock;
}

void sSetOptions(int fd)
{
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    struct timeval none = {0, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof(none));
    // Linger 0: closing sends a reset, so a reconnect never waits on TIME_WAIT
    // and the module sees the old connection end at once.
    struct linger linger = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &linger, sizeof(linger));
    ioctl(fd, FIONBIO, &on);
}

// Closes any open connection and connects anew. Caller holds sock->mutex.
// A module whose connection requests are silently dropped would otherwise
// hold a blocking connect for the kernel's whole SYN retry time (about two
// minutes); this bound is far above any LAN round trip.
constexpr int kConnectTimeoutMs = 5000;

// Connects fd and returns 0, or the errno of the failure (ETIMEDOUT when the
// peer does not answer within kConnectTimeoutMs). fd is left blocking.
int sConnectBounded(int fd, const struct sockaddr_in* address)
{
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return errno;
    int e = 0;
    if (connect(fd, reinterpret_cast<const struct sockaddr*>(address), sizeof(*address)) != 0) {
        e = errno;
        if (e == EINPROGRESS) {
            struct pollfd pfd = {fd, POLLOUT, 0};
            int ready;
            do {
                ready = poll(&pfd, 1, kConnectTimeoutMs);
            } while (ready < 0 && errno == EINTR);
            if (ready == 0) {
                e = ETIMEDOUT;
            } else if (ready < 0) {
                e = errno;
            } else {
                socklen_t length = sizeof e;
                if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &e, &length) != 0) e = errno;
            }
        }
    }
    fcntl(fd, F_SETFL, flags);
    return e;
}

aErr sSocketStreamReset(aSocketStream* sock)
{
    sock->receivedAt = sock->receivedEnd = 0;
    if (sock->fd >= 0) {
        sock->flags &= ~aSOCKET_CONNECTED;
        close(sock->fd);
        sock->fd = -1;
        aTime_MSSleep(10);
    }
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return aErrIO;
    int e = sConnectBounded(fd, &sock->address);
    if (e != 0) {
        close(fd);
        switch (e) {
            case ECONNRESET:
            case EAGAIN:
            case ETIMEDOUT:
            case ECONNREFUSED:
                return aErrConnection;
            default:
                return aErrIO;
        }
    }
    sock->fd = fd;
    sock->flags |= aSOCKET_CONNECTED;
    sSetOptions(fd);
    return aErrNone;
}

bool sResetTypeError(int e)
{
    return e == ECONNRESET || e == ENOTCONN || e == ETIMEDOUT;
}

// Caller holds sock->mutex. Refills the receive buffer when it is empty: a
// reset-type error reconnects and tries once more, and so does a peer that
// closed its side, since nothing more will ever arrive on that connection.
aErr sSocketGetLocked(aSocketStream* sock, uint8_t* byte)
{
    if (sock->receivedAt == sock->receivedEnd) {
        if ((sock->flags & aSOCKET_CONNECTED) == 0) return aErrConnection;
        ssize_t r = recv(sock->fd, sock->received, sizeof sock->received, 0);
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return aErrNotReady;
        if (r < 0 && !sResetTypeError(errno)) return aErrConnection;
        if (r <= 0) {
            sock->flags &= ~aSOCKET_CONNECTED;
            aErr err = sSocketStreamReset(sock);
            if (err != aErrNone) return err;
            r = recv(sock->fd, sock->received, sizeof sock->received, 0);
            // A peer that closes the new connection at once too is gone:
            // reading it as "not ready" would reconnect without a pause.
            if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return aErrNotReady;
            if (r <= 0) return aErrConnection;
        }
        sock->receivedAt = 0;
        sock->receivedEnd = static_cast<size_t>(r);
    }
    *byte = sock->received[sock->receivedAt++];
    return aErrNone;
}

aErr sSocketGet(uint8_t* byte, void* reference)
{
    aSocketStream* sock = sSocket(reference);
    if (sock == nullptr) return aErrParam;
    std::lock_guard<std::mutex> lock(sock->mutex);
    return sSocketGetLocked(sock, byte);
}

aErr sSocketAwait(uint32_t timeoutMs, void* reference)
{
    aSocketStream* sock = sSocket(reference);
    if (sock == nullptr) return aErrParam;
    int fd;
    {
        std::lock_guard<std::mutex> lock(sock->mutex);
        if (sock->receivedAt < sock->receivedEnd) return aErrNone;
        if ((sock->flags & aSOCKET_CONNECTED) == 0) return aErrNone;  // get reports it
        fd = sock->fd;
    }
    // Polled without the mutex so the writer is never held up; a reconnect
    // meanwhile at worst ends this wait early or lets it run its short time.
    struct pollfd pfd = {fd, POLLIN, 0};
    return poll(&pfd, 1, static_cast<int>(timeoutMs)) > 0 ? aErrNone : aErrNotReady;
}

aErr sSocketWrite(const uint8_t* bytes, size_t count, void* reference)
{
    aSocketStream* sock = sSocket(reference);
    if (sock == nullptr) return aErrParam;
    {
        std::lock_guard<std::mutex> lock(sock->mutex);
        if ((sock->flags & aSOCKET_CONNECTED) == 0) return aErrConnection;
    }
    size_t sent = 0;
    int attempts = 0;
    while (sent < count && attempts < aSOCKET_WRITE_ATTEMPTS) {
        {
            std::lock_guard<std::mutex> lock(sock->mutex);
            ssize_t r = send(sock->fd, bytes + sent, count - sent, MSG_NOSIGNAL);
            if (r < 0) {
                int e = errno;
                if (e == EPIPE || e == ECONNRESET || e == ENOTCONN) {
                    sock->flags &= ~aSOCKET_CONNECTED;
                    sSocketStreamReset(sock);
                }
                attempts++;
            } else {
                sent += static_cast<size_t>(r);
                if (sent < count) attempts = 1;
            }
        }
        if (sent < count) aTime_MSSleep(aSOCKET_WRITE_PAUSE_MS);
    }
    return sent < count ? aErrIO : aErrNone;
}

aErr sSocketPut(uint8_t byte, void* reference)
{
    return sSocketWrite(&byte, 1, reference);
}

aErr sSocketDelete(void* reference)
{
    aSocketStream* sock = sSocket(reference);
    if (sock == nullptr) return aErrParam;
    if (sock->fd >= 0) close(sock->fd);
    sock->tag = 0;
    delete sock;
    return aErrNone;
}

}  // namespace

aErr aStream_CreateSocket(uint32_t ipAddress, uint16_t port, aStreamRef* stream)
{
    if (stream == nullptr) return aErrParam;
    *stream = nullptr;
    aSocketStream* sock = new (std::nothrow) aSocketStream;
    if (sock == nullptr) return aErrResource;
    sock->tag = aSOCKET_TAG;
    sock->port = port;
    sock->address = {};
    sock->address.sin_family = AF_INET;
    sock->address.sin_port = htons(port);
    sock->address.sin_addr.s_addr = ipAddress;
    aErr err;
    {
        std::lock_guard<std::mutex> lock(sock->mutex);
        err = sSocketStreamReset(sock);
    }
    if (err == aErrNone) {
        *stream = aStream_Create(sSocketGet, sSocketPut, sSocketWrite, sSocketDelete, sock);
        if (*stream != nullptr) {
            aStream_SetAwait(*stream, sSocketAwait);
            return aErrNone;
        }
    }
    sSocketDelete(sock);
    return aErrResource;
}
