#ifndef UPDATER_TEST_SCRIPTED_HTTP_SERVER_H
#define UPDATER_TEST_SCRIPTED_HTTP_SERVER_H

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A tiny HTTP/1.1 server on 127.0.0.1 run by one thread. It handles one
// connection at a time: reads the request head, records its request line and
// answers with the next scripted reply (200 "ok\n" when the script is
// empty), then closes the connection. Every
// wait in it is bounded.
class ScriptedHttpServer {
public:
    struct Reply {
        int status = 200;
        std::string body;
        // Read the request, then never answer (the connection stays open
        // until the server is destroyed).
        bool silent = false;
        // Send no Content-Length; the body ends when the connection closes.
        bool close_delimited = false;
    };

    ScriptedHttpServer();
    ~ScriptedHttpServer();
    ScriptedHttpServer(const ScriptedHttpServer&) = delete;
    ScriptedHttpServer& operator=(const ScriptedHttpServer&) = delete;

    std::string url(const std::string& path = "/cgi/u") const;
    void script(const Reply& reply);
    void script(int status, const std::string& body);
    std::vector<std::string> request_lines() const;

private:
    void run();
    void serve(int fd);

    int listen_fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::deque<Reply> script_;
    std::vector<std::string> request_lines_;
    std::vector<int> held_fds_;
};

// A port on 127.0.0.1 that refuses connections: bound, not listening.
// unanswered: listening instead, with the accept queue full and never
// drained, so the kernel drops new connection attempts and a client's
// connect hangs until its own time-out.
class RefusingPort {
public:
    explicit RefusingPort(bool unanswered = false);
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    std::string url(const std::string& path = "/cgi/u") const;
    // False when the queue could not be shown to be full (the test should
    // then be skipped rather than hang).
    bool ready() const { return ready_; }

private:
    std::vector<int> fds_;
    uint16_t port_ = 0;
    bool ready_ = false;
};

class UnansweredConnectPort : public RefusingPort {
public:
    UnansweredConnectPort() : RefusingPort(true) {}
};

#endif
