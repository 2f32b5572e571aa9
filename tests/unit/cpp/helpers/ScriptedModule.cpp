#include "ScriptedModule.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

ScriptedModule::ScriptedModule(uint8_t address) : address_(address)
{
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(listener_, 4);
    socklen_t len = sizeof addr;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Serve(); });
}

ScriptedModule::~ScriptedModule()
{
    stop_ = true;
    thread_.join();
    close(listener_);
    if (client_ >= 0) {
        // A module that goes away resets the connection; the host only
        // notices a reset, never a plain close.
        linger reset{1, 0};
        setsockopt(client_, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        close(client_);
    }
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
    spec.ipAddress = htonl(INADDR_LOOPBACK);
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
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return received_.size() >= n; });
}

void ScriptedModule::SendRaw(const std::vector<uint8_t>& bytes)
{
    int fd = client_;
    if (fd >= 0) send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

void ScriptedModule::Handle(const Packet& packet)
{
    Responder responder;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.push_back(packet);
        responder = responder_;
    }
    changed_.notify_all();
    std::vector<Packet> replies;
    if (packet.address == 0xAD && packet.payload.empty())
        replies.push_back(Packet{address_, {}});
    else if ((packet.address & 1) == 0 && responder)
        replies = responder(packet);
    for (const Packet& r : replies) {
        std::vector<uint8_t> wire{r.address, static_cast<uint8_t>(r.payload.size())};
        wire.insert(wire.end(), r.payload.begin(), r.payload.end());
        SendRaw(wire);
    }
}

void ScriptedModule::Serve()
{
    std::vector<uint8_t> pending;
    while (!stop_) {
        int fd = client_;
        pollfd pfd{fd >= 0 ? fd : listener_, POLLIN, 0};
        if (poll(&pfd, 1, 20) <= 0) continue;
        if (fd < 0) {
            int c = accept(listener_, nullptr, nullptr);
            if (c >= 0) {
                client_ = c;
                ++connections_;
                pending.clear();
            }
            continue;
        }
        uint8_t buf[256];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            close(fd);
            client_ = -1;
            continue;
        }
        pending.insert(pending.end(), buf, buf + n);
        while (pending.size() >= 2 && pending.size() >= 2u + pending[1]) {
            Packet p;
            p.address = pending[0];
            p.payload.assign(pending.begin() + 2, pending.begin() + 2 + pending[1]);
            pending.erase(pending.begin(), pending.begin() + 2 + pending[1]);
            Handle(p);
        }
    }
}
