#include "ScriptedHttpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace {

typedef std::chrono::steady_clock Clock;

// Bounds of one connection: a client that sends no complete request head
// within this time, or a reply that cannot be written, is dropped.
const int kRequestDeadlineMs = 5000;
const int kReplyDeadlineMs = 10000;
const size_t kMaxRequestHead = 64 * 1024;
const int kPollMs = 20;

int _remaining_ms(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : (int)left;
}

uint16_t _bound_port(int fd)
{
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (getsockname(fd, (sockaddr*)&addr, &len) != 0) return 0;
    return ntohs(addr.sin_port);
}

sockaddr_in _loopback(uint16_t port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

// A TCP socket bound to 127.0.0.1 on a kernel-chosen port, or -1.
int _bound_socket()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in addr = _loopback(0);
    if (bind(fd, (sockaddr*)&addr, sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

const char* _reason(int status)
{
    switch (status) {
        case 200:
            return "OK";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 404:
            return "Not Found";
        case 500:
            return "Internal Server Error";
        default:
            return "Status";
    }
}

std::string _url(uint16_t port, const std::string& path)
{
    return "http://127.0.0.1:" + std::to_string(port) + path;
}

}  // namespace

void ClearProxyEnvironment()
{
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                             "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
        unsetenv(name);
    }
}

ScriptedHttpServer::ScriptedHttpServer()
{
    ClearProxyEnvironment();
    handler_ = [](const std::string&) {
        Reply reply;
        reply.body = "ok\n";
        return reply;
    };
    listen_fd_ = _bound_socket();
    if (listen_fd_ < 0 || listen(listen_fd_, 8) != 0) {
        ADD_FAILURE() << "cannot listen on 127.0.0.1: " << strerror(errno);
        return;
    }
    port_ = _bound_port(listen_fd_);
    thread_ = std::thread(&ScriptedHttpServer::run, this);
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
    return _url(port_, path);
}

void ScriptedHttpServer::script(const Reply& reply)
{
    std::lock_guard<std::mutex> lock(mutex_);
    script_.push_back(reply);
}

void ScriptedHttpServer::script(int status, const std::string& body)
{
    Reply reply;
    reply.status = status;
    reply.body = body;
    script(reply);
}

void ScriptedHttpServer::set_handler(Handler handler)
{
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = std::move(handler);
}

std::vector<std::string> ScriptedHttpServer::request_lines() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return request_lines_;
}

std::vector<std::string> ScriptedHttpServer::targets() const
{
    std::vector<std::string> result;
    for (const std::string& line : request_lines()) {
        size_t first = line.find(' ');
        size_t last = line.rfind(' ');
        result.push_back(first == std::string::npos || last <= first
                             ? std::string()
                             : line.substr(first + 1, last - first - 1));
    }
    return result;
}

bool ScriptedHttpServer::wait_for_requests(size_t n, int timeout_ms) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return request_lines_.size() >= n; });
}

ScriptedHttpServer::Reply ScriptedHttpServer::next_reply(const std::string& request_line)
{
    Handler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!script_.empty()) {
            Reply reply = script_.front();
            script_.pop_front();
            return reply;
        }
        handler = handler_;
    }
    return handler(request_line);
}

void ScriptedHttpServer::run()
{
    while (!stop_) {
        pollfd pfd{listen_fd_, POLLIN, 0};
        if (poll(&pfd, 1, kPollMs) <= 0) continue;
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        serve(fd);
    }
}

void ScriptedHttpServer::serve(int fd)
{
    // Read the request head (a GET carries no body).
    std::string head;
    auto deadline = Clock::now() + std::chrono::milliseconds(kRequestDeadlineMs);
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxRequestHead && !stop_) {
        int wait = _remaining_ms(deadline);
        if (wait == 0) break;
        pollfd pfd{fd, POLLIN, 0};
        int ready = poll(&pfd, 1, wait < kPollMs ? wait : kPollMs);
        if (ready <= 0) continue;
        char buf[4096];
        ssize_t got = recv(fd, buf, sizeof buf, 0);
        if (got <= 0) break;
        head.append(buf, (size_t)got);
    }
    size_t eol = head.find("\r\n");
    if (eol == std::string::npos) {
        close(fd);
        return;
    }
    std::string request_line = head.substr(0, eol);
    Reply reply = next_reply(request_line);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        request_lines_.push_back(request_line);
        if (reply.silent) held_fds_.push_back(fd);
    }
    changed_.notify_all();
    if (reply.silent) return;

    std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " " + _reason(reply.status) + "\r\n";
    out += "Content-Type: text/plain\r\nConnection: close\r\n";
    if (!reply.close_delimited) out += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
    if (reply.status == 301 || reply.status == 302) out += "Location: /elsewhere\r\n";
    out += "\r\n";
    out += reply.body;

    // The client may give up half-way (a refused body); MSG_NOSIGNAL keeps
    // that from killing the test with SIGPIPE.
    size_t sent = 0;
    deadline = Clock::now() + std::chrono::milliseconds(kReplyDeadlineMs);
    while (sent < out.size() && !stop_ && _remaining_ms(deadline) > 0) {
        pollfd pfd{fd, POLLOUT, 0};
        if (poll(&pfd, 1, kPollMs) <= 0) continue;
        ssize_t n = send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += (size_t)n;
    }
    shutdown(fd, SHUT_WR);
    close(fd);
}

RefusingPort::RefusingPort()
{
    ClearProxyEnvironment();
    fd_ = _bound_socket();
    if (fd_ < 0) {
        ADD_FAILURE() << "cannot bind 127.0.0.1: " << strerror(errno);
        return;
    }
    port_ = _bound_port(fd_);
}

RefusingPort::~RefusingPort()
{
    if (fd_ >= 0) close(fd_);
}

std::string RefusingPort::url(const std::string& path) const
{
    return _url(port_, path);
}

UnansweredConnectPort::UnansweredConnectPort()
{
    ClearProxyEnvironment();
    listen_fd_ = _bound_socket();
    if (listen_fd_ < 0 || listen(listen_fd_, 0) != 0) {
        ADD_FAILURE() << "cannot listen on 127.0.0.1: " << strerror(errno);
        return;
    }
    port_ = _bound_port(listen_fd_);
    // Connect until one attempt stays pending: from then on the kernel drops
    // every new SYN for this port.
    sockaddr_in addr = _loopback(port_);
    for (int attempt = 0; attempt < 16 && !ready_; attempt++) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) return;
        fillers_.push_back(fd);
        if (connect(fd, (sockaddr*)&addr, sizeof addr) == 0) continue;
        if (errno != EINPROGRESS) return;
        pollfd pfd{fd, POLLOUT, 0};
        if (poll(&pfd, 1, 300) == 0) ready_ = true;
    }
}

UnansweredConnectPort::~UnansweredConnectPort()
{
    for (int fd : fillers_) close(fd);
    if (listen_fd_ >= 0) close(listen_fd_);
}

std::string UnansweredConnectPort::url(const std::string& path) const
{
    return _url(port_, path);
}
