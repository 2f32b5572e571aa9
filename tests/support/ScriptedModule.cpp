#include "ScriptedModule.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

struct ScriptedModule::Connection {
    explicit Connection(int f) : fd(f) {}
    int fd;
    std::vector<uint8_t> pending;  // bytes of a packet not complete yet
    bool first = true;
    bool stopped = false;
    bool sendFailed = false;
    int queryRun = 0;
    uint8_t beat = 0;

    void Send(const std::vector<uint8_t>& bytes)
    {
        // A failed send means the host is closing: the connection is closed
        // once what the host sent before (the stop packet) is read.
        for (size_t sent = 0; !sendFailed && sent < bytes.size();) {
            ssize_t r = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (r <= 0) sendFailed = true;
            sent += r > 0 ? static_cast<size_t>(r) : 0;
        }
    }
};

namespace {

// Closes fd so that the host sees a reset, never a plain close.
void Abort(int fd)
{
    linger reset{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(fd);
}

}  // namespace

ScriptedModule::ScriptedModule(uint8_t address, uint8_t lastOctet, int beatMs, bool deaf)
    : address_(address), beatMs_(beatMs), deaf_(deaf)
{
    ip_ = htonl((127u << 24) | lastOctet);
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    if (listener_ < 0) return;
    int on = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    int small = 4096;  // taken over by the accepted connections
    if (deaf_) setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = ip_;
    socklen_t len = sizeof addr;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener_, 16) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        close(listener_);
        listener_ = -1;
        return;
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Serve(); });
}

ScriptedModule::~ScriptedModule()
{
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) close(listener_);
    for (auto& c : connections_) Abort(c->fd);
}

void ScriptedModule::SetResponder(Responder responder)
{
    std::lock_guard<std::mutex> lock(mutex_);
    responder_ = std::move(responder);
}

linkSpec ScriptedModule::Spec() const
{
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serialNumber = 0x0001ABCD;
    spec.moduleAddress = address_;
    spec.routerAddress = address_;
    spec.ipAddress = ip_;
    spec.ipPort = port_;
    return spec;
}

std::vector<ScriptedModule::Packet> ScriptedModule::Received()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

bool ScriptedModule::WaitForPackets(size_t n, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return received_.size() >= n; });
}

void ScriptedModule::SendRaw(const std::vector<uint8_t>& bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    outgoing_.insert(outgoing_.end(), bytes.begin(), bytes.end());
}

void ScriptedModule::OnPacket(Connection& c, const Packet& packet)
{
    Responder responder;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.push_back(packet);
        responder = responder_;
    }
    changed_.notify_all();
    const uint8_t a = packet.address;
    const std::vector<uint8_t>& d = packet.payload;
    const bool start = a == 0xAF && d == std::vector<uint8_t>{1};
    if (c.stopped) stats_.afterStop++;
    if (c.first != start) stats_.notStartedFirst++;
    c.first = false;
    if (a == 0xAD && d.empty()) {
        if (++c.queryRun <= 2) {
            c.Send({address_, 0});
            stats_.queryAnswers++;
        }
        return;
    }
    c.queryRun = 0;
    if (a == 0xAF && d.size() == 1 && d[0] <= 1) {
        c.stopped = d[0] == 0;
        return;
    }
    if ((a & 1) != 0) {
        stats_.strange++;
        return;
    }
    if (beatMs_ > 0 && a == address_ && d.size() == 2 && d[0] == 0) {
        (d[1] == 2 || d[1] == 3 ? stats_.beatAnswers : stats_.wrongBeatAnswers)++;
        return;
    }
    if (!responder) return;
    for (const Packet& r : responder(packet)) {
        std::vector<uint8_t> wire{r.address, static_cast<uint8_t>(r.payload.size())};
        wire.insert(wire.end(), r.payload.begin(), r.payload.end());
        c.Send(wire);
    }
}

void ScriptedModule::Close(Connection& c)
{
    (c.stopped ? stats_.closedAfterStop : stats_.closedWithoutStop)++;
    close(c.fd);
    c.fd = -1;
    stats_.open--;
}

void ScriptedModule::Serve()
{
    auto nextBeat = std::chrono::steady_clock::now();
    while (!stop_) {
        if (refuse_ && listener_ >= 0) {
            close(listener_);
            listener_ = -1;
        }
        if (reset_.exchange(false)) {
            for (auto& c : connections_) {
                clean_ ? (void)close(c->fd) : Abort(c->fd);
                c->fd = -1;
                stats_.open--;
            }
        }
        connections_.erase(
            std::remove_if(connections_.begin(), connections_.end(), [](const auto& c) { return c->fd < 0; }),
            connections_.end());
        std::vector<pollfd> fds{{listener_, POLLIN, 0}};
        for (auto& c : connections_) {
            if (!deaf_) fds.push_back({c->fd, POLLIN, 0});
        }
        poll(fds.data(), fds.size(), 1);
        if (fds[0].revents & POLLIN) {
            int fd = accept(listener_, nullptr, nullptr);
            if (fd >= 0) {
                // A host that stops reading must not block the module for long.
                timeval limit = {0, 200000};
                setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
                connections_.emplace_back(new Connection(fd));
                stats_.accepted++;
                stats_.open++;
            }
        }
        for (size_t i = 1; i < fds.size(); i++) {
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            Connection& c = *connections_[i - 1];
            uint8_t buffer[512];
            ssize_t n = recv(c.fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                Close(c);
                continue;
            }
            std::vector<uint8_t>& p = c.pending;
            for (ssize_t k = 0; k < n; k++) {
                p.push_back(buffer[k]);
                if (p.size() == 2 && p[1] > 28) {
                    stats_.strange++;
                    p.clear();
                } else if (p.size() >= 2 && p.size() == 2u + p[1]) {
                    OnPacket(c, Packet{p[0], std::vector<uint8_t>(p.begin() + 2, p.end())});
                    p.clear();
                }
            }
        }

        std::vector<uint8_t> out;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            out.swap(outgoing_);
        }
        const int beatMs = beatMs_;
        const bool beat = beatMs > 0 && std::chrono::steady_clock::now() >= nextBeat;
        if (beat) nextBeat = std::chrono::steady_clock::now() + std::chrono::milliseconds(beatMs);
        for (auto& c : connections_) {
            std::vector<uint8_t> bytes = out;
            if (beat && !c->stopped) {
                bytes.insert(bytes.end(), {address_, 2, 0, c->beat});
                c->beat ^= 1;
                stats_.beatsSent++;
            }
            if (!bytes.empty()) c->Send(bytes);
        }
    }
}
