#include "Pty.h"

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

Pty::Pty(bool raw)
{
    struct termios settings = {};
    cfmakeraw(&settings);
    char name[128] = {0};
    if (openpty(&master, &slave, name, raw ? &settings : nullptr, nullptr) != 0) return;
    path = name;
}

Pty::~Pty()
{
    if (master >= 0) close(master);
    if (slave >= 0) close(slave);
}

unsigned Pty::SlaveSpeed() const
{
    struct termios t;
    if (tcgetattr(slave, &t) != 0) return 0;
    return cfgetospeed(&t);
}

bool Pty::Write(const std::vector<uint8_t>& bytes) const
{
    return write(master, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

std::vector<uint8_t> Pty::Read(size_t n, int timeoutMs) const
{
    std::vector<uint8_t> out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < n && std::chrono::steady_clock::now() < deadline) {
        struct pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, 10) != 1) continue;
        uint8_t buffer[256];
        ssize_t r = read(master, buffer, n - out.size() < sizeof(buffer) ? n - out.size() : sizeof(buffer));
        if (r <= 0) break;
        out.insert(out.end(), buffer, buffer + r);
    }
    return out;
}
