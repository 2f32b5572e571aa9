#ifndef KS_ASTREAM_H
#define KS_ASTREAM_H

#include <cstddef>
#include <cstdint>

#include "aError.h"

// A byte stream: four transport operations on a transport record (the
// reference) plus a push-back buffer for bytes a reader could not use yet.
// A stream has no lock: one reader thread (the only user of the push-back
// buffer) and writers that the transport tolerates.
typedef struct aStream aStream;
typedef aStream* aStreamRef;

// Transport operations. get answers aErrNotReady when no byte is available
// now; delete frees the transport record.
typedef aErr (*aStreamGetProc)(uint8_t* byte, void* reference);
typedef aErr (*aStreamPutProc)(uint8_t byte, void* reference);
typedef aErr (*aStreamWriteProc)(const uint8_t* bytes, size_t count, void* reference);
typedef aErr (*aStreamDeleteProc)(void* reference);
// Readiness: returns aErrNone once a get may find a byte (or an error to
// report), aErrNotReady when timeoutMs pass without one.
typedef aErr (*aStreamAwaitProc)(uint32_t timeoutMs, void* reference);

// New stream over the given operations (any may be null); null when memory
// runs out. The stream owns nothing until destroyed, when delete is called.
aStreamRef aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                          aStreamDeleteProc del, void* reference);

// Gives the stream a readiness operation (null removes it). Only a stream
// whose get answers at once needs one; aErrParam for an invalid stream.
aErr aStream_SetAwait(aStreamRef stream, aStreamAwaitProc await);

// Waits at most timeoutMs until a read may find a byte: aErrNone at once when
// pushed-back bytes wait, else the readiness operation's answer; aErrMode
// without one (the caller paces its own polling then).
aErr aStream_AwaitReadable(aStreamRef stream, uint32_t timeoutMs);

// Calls delete(reference), frees the record and clears *stream; returns
// delete's result (aErrNone without delete). aErrParam for an invalid stream.
aErr aStream_Destroy(aStreamRef* stream);

// Reads exactly n bytes, all or nothing. When the transport runs dry
// (aErrNotReady) the bytes already taken are pushed back and buffer is left
// untouched. On aErrEOF the bytes read so far are copied; any other error
// loses them. aErrMode without a get operation.
aErr aStream_Read(aStreamRef stream, uint8_t* buffer, size_t n);

// Writes n bytes: one write call when the stream has write and n > 1, else
// put per byte stopping at the first error (write serves single bytes when
// put is absent). aErrMode with neither, aErrParam for null bytes.
aErr aStream_Write(aStreamRef stream, const uint8_t* bytes, size_t n);

// Appends one byte to the push-back buffer; it is read back before any new
// transport byte. aErrMemory when the buffer cannot grow.
aErr aStreamBufferChar(aStreamRef stream, uint8_t byte);

// Reads one record into buffer (capacity maxLength): bytes equal to the next
// expected terminator byte advance the match and are not stored (other bytes
// do not reset the match); the record ends when the whole terminator has
// matched or maxLength bytes are stored. aErrEOF after at least one stored
// byte ends the record successfully. aErrNotReady pushes the stored bytes
// back. *length (optional) receives the stored count on success. aErrParam
// for a null buffer, null terminator or empty terminator.
aErr aStream_ReadRecord(aStreamRef stream, uint8_t* buffer, size_t* length, size_t maxLength,
                        const uint8_t* terminator, size_t terminatorLength);

// Writes n bytes followed by the terminator.
aErr aStream_WriteRecord(aStreamRef stream, const uint8_t* bytes, size_t n, const uint8_t* terminator,
                         size_t terminatorLength);

// Reads a record ended by a NUL byte, at most size - 1 bytes, stored
// NUL-terminated. aErrParam for a null buffer or size 0.
aErr aStream_ReadCString(aStreamRef stream, char* buffer, size_t size);

// Writes the text and its NUL byte.
aErr aStream_WriteCString(aStreamRef stream, const char* text);

// Reads a record ended by terminatorText (at most size - 1 bytes), stored
// NUL-terminated.
aErr aStream_ReadCStringRecord(aStreamRef stream, char* buffer, size_t size, const char* terminatorText);

// Writes the text without its NUL, then terminatorText with its NUL.
aErr aStream_WriteCStringRecord(aStreamRef stream, const char* text, const char* terminatorText);

// Copies bytes one at a time from source to destination until the source
// reports an error: aErrEOF ends with aErrNone, any other source error (also
// aErrNotReady) or a destination error is returned. aErrMode when source has
// no get or destination no put.
aErr aStream_Flush(aStreamRef source, aStreamRef destination);

// ---- Transports. Each constructor sets *stream to null first. ----

// File opened for reading; get gives aErrEOF at its end. aErrResource when
// the file cannot be opened.
aErr aStream_CreateFileInput(const char* path, aStreamRef* stream);

// File opened (truncated) for writing; put and write. aErrResource on failure.
aErr aStream_CreateFileOutput(const char* path, aStreamRef* stream);

// Serial port in raw mode. baudIndex 0..7 = 2400, 4800, 9600, 19200, 38400,
// 57600, 115200, 230400; parity true = even parity; dataBits 0 = 8 bits,
// 1 = 7 bits; stopBits 0 = one, 1 = two. aErrParam for other values (the port
// is not opened); aErrNotFound / aErrPermission / aErrIO from the open;
// aErrIO when the settings cannot be applied. Reads never block; readiness
// polls the port. Destroying the stream restores the settings found at open.
aErr aStream_CreateSerial(const char* portPath, uint32_t baudIndex, bool parity, uint8_t dataBits,
                          uint8_t stopBits, aStreamRef* stream);

// TCP client connected at once to ipAddress (IPv4, network byte order as in
// sockaddr_in) and port (host order); aErrResource on any failure. The
// stream reconnects by itself on reset-type errors and when the peer closes
// its side (a failed reconnect is aErrConnection). Reads never block;
// readiness polls the socket; a write that still has bytes after 10 failed
// attempts gives aErrIO.
aErr aStream_CreateSocket(uint32_t ipAddress, uint16_t port, aStreamRef* stream);

// Module on USB by serial number: the kernel driver node when present, else
// libusb. aErrParam for serial number 0, aErrResource when no USB record can
// be made, else the open's error (aErrNotFound, aErrBusy, aErrPermission,
// aErrConfiguration, aErrIO, ...).
aErr aStream_CreateUSB(uint32_t serialNumber, aStreamRef* stream);

#endif
