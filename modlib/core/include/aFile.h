#ifndef KS_AFILE_H
#define KS_AFILE_H

#include <cstddef>
#include <cstdint>

#include "aError.h"

// Longest path the file functions accept.
#define aFILE_MAX_PATH 4096

typedef int32_t aFileMode;
#define aFileModeReadOnly 0   // "rb"
#define aFileModeWriteOnly 1  // "wb"
#define aFileModeAppend 2     // "ab+", positioned at the end
#define aFileModeUnknown 3    // rejected

#define aSeekStart 0
#define aSeekCurrent 1
#define aSeekEnd 2

// Opaque file record; validity tag 0xFEED.
typedef struct aUnixFile aUnixFile;
typedef aUnixFile aFileRef;

// True when path is given, at most 4096 characters, exists and is not a
// directory.
bool aFile_Exists(const char* path);

// Opens path in the given mode; returns a new record (close with aFile_Close)
// or null for a null/empty/too long path, mode 3, or a failed open.
aFileRef* aFile_Open(const char* path, aFileMode mode);

// Closes, frees and clears *file. aErrParam for an invalid record (the pointer
// is cleared anyway).
aErr aFile_Close(aFileRef** file);

// Reads up to n bytes; *count (optional) receives the number read. aErrMode in
// write-only mode, aErrEOF when nothing could be read for n > 0.
aErr aFile_Read(aFileRef* file, void* buffer, size_t n, size_t* count);

// Writes n bytes; aErrMode in read-only mode, aErrIO when nothing was written.
aErr aFile_Write(aFileRef* file, const void* buffer, size_t n, size_t* count);

// Moves to base + offset (origin 0 start, 1 current, 2 end). aErrRange for a
// target before the start or past the end (the position is kept), aErrIO on
// a system failure.
aErr aFile_Seek(aFileRef* file, int64_t offset, int origin);

// Size of the file in bytes; the position is unchanged. aErrIO on failure.
aErr aFile_GetSize(aFileRef* file, size_t* size);

// Current position; aErrIO on failure.
aErr aFile_GetPosition(aFileRef* file, size_t* position);

// Removes the file. aErrFileNameLength beyond 4096 characters, aErrNotFound,
// aErrPermission or aErrIO from the system's answer.
aErr aFile_Delete(const char* path);

// Reads one line (newline kept) into buffer of size bytes, NUL-terminated.
// aErrOverrun when the line did not fit (the rest comes with the next call),
// aErrEOF at end of file, aErrIO on a read error.
aErr aFile_ReadLine(aFileRef* file, char* buffer, size_t size, size_t* length);

// Makes output unbuffered; write or append mode only (else aErrMode).
aErr aFile_SetUnbuffered(aFileRef* file);

// printf into the file; write or append mode only. aErrIO on a write failure.
aErr aFile_Printf(aFileRef* file, const char* format, ...) __attribute__((format(printf, 2, 3)));

#endif
