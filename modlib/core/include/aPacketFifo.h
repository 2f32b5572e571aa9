#ifndef KS_APACKETFIFO_H
#define KS_APACKETFIFO_H

#include <cstddef>
#include <cstdint>

#include "aError.h"
#include "aPacket.h"

// Thread-safe packet queues named by 64-bit ids (counted from 1; 0 is never
// a queue). Each queue has its own mutex and condition variable; a global
// registry maps ids to queues. A queue holds at most aPACKETFIFO_LIMIT
// packets: the put that exceeds it empties the queue, the new packet
// included. A packet returned by a get is a new record the caller destroys
// with aPacket_Destroy. Timed waits run on CLOCK_MONOTONIC. A null filter
// accepts every packet; filters run with the queue locked and must not call
// the queue functions.
typedef uint64_t aPacketFifoRef;

#define aPACKETFIFO_LIMIT 20

// New empty queue; returns its id, or 0 when memory runs out.
aPacketFifoRef aPacketFifo_Create(void);

// Removes the queue from the registry, frees its packets, wakes every waiter
// (they return null) and clears *id. aErrNotFound for an unknown id,
// aErrParam for a null pointer.
aErr aPacketFifo_Destroy(aPacketFifoRef* id);

// Number of queued packets; 0 for an unknown id.
int64_t aPacketFifo_GetLength(aPacketFifoRef id);

// Appends a copy of packet and wakes the waiters, then applies the limit.
// aErrParam for an unknown queue or invalid packet, aErrCancel while the
// queue is being destroyed, aErrResource when out of memory.
aErr aPacketFifo_Put(aPacketFifoRef id, const aPacket* packet);

// Removes and returns the oldest packet; null when empty or unknown.
aPacket* aPacketFifo_Get(aPacketFifoRef id);

// As Get, but an empty queue is waited on until timeoutMs have passed.
// Null when still empty, unknown, or destroyed while waiting.
aPacket* aPacketFifo_Await(aPacketFifoRef id, uint32_t timeoutMs);

// Removes and returns the oldest packet the filter accepts; null if none.
aPacket* aPacketFifo_GetFirst(aPacketFifoRef id, aPacketFilterProc filter, void* reference);

// Waits up to timeoutMs (CLOCK_MONOTONIC) for a packet the filter accepts,
// which is removed and returned; packets it does not accept stay queued in
// order. Null on time-out, for an unknown queue, or when the queue is
// destroyed meanwhile. The queue is scanned again only when a packet arrives.
aPacket* aPacketFifo_AwaitFirst(aPacketFifoRef id, aPacketFilterProc filter, void* reference,
                                uint32_t timeoutMs);

// Removes and frees every packet the filter accepts; returns how many (0 for
// an unknown queue).
size_t aPacketFifo_DrainPackets(aPacketFifoRef id, aPacketFilterProc filter, void* reference);

#endif
