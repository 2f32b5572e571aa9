#include "aFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#define aFILE_TAG 0xFEED

struct aUnixFile {
    FILE* fp;
    int32_t mode;
    uint16_t tag;
};

namespace {

bool sValid(const aFileRef* file)
{
    return file != nullptr && file->tag == aFILE_TAG && file->fp != nullptr;
}

bool sPathTooLong(const char* path)
{
    return strnlen(path, aFILE_MAX_PATH + 1) > aFILE_MAX_PATH;
}

bool sCanRead(const aFileRef* file)
{
    return file->mode == aFileModeReadOnly || file->mode == aFileModeAppend;
}

bool sCanWrite(const aFileRef* file)
{
    return file->mode == aFileModeWriteOnly || file->mode == aFileModeAppend;
}

}  // namespace

bool aFile_Exists(const char* path)
{
    if (path == nullptr || sPathTooLong(path)) return false;
    struct stat st;
    if (stat(path, &st) != 0) return false;
    return !S_ISDIR(st.st_mode);
}

aFileRef* aFile_Open(const char* path, aFileMode mode)
{
    if (path == nullptr || path[0] == '\0' || sPathTooLong(path)) return nullptr;
    const char* fmode = nullptr;
    switch (mode) {
        case aFileModeReadOnly:
            fmode = "rb";
            break;
        case aFileModeWriteOnly:
            fmode = "wb";
            break;
        case aFileModeAppend:
            fmode = "ab+";
            break;
        default:
            return nullptr;
    }
    aFileRef* file = static_cast<aFileRef*>(calloc(1, sizeof(aFileRef)));
    if (file == nullptr) return nullptr;
    file->fp = fopen(path, fmode);
    if (file->fp == nullptr) {
        free(file);
        return nullptr;
    }
    if (mode == aFileModeAppend) fseek(file->fp, 0, SEEK_END);
    file->mode = mode;
    file->tag = aFILE_TAG;
    return file;
}

aErr aFile_Close(aFileRef** file)
{
    if (file == nullptr) return aErrParam;
    aFileRef* f = *file;
    *file = nullptr;
    if (!sValid(f)) {
        if (f != nullptr && f->tag == aFILE_TAG) free(f);
        return aErrParam;
    }
    fclose(f->fp);
    f->fp = nullptr;
    f->tag = 0;
    free(f);
    return aErrNone;
}

aErr aFile_Read(aFileRef* file, void* buffer, size_t n, size_t* count)
{
    if (count != nullptr) *count = 0;
    if (!sValid(file)) return aErrParam;
    if (!sCanRead(file)) return aErrMode;
    if (buffer == nullptr) return aErrParam;
    size_t got = fread(buffer, 1, n, file->fp);
    if (count != nullptr) *count = got;
    if (got == 0 && n > 0) return aErrEOF;
    return aErrNone;
}

aErr aFile_Write(aFileRef* file, const void* buffer, size_t n, size_t* count)
{
    if (count != nullptr) *count = 0;
    if (!sValid(file)) return aErrParam;
    if (!sCanWrite(file)) return aErrMode;
    if (buffer == nullptr) return aErrParam;
    size_t put = fwrite(buffer, 1, n, file->fp);
    if (count != nullptr) *count = put;
    if (put == 0 && n > 0) return aErrIO;
    return aErrNone;
}

aErr aFile_GetSize(aFileRef* file, size_t* size)
{
    if (!sValid(file) || size == nullptr) return aErrParam;
    *size = 0;
    long saved = ftell(file->fp);
    if (saved < 0) return aErrIO;
    if (fseek(file->fp, 0, SEEK_END) != 0) return aErrIO;
    long end = ftell(file->fp);
    if (end < 0) return aErrIO;
    if (fseek(file->fp, saved, SEEK_SET) != 0) return aErrIO;
    *size = static_cast<size_t>(end);
    return aErrNone;
}

aErr aFile_GetPosition(aFileRef* file, size_t* position)
{
    if (!sValid(file)) return aErrParam;
    long pos = ftell(file->fp);
    if (pos < 0) return aErrIO;
    if (position != nullptr) *position = static_cast<size_t>(pos);
    return aErrNone;
}

aErr aFile_Seek(aFileRef* file, int64_t offset, int origin)
{
    if (!sValid(file)) return aErrParam;
    long current = ftell(file->fp);
    if (current < 0) return aErrIO;
    size_t size = 0;
    if (aFile_GetSize(file, &size) != aErrNone) return aErrIO;
    int64_t base = 0;
    switch (origin) {
        case aSeekStart:
            base = 0;
            break;
        case aSeekCurrent:
            base = current;
            break;
        case aSeekEnd:
            base = static_cast<int64_t>(size);
            break;
        default:
            return aErrParam;
    }
    int64_t target = base + offset;
    if (target < 0 || target > static_cast<int64_t>(size)) return aErrRange;
    if (fseek(file->fp, static_cast<long>(target), SEEK_SET) != 0) return aErrIO;
    if (ftell(file->fp) != static_cast<long>(target)) return aErrIO;
    return aErrNone;
}

aErr aFile_Delete(const char* path)
{
    if (path == nullptr) return aErrParam;
    if (sPathTooLong(path)) return aErrFileNameLength;
    if (unlink(path) == 0) return aErrNone;
    switch (errno) {
        case ENOENT:
            return aErrNotFound;
        case EACCES:
            return aErrPermission;
        default:
            return aErrIO;
    }
}

aErr aFile_ReadLine(aFileRef* file, char* buffer, size_t size, size_t* length)
{
    if (length != nullptr) *length = 0;
    if (buffer != nullptr && size > 0) buffer[0] = '\0';
    if (!sValid(file) || buffer == nullptr || size < 2) return aErrParam;
    if (!sCanRead(file)) return aErrMode;
    if (size > static_cast<size_t>(INT32_MAX)) size = INT32_MAX;
    if (fgets(buffer, static_cast<int>(size), file->fp) == nullptr) {
        buffer[0] = '\0';
        return feof(file->fp) ? aErrEOF : aErrIO;
    }
    size_t len = strlen(buffer);
    if (length != nullptr) *length = len;
    if (len == size - 1 && buffer[len - 1] != '\n') return aErrOverrun;
    return aErrNone;
}

aErr aFile_SetUnbuffered(aFileRef* file)
{
    if (!sValid(file)) return aErrParam;
    if (!sCanWrite(file)) return aErrMode;
    if (setvbuf(file->fp, nullptr, _IONBF, 8192) != 0) return aErrMode;
    return aErrNone;
}

aErr aFile_Printf(aFileRef* file, const char* format, ...)
{
    if (!sValid(file) || format == nullptr) return aErrParam;
    if (!sCanWrite(file)) return aErrMode;
    va_list args;
    va_start(args, format);
    int r = vfprintf(file->fp, format, args);
    va_end(args);
    return r < 0 ? aErrIO : aErrNone;
}
