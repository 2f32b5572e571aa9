#include "aStream.h"

#include <cstdlib>
#include <cstring>

#include "aStreamPrivate.h"

#define aSTREAM_TAG 0x4321
#define aSTREAM_PUSHBACK_STEP 512

struct aStream {
    aStreamGetProc get;
    aStreamPutProc put;
    aStreamWriteProc write;
    aStreamDeleteProc del;
    aStreamAwaitProc await;  // optional; set before the stream is shared
    void* reference;
    // Push-back ring buffer, allocated on first use. Reader thread only.
    uint8_t* pushback;
    size_t pushCount;
    size_t pushCapacity;
    size_t pushRead;
    size_t pushWrite;
    uint16_t tag;
};

namespace {

bool sValid(const aStream* stream)
{
    return stream != nullptr && stream->tag == aSTREAM_TAG;
}

bool sPopPushback(aStream* stream, uint8_t* byte)
{
    if (stream->pushCount == 0) return false;
    *byte = stream->pushback[stream->pushRead];
    stream->pushRead = (stream->pushRead + 1) % stream->pushCapacity;
    stream->pushCount--;
    return true;
}

// Grows the ring by one step, moving the held bytes in order to the front.
bool sGrowPushback(aStream* stream)
{
    size_t capacity = stream->pushCapacity + aSTREAM_PUSHBACK_STEP;
    uint8_t* storage = static_cast<uint8_t*>(malloc(capacity));
    if (storage == nullptr) return false;
    for (size_t i = 0; i < stream->pushCount; i++)
        storage[i] = stream->pushback[(stream->pushRead + i) % stream->pushCapacity];
    free(stream->pushback);
    stream->pushback = storage;
    stream->pushRead = 0;
    stream->pushWrite = stream->pushCount;
    stream->pushCapacity = capacity;
    return true;
}

// One byte for a reader: push-back first, then the transport.
aErr sGetByte(aStream* stream, uint8_t* byte)
{
    if (sPopPushback(stream, byte)) return aErrNone;
    return stream->get(byte, stream->reference);
}

aErr sPushBackBytes(aStream* stream, const uint8_t* bytes, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        aErr err = aStreamBufferChar(stream, bytes[i]);
        if (err != aErrNone) return err;
    }
    return aErrNone;
}

}  // namespace

bool aStream_IsValid(aStreamRef stream)
{
    return sValid(stream);
}

aStreamRef aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                          aStreamDeleteProc del, void* reference)
{
    aStream* stream = static_cast<aStream*>(calloc(1, sizeof(aStream)));
    if (stream == nullptr) return nullptr;
    stream->get = get;
    stream->put = put;
    stream->write = write;
    stream->del = del;
    stream->reference = reference;
    stream->tag = aSTREAM_TAG;
    return stream;
}

aErr aStream_SetAwait(aStreamRef stream, aStreamAwaitProc await)
{
    if (!sValid(stream)) return aErrParam;
    stream->await = await;
    return aErrNone;
}

aErr aStream_AwaitReadable(aStreamRef stream, uint32_t timeoutMs)
{
    if (!sValid(stream)) return aErrParam;
    if (stream->pushCount > 0) return aErrNone;
    if (stream->await == nullptr) return aErrMode;
    return stream->await(timeoutMs, stream->reference);
}

aErr aStream_Destroy(aStreamRef* stream)
{
    if (stream == nullptr || !sValid(*stream)) return aErrParam;
    aStream* s = *stream;
    *stream = nullptr;
    aErr err = aErrNone;
    if (s->del != nullptr) err = s->del(s->reference);
    free(s->pushback);
    s->tag = 0;
    free(s);
    return err;
}

aErr aStreamBufferChar(aStreamRef stream, uint8_t byte)
{
    if (!sValid(stream)) return aErrParam;
    if (stream->pushback == nullptr) {
        stream->pushback = static_cast<uint8_t*>(malloc(aSTREAM_PUSHBACK_STEP));
        if (stream->pushback == nullptr) return aErrMemory;
        stream->pushCapacity = aSTREAM_PUSHBACK_STEP;
        stream->pushCount = stream->pushRead = stream->pushWrite = 0;
    }
    // One slot always stays free so a full ring never looks empty.
    if (stream->pushCount >= stream->pushCapacity - 1 && !sGrowPushback(stream)) return aErrMemory;
    stream->pushback[stream->pushWrite] = byte;
    stream->pushWrite = (stream->pushWrite + 1) % stream->pushCapacity;
    stream->pushCount++;
    return aErrNone;
}

aErr aStream_Read(aStreamRef stream, uint8_t* buffer, size_t n)
{
    if (!sValid(stream) || buffer == nullptr) return aErrParam;
    if (stream->get == nullptr) return aErrMode;
    if (n == 1) return sGetByte(stream, buffer);

    uint8_t small[64];
    uint8_t* bytes = n <= sizeof(small) ? small : static_cast<uint8_t*>(malloc(n));
    if (bytes == nullptr) return aErrMemory;
    size_t got = 0;
    aErr err = aErrNone;
    while (got < n) {
        err = sGetByte(stream, &bytes[got]);
        if (err != aErrNone) break;
        got++;
    }
    if (err == aErrNone || err == aErrEOF) {
        if (got > 0) memcpy(buffer, bytes, got);
    } else if (err == aErrNotReady && got > 0) {
        // The push-back buffer was drained before the transport was asked,
        // so appending keeps the bytes in their original order.
        aErr pushErr = sPushBackBytes(stream, bytes, got);
        if (pushErr != aErrNone) err = pushErr;
    }
    if (bytes != small) free(bytes);
    return err;
}

aErr aStream_Write(aStreamRef stream, const uint8_t* bytes, size_t n)
{
    if (!sValid(stream)) return aErrParam;
    if (stream->put == nullptr && stream->write == nullptr) return aErrMode;
    if (bytes == nullptr) return aErrParam;
    if (n == 0) return aErrNone;
    if (stream->write != nullptr && (n > 1 || stream->put == nullptr))
        return stream->write(bytes, n, stream->reference);
    for (size_t i = 0; i < n; i++) {
        aErr err = stream->put(bytes[i], stream->reference);
        if (err != aErrNone) return err;
    }
    return aErrNone;
}

aErr aStream_ReadRecord(aStreamRef stream, uint8_t* buffer, size_t* length, size_t maxLength,
                        const uint8_t* terminator, size_t terminatorLength)
{
    if (!sValid(stream)) return aErrParam;
    if (buffer == nullptr || terminator == nullptr || terminatorLength == 0) return aErrParam;
    if (stream->get == nullptr) return aErrMode;

    uint8_t* stored = maxLength > 0 ? static_cast<uint8_t*>(malloc(maxLength)) : nullptr;
    if (maxLength > 0 && stored == nullptr) return aErrMemory;
    size_t count = 0;
    size_t matched = 0;
    aErr err = aErrNone;
    while (count < maxLength && matched < terminatorLength) {
        uint8_t byte = 0;
        err = sGetByte(stream, &byte);
        if (err != aErrNone) break;
        if (byte == terminator[matched])
            matched++;
        else
            stored[count++] = byte;
    }
    if (err == aErrEOF && count > 0) err = aErrNone;
    if (err == aErrNotReady) {
        aErr pushErr = sPushBackBytes(stream, stored, count);
        if (pushErr != aErrNone) err = pushErr;
    } else if (err == aErrNone) {
        if (count > 0) memcpy(buffer, stored, count);
        if (length != nullptr) *length = count;
    }
    free(stored);
    return err;
}

aErr aStream_WriteRecord(aStreamRef stream, const uint8_t* bytes, size_t n, const uint8_t* terminator,
                         size_t terminatorLength)
{
    if (!sValid(stream)) return aErrParam;
    if ((bytes == nullptr && n > 0) || (terminator == nullptr && terminatorLength > 0)) return aErrParam;
    aErr err = n > 0 ? aStream_Write(stream, bytes, n) : aErrNone;
    if (err == aErrNone && terminatorLength > 0) err = aStream_Write(stream, terminator, terminatorLength);
    return err;
}

aErr aStream_ReadCString(aStreamRef stream, char* buffer, size_t size)
{
    if (buffer == nullptr || size == 0) return aErrParam;
    static const uint8_t nul = 0;
    size_t length = 0;
    aErr err = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &length, size - 1, &nul, 1);
    buffer[err == aErrNone ? length : 0] = '\0';
    return err;
}

aErr aStream_WriteCString(aStreamRef stream, const char* text)
{
    if (text == nullptr) return aErrParam;
    return aStream_Write(stream, reinterpret_cast<const uint8_t*>(text), strlen(text) + 1);
}

aErr aStream_ReadCStringRecord(aStreamRef stream, char* buffer, size_t size, const char* terminatorText)
{
    if (buffer == nullptr || size == 0 || terminatorText == nullptr) return aErrParam;
    size_t length = 0;
    aErr err = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &length, size - 1,
                                  reinterpret_cast<const uint8_t*>(terminatorText), strlen(terminatorText));
    buffer[err == aErrNone ? length : 0] = '\0';
    return err;
}

aErr aStream_WriteCStringRecord(aStreamRef stream, const char* text, const char* terminatorText)
{
    if (text == nullptr || terminatorText == nullptr) return aErrParam;
    return aStream_WriteRecord(stream, reinterpret_cast<const uint8_t*>(text), strlen(text),
                               reinterpret_cast<const uint8_t*>(terminatorText), strlen(terminatorText) + 1);
}

aErr aStream_Flush(aStreamRef source, aStreamRef destination)
{
    if (!sValid(source) || !sValid(destination)) return aErrParam;
    if (source->get == nullptr || destination->put == nullptr) return aErrMode;
    for (;;) {
        uint8_t byte = 0;
        aErr err = sGetByte(source, &byte);
        if (err == aErrEOF) return aErrNone;
        if (err != aErrNone) return err;
        err = destination->put(byte, destination->reference);
        if (err != aErrNone) return err;
    }
}
