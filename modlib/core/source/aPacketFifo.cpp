#include "aPacketFifo.h"

#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <new>

#define aPACKETFIFO_TAG 0xFEED

namespace {

struct sNode {
    aPacket packet;
    sNode* next;
};

struct packetFifo {
    uint16_t tag = aPACKETFIFO_TAG;
    pthread_mutex_t mutex;
    pthread_cond_t cond;    // broadcast by Put and Destroy
    sNode* head = nullptr;  // guarded by mutex
    sNode* tail = nullptr;  // guarded by mutex
    int64_t count = 0;      // guarded by mutex; -1 once the queue is being destroyed
    uint64_t puts = 0;      // guarded by mutex; packets ever put, so a waiter sees new arrivals

    packetFifo()
    {
        pthread_mutex_init(&mutex, nullptr);
        pthread_condattr_t attr;
        pthread_condattr_init(&attr);
        pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        pthread_cond_init(&cond, &attr);
        pthread_condattr_destroy(&attr);
    }
    ~packetFifo()
    {
        freeAll();
        tag = 0;
        pthread_cond_destroy(&cond);
        pthread_mutex_destroy(&mutex);
    }
    packetFifo(const packetFifo&) = delete;
    packetFifo& operator=(const packetFifo&) = delete;

    // Caller holds mutex.
    void freeAll()
    {
        while (head != nullptr) {
            sNode* next = head->next;
            delete head;
            head = next;
        }
        tail = nullptr;
    }
};

typedef std::shared_ptr<packetFifo> FifoPtr;

// The registry holds one reference per live queue; every operation takes its
// own reference for the duration of the call, so a queue destroyed while a
// thread waits on it is freed only when that waiter has left.
std::mutex sRegistryMutex;
std::map<aPacketFifoRef, FifoPtr>* sRegistry = nullptr;  // guarded by sRegistryMutex; never freed
aPacketFifoRef sNextId = 1;                              // guarded by sRegistryMutex

// The registry mutex is released before the caller takes the queue's mutex.
FifoPtr sLookup(aPacketFifoRef id)
{
    std::lock_guard<std::mutex> lock(sRegistryMutex);
    if (sRegistry == nullptr) return nullptr;
    auto it = sRegistry->find(id);
    if (it == sRegistry->end() || it->second->tag != aPACKETFIFO_TAG) return nullptr;
    return it->second;
}

// Absolute CLOCK_MONOTONIC time timeoutMs from now, nanoseconds carried into
// seconds: pthread_cond_timedwait rejects tv_nsec >= 1e9 with EINVAL, which
// would turn every wait crossing a second boundary into no wait at all.
struct timespec sDeadline(uint64_t timeoutMs)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_sec += static_cast<time_t>(timeoutMs / 1000);
    ts.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

// Caller holds the mutex; the queue is not empty.
aPacket* sPopLocked(packetFifo* q)
{
    sNode* node = q->head;
    q->head = node->next;
    if (q->head == nullptr) q->tail = nullptr;
    q->count--;
    aPacket* packet = aPacket_Copy(&node->packet);
    delete node;
    return packet;
}

// Caller holds the mutex. Unlinks and returns the first node the filter
// accepts (null filter accepts all), or null.
sNode* sUnlinkFirstLocked(packetFifo* q, aPacketFilterProc filter, void* reference)
{
    sNode* prev = nullptr;
    for (sNode* node = q->head; node != nullptr; prev = node, node = node->next) {
        if (filter != nullptr && !filter(&node->packet, reference)) continue;
        if (prev == nullptr)
            q->head = node->next;
        else
            prev->next = node->next;
        if (q->tail == node) q->tail = prev;
        q->count--;
        node->next = nullptr;
        return node;
    }
    return nullptr;
}

aPacket* sTakeNode(sNode* node)
{
    if (node == nullptr) return nullptr;
    aPacket* packet = aPacket_Copy(&node->packet);
    delete node;
    return packet;
}

bool sAcceptAll(const aPacket*, void*)
{
    return true;
}

// Caller holds the mutex.
size_t sDrainLocked(packetFifo* q, aPacketFilterProc filter, void* reference)
{
    size_t removed = 0;
    sNode* node;
    while ((node = sUnlinkFirstLocked(q, filter, reference)) != nullptr) {
        delete node;
        removed++;
    }
    return removed;
}

}  // namespace

aPacketFifoRef aPacketFifo_Create(void)
{
    FifoPtr q(new (std::nothrow) packetFifo);
    if (!q) return 0;
    std::lock_guard<std::mutex> lock(sRegistryMutex);
    if (sRegistry == nullptr) sRegistry = new (std::nothrow) std::map<aPacketFifoRef, FifoPtr>;
    if (sRegistry == nullptr) return 0;
    aPacketFifoRef id = sNextId++;
    (*sRegistry)[id] = q;
    return id;
}

aErr aPacketFifo_Destroy(aPacketFifoRef* id)
{
    if (id == nullptr) return aErrParam;
    FifoPtr q;
    {
        std::lock_guard<std::mutex> lock(sRegistryMutex);
        if (sRegistry != nullptr) {
            auto it = sRegistry->find(*id);
            if (it != sRegistry->end()) {
                q = it->second;
                sRegistry->erase(it);
            }
        }
    }
    if (!q) return aErrNotFound;
    pthread_mutex_lock(&q->mutex);
    q->freeAll();
    q->count = -1;
    pthread_cond_broadcast(&q->cond);
    pthread_mutex_unlock(&q->mutex);
    *id = 0;
    return aErrNone;
}

int64_t aPacketFifo_GetLength(aPacketFifoRef id)
{
    FifoPtr q = sLookup(id);
    if (!q) return 0;
    pthread_mutex_lock(&q->mutex);
    int64_t count = q->count < 0 ? 0 : q->count;
    pthread_mutex_unlock(&q->mutex);
    return count;
}

aErr aPacketFifo_Put(aPacketFifoRef id, const aPacket* packet)
{
    if (packet == nullptr || packet->tag != aPACKET_TAG || packet->dataSize > aPACKET_MAX_DATA)
        return aErrParam;
    FifoPtr q = sLookup(id);
    if (!q) return aErrParam;
    sNode* node = new (std::nothrow) sNode{*packet, nullptr};
    if (node == nullptr) return aErrResource;
    pthread_mutex_lock(&q->mutex);
    if (q->count < 0) {
        pthread_mutex_unlock(&q->mutex);
        delete node;
        return aErrCancel;
    }
    if (q->tail != nullptr)
        q->tail->next = node;
    else
        q->head = node;
    q->tail = node;
    q->count++;
    q->puts++;
    // Every waiter wakes: a filtered waiter that does not want this packet
    // must not absorb the wake-up meant for one that does.
    pthread_cond_broadcast(&q->cond);
    // A queue nobody reads is emptied rather than left to grow.
    if (q->count > aPACKETFIFO_LIMIT) sDrainLocked(q.get(), sAcceptAll, nullptr);
    pthread_mutex_unlock(&q->mutex);
    return aErrNone;
}

aPacket* aPacketFifo_Get(aPacketFifoRef id)
{
    FifoPtr q = sLookup(id);
    if (!q) return nullptr;
    aPacket* packet = nullptr;
    pthread_mutex_lock(&q->mutex);
    if (q->count > 0) packet = sPopLocked(q.get());
    pthread_mutex_unlock(&q->mutex);
    return packet;
}

aPacket* aPacketFifo_Await(aPacketFifoRef id, uint32_t timeoutMs)
{
    FifoPtr q = sLookup(id);
    if (!q) return nullptr;
    aPacket* packet = nullptr;
    pthread_mutex_lock(&q->mutex);
    if (q->count == 0) {
        struct timespec deadline = sDeadline(timeoutMs);
        // Spurious wake-ups wait again, up to the same deadline.
        while (q->count == 0) {
            if (pthread_cond_timedwait(&q->cond, &q->mutex, &deadline) != 0) break;
        }
    }
    if (q->count > 0) packet = sPopLocked(q.get());
    pthread_mutex_unlock(&q->mutex);
    return packet;
}

aPacket* aPacketFifo_GetFirst(aPacketFifoRef id, aPacketFilterProc filter, void* reference)
{
    FifoPtr q = sLookup(id);
    if (!q) return nullptr;
    pthread_mutex_lock(&q->mutex);
    sNode* node = q->count > 0 ? sUnlinkFirstLocked(q.get(), filter, reference) : nullptr;
    pthread_mutex_unlock(&q->mutex);
    return sTakeNode(node);
}

aPacket* aPacketFifo_AwaitFirst(aPacketFifoRef id, aPacketFilterProc filter, void* reference,
                                uint32_t timeoutMs)
{
    FifoPtr q = sLookup(id);
    if (!q) return nullptr;
    struct timespec deadline = sDeadline(timeoutMs);
    sNode* node = nullptr;
    pthread_mutex_lock(&q->mutex);
    // Packets already scanned are not looked at again until another arrives:
    // the wait ends on a new put, the queue's destruction or the deadline.
    while (q->count >= 0) {
        if (q->count > 0) node = sUnlinkFirstLocked(q.get(), filter, reference);
        if (node != nullptr) break;
        uint64_t seen = q->puts;
        int waited = 0;
        while (waited == 0 && q->count >= 0 && q->puts == seen)
            waited = pthread_cond_timedwait(&q->cond, &q->mutex, &deadline);
        if (q->puts == seen) break;
    }
    pthread_mutex_unlock(&q->mutex);
    return sTakeNode(node);
}

size_t aPacketFifo_DrainPackets(aPacketFifoRef id, aPacketFilterProc filter, void* reference)
{
    FifoPtr q = sLookup(id);
    if (!q) return 0;
    pthread_mutex_lock(&q->mutex);
    size_t removed = q->count > 0 ? sDrainLocked(q.get(), filter, reference) : 0;
    pthread_mutex_unlock(&q->mutex);
    return removed;
}
