#include "TcpPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace {

int remainingMs(std::chrono::steady_clock::time_point deadline)
{
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

TcpPeer::TcpPeer()
{
    listenFd_ = socket(AF_INET, SOCK_STREAM, 0);
    if (listenFd_ < 0) return;
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = loopback();
    addr.sin_port = 0;
    socklen_t len = sizeof(addr);
    if (bind(listenFd_, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(listenFd_, 4) != 0 ||
        getsockname(listenFd_, reinterpret_cast<struct sockaddr*>(&addr), &len) != 0) {
        close(listenFd_);
        listenFd_ = -1;
        return;
    }
    port_ = ntohs(addr.sin_port);
}

TcpPeer::~TcpPeer()
{
    if (connFd_ >= 0) close(connFd_);
    if (listenFd_ >= 0) close(listenFd_);
}

uint32_t TcpPeer::loopback()
{
    return htonl(INADDR_LOOPBACK);
}

bool TcpPeer::connectionPending(int timeoutMs) const
{
    if (listenFd_ < 0) return false;
    struct pollfd p = {listenFd_, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1 && (p.revents & POLLIN) != 0;
}

bool TcpPeer::accept(int timeoutMs)
{
    if (!connectionPending(timeoutMs)) return false;
    int fd = ::accept(listenFd_, nullptr, nullptr);
    if (fd < 0) return false;
    if (connFd_ >= 0) close(connFd_);
    connFd_ = fd;
    return true;
}

std::vector<uint8_t> TcpPeer::read(size_t n, int timeoutMs)
{
    std::vector<uint8_t> bytes;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (connFd_ >= 0 && bytes.size() < n) {
        struct pollfd p = {connFd_, POLLIN, 0};
        if (poll(&p, 1, remainingMs(deadline)) != 1) break;
        uint8_t buffer[256];
        size_t want = n - bytes.size() < sizeof(buffer) ? n - bytes.size() : sizeof(buffer);
        ssize_t r = recv(connFd_, buffer, want, 0);
        if (r <= 0) break;
        bytes.insert(bytes.end(), buffer, buffer + r);
    }
    return bytes;
}

bool TcpPeer::send(const std::vector<uint8_t>& bytes)
{
    if (connFd_ < 0) return false;
    return ::send(connFd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

void TcpPeer::resetConnection()
{
    if (connFd_ < 0) return;
    struct linger linger = {1, 0};
    setsockopt(connFd_, SOL_SOCKET, SO_LINGER, &linger, sizeof(linger));
    close(connFd_);
    connFd_ = -1;
}

void TcpPeer::closeListener()
{
    if (listenFd_ >= 0) close(listenFd_);
    listenFd_ = -1;
}

void TcpPeer::shrinkReceiveBuffer()
{
    if (connFd_ < 0) return;
    int size = 4096;
    setsockopt(connFd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
}
