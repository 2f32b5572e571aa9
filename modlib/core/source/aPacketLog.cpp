#include "aPacketLog.h"

#include <cstdlib>

struct aPacketLog {
    bool enabled;
    uint8_t* buffer;
    uint32_t size;
    uint32_t tail;  // oldest byte
    uint32_t head;  // next free byte
};

namespace {

bool sValid(const aPacketLog* log)
{
    return log != nullptr && log->buffer != nullptr && log->size > 0;
}

uint32_t sUsed(const aPacketLog* log)
{
    return (log->head - log->tail + log->size) % log->size;
}

uint8_t sByteAt(const aPacketLog* log, uint32_t offset)
{
    return log->buffer[(log->tail + offset) % log->size];
}

void sDropOldest(aPacketLog* log)
{
    uint32_t length = sByteAt(log, 1);
    log->tail = (log->tail + 2 + length) % log->size;
}

}  // namespace

aPacketLog* aPacketLog_Create(uint32_t size)
{
    if (size == 0) return nullptr;
    aPacketLog* log = static_cast<aPacketLog*>(calloc(1, sizeof(aPacketLog)));
    if (log == nullptr) return nullptr;
    log->buffer = static_cast<uint8_t*>(malloc(size));
    if (log->buffer == nullptr) {
        free(log);
        return nullptr;
    }
    log->size = size;
    return log;
}

aErr aPacketLog_Put(aPacketLog* log, uint8_t direction, size_t length, const uint8_t* bytes)
{
    if (!sValid(log) || (bytes == nullptr && length > 0)) return aErrParam;
    if (length > 0xFF) return aErrOverrun;
    uint64_t need = length + 2;
    uint32_t freeBytes = log->size - sUsed(log);
    while (need < log->size && need >= freeBytes) {
        sDropOldest(log);
        freeBytes = log->size - sUsed(log);
    }
    if (need >= freeBytes) return aErrOverrun;
    log->buffer[log->head] = direction;
    log->head = (log->head + 1) % log->size;
    log->buffer[log->head] = static_cast<uint8_t>(length);
    log->head = (log->head + 1) % log->size;
    for (size_t i = 0; i < length; i++) {
        log->buffer[log->head] = bytes[i];
        log->head = (log->head + 1) % log->size;
    }
    return aErrNone;
}

aErr aPacketLog_Get(aPacketLog* log, uint8_t* direction, size_t* length, uint8_t* buffer)
{
    if (!sValid(log) || direction == nullptr || length == nullptr) return aErrParam;
    if (sUsed(log) == 0) return aErrNotFound;
    size_t recordLength = sByteAt(log, 1);
    if (recordLength > *length) {
        *length = recordLength;
        return aErrOverrun;
    }
    if (buffer == nullptr && recordLength > 0) return aErrParam;
    *direction = sByteAt(log, 0);
    for (size_t i = 0; i < recordLength; i++) buffer[i] = sByteAt(log, static_cast<uint32_t>(2 + i));
    *length = recordLength;
    log->tail = (log->tail + 2 + static_cast<uint32_t>(recordLength)) % log->size;
    return aErrNone;
}

aErr aPacketLog_SetEnabled(aPacketLog* log, bool enabled)
{
    if (!sValid(log)) return aErrParam;
    log->enabled = enabled;
    return aErrNone;
}

bool aPacketLog_IsEnabled(const aPacketLog* log)
{
    return sValid(log) && log->enabled;
}

aErr aPacketLog_Destroy(aPacketLog** log)
{
    if (log == nullptr || *log == nullptr) return aErrParam;
    free((*log)->buffer);
    free(*log);
    *log = nullptr;
    return aErrNone;
}
