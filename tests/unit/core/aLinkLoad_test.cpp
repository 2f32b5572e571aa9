// The link engine under load: links to several modules opened and closed
// from many threads at once, heartbeats at a high rate, a module flooding
// packets past the 20-packet queue limit, a module breaking the framing so
// the link has to re-synchronise, and resets while all of this goes on.
// Bounded in time (a load phase of a fixed length); run in the plain, the
// ASan (leaks) and the TSan (races, lock order) builds.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "aLink.h"
#include "aPacketFifo.h"
#include "helpers/ScriptedStream.h"

namespace {

typedef std::vector<uint8_t> Bytes;
using Clock = std::chrono::steady_clock;

// Requests the peers answer with the very same packet.
const uint8_t kEcho = 0x10;
// What a flooding module sends without being asked.
const uint8_t kUnsolicited = 0x21;

int msSince(Clock::time_point start)
{
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// A module on its own loopback address (links are shared by IP address, so
// every module needs one): accepts any number of connections, answers
// synchronisation requests and address queries as a module does, echoes
// requests, sends heartbeats to every connection every beatMs, and floods
// or breaks the framing when asked. It checks what the host sends: the link
// start packet first, nothing after the stop packet, heartbeat answers of
// beat + 2, only packets a host sends. One thread; every wait is bounded.
class ModulePeer {
public:
    struct Stats {
        std::atomic<int> accepted{0};
        std::atomic<int> closedAfterStop{0};
        std::atomic<int> closedWithoutStop{0};
        std::atomic<int> beatsSent{0};
        std::atomic<int> beatAnswers{0};
        std::atomic<int> wrongBeatAnswers{0};
        std::atomic<int> echoes{0};
        std::atomic<int> syncAnswers{0};
        // What a host must not send:
        std::atomic<int> notStartedFirst{0};  // a first packet other than the link start, or a second start
        std::atomic<int> afterStop{0};        // anything after the link stop packet
        std::atomic<int> strange{0};          // packets no host sends, lengths above 28
    };

    ModulePeer(uint8_t lastOctet, uint8_t address, int beatMs) : address_(address), beatMs_(beatMs)
    {
        ip_ = htonl((127u << 24) | lastOctet);
        listenFd_ = socket(AF_INET, SOCK_STREAM, 0);
        if (listenFd_ < 0) return;
        int on = 1;
        setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        struct sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = ip_;
        socklen_t len = sizeof addr;
        if (bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            listen(listenFd_, 16) != 0 ||
            getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            close(listenFd_);
            listenFd_ = -1;
            return;
        }
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { run(); });
    }

    ~ModulePeer()
    {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (listenFd_ >= 0) close(listenFd_);
    }

    bool listening() const { return listenFd_ >= 0; }
    uint32_t ip() const { return ip_; }
    uint16_t port() const { return port_; }
    uint8_t address() const { return address_; }
    int openConnections() const { return open_.load(); }
    const Stats& stats() const { return stats_; }

    // Sends n unsolicited packets to every connection at once.
    void flood(int n) { floodPending_ = n; }
    // Sends a byte no packet can start with (an odd address) between two
    // packets: the link must re-synchronise.
    void breakFraming() { breakPending_ = true; }
    // Stops the heartbeats, floods and framing breaks (requests are still
    // answered).
    void quiet() { quiet_ = true; }

private:
    struct Connection {
        explicit Connection(int f) : fd(f) {}
        int fd;
        int state = 0;  // 0 address, 1 length, 2 payload
        uint8_t packetAddress = 0;
        uint8_t length = 0;
        Bytes payload;
        bool first = true;
        bool stopped = false;
        bool sendFailed = false;
        int queryRun = 0;
        uint8_t beat = 0;
    };

    bool sendAll(Connection& c, const Bytes& bytes)
    {
        size_t sent = 0;
        while (sent < bytes.size()) {
            ssize_t r = send(c.fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (r <= 0) return false;
            sent += static_cast<size_t>(r);
        }
        return true;
    }

    void onPacket(Connection& c)
    {
        const uint8_t a = c.packetAddress;
        const Bytes& d = c.payload;
        const bool start = a == 0xAF && d == Bytes{1};
        const bool stop = a == 0xAF && d == Bytes{0};
        if (c.stopped) stats_.afterStop++;
        if (c.first != start) stats_.notStartedFirst++;
        c.first = false;
        if (a == 0xAD && d.empty()) {
            // A synchronisation request is six address queries in one write:
            // the first two of a run are answered, giving the two empty
            // packets the link waits for.
            if (++c.queryRun <= 2) {
                sendAll(c, {address_, 0});
                stats_.syncAnswers++;
            }
            return;
        }
        c.queryRun = 0;
        if (start) return;
        if (stop) {
            c.stopped = true;
            return;
        }
        if (a == address_ && d.size() == 2 && d[0] == 0) {
            if (d[1] == 2 || d[1] == 3)
                stats_.beatAnswers++;
            else
                stats_.wrongBeatAnswers++;
            return;
        }
        if (a == address_ && d.size() >= 3 && d[0] == kEcho) {
            Bytes reply = {a, static_cast<uint8_t>(d.size())};
            reply.insert(reply.end(), d.begin(), d.end());
            sendAll(c, reply);
            stats_.echoes++;
            return;
        }
        stats_.strange++;
    }

    void onBytes(Connection& c, const uint8_t* bytes, size_t n)
    {
        for (size_t i = 0; i < n; i++) {
            uint8_t b = bytes[i];
            if (c.state == 0) {
                c.packetAddress = b;
                c.payload.clear();
                c.state = 1;
            } else if (c.state == 1) {
                if (b > 28) {
                    stats_.strange++;
                    c.state = 0;
                    continue;
                }
                c.length = b;
                c.state = 2;
            } else {
                c.payload.push_back(b);
            }
            if (c.state == 2 && c.payload.size() == c.length) {
                onPacket(c);
                c.state = 0;
            }
        }
    }

    void closeConnection(Connection& c)
    {
        if (c.stopped)
            stats_.closedAfterStop++;
        else
            stats_.closedWithoutStop++;
        close(c.fd);
        c.fd = -1;
        open_--;
    }

    void run()
    {
        std::vector<std::unique_ptr<Connection>> conns;
        Clock::time_point nextBeat = Clock::now();
        while (!stop_) {
            std::vector<struct pollfd> fds;
            fds.push_back({listenFd_, POLLIN, 0});
            for (auto& c : conns) fds.push_back({c->fd, POLLIN, 0});
            poll(fds.data(), fds.size(), 1);
            if (fds[0].revents & POLLIN) {
                int fd = accept(listenFd_, nullptr, nullptr);
                if (fd >= 0) {
                    // A host that stops reading must not block the module for long.
                    struct timeval limit = {0, 200000};
                    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
                    conns.emplace_back(new Connection(fd));
                    stats_.accepted++;
                    open_++;
                }
            }
            for (size_t i = 1; i < fds.size(); i++) {
                if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
                Connection& c = *conns[i - 1];
                uint8_t buffer[512];
                ssize_t r = recv(c.fd, buffer, sizeof buffer, MSG_DONTWAIT);
                if (r > 0) {
                    onBytes(c, buffer, static_cast<size_t>(r));
                } else if (r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                    closeConnection(c);
                }
            }
            conns.erase(std::remove_if(conns.begin(), conns.end(), [](const auto& c) { return c->fd < 0; }),
                        conns.end());
            if (quiet_) continue;

            Bytes extra;
            int n = floodPending_.exchange(0);
            for (int k = 0; k < n; k++) {
                Bytes p = {address_, 3, kUnsolicited, static_cast<uint8_t>(k), 0};
                extra.insert(extra.end(), p.begin(), p.end());
            }
            if (breakPending_.exchange(false)) extra.push_back(0x01);
            const bool beat = Clock::now() >= nextBeat;
            if (beat) nextBeat += std::chrono::milliseconds(beatMs_);
            for (auto& c : conns) {
                Bytes out = extra;
                if (beat && !c->stopped) {
                    Bytes hb = {address_, 2, 0, c->beat};
                    out.insert(out.end(), hb.begin(), hb.end());
                    c->beat ^= 1;
                    stats_.beatsSent++;
                }
                // A failed send means the host is closing: the connection is
                // closed once what the host sent before (the stop packet) is read.
                if (!out.empty() && !c->sendFailed && !sendAll(*c, out)) c->sendFailed = true;
            }
        }
        for (auto& c : conns)
            if (c->fd >= 0) closeConnection(*c);
    }

    uint32_t ip_ = 0;
    uint16_t port_ = 0;
    uint8_t address_;
    int beatMs_;
    int listenFd_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> quiet_{false};
    std::atomic<int> floodPending_{0};
    std::atomic<bool> breakPending_{false};
    std::atomic<int> open_{0};
    Stats stats_;
};

struct EchoMatch {
    uint8_t address;
    uint8_t tag;
    uint8_t sequence;
};

bool matchesEcho(const aPacket* p, void* reference)
{
    const EchoMatch* m = static_cast<const EchoMatch*>(reference);
    return p->address == m->address && p->dataSize == 4 && p->data[0] == kEcho && p->data[1] == m->tag &&
           p->data[2] == m->sequence;
}

bool isUnsolicitedOrEmpty(const aPacket* p, void*)
{
    return p->dataSize == 0 || p->data[0] == kUnsolicited;
}

// One request and its echo: true when the echo came within timeoutMs. As the
// object layer does, a link that is starting or synchronising is given the
// same time to get to RUNNING first (the wait for a reply ends at once on a
// link that is not RUNNING).
bool exchange(aLinkRef id, uint8_t address, uint8_t tag, uint8_t sequence, uint32_t timeoutMs)
{
    if (!waitUntil([&] { return aLink_GetStatus(id) == RUNNING; }, static_cast<int>(timeoutMs))) return false;
    aPacket request = {};
    request.tag = aPACKET_TAG;
    request.address = address;
    request.dataSize = 4;
    request.data[0] = kEcho;
    request.data[1] = tag;
    request.data[2] = sequence;
    request.data[3] = 0x5A;
    request.curSize = 6;
    if (aLink_PutPacket(id, &request) != aErrNone) return false;
    EchoMatch match = {address, tag, sequence};
    aPacket* reply = aLink_AwaitFirst(id, matchesEcho, &match, timeoutMs);
    if (reply == nullptr) return false;
    bool same = reply->data[3] == 0x5A;
    aPacket_Destroy(&reply);
    return same;
}

// Fails the whole test binary when a thread does not come back: a deadlock
// must not hang the run until ctest's time-out.
void joinWithin(std::vector<std::future<void>>& workers, int seconds, const char* what)
{
    auto deadline = Clock::now() + std::chrono::seconds(seconds);
    for (auto& w : workers) {
        if (w.wait_until(deadline) != std::future_status::ready) {
            fprintf(stderr, "%s did not finish within %d s: deadlock in the link engine\n", what, seconds);
            fflush(stderr);
            std::abort();
        }
        w.get();
    }
}

const int kPeers = 6;
const int kCyclers = 6;
const int kLoadMs = 1500;
const int kBeatMs = 3;

}  // namespace

TEST(LinkLoad, ManyLinksHeartbeatsFloodsResyncsAndResetsStayCorrect)
{
    std::vector<std::unique_ptr<ModulePeer>> peers;
    for (int i = 0; i < kPeers; i++) {
        peers.emplace_back(
            new ModulePeer(static_cast<uint8_t>(40 + i), static_cast<uint8_t>(2 + 2 * i), kBeatMs));
        ASSERT_TRUE(peers.back()->listening()) << "127.0.0." << 40 + i;
    }
    ModulePeer& flooder = *peers[0];
    ModulePeer& breaker = *peers[1];

    std::mutex idsMutex;
    std::set<aLinkRef> ids;
    auto remember = [&](aLinkRef id) {
        std::lock_guard<std::mutex> lock(idsMutex);
        ids.insert(id);
    };
    std::atomic<bool> loading{true};
    std::atomic<int> exchanges{0}, misses{0}, creations{0}, resets{0}, busyResets{0};
    std::atomic<int> drained{0}, largestDrain{0};
    std::atomic<int> failures{0};  // reported through EXPECTs below

    std::vector<std::future<void>> workers;
    // Cyclers: open a link to some module, talk, close it again; links are
    // shared, so these opens and closes overlap on the same links.
    for (int t = 0; t < kCyclers; t++) {
        workers.push_back(std::async(std::launch::async, [&, t] {
            unsigned seed = 7u + static_cast<unsigned>(t);
            uint8_t sequence = 0;
            while (loading) {
                ModulePeer& peer = *peers[rand_r(&seed) % kPeers];
                aLinkRef id = aLink_CreateTCPIP(peer.ip(), peer.port());
                if (id == 0) {
                    failures++;
                    continue;
                }
                creations++;
                remember(id);
                int rounds = 1 + rand_r(&seed) % 3;
                for (int r = 0; r < rounds; r++) {
                    if (exchange(id, peer.address(), static_cast<uint8_t>(t), sequence++, 100)) {
                        exchanges++;
                    } else {
                        misses++;
                    }
                }
                if (aLink_Destroy(&id) != aErrNone || id != 0) failures++;
            }
        }));
    }
    // Holders keep the flooded and the resynchronising module's links open
    // for the whole run and empty the unsolicited traffic now and then: the
    // queue never holds more than 20 packets.
    for (ModulePeer* peer : {&flooder, &breaker}) {
        workers.push_back(std::async(std::launch::async, [&, peer] {
            aLinkRef id = aLink_CreateTCPIP(peer->ip(), peer->port());
            if (id == 0) {
                failures++;
                return;
            }
            remember(id);
            if (aLink_PacketDebug_Enable(id) != aErrNone) failures++;
            while (loading) {
                int n = static_cast<int>(aLink_DrainPackets(id, isUnsolicitedOrEmpty, nullptr));
                drained += n;
                if (n > largestDrain) largestDrain = n;
                uint8_t direction = 0, buffer[64];
                size_t length = sizeof buffer;
                for (int k = 0; k < 50 && aLink_PacketDebug_Read(id, &direction, &length, buffer) == aErrNone;
                     k++)
                    length = sizeof buffer;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            if (aLink_Destroy(&id) != aErrNone) failures++;
        }));
    }
    // The resetter: replaces a running link's connection while the others use it.
    workers.push_back(std::async(std::launch::async, [&] {
        unsigned seed = 99;
        while (loading) {
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
            ModulePeer& peer = *peers[rand_r(&seed) % kPeers];
            aLinkRef id = aLink_CreateTCPIP(peer.ip(), peer.port());
            if (id == 0) {
                failures++;
                continue;
            }
            remember(id);
            // Reset only try-locks the link table, which the others keep busy.
            aErr err = aErrBusy;
            for (int attempt = 0; attempt < 200 && err == aErrBusy && loading; attempt++) {
                err = aLink_Reset(id);
                if (err == aErrBusy) std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            if (err == aErrNone)
                resets++;
            else if (err == aErrBusy)
                busyResets++;
            else
                failures++;
            if (aLink_Destroy(&id) != aErrNone) failures++;
        }
    }));

    // The modules misbehave while the load runs.
    Clock::time_point start = Clock::now();
    for (int round = 0; msSince(start) < kLoadMs; round++) {
        flooder.flood(30);
        if (round % 2 == 0) breaker.breakFraming();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    loading = false;
    joinWithin(workers, 60, "a load thread");

    EXPECT_EQ(0, failures.load());
    EXPECT_GT(creations.load(), kCyclers);
    EXPECT_GT(exchanges.load(), 0) << misses.load() << " misses";
    EXPECT_GT(resets.load(), 0) << busyResets.load() << " resets found the table busy throughout";
    EXPECT_GT(drained.load(), 0);
    EXPECT_LE(largestDrain.load(), aPACKETFIFO_LIMIT);

    // Afterwards every module still answers on a new link.
    for (auto& peer : peers) peer->quiet();
    for (auto& peer : peers) {
        aLinkRef id = aLink_CreateTCPIP(peer->ip(), peer->port());
        ASSERT_NE(0u, id);
        remember(id);
        bool answered = false;
        for (int attempt = 0; attempt < 20 && !answered; attempt++)
            answered = exchange(id, peer->address(), 0xEE, static_cast<uint8_t>(attempt), 200);
        EXPECT_TRUE(answered) << "module " << int(peer->address()) << ", link status " << aLink_GetStatus(id);
        EXPECT_EQ(aErrNone, aLink_Destroy(&id));
    }

    // Every link is gone and closed its connection with the stop packet last.
    for (aLinkRef id : ids) EXPECT_EQ(INVALID_LINK_STREAM, aLink_GetStatus(id)) << "link " << id;
    for (auto& peer : peers) {
        EXPECT_TRUE(waitUntil([&] { return peer->openConnections() == 0; }, 5000))
            << peer->openConnections() << " connections of module " << int(peer->address()) << " still open";
        const ModulePeer::Stats& s = peer->stats();
        SCOPED_TRACE(testing::Message() << "module " << int(peer->address()));
        EXPECT_GT(s.accepted.load(), 0);
        EXPECT_EQ(s.accepted.load(), s.closedAfterStop.load());
        EXPECT_EQ(0, s.closedWithoutStop.load());
        EXPECT_EQ(0, s.notStartedFirst.load());
        EXPECT_EQ(0, s.afterStop.load());
        EXPECT_EQ(0, s.strange.load());
        EXPECT_EQ(0, s.wrongBeatAnswers.load());
        EXPECT_GT(s.beatAnswers.load(), 0) << s.beatsSent.load() << " heartbeats sent";
        EXPECT_GT(s.echoes.load(), 0);
    }
    EXPECT_GT(breaker.stats().syncAnswers.load(), 0);
}
