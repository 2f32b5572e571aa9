#include "aLink.h"

#include <pthread.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <new>

#include "aLinkSpec.h"
#include "aMutex.h"
#include "aPacketFifo.h"
#include "aPacketLog.h"
#include "aStreamPrivate.h"
#include "aTime.h"

#define aLINK_TAG 0xCEED
#define aLINK_STREAM_IDENTIFIER 0xFFFFFFFFu
#define aLINK_RESET_ATTEMPTS 20
#define aLINK_RESET_PAUSE_MS 100
#define aLINK_IO_ERROR_PAUSE_MS 100
#define aLINK_NOT_READY_PAUSE_US 5
#define aLINK_READ_AWAIT_MS 5
#define aLINK_AWAIT_SLICE_MS 10
#define aLINK_START_WAIT_MS 15000
#define aLINK_OUT_AWAIT_MS 5
#define aLINK_OUT_PACING_MS 1
#define aLINK_SYNC_PAUSE_MS 2

// Sync states: 0 in sync; 1 a request is due; 2 request sent, awaiting the
// module's address; 3 awaiting its length 0; 4 awaiting the address again;
// 5 awaiting the second length 0.
#define aLINK_SYNC_IN_SYNC 0
#define aLINK_SYNC_RESTART 1
#define aLINK_SYNC_SENT 2
#define aLINK_SYNC_LENGTH1 3
#define aLINK_SYNC_ADDRESS2 4
#define aLINK_SYNC_LENGTH2 5

namespace {

// Host-side control packets use odd addresses, which no module owns.
const uint8_t kStartPacket[] = {0xAF, 0x01, 0x01};
const uint8_t kStopPacket[] = {0xAF, 0x01, 0x00};
// Six module address queries: whatever the module was in the middle of, it
// ends up answering with two empty packets from its own address.
const uint8_t kSyncRequest[] = {0xAD, 0x00, 0xAD, 0x00, 0xAD, 0x00, 0xAD, 0x00, 0xAD, 0x00, 0xAD, 0x00};

}  // namespace

struct aLink {
    uint16_t tag = 0;
    aLinkRef id = 0;
    std::atomic<bool> running{false};      // set by start, cleared by stop; polled by both pipes
    std::atomic<int32_t> status{STOPPED};  // written by start/stop callers and the in-pipe
    // Replaced only by reset, with the pipes stopped and the table mutex held.
    std::atomic<aPacketFifoRef> inQueue{0};
    std::atomic<aPacketFifoRef> outQueue{0};
    aPacket current = {};  // in-pipe only while running; reset by stop after the join
    // Serialises start and stop by callers (never taken by a pipe thread), so
    // that a start running without the table mutex cannot meet a stop.
    std::mutex lifecycleMutex;
    pthread_t inPipe;   // guarded by lifecycleMutex
    pthread_t outPipe;  // guarded by lifecycleMutex
    // Owned. Set at creation and by reset, with the pipes stopped and the
    // table mutex held. The in-pipe reads it; the out-pipe and the in-pipe
    // (sync requests) write it.
    aStreamRef stream = nullptr;
    std::atomic<int> heartbeat{0};                   // 0 idle, 2 or 3 while answering a beat
    std::atomic<int> syncState{aLINK_SYNC_IN_SYNC};  // in-pipe, read by anyone
    std::atomic<uint8_t> syncAddress{1};             // in-pipe, read by anyone
    // Hooks called on the in-pipe; held while a hook runs so that removing
    // one waits until it has returned.
    std::mutex hookMutex;
    aLinkPacketFilterProc filter = nullptr;     // guarded by hookMutex
    void* filterReference = nullptr;            // guarded by hookMutex
    aLinkHeartbeatProc notification = nullptr;  // guarded by hookMutex
    aMutex* logMutex = nullptr;                 // "LOG_SEMA_%p", lives as long as the link
    aPacketLog* log = nullptr;                  // guarded by logMutex
    int64_t logSize = 0;                        // guarded by logMutex; 0 = default
};

namespace {

struct _linkEntry {
    aLinkRef id;
    uint32_t identifier;  // serial number (USB, serial), IPv4 address (TCP/IP), or 0xFFFFFFFF
    uint32_t port;        // TCP/IP only
    uint32_t type;        // linkType; INVALID for a link on a caller's stream
    int16_t useCount;
    aLink* link;
    _linkEntry* next;
    // True while creation or reset writes the start packet without the table
    // mutex; sharing, destroying and resetting the entry wait for it.
    bool starting;
};

// Guards the table, the use counts, the starting flags and the id counter.
// Creation and reset hold it throughout except while the start packet is
// written: a module that stalls that write must not hold up every other
// link. Every other call holds it only for its lookup. The pipe threads never
// take it.
std::mutex sTableMutex;
std::condition_variable sTableChanged;  // an entry's starting flag cleared
_linkEntry* sTable = nullptr;           // guarded by sTableMutex; new entries at the head
aLinkRef sNextLinkId = 1;               // guarded by sTableMutex

// The link whose pipe runs on this thread, so a stop from a filter can tell.
thread_local aLink* tPipeLink = nullptr;

// Caller holds sTableMutex.
_linkEntry* sFindEntry(aLinkRef id)
{
    if (id == 0) return nullptr;
    for (_linkEntry* e = sTable; e != nullptr; e = e->next)
        if (e->id == id && e->link != nullptr && e->link->tag == aLINK_TAG) return e;
    return nullptr;
}

// Caller holds sTableMutex. Links made on a caller's stream are never shared.
_linkEntry* sFindShared(uint32_t identifier)
{
    for (_linkEntry* e = sTable; e != nullptr; e = e->next)
        if (e->type != INVALID && e->identifier == identifier) return e;
    return nullptr;
}

aLink* sLookup(aLinkRef id)
{
    std::lock_guard<std::mutex> lock(sTableMutex);
    _linkEntry* e = sFindEntry(id);
    return e != nullptr ? e->link : nullptr;
}

void sLogPacket(aLink* link, uint8_t direction, const aPacket* packet)
{
    aMutex_Lock(link->logMutex);
    if (aPacketLog_IsEnabled(link->log)) {
        uint8_t wire[aPACKET_MAX_DATA + 2];
        wire[0] = packet->address;
        wire[1] = packet->dataSize;
        for (uint8_t i = 0; i < packet->dataSize; i++) wire[2 + i] = packet->data[i];
        aPacketLog_Put(link->log, direction, packet->dataSize + 2u, wire);
    }
    aMutex_Unlock(link->logMutex);
}

aErr sWritePacket(aLink* link, const aPacket* packet)
{
    uint8_t wire[aPACKET_MAX_DATA + 2];
    wire[0] = packet->address;
    wire[1] = packet->dataSize;
    for (uint8_t i = 0; i < packet->dataSize && i < aPACKET_MAX_DATA; i++) wire[2 + i] = packet->data[i];
    return aStream_Write(link->stream, wire, packet->dataSize + 2u);
}

aErr sQueueBytes(aPacketFifoRef queue, const uint8_t* wire)
{
    aPacket packet = {};
    packet.tag = aPACKET_TAG;
    packet.address = wire[0];
    packet.dataSize = wire[1];
    for (uint8_t i = 0; i < wire[1]; i++) packet.data[i] = wire[2 + i];
    packet.curSize = static_cast<uint8_t>(wire[1] + 2);
    return aPacketFifo_Put(queue, &packet);
}

// ---- in-pipe ----

void sStartSync(aLink* link)
{
    aTime_MSSleep(aLINK_SYNC_PAUSE_MS);
    link->status = SYNCING;
    link->syncState = aLINK_SYNC_RESTART;
    aPacket_Reset(&link->current);
    if (aStream_Write(link->stream, kSyncRequest, sizeof(kSyncRequest)) == aErrNone)
        link->syncState = aLINK_SYNC_SENT;
}

// The module confirms with two empty packets from its own address:
// address, 0, address, 0. Anything else starts over.
void sSyncByte(aLink* link, uint8_t byte)
{
    int next = aLINK_SYNC_RESTART;
    switch (link->syncState.load()) {
        case aLINK_SYNC_RESTART:
            sStartSync(link);
            return;
        case aLINK_SYNC_SENT:
            if (byte != 0 && (byte & 1) == 0) {
                link->syncAddress = byte;
                next = aLINK_SYNC_LENGTH1;
            }
            break;
        case aLINK_SYNC_LENGTH1:
            if (byte == 0) next = aLINK_SYNC_ADDRESS2;
            break;
        case aLINK_SYNC_ADDRESS2:
            if (byte == link->syncAddress.load()) next = aLINK_SYNC_LENGTH2;
            break;
        case aLINK_SYNC_LENGTH2:
            if (byte == 0) {
                link->syncState = aLINK_SYNC_IN_SYNC;
                link->status = RUNNING;
                return;
            }
            break;
        default:
            break;
    }
    link->syncState = next;
}

aErr sHandlePacket(aLink* link)
{
    aPacket* packet = &link->current;
    sLogPacket(link, aPACKETLOG_RECEIVED, packet);
    {
        std::lock_guard<std::mutex> lock(link->hookMutex);
        if (link->filter != nullptr && link->filter(packet, link->filterReference)) return aErrNone;
    }
    if (packet->dataSize == 2 && packet->data[0] == 0) {
        // Heartbeat request: beat b is answered with (b + 2) mod 256 at once.
        uint8_t answer = static_cast<uint8_t>(packet->data[1] + 2);
        link->heartbeat = answer;
        const uint8_t wire[] = {packet->address, 2, 0, answer};
        aErr err = sQueueBytes(link->outQueue.load(), wire);
        {
            std::lock_guard<std::mutex> lock(link->hookMutex);
            if (link->notification != nullptr) link->notification((answer & 1) != 0);
        }
        link->heartbeat = 0;
        return err;
    }
    return aPacketFifo_Put(link->inQueue.load(), packet);
}

void* sInPipe(void* arg)
{
    aLink* link = static_cast<aLink*>(arg);
    tPipeLink = link;
    link->heartbeat = 0;
    link->status = RUNNING;
    link->syncState = aLINK_SYNC_IN_SYNC;
    link->syncAddress = 1;
    while (link->running.load()) {
        uint8_t byte = 0;
        aErr err = aStream_Read(link->stream, &byte, 1);
        if (err == aErrNotReady) {
            // Waiting on the transport costs nothing while the module is
            // quiet; the short bound keeps a stop prompt. A stream without a
            // readiness operation (one whose get blocks, or a caller's) is
            // polled.
            if (aStream_AwaitReadable(link->stream, aLINK_READ_AWAIT_MS) == aErrMode)
                usleep(aLINK_NOT_READY_PAUSE_US);
            continue;
        }
        if (err != aErrNone) {
            link->status = IO_ERROR;
            // The pause ends early when the link is stopped meanwhile.
            for (int waited = 0; waited < aLINK_IO_ERROR_PAUSE_MS && link->running.load(); waited += 5)
                aTime_MSSleep(5);
            continue;
        }
        // A stop in progress overwrites the status while this pipe still
        // reads; the sync state says whether a synchronisation is under way,
        // so a byte read then is taken as it would be without the stop.
        const int32_t status = link->status.load();
        if (status == SYNCING || (status == STOPPING && link->syncState.load() != aLINK_SYNC_IN_SYNC)) {
            sSyncByte(link, byte);
            continue;
        }
        if (aPacket_AddByte(&link->current, byte) != aErrNone) {
            sStartSync(link);
            continue;
        }
        if (aPacket_IsComplete(&link->current)) {
            if (sHandlePacket(link) != aErrNone) link->status = PACKET_ERROR;
            aPacket_Reset(&link->current);
        }
    }
    tPipeLink = nullptr;
    return nullptr;
}

// ---- out-pipe ----

struct timespec sNow()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

struct timespec sAddMS(struct timespec t, long ms)
{
    t.tv_nsec += ms * 1000000L;
    t.tv_sec += t.tv_nsec / 1000000000L;
    t.tv_nsec %= 1000000000L;
    return t;
}

void sSleepUntil(const struct timespec* deadline)
{
    // Bounded: each interruption resumes towards the same absolute time.
    for (int i = 0; i < 100; i++)
        if (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, deadline, nullptr) != EINTR) return;
}

void* sOutPipe(void* arg)
{
    aLink* link = static_cast<aLink*>(arg);
    tPipeLink = link;
    // The kernel may otherwise let every pacing sleep run up to 50 us long,
    // which on a thousand packets a second is a twentieth of the link.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    aPacketFifoRef queue = link->outQueue.load();
    // Earliest time the next packet may go: a pacing interval after the
    // previous one was handed to the stream, whenever that was, so the module
    // never sees two packets closer than that. Sleeping to an absolute time
    // loses no overshoot to the queue and logging in between, and a packet
    // sent late moves the schedule with it, so the next is never early.
    struct timespec next = sNow();
    while (link->running.load()) {
        aPacket* packet = aPacketFifo_Await(queue, aLINK_OUT_AWAIT_MS);
        if (packet == nullptr) continue;
        sSleepUntil(&next);
        sWritePacket(link, packet);  // a failed write drops the packet
        next = sAddMS(sNow(), aLINK_OUT_PACING_MS);
        sLogPacket(link, aPACKETLOG_SENT, packet);
        aPacket_Destroy(&packet);
    }
    // What is still queued goes out in sStop, once the in-pipe has ended too.
    tPipeLink = nullptr;
    return nullptr;
}

// ---- lifecycle ----

aErr sStart(aLink* link)
{
    std::lock_guard<std::mutex> lifecycle(link->lifecycleMutex);
    if (link->running.load()) return aErrNone;
    if (link->stream == nullptr) return aErrConnection;
    link->status = INITIALIZING;
    link->heartbeat = 0;
    // The start packet must be the first thing the module receives. Queued
    // after the pipes had started, it could be overtaken by a heartbeat answer
    // the in-pipe queued or a sync request it wrote; written here, before
    // either pipe exists, nothing can come before it. The write is bounded by
    // the transport's own retries; a module that does not take it cannot be
    // talked to, so the start fails.
    aPacket start = {};
    start.tag = aPACKET_TAG;
    start.address = kStartPacket[0];
    start.dataSize = kStartPacket[1];
    start.data[0] = kStartPacket[2];
    start.curSize = sizeof(kStartPacket);
    aErr err = sWritePacket(link, &start);
    if (err != aErrNone) {
        link->status = STOPPED;
        return err;
    }
    sLogPacket(link, aPACKETLOG_SENT, &start);
    link->running = true;
    if (pthread_create(&link->inPipe, nullptr, sInPipe, link) != 0) {
        link->running = false;
        link->inPipe = pthread_self();
        link->status = STOPPED;
        return aErrResource;
    }
    if (pthread_create(&link->outPipe, nullptr, sOutPipe, link) != 0) {
        link->running = false;
        pthread_join(link->inPipe, nullptr);
        link->inPipe = link->outPipe = pthread_self();
        link->status = STOPPED;
        return aErrResource;
    }
    return aErrNone;
}

// teardown (destroy, reset, failed creation) joins running pipes whatever the
// status says, so a stop requested from a pipe thread earlier cannot leave
// them running over a freed link.
aErr sStop(aLink* link, bool teardown)
{
    // A pipe thread cannot join itself; the caller's later stop finishes. It
    // never waits for the lifecycle mutex either: its holder may be joining it.
    if (tPipeLink == link) {
        if (link->running.load()) link->status = STOPPING;
        return aErrNone;
    }
    std::lock_guard<std::mutex> lifecycle(link->lifecycleMutex);
    int32_t status = link->status.load();
    if (!teardown && (status == STOPPED || status == STOPPING)) return aErrNone;
    if (!link->running.load()) return aErrNone;  // pipes never started or already joined
    link->status = STOPPING;
    // The stop packet is the last thing the module receives. Queued while the
    // in-pipe still ran, it could be followed by a heartbeat answer or a sync
    // request the in-pipe produced meanwhile, so the in-pipe ends first.
    link->running = false;
    int inResult = pthread_join(link->inPipe, nullptr);
    // Queued now it also wakes an out-pipe waiting on an empty queue. A queue
    // at its limit would drop it with the rest; the out-pipe is busy then
    // anyway, and the packet is written below instead.
    aPacketFifoRef queue = link->outQueue.load();
    bool stopQueued =
        aPacketFifo_GetLength(queue) < aPACKETFIFO_LIMIT && sQueueBytes(queue, kStopPacket) == aErrNone;
    int outResult = pthread_join(link->outPipe, nullptr);
    link->inPipe = link->outPipe = pthread_self();
    // What is still queued goes out unpaced, the stop packet last among it.
    aPacket* packet;
    while ((packet = aPacketFifo_Get(queue)) != nullptr) {
        sWritePacket(link, packet);
        aPacket_Destroy(&packet);
    }
    if (!stopQueued) aStream_Write(link->stream, kStopPacket, sizeof(kStopPacket));
    aPacket_Reset(&link->current);
    link->status = STOPPED;
    link->heartbeat = 0;
    return (inResult != 0 || outResult != 0) ? aErrUnknown : aErrNone;
}

void sDestroyQueues(aLink* link)
{
    aPacketFifoRef in = link->inQueue.exchange(0);
    aPacketFifoRef out = link->outQueue.exchange(0);
    if (in != 0) aPacketFifo_Destroy(&in);
    if (out != 0) aPacketFifo_Destroy(&out);
}

aErr sCreateQueues(aLink* link)
{
    aPacketFifoRef in = aPacketFifo_Create();
    aPacketFifoRef out = aPacketFifo_Create();
    link->inQueue = in;
    link->outQueue = out;
    return (in != 0 && out != 0) ? aErrNone : aErrResource;
}

aErr sInit(aLink* link, aStreamRef stream, aLinkRef id)
{
    link->tag = aLINK_TAG;
    link->id = id;
    link->running = false;
    link->status = stream != nullptr ? STOPPED : INVALID_LINK_STREAM;
    link->inPipe = link->outPipe = pthread_self();
    link->stream = stream;
    link->heartbeat = 0;
    link->current = {};
    link->current.tag = aPACKET_TAG;
    char name[32];
    snprintf(name, sizeof(name), "LOG_SEMA_%p", static_cast<void*>(link));
    link->logMutex = aMutex_Create(name);
    if (link->logMutex == nullptr) return aErrResource;
    return sCreateQueues(link);
}

// The pipes are stopped. Frees everything the link owns; the stream only when
// ownsStream (a caller's stream stays the caller's when creation fails).
void sFreeLink(aLink* link, bool ownsStream)
{
    sDestroyQueues(link);
    if (ownsStream && link->stream != nullptr) aStream_Destroy(&link->stream);
    if (link->log != nullptr) aPacketLog_Destroy(&link->log);
    if (link->logMutex != nullptr) aMutex_Destroy(&link->logMutex);
    link->tag = 0;
    delete link;
}

// Caller holds sTableMutex through lock. Waits (bounded) until find() gives
// no entry or one that is not starting, and returns that; a start may fail
// and take its entry away, so it is not used meanwhile. Null also when the
// wait runs out.
template <typename Find>
_linkEntry* sAwaitStarted(std::unique_lock<std::mutex>& lock, Find find)
{
    _linkEntry* e = nullptr;
    bool settled = sTableChanged.wait_for(lock, std::chrono::milliseconds(aLINK_START_WAIT_MS), [&] {
        e = find();
        return e == nullptr || !e->starting;
    });
    return settled ? e : nullptr;
}

// Caller holds sTableMutex through lock. Makes, starts and enters a new link
// on stream; on failure nothing is left in the table and the stream is
// destroyed only when the link was to be its owner by creation. The start
// runs without the mutex, the entry marked as starting.
aLinkRef sAddLink(std::unique_lock<std::mutex>& lock, uint32_t type, uint32_t identifier, uint32_t port,
                  aStreamRef stream, bool destroyStreamOnFailure)
{
    aLink* link = new (std::nothrow) aLink;
    _linkEntry* entry = new (std::nothrow) _linkEntry;
    if (link == nullptr || entry == nullptr) {
        delete link;
        delete entry;
        if (destroyStreamOnFailure) aStream_Destroy(&stream);
        return 0;
    }
    aLinkRef id = sNextLinkId++;
    if (sNextLinkId == 0) sNextLinkId = 1;
    aErr err = sInit(link, stream, id);
    if (err != aErrNone) {
        sFreeLink(link, destroyStreamOnFailure);
        delete entry;
        return 0;
    }
    *entry = {id, identifier, port, type, 1, link, sTable, true};
    sTable = entry;
    lock.unlock();
    err = sStart(link);
    if (err != aErrNone) sStop(link, true);
    lock.lock();
    entry->starting = false;
    sTableChanged.notify_all();
    if (err == aErrNone) return id;
    for (_linkEntry** p = &sTable; *p != nullptr; p = &(*p)->next) {
        if (*p == entry) {
            *p = entry->next;
            break;
        }
    }
    sFreeLink(link, destroyStreamOnFailure);
    delete entry;
    return 0;
}

// Caller holds sTableMutex through lock. The entry sharing identifier, its
// use count raised, or null when there is none to share.
_linkEntry* sShare(std::unique_lock<std::mutex>& lock, uint32_t identifier)
{
    _linkEntry* shared = sAwaitStarted(lock, [identifier] { return sFindShared(identifier); });
    if (shared != nullptr) shared->useCount++;
    return shared;
}

int sBaudIndex(uint32_t baudRate)
{
    static const uint32_t rates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
    for (int i = 0; i < 8; i++)
        if (rates[i] == baudRate) return i;
    return -1;
}

aErr sRecreateStream(const _linkEntry* entry, aStreamRef* stream)
{
    switch (entry->type) {
        case USB:
            return aStream_CreateUSB(entry->identifier, stream);
        case TCPIP:
            return aStream_CreateSocket(entry->identifier, static_cast<uint16_t>(entry->port), stream);
        default:
            return aErrParam;
    }
}

bool sAlways(const aPacket*, void*)
{
    return true;
}

}  // namespace

aLinkRef aLink_CreateUSB(uint32_t serialNumber)
{
    std::unique_lock<std::mutex> lock(sTableMutex);
    _linkEntry* shared = sShare(lock, serialNumber);
    if (shared != nullptr) return shared->id;
    aStreamRef stream = nullptr;
    if (aStream_CreateUSB(serialNumber, &stream) != aErrNone) return 0;
    return sAddLink(lock, USB, serialNumber, 0, stream, true);
}

aLinkRef aLink_CreateTCPIP(uint32_t ipAddress, uint32_t port)
{
    if (port > 0xFFFF) return 0;
    std::unique_lock<std::mutex> lock(sTableMutex);
    _linkEntry* shared = sShare(lock, ipAddress);
    if (shared != nullptr) return shared->id;
    aStreamRef stream = nullptr;
    if (aStream_CreateSocket(ipAddress, static_cast<uint16_t>(port), &stream) != aErrNone) return 0;
    return sAddLink(lock, TCPIP, ipAddress, port, stream, true);
}

aLinkRef aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate)
{
    int baudIndex = sBaudIndex(baudRate);
    if (baudIndex < 0 || portName == nullptr) return 0;
    std::unique_lock<std::mutex> lock(sTableMutex);
    _linkEntry* shared = sShare(lock, serialNumber);
    if (shared != nullptr) return shared->id;
    aStreamRef stream = nullptr;
    if (aStream_CreateSerial(portName, static_cast<uint32_t>(baudIndex), false, 0, 0, &stream) != aErrNone)
        return 0;
    return sAddLink(lock, SERIAL, serialNumber, 0, stream, true);
}

aLinkRef aLink_Create(aStreamRef stream)
{
    if (!aStream_IsValid(stream)) return 0;
    std::unique_lock<std::mutex> lock(sTableMutex);
    return sAddLink(lock, INVALID, aLINK_STREAM_IDENTIFIER, 0, stream, false);
}

aErr aLink_Destroy(aLinkRef* id)
{
    if (id == nullptr) return aErrParam;
    aLinkRef linkId = *id;
    *id = 0;
    aLink* link = nullptr;
    _linkEntry* entry = nullptr;
    {
        std::unique_lock<std::mutex> lock(sTableMutex);
        // A reset may be writing the start packet; the link is freed after.
        entry = sAwaitStarted(lock, [linkId] { return sFindEntry(linkId); });
        if (entry == nullptr) return aErrParam;
        if (--entry->useCount > 0) return aErrNone;
        for (_linkEntry** p = &sTable; *p != nullptr; p = &(*p)->next) {
            if (*p == entry) {
                *p = entry->next;
                break;
            }
        }
        link = entry->link;
    }
    aErr err = sStop(link, true);
    sFreeLink(link, true);
    delete entry;
    return err;
}

aErr aLink_Start(aLinkRef id)
{
    aLink* link = sLookup(id);
    return link != nullptr ? sStart(link) : aErrParam;
}

aErr aLink_Stop(aLinkRef id)
{
    aLink* link = sLookup(id);
    return link != nullptr ? sStop(link, false) : aErrParam;
}

aErr aLink_Reset(aLinkRef id)
{
    std::unique_lock<std::mutex> lock(sTableMutex, std::try_to_lock);
    if (!lock.owns_lock()) return aErrBusy;
    _linkEntry* entry = sFindEntry(id);
    if (entry == nullptr) return aErrParam;
    // Only transports that can be opened again from the entry are reset; the
    // others would be left dead, so they are not touched.
    if (entry->type != USB && entry->type != TCPIP) return aErrParam;
    if (entry->starting) return aErrBusy;
    aLink* link = entry->link;

    sStop(link, true);
    sDestroyQueues(link);
    if (link->stream != nullptr) aStream_Destroy(&link->stream);

    aStreamRef stream = nullptr;
    aErr err = aErrNone;
    for (int attempt = 0; attempt < aLINK_RESET_ATTEMPTS; attempt++) {
        err = sRecreateStream(entry, &stream);
        if (err == aErrNone) break;
        if (attempt + 1 < aLINK_RESET_ATTEMPTS) aTime_MSSleep(aLINK_RESET_PAUSE_MS);
    }
    if (err != aErrNone) return err;

    err = sCreateQueues(link);
    if (err != aErrNone) {
        sDestroyQueues(link);
        aStream_Destroy(&stream);
        return err;
    }
    // The user filter, the heartbeat notification and the packet log survive
    // a reset; the object layer installed them once for the link's life.
    link->stream = stream;
    link->status = STOPPED;
    link->heartbeat = 0;
    aPacket_Reset(&link->current);
    entry->starting = true;
    lock.unlock();
    err = sStart(link);
    lock.lock();
    entry->starting = false;
    sTableChanged.notify_all();
    return err;
}

linkStatus aLink_GetStatus(aLinkRef id)
{
    aLink* link = sLookup(id);
    return link != nullptr ? static_cast<linkStatus>(link->status.load()) : INVALID_LINK_STREAM;
}

aPacket* aLink_GetPacket(aLinkRef id)
{
    aLink* link = sLookup(id);
    return link != nullptr ? aPacketFifo_Get(link->inQueue.load()) : nullptr;
}

aPacket* aLink_AwaitPacket(aLinkRef id, uint32_t timeoutMs)
{
    aLink* link = sLookup(id);
    return link != nullptr ? aPacketFifo_Await(link->inQueue.load(), timeoutMs) : nullptr;
}

aPacket* aLink_GetFirst(aLinkRef id, aPacketFilterProc filter, void* reference)
{
    aLink* link = sLookup(id);
    return link != nullptr ? aPacketFifo_GetFirst(link->inQueue.load(), filter, reference) : nullptr;
}

size_t aLink_DrainPackets(aLinkRef id, aPacketFilterProc filter, void* reference)
{
    aLink* link = sLookup(id);
    if (link == nullptr) return 0;
    return aPacketFifo_DrainPackets(link->inQueue.load(), filter != nullptr ? filter : sAlways, reference);
}

aPacket* aLink_AwaitFirst(aLinkRef id, aPacketFilterProc filter, void* reference, uint32_t timeoutMs)
{
    aLink* link = sLookup(id);
    if (link == nullptr) return nullptr;
    uint64_t start = aTime_GetMSTicks();
    uint64_t deadline = start + timeoutMs;
    uint64_t now = start;
    aPacket* packet = nullptr;
    // The queue wakes its waiters only for new packets, so the wait goes in
    // short slices: a link that drops (the module went away) ends it within
    // one slice instead of at the deadline.
    while (link->running.load() && link->status.load() == RUNNING && packet == nullptr && now <= deadline) {
        uint64_t slice = deadline - now < aLINK_AWAIT_SLICE_MS ? deadline - now : aLINK_AWAIT_SLICE_MS;
        packet =
            aPacketFifo_AwaitFirst(link->inQueue.load(), filter, reference, static_cast<uint32_t>(slice));
        now = aTime_GetMSTicks();
    }
    return packet;
}

aErr aLink_PutPacket(aLinkRef id, const aPacket* packet)
{
    aLink* link = sLookup(id);
    if (link == nullptr) return aErrParam;
    return aPacketFifo_Put(link->outQueue.load(), packet);
}

aErr aLink_InstallUserPacketFilter(aLinkRef id, aLinkPacketFilterProc filter, void* reference)
{
    aLink* link = sLookup(id);
    if (link == nullptr) return aErrParam;
    std::lock_guard<std::mutex> lock(link->hookMutex);
    link->filter = filter;
    link->filterReference = filter != nullptr ? reference : nullptr;
    return aErrNone;
}

aErr aLink_InstallHeartbeatNotification(aLinkRef id, aLinkHeartbeatProc notification)
{
    aLink* link = sLookup(id);
    if (link == nullptr) return aErrParam;
    std::lock_guard<std::mutex> lock(link->hookMutex);
    link->notification = notification;
    return aErrNone;
}

aErr aLink_PacketDebug_SetLogSize(aLinkRef id, int64_t size)
{
    if (size > aLINK_MAX_LOG_SIZE) return aErrParam;
    aLink* link = sLookup(id);
    if (link == nullptr) return aErrParam;
    aErr err = aErrNone;
    aMutex_Lock(link->logMutex);
    if (link->log != nullptr)
        err = aErrBusy;
    else
        link->logSize = size < 0 ? 0 : size;
    aMutex_Unlock(link->logMutex);
    return err;
}

aErr aLink_PacketDebug_Enable(aLinkRef id)
{
    aLink* link = sLookup(id);
    if (link == nullptr) return aErrParam;
    aErr err = aErrNone;
    aMutex_Lock(link->logMutex);
    if (link->logSize == 0) link->logSize = aLINK_DEFAULT_LOG_SIZE;
    if (link->log == nullptr) link->log = aPacketLog_Create(static_cast<uint32_t>(link->logSize));
    if (link->log == nullptr)
        err = aErrResource;
    else
        aPacketLog_SetEnabled(link->log, true);
    aMutex_Unlock(link->logMutex);
    return err;
}

aErr aLink_PacketDebug_Disable(aLinkRef id)
{
    aLink* link = sLookup(id);
    if (link == nullptr) return aErrParam;
    aErr err = aErrNone;
    aMutex_Lock(link->logMutex);
    if (link->log == nullptr)
        err = aErrNotReady;
    else
        aPacketLog_SetEnabled(link->log, false);
    aMutex_Unlock(link->logMutex);
    return err;
}

aErr aLink_PacketDebug_Read(aLinkRef id, uint8_t* direction, size_t* length, uint8_t* buffer)
{
    aLink* link = sLookup(id);
    if (link == nullptr) return aErrParam;
    aMutex_Lock(link->logMutex);
    aErr err = link->log != nullptr ? aPacketLog_Get(link->log, direction, length, buffer) : aErrNotReady;
    aMutex_Unlock(link->logMutex);
    return err;
}

aErr aLink_PacketDebug_Write(aLinkRef id, uint8_t direction, size_t length, const uint8_t* bytes)
{
    aLink* link = sLookup(id);
    if (link == nullptr) return aErrParam;
    aMutex_Lock(link->logMutex);
    aErr err = link->log != nullptr ? aPacketLog_Put(link->log, direction, length, bytes) : aErrNotReady;
    aMutex_Unlock(link->logMutex);
    return err;
}
