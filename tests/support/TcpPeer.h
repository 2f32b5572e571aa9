#ifndef KS_TEST_TCPPEER_H
#define KS_TEST_TCPPEER_H

#include <cstddef>
#include <cstdint>
#include <vector>

// A TCP peer on 127.0.0.1 for the socket stream: one connection at a time
// is "current"; every wait is bounded.
class TcpPeer {
public:
    TcpPeer();
    ~TcpPeer();
    TcpPeer(const TcpPeer&) = delete;
    TcpPeer& operator=(const TcpPeer&) = delete;

    bool listening() const { return listenFd_ >= 0; }
    uint16_t port() const { return port_; }
    // 127.0.0.1 in network byte order, as the stream and link calls take it.
    static uint32_t loopback();

    // Accepts the next connection as the current one (the previous one is
    // closed). False when none came within timeoutMs.
    bool accept(int timeoutMs = 2000);
    // True when a connection waits to be accepted within timeoutMs.
    bool connectionPending(int timeoutMs = 0) const;
    // Reads until n bytes came, the connection ended, or timeoutMs passed.
    std::vector<uint8_t> read(size_t n, int timeoutMs = 2000);
    bool send(const std::vector<uint8_t>& bytes);
    // Closes the current connection with SO_LINGER 0: the link sees a reset.
    void resetConnection();
    // Stops listening; later connects to the port are refused.
    void closeListener();
    // Makes the current connection's receive buffer small so that a writer
    // that is not read from fills it quickly.
    void shrinkReceiveBuffer();

private:
    int listenFd_ = -1;
    int connFd_ = -1;
    uint16_t port_ = 0;
};

#endif
