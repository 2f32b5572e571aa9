#ifndef UPDATER_TEST_SCRIPTED_HTTP_SERVER_H
#define UPDATER_TEST_SCRIPTED_HTTP_SERVER_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A tiny HTTP/1.1 server on 127.0.0.1 (port chosen by the kernel) run by one
// thread. It handles one connection at a time: reads the request head,
// records its request line ("GET /cgi/u?op=hi&rv=2& HTTP/1.1") and answers
// with the next scripted reply, then closes the connection. Every wait in it
// is bounded; the destructor stops the thread and closes every socket.
class ScriptedHttpServer {
public:
    struct Reply {
        int status = 200;
        std::string body;
        // Accept and read the request, then never answer (the connection is
        // held open until the server is destroyed).
        bool silent = false;
        // Send no Content-Length; the body ends when the connection closes.
        bool close_delimited = false;
    };

    // Chooses the reply from the request line; used when the script is empty.
    typedef std::function<Reply(const std::string& request_line)> Handler;

    ScriptedHttpServer();
    ~ScriptedHttpServer();
    ScriptedHttpServer(const ScriptedHttpServer&) = delete;
    ScriptedHttpServer& operator=(const ScriptedHttpServer&) = delete;

    uint16_t port() const { return port_; }
    // "http://127.0.0.1:<port>" followed by path.
    std::string url(const std::string& path = "/cgi/u") const;

    // Replies for the next connections, in order.
    void script(const Reply& reply);
    void script(int status, const std::string& body);
    // Answer for every connection once the script has run out (default:
    // 200 with body "ok\n").
    void set_handler(Handler handler);

    // Request lines received so far, in order.
    std::vector<std::string> request_lines() const;
    // The request target of each request line ("/cgi/u?op=hi&rv=2&").
    std::vector<std::string> targets() const;
    // Waits until at least n requests have been read; false on the deadline.
    bool wait_for_requests(size_t n, int timeout_ms) const;

private:
    void run();
    void serve(int fd);
    Reply next_reply(const std::string& request_line);

    int listen_fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::deque<Reply> script_;
    Handler handler_;
    std::vector<std::string> request_lines_;
    std::vector<int> held_fds_;
};

// A TCP port on 127.0.0.1 that refuses connections: a socket bound to it but
// not listening, kept for the object's lifetime so nobody else takes it.
class RefusingPort {
public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    uint16_t port() const { return port_; }
    std::string url(const std::string& path = "/cgi/u") const;

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// A listening port on 127.0.0.1 whose accept queue is full and never
// drained, so the kernel drops new connection attempts and a client's
// connect hangs until its own time-out.
class UnansweredConnectPort {
public:
    UnansweredConnectPort();
    ~UnansweredConnectPort();
    UnansweredConnectPort(const UnansweredConnectPort&) = delete;
    UnansweredConnectPort& operator=(const UnansweredConnectPort&) = delete;
    uint16_t port() const { return port_; }
    std::string url(const std::string& path = "/cgi/u") const;
    // False when the queue could not be shown to be full (the test should
    // then be skipped rather than hang).
    bool ready() const { return ready_; }

private:
    int listen_fd_ = -1;
    std::vector<int> fillers_;
    uint16_t port_ = 0;
    bool ready_ = false;
};

// libcurl honours http_proxy and friends from the environment; unit tests
// talk to 127.0.0.1 directly. Call before any thread is started.
void ClearProxyEnvironment();

#endif
