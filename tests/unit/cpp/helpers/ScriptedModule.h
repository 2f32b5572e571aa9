#ifndef TEST_SCRIPTED_MODULE_H
#define TEST_SCRIPTED_MODULE_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "aLinkSpec.h"

// A module played by the test on 127.0.0.1: frames the host's packets,
// records them, answers the address query with an empty packet from its own
// address and hands every other packet to a responder that returns the reply
// packets (each as address, length, payload bytes).
class ScriptedModule {
public:
    struct Packet {
        uint8_t address = 0;
        std::vector<uint8_t> payload;
    };
    using Responder = std::function<std::vector<Packet>(const Packet&)>;

    explicit ScriptedModule(uint8_t address);
    ~ScriptedModule();

    void SetResponder(Responder responder);
    // Spec of a TCP/IP link to this module.
    linkSpec Spec() const;
    uint16_t Port() const { return port_; }
    // Packets received from the host (control packets included).
    std::vector<Packet> Received();
    // Waits (bounded) until at least n packets were received.
    bool WaitForPackets(size_t n, int timeoutMs);
    // Sends raw bytes to the host unasked.
    void SendRaw(const std::vector<uint8_t>& bytes);
    int Connections() const { return connections_.load(); }

private:
    void Serve();
    void Handle(const Packet& packet);

    uint8_t address_;
    uint16_t port_ = 0;
    int listener_ = -1;
    std::atomic<int> client_{-1};
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Packet> received_;
    Responder responder_;
    std::thread thread_;
};

#endif
