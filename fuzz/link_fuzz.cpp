// The link engine's framing and sync: one real link per input on a scripted
// stream, checked against a model of the in-pipe (inbound queue and its
// limit, heartbeat answers, sync requests, status, packet log, start and stop
// packets on the wire). Input: byte 0 options: bit 0 packet log, bit 1 user
// filter, bit 2 first sync requests fail to write, bit 3 restart once the
// bytes before the split are taken, bit 4 restart while bytes still come,
// bit 5 bytes before the split waiting before the link is created (no filter
// or log then); byte 1 log size (bit 0) or failing syncs (bit 2); byte 2 the
// command the filter consumes; byte 3 the split; the rest the module's bytes.
#include <algorithm>
#include <atomic>
#include <vector>

#include "FuzzSupport.h"
#include "ScriptedStream.h"
#include "aLink.h"

namespace {

typedef std::vector<uint8_t> Bytes;

const uint8_t kSyncRequest[12] = {0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0};
// Bounded waits for the pipes (real time).
const int kWaitMs = 10000;
const size_t kQueueLimit = 20;

std::atomic<int> gBeats{0};
void CountBeat(bool)
{
    gBeats++;
}

uint8_t gFilterCommand = 0;
std::atomic<int> gFiltered{0};
bool ConsumeCommand(const aPacket* packet, void*)
{
    if (packet->dataSize >= 1 && packet->data[0] == gFilterCommand) {
        gFiltered++;
        return true;
    }
    return false;
}

// The in-pipe as the protocol describes it.
struct Model {
    linkStatus status = RUNNING;
    int sync = 0;
    uint8_t syncAddress = 1;
    Bytes current;          // wire bytes of the packet being framed
    unsigned dataSize = 0;  // once the length byte is in
    long failingSyncs = 0;
    bool filter = false;
    uint8_t filterCommand = 0;

    std::vector<Bytes> received;  // every complete packet
    std::vector<Bytes> inbound;   // what the inbound queue holds
    std::vector<Bytes> answers;   // heartbeat answers queued
    int syncRequests = 0;         // written successfully
    int filtered = 0;

    void Restart()
    {
        status = RUNNING;
        sync = 0;
        syncAddress = 1;
        current.clear();
    }

    void StartSync()
    {
        status = SYNCING;
        sync = 1;
        current.clear();
        if (failingSyncs > 0) {
            failingSyncs--;
            return;
        }
        syncRequests++;
        sync = 2;
    }

    void SyncByte(uint8_t b)
    {
        int next = 1;
        switch (sync) {
            case 1:
                StartSync();
                return;
            case 2:
                if (b != 0 && (b & 1) == 0) {
                    syncAddress = b;
                    next = 3;
                }
                break;
            case 3:
                if (b == 0) next = 4;
                break;
            case 4:
                if (b == syncAddress) next = 5;
                break;
            case 5:
                if (b == 0) {
                    sync = 0;
                    status = RUNNING;
                    return;
                }
                break;
        }
        sync = next;
    }

    void Handle()
    {
        received.push_back(current);
        if (filter && current.size() >= 3 && current[2] == filterCommand) {
            filtered++;
            return;
        }
        if (current.size() == 4 && current[2] == 0) {
            answers.push_back({current[0], 2, 0, uint8_t(current[3] + 2)});
            return;
        }
        inbound.push_back(current);
        if (inbound.size() > kQueueLimit) inbound.clear();
    }

    void Byte(uint8_t b)
    {
        if (status == SYNCING) {
            SyncByte(b);
            return;
        }
        bool ok;
        if (current.empty()) {
            ok = b != 0 && (b & 1) == 0;
        } else if (current.size() == 1) {
            ok = b <= 28;
            dataSize = b;
        } else {
            ok = current.size() < dataSize + 2;
        }
        if (!ok) {
            StartSync();
            return;
        }
        current.push_back(b);
        if (current.size() >= 2 && current.size() == dataSize + 2) {
            Handle();
            current.clear();
        }
    }
};

// The host's bytes on the wire: start and stop packets, sync requests and
// heartbeat answers (kept whole), nothing else.
enum Kind { kStartPacket, kStopPacket, kSync, kAnswer };
std::vector<Kind> ParseWritten(const Bytes& w, std::vector<Bytes>& answers)
{
    std::vector<Kind> kinds;
    size_t i = 0;
    while (i < w.size()) {
        if (w[i] == 0xAF && i + 3 <= w.size() && w[i + 1] == 1 && w[i + 2] <= 1) {
            kinds.push_back(w[i + 2] == 1 ? kStartPacket : kStopPacket);
            i += 3;
        } else if (w[i] == 0xAD && i + 12 <= w.size() &&
                   Bytes(w.begin() + i, w.begin() + i + 12) == Bytes(kSyncRequest, kSyncRequest + 12)) {
            kinds.push_back(kSync);
            i += 12;
        } else if (w[i] != 0 && (w[i] & 1) == 0 && i + 4 <= w.size() && w[i + 1] == 2 && w[i + 2] == 0) {
            kinds.push_back(kAnswer);
            answers.push_back(Bytes(w.begin() + i, w.begin() + i + 4));
            i += 4;
        } else {
            FUZZ_FAIL("unexpected bytes written to the module");
        }
    }
    return kinds;
}

bool IsSubsequence(const std::vector<Bytes>& part, const std::vector<Bytes>& whole)
{
    size_t j = 0;
    for (size_t i = 0; i < whole.size() && j < part.size(); i++)
        if (whole[i] == part[j]) j++;
    return j == part.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4) return 0;
    const uint8_t options = data[0];
    const bool waiting = options & 32;
    const bool logPackets = (options & 1) && !waiting, filter = (options & 2) && !waiting;
    const bool failSyncs = options & 4, stopWhileComing = options & 16;
    const bool restart = (options & 8) || stopWhileComing;
    const Bytes bytes(data + 4, data + size);
    const size_t split = (restart || waiting) ? bytes.size() * data[3] / 256 : bytes.size();

    Model model;
    model.filter = filter;
    model.filterCommand = gFilterCommand = data[2];
    model.failingSyncs = failSyncs ? data[1] % 8 : 0;
    gBeats = 0;
    gFiltered = 0;

    ScriptedStream transport;
    if (failSyncs) transport.failWritesStartingWith(0xAD, model.failingSyncs);
    size_t fed = 0;
    if (waiting) {
        transport.feed(bytes.data(), split);
        fed = split;
    }
    aStreamRef stream = transport.create();
    aLinkRef id = aLink_Create(stream);
    FUZZ_CHECK(id != 0);
    FUZZ_CHECK(aLink_InstallHeartbeatNotification(id, CountBeat) == aErrNone);
    if (filter) FUZZ_CHECK(aLink_InstallUserPacketFilter(id, ConsumeCommand, nullptr) == aErrNone);
    const int64_t logSize = 8 + (data[1] & 0x3F);
    if (logPackets) {
        FUZZ_CHECK(aLink_PacketDebug_SetLogSize(id, logSize) == aErrNone);
        FUZZ_CHECK(aLink_PacketDebug_Enable(id) == aErrNone);
    }
    // A link on a caller's stream cannot be re-created.
    FUZZ_CHECK(aLink_Reset(id) == aErrParam);

    if (stopWhileComing) {
        // The stop lands wherever the in-pipe has got to; the rest waits.
        transport.feed(bytes.data() + fed, bytes.size() - fed);
        FUZZ_CHECK(aLink_Stop(id) == aErrNone);
        size_t taken = transport.consumed();
        for (size_t i = 0; i < taken; i++) model.Byte(bytes[i]);
        FUZZ_CHECK(aLink_GetStatus(id) == STOPPED);
        FUZZ_CHECK(aLink_Start(id) == aErrNone);
        model.Restart();
        transport.feed(nullptr, 0);
        for (size_t i = taken; i < bytes.size(); i++) model.Byte(bytes[i]);
        if (!transport.waitForDrained(kWaitMs)) FUZZ_FAIL("the in-pipe stopped taking bytes");
    } else {
        transport.feed(bytes.data() + fed, split - fed);
        for (size_t i = 0; i < split; i++) model.Byte(bytes[i]);
        if (!transport.waitForDrained(kWaitMs)) FUZZ_FAIL("the in-pipe stopped taking bytes");
        if (restart) {
            FUZZ_CHECK(aLink_GetStatus(id) == model.status);
            FUZZ_CHECK(aLink_Stop(id) == aErrNone);
            FUZZ_CHECK(aLink_GetStatus(id) == STOPPED);
            FUZZ_CHECK(aLink_Start(id) == aErrNone);
            model.Restart();
        }
        transport.feed(bytes.data() + split, bytes.size() - split);
        for (size_t i = split; i < bytes.size(); i++) model.Byte(bytes[i]);
        if (!transport.waitForDrained(kWaitMs)) FUZZ_FAIL("the in-pipe stopped taking bytes");
    }
    FUZZ_CHECK(aLink_GetStatus(id) == model.status);
    // Waiting heartbeats may be answered before the notification is installed.
    FUZZ_CHECK(waiting ? gBeats <= int(model.answers.size()) : gBeats == int(model.answers.size()));
    FUZZ_CHECK(gFiltered == model.filtered);

    // The inbound queue holds exactly the model's packets.
    std::vector<Bytes> inbound;
    while (aPacket* p = aLink_GetPacket(id)) {
        inbound.push_back(WireBytes(p));
        aPacket_Destroy(&p);
    }
    FUZZ_CHECK(inbound == model.inbound);

    if (logPackets) {
        // The out-pipe may still be logging heartbeat answers, and one that
        // needs room while the log is read drops a record not yet read; a
        // stopped link logs nothing more.
        FUZZ_CHECK(aLink_Stop(id) == aErrNone);
        // Oldest records drop first: the newest of those that fit remain.
        std::vector<Bytes> fitting, logged;
        for (const Bytes& r : model.received)
            if (int64_t(r.size()) + 2 < logSize) fitting.push_back(r);
        uint8_t direction = 0;
        uint8_t buffer[64];
        size_t length = sizeof buffer;
        while (aLink_PacketDebug_Read(id, &direction, &length, buffer) == aErrNone) {
            FUZZ_CHECK(direction == 1 || direction == 2);
            if (direction == 2) logged.push_back(Bytes(buffer, buffer + length));
            length = sizeof buffer;
        }
        FUZZ_CHECK(logged.size() <= fitting.size());
        FUZZ_CHECK(std::equal(logged.begin(), logged.end(), fitting.end() - logged.size()));
    }

    FUZZ_CHECK(aLink_Destroy(&id) == aErrNone && id == 0);

    std::vector<Bytes> answers;
    std::vector<Kind> kinds = ParseWritten(transport.written(), answers);
    const size_t runs = restart ? 2 : 1;
    FUZZ_CHECK(size_t(std::count(kinds.begin(), kinds.end(), kStartPacket)) == runs);
    FUZZ_CHECK(size_t(std::count(kinds.begin(), kinds.end(), kStopPacket)) == runs);
    FUZZ_CHECK(!kinds.empty());
    FUZZ_CHECK(kinds.front() == kStartPacket);
    FUZZ_CHECK(kinds.back() == kStopPacket);
    if (restart) {
        auto stop = std::find(kinds.begin(), kinds.end(), kStopPacket);
        FUZZ_CHECK(stop + 1 != kinds.end() && stop[1] == kStartPacket);
    }
    FUZZ_CHECK(std::count(kinds.begin(), kinds.end(), kSync) == model.syncRequests);
    FUZZ_CHECK(IsSubsequence(answers, model.answers));
    // Only heartbeat answers use the outbound queue: up to 20 are never lost.
    if (model.answers.size() <= kQueueLimit) FUZZ_CHECK(answers == model.answers);
    return 0;
}
