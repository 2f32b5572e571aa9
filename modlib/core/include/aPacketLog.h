#ifndef KS_APACKETLOG_H
#define KS_APACKETLOG_H

#include <cstddef>
#include <cstdint>

#include "aError.h"

// Byte ring buffer of records: direction byte, length byte, then length
// bytes. The buffer never becomes completely full, so a record of n bytes
// needs more than n + 2 free bytes; older records are dropped to make room.
// No lock of its own: the owner serialises every call.
typedef struct aPacketLog aPacketLog;

#define aPACKETLOG_SENT 1      // wire bytes sent by the host
#define aPACKETLOG_RECEIVED 2  // wire bytes received from the module
#define aPACKETLOG_NOTE 3      // a text note

// New empty, disabled log with a buffer of size bytes; null for size 0 or no
// memory.
aPacketLog* aPacketLog_Create(uint32_t size);

// Appends a record, dropping the oldest ones while it does not fit.
// aErrOverrun when it cannot fit even in an empty log (length + 2 >= size,
// or length above 255); aErrParam for an invalid log or null bytes.
aErr aPacketLog_Put(aPacketLog* log, uint8_t direction, size_t length, const uint8_t* bytes);

// Removes the oldest record into buffer. On entry *length is the buffer's
// capacity; on return the record's length. aErrNotFound when empty;
// aErrOverrun (nothing removed, *length = the record's length) when the record
// is longer than the capacity.
aErr aPacketLog_Get(aPacketLog* log, uint8_t* direction, size_t* length, uint8_t* buffer);

// Enabled flag, kept for the owner (the link logs only while it is set).
aErr aPacketLog_SetEnabled(aPacketLog* log, bool enabled);
bool aPacketLog_IsEnabled(const aPacketLog* log);

// Frees *log and clears the pointer; aErrParam for null.
aErr aPacketLog_Destroy(aPacketLog** log);

#endif
