// The link engine under load: links to several modules opened and closed
// from many threads at once, heartbeats at a high rate, a module flooding
// packets past the 20-packet queue limit, a module breaking the framing so
// the link has to re-synchronise, and resets while all of this goes on.
// Bounded in time (a load phase of a fixed length); run in the plain, the
// ASan (leaks) and the TSan (races, lock order) builds.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "ScriptedModule.h"
#include "ScriptedStream.h"
#include "aLink.h"
#include "aPacketFifo.h"

namespace {

using Clock = std::chrono::steady_clock;
using Packet = ScriptedModule::Packet;

// Requests the modules answer with the very same packet.
const uint8_t kEcho = 0x10;
// What a flooding module sends without being asked.
const uint8_t kUnsolicited = 0x21;

const int kModules = 6;
const int kCyclers = 6;
const int kLoadMs = 1500;
const int kBeatMs = 3;

bool matchesEcho(const aPacket* p, void* reference)
{
    const aPacket* request = static_cast<const aPacket*>(reference);
    return p->address == request->address && p->dataSize == 4 && p->data[0] == kEcho &&
           p->data[1] == request->data[1] && p->data[2] == request->data[2];
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
    aPacket request = MakePacket(address, {kEcho, tag, sequence, 0x5A});
    if (aLink_PutPacket(id, &request) != aErrNone) return false;
    aPacket* reply = aLink_AwaitFirst(id, matchesEcho, &request, timeoutMs);
    if (reply == nullptr) return false;
    bool same = reply->data[3] == 0x5A;
    aPacket_Destroy(&reply);
    return same;
}

// Fails the whole test binary when a thread does not come back: a deadlock
// must not hang the run until ctest's time-out.
void joinWithin(std::vector<std::future<void>>& workers, int seconds)
{
    auto deadline = Clock::now() + std::chrono::seconds(seconds);
    for (auto& w : workers) {
        if (w.wait_until(deadline) != std::future_status::ready) {
            fprintf(stderr, "a load thread did not finish within %d s: deadlock in the link engine\n",
                    seconds);
            std::abort();
        }
        w.get();
    }
}

}  // namespace

TEST(LinkLoad, ManyLinksHeartbeatsFloodsResyncsAndResetsStayCorrect)
{
    // Each module on its own loopback address: links are shared by address.
    std::vector<std::unique_ptr<ScriptedModule>> modules;
    std::atomic<int> echoes{0}, unexpected{0};
    for (int i = 0; i < kModules; i++) {
        const uint8_t address = static_cast<uint8_t>(2 + 2 * i);
        modules.emplace_back(new ScriptedModule(address, static_cast<uint8_t>(40 + i), kBeatMs));
        ASSERT_TRUE(modules.back()->Listening()) << "127.0.0." << 40 + i;
        modules.back()->SetResponder([&, address](const Packet& p) {
            if (p.address != address || p.payload.size() < 3 || p.payload[0] != kEcho) {
                unexpected++;
                return std::vector<Packet>{};
            }
            echoes++;
            return std::vector<Packet>{p};
        });
    }
    ScriptedModule& flooder = *modules[0];
    ScriptedModule& breaker = *modules[1];

    std::mutex idsMutex;
    std::set<aLinkRef> ids;
    auto open = [&](const ScriptedModule& m) {
        aLinkRef id = aLink_CreateTCPIP(m.Ip(), m.Port());
        std::lock_guard<std::mutex> lock(idsMutex);
        ids.insert(id);
        return id;
    };
    std::atomic<bool> loading{true};
    std::atomic<int> exchanges{0}, misses{0}, creations{0}, resets{0}, busyResets{0};
    std::atomic<int> drained{0}, largestDrain{0};
    std::atomic<int> failures{0};

    std::vector<std::future<void>> workers;
    // Cyclers: open a link to some module, talk, close it again; links are
    // shared, so these opens and closes overlap on the same links.
    for (int t = 0; t < kCyclers; t++) {
        workers.push_back(std::async(std::launch::async, [&, t] {
            unsigned seed = 7u + static_cast<unsigned>(t);
            uint8_t sequence = 0;
            while (loading) {
                ScriptedModule& m = *modules[rand_r(&seed) % kModules];
                aLinkRef id = open(m);
                if (id == 0) {
                    failures++;
                    continue;
                }
                creations++;
                for (int r = 1 + rand_r(&seed) % 3; r > 0; r--)
                    (exchange(id, m.Address(), static_cast<uint8_t>(t), sequence++, 100) ? exchanges
                                                                                         : misses)++;
                if (aLink_Destroy(&id) != aErrNone || id != 0) failures++;
            }
        }));
    }
    // Holders keep the flooded and the resynchronising module's links open
    // for the whole run, with the packet log on, and empty the unsolicited
    // traffic now and then: the queue never holds more than 20 packets.
    for (ScriptedModule* m : {&flooder, &breaker}) {
        workers.push_back(std::async(std::launch::async, [&, m] {
            aLinkRef id = open(*m);
            if (id == 0 || aLink_PacketDebug_Enable(id) != aErrNone) failures++;
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
            aLinkRef id = open(*modules[rand_r(&seed) % kModules]);
            // Reset only try-locks the link table, which the others keep busy.
            aErr err = id == 0 ? aErrParam : aErrBusy;
            for (int attempt = 0; attempt < 200 && err == aErrBusy && loading; attempt++) {
                err = aLink_Reset(id);
                if (err == aErrBusy) std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            (err == aErrNone ? resets : err == aErrBusy ? busyResets : failures)++;
            if (aLink_Destroy(&id) != aErrNone) failures++;
        }
    }));

    // The modules misbehave while the load runs: 30 unsolicited packets at a
    // time, and a byte no packet can start with (an odd address).
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(kLoadMs);
    for (int round = 0; Clock::now() < end; round++) {
        std::vector<uint8_t> flood;
        for (uint8_t k = 0; k < 30; k++)
            flood.insert(flood.end(), {flooder.Address(), 3, kUnsolicited, k, 0});
        flooder.SendRaw(flood);
        if (round % 2 == 0) breaker.SendRaw({0x01});
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    loading = false;
    joinWithin(workers, 60);

    EXPECT_EQ(0, failures.load());
    EXPECT_GT(creations.load(), kCyclers);
    EXPECT_GT(exchanges.load(), 0) << misses.load() << " misses";
    EXPECT_GT(resets.load(), 0) << busyResets.load() << " resets found the table busy throughout";
    EXPECT_GT(drained.load(), 0);
    EXPECT_LE(largestDrain.load(), aPACKETFIFO_LIMIT);

    // Afterwards every module still answers on a new link.
    for (auto& m : modules) m->Quiet();
    for (auto& m : modules) {
        aLinkRef id = open(*m);
        ASSERT_NE(0u, id);
        bool answered = false;
        for (int attempt = 0; attempt < 20 && !answered; attempt++)
            answered = exchange(id, m->Address(), 0xEE, static_cast<uint8_t>(attempt), 200);
        EXPECT_TRUE(answered) << "module " << int(m->Address()) << ", link status " << aLink_GetStatus(id);
        EXPECT_EQ(aErrNone, aLink_Destroy(&id));
    }

    // Every link is gone and closed its connection with the stop packet last.
    for (aLinkRef id : ids) EXPECT_EQ(INVALID_LINK_STREAM, aLink_GetStatus(id)) << "link " << id;
    EXPECT_EQ(0, unexpected.load());
    EXPECT_GT(echoes.load(), 0);
    for (auto& m : modules) {
        const ScriptedModule::Stats& s = m->stats();
        EXPECT_TRUE(waitUntil([&] { return s.open == 0; }, 5000)) << s.open << " connections still open";
        SCOPED_TRACE(testing::Message() << "module " << int(m->Address()));
        EXPECT_GT(s.accepted.load(), 0);
        EXPECT_EQ(s.accepted.load(), s.closedAfterStop.load());
        EXPECT_EQ(0, s.closedWithoutStop.load());
        EXPECT_EQ(0, s.notStartedFirst.load());
        EXPECT_EQ(0, s.afterStop.load());
        EXPECT_EQ(0, s.strange.load());
        EXPECT_EQ(0, s.wrongBeatAnswers.load());
        EXPECT_GT(s.beatAnswers.load(), 0) << s.beatsSent.load() << " heartbeats sent";
    }
    EXPECT_GT(breaker.stats().queryAnswers.load(), 0);
}
