#include "ScriptedHttpServer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

namespace {

typedef std::chrono::steady_clock Clock;

sockaddr_in Loopback(uint16_t port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

// A TCP socket bound to 127.0.0.1 on a kernel-chosen port (returned in
// port), listening with the given backlog unless it is negative; -1 on
// failure. libcurl honours http_proxy and friends, so they go first.
int BoundSocket(int backlog, uint16_t& port)
{
    for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) unsetenv(name);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = Loopback(0);
    socklen_t len = sizeof addr;
    if (fd < 0 || bind(fd, (sockaddr*)&addr, sizeof addr) != 0 ||
        (backlog >= 0 && listen(fd, backlog) != 0) || getsockname(fd, (sockaddr*)&addr, &len) != 0) {
        ADD_FAILURE() << "cannot bind 127.0.0.1: " << errno;
        if (fd >= 0) close(fd);
        return -1;
    }
    port = ntohs(addr.sin_port);
    return fd;
}

std::string Url(uint16_t port, const std::string& path)
{
    return "http://127.0.0.1:" + std::to_string(port) + path;
}

}  // namespace

ScriptedHttpServer::ScriptedHttpServer()
{
    listen_fd_ = BoundSocket(8, port_);
    if (listen_fd_ >= 0) thread_ = std::thread(&ScriptedHttpServer::run, this);
}

ScriptedHttpServer::~ScriptedHttpServer()
{
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (int fd : held_fds_) close(fd);
    if (listen_fd_ >= 0) close(listen_fd_);
}

std::string ScriptedHttpServer::url(const std::string& path) const
{
    return Url(port_, path);
}

void ScriptedHttpServer::script(const Reply& reply)
{
    std::lock_guard<std::mutex> lock(mutex_);
    script_.push_back(reply);
}

void ScriptedHttpServer::script(int status, const std::string& body)
{
    script(Reply{status, body});
}

std::vector<std::string> ScriptedHttpServer::request_lines() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return request_lines_;
}

void ScriptedHttpServer::run()
{
    while (!stop_) {
        pollfd pfd{listen_fd_, POLLIN, 0};
        if (poll(&pfd, 1, 20) <= 0) continue;
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) serve(fd);
    }
}

void ScriptedHttpServer::serve(int fd)
{
    // Read the request head (a GET carries no body) for at most 5 s.
    std::string head;
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (head.find("\r\n\r\n") == std::string::npos && !stop_ && Clock::now() < deadline) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 20) <= 0) continue;
        char buf[4096];
        ssize_t got = recv(fd, buf, sizeof buf, 0);
        if (got <= 0) break;
        head.append(buf, (size_t)got);
    }
    std::string request_line = head.substr(0, head.find("\r\n"));
    Reply reply;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        reply = script_.empty() ? Reply{200, "ok\n"} : script_.front();
        if (!script_.empty()) script_.pop_front();
        request_lines_.push_back(request_line);
        if (reply.silent) held_fds_.push_back(fd);
    }
    if (reply.silent) return;

    std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " Status\r\nConnection: close\r\n";
    if (!reply.close_delimited) out += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
    if (reply.status == 301 || reply.status == 302) out += "Location: /elsewhere\r\n";
    out += "\r\n" + reply.body;
    // The client may give up half-way (a refused body); MSG_NOSIGNAL keeps
    // that from killing the test with SIGPIPE.
    size_t sent = 0;
    deadline = Clock::now() + std::chrono::seconds(10);
    while (sent < out.size() && !stop_ && Clock::now() < deadline) {
        pollfd pfd{fd, POLLOUT, 0};
        if (poll(&pfd, 1, 20) <= 0) continue;
        ssize_t n = send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += (size_t)n;
    }
    shutdown(fd, SHUT_WR);
    close(fd);
}

RefusingPort::RefusingPort(bool unanswered)
{
    int fd = BoundSocket(unanswered ? 0 : -1, port_);
    if (fd < 0) return;
    fds_.push_back(fd);
    // Connect until one attempt stays pending: from then on the kernel drops
    // every new SYN for this port.
    sockaddr_in addr = Loopback(port_);
    for (int attempt = 0; unanswered && attempt < 16 && !ready_; attempt++) {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) return;
        fds_.push_back(fd);
        if (connect(fd, (sockaddr*)&addr, sizeof addr) == 0) continue;
        if (errno != EINPROGRESS) return;
        pollfd pfd{fd, POLLOUT, 0};
        if (poll(&pfd, 1, 300) == 0) ready_ = true;
    }
}

RefusingPort::~RefusingPort()
{
    for (int fd : fds_) close(fd);
}

std::string RefusingPort::url(const std::string& path) const
{
    return Url(port_, path);
}
