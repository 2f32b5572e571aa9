#ifndef TEST_SCRIPTED_MODULE_H
#define TEST_SCRIPTED_MODULE_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "aLinkSpec.h"

// A module played by the test over TCP on a loopback address of its own
// (links are shared by IP address, so modules that live at the same time
// need different ones). It takes any number of connections, frames and
// records the host's packets, answers address queries as a module does (the
// first two of a run: a synchronisation request is six queries in one write
// and the link waits for two empty packets), and hands every other packet
// for an even address to a responder that returns the replies. With a beat
// interval it sends heartbeats to every connection. It also checks what the
// host sends, in stats(). A deaf module never reads and keeps its receive
// buffers small, so a host that writes to it soon finds them full. One
// thread; every wait is bounded.
class ScriptedModule {
public:
    struct Packet {
        uint8_t address = 0;
        std::vector<uint8_t> payload;
    };
    using Responder = std::function<std::vector<Packet>(const Packet&)>;
    struct Stats {
        std::atomic<int> accepted{0};
        std::atomic<int> open{0};
        std::atomic<int> closedAfterStop{0};
        std::atomic<int> closedWithoutStop{0};
        std::atomic<int> beatsSent{0};
        std::atomic<int> beatAnswers{0};
        std::atomic<int> queryAnswers{0};
        // What a host must not send:
        std::atomic<int> wrongBeatAnswers{0};  // an answer other than beat + 2
        std::atomic<int> notStartedFirst{0};   // a first packet other than the link start, or a second start
        std::atomic<int> afterStop{0};         // anything after the link stop packet
        std::atomic<int> strange{0};           // lengths above 28, odd addresses no host uses
    };

    // lastOctet: the module listens on 127.0.0.lastOctet. beatMs: heartbeat
    // interval, 0 for none.
    explicit ScriptedModule(uint8_t address, uint8_t lastOctet = 1, int beatMs = 0, bool deaf = false);
    ~ScriptedModule();
    ScriptedModule(const ScriptedModule&) = delete;
    ScriptedModule& operator=(const ScriptedModule&) = delete;

    bool Listening() const { return listener_ >= 0; }
    void SetResponder(Responder responder);
    linkSpec Spec() const;
    uint32_t Ip() const { return ip_; }
    uint16_t Port() const { return port_; }
    uint8_t Address() const { return address_; }
    std::vector<Packet> Received();
    bool WaitForPackets(size_t n, int timeoutMs);
    // Sends raw bytes to every connection unasked (on the module's next round).
    void SendRaw(const std::vector<uint8_t>& bytes);
    // Stops the heartbeats.
    void Quiet() { beatMs_ = 0; }
    // Resets every connection (on the module's next round), or closes it
    // cleanly; refuse: stop listening first, so that later connects are refused.
    void Reset(bool refuse = false, bool clean = false)
    {
        refuse_ = refuse_ || refuse;
        clean_ = clean;
        reset_ = true;
    }
    int Connections() const { return stats_.accepted.load(); }
    const Stats& stats() const { return stats_; }

private:
    struct Connection;
    void Serve();
    void OnPacket(Connection& c, const Packet& packet);
    void Close(Connection& c);

    uint8_t address_;
    uint32_t ip_ = 0;
    uint16_t port_ = 0;
    int listener_ = -1;
    std::atomic<int> beatMs_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> reset_{false};
    std::atomic<bool> refuse_{false};
    std::atomic<bool> clean_{false};
    const bool deaf_;
    Stats stats_;
    std::vector<std::unique_ptr<Connection>> connections_;  // the module's thread only
    std::mutex mutex_;                                      // guards what follows
    std::condition_variable changed_;
    std::vector<Packet> received_;
    std::vector<uint8_t> outgoing_;
    Responder responder_;
    std::thread thread_;
};

#endif
