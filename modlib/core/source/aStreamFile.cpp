#include <cstdint>

#include "aFile.h"
#include "aStream.h"

// File transport: the reference is the aUnixFile itself, whose own tag is
// checked by every aFile call.

namespace {

aErr sFileGet(uint8_t* byte, void* reference)
{
    return aFile_Read(static_cast<aFileRef*>(reference), byte, 1, nullptr);
}

aErr sFilePut(uint8_t byte, void* reference)
{
    return aFile_Write(static_cast<aFileRef*>(reference), &byte, 1, nullptr);
}

aErr sFileWrite(const uint8_t* bytes, size_t count, void* reference)
{
    size_t written = 0;
    aErr err = aFile_Write(static_cast<aFileRef*>(reference), bytes, count, &written);
    if (err == aErrNone && written != count) err = aErrIO;
    return err;
}

aErr sFileDelete(void* reference)
{
    aFileRef* file = static_cast<aFileRef*>(reference);
    return aFile_Close(&file);
}

aErr sCreate(const char* path, aFileMode mode, aStreamRef* stream)
{
    if (stream == nullptr) return aErrParam;
    *stream = nullptr;
    aFileRef* file = aFile_Open(path, mode);
    if (file == nullptr) return aErrResource;
    if (mode == aFileModeReadOnly)
        *stream = aStream_Create(sFileGet, nullptr, nullptr, sFileDelete, file);
    else
        *stream = aStream_Create(nullptr, sFilePut, sFileWrite, sFileDelete, file);
    if (*stream == nullptr) {
        aFile_Close(&file);
        return aErrResource;
    }
    return aErrNone;
}

}  // namespace

aErr aStream_CreateFileInput(const char* path, aStreamRef* stream)
{
    return sCreate(path, aFileModeReadOnly, stream);
}

aErr aStream_CreateFileOutput(const char* path, aStreamRef* stream)
{
    return sCreate(path, aFileModeWriteOnly, stream);
}
