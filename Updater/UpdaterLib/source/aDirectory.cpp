#include "aDirectory.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Log.h"

namespace {

bool sIsDotEntry(const char* name)
{
    return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

// Copies text into buffer, cut to size - 1 characters.
void sCopyCut(char* buffer, size_t size, const char* text)
{
    if (buffer == nullptr || size == 0) return;
    size_t n = strnlen(text, size - 1);
    memcpy(buffer, text, n);
    buffer[n] = '\0';
}

aErr sBuildPath(char* buffer, size_t size, const char* first, va_list args)
{
    if (buffer == nullptr || size == 0) return aErrParam;
    const char* parts[aDIRECTORY_MAX_PARTS];
    size_t count = 0;
    for (const char* part = first; part != nullptr; part = va_arg(args, const char*)) {
        if (count == aDIRECTORY_MAX_PARTS) return aErrParam;
        parts[count++] = part;
    }

    size_t used = 0;
    buffer[0] = '\0';
    for (size_t i = 0; i < count; ++i) {
        const char* part = parts[i];
        bool separate = i > 0 && !(used > 0 && buffer[used - 1] == aDIR_PATH_SEP) && part[0] != aDIR_PATH_SEP;
        size_t need = (separate ? 1 : 0) + strlen(part);
        if (need >= size - used) {
            buffer[0] = '\0';
            return aErrOverrun;
        }
        if (separate) buffer[used++] = aDIR_PATH_SEP;
        memcpy(buffer + used, part, need - (separate ? 1 : 0));
        used += need - (separate ? 1 : 0);
        buffer[used] = '\0';
    }
    return aErrNone;
}

}  // namespace

bool aDirectory_Exists(const char* path)
{
    if (path == nullptr) return false;
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

aErr aDirectory_Ensure(const char* path, mode_t mode, Cause* cause)
{
    if (path == nullptr || path[0] == '\0') return aErrParam;
    if (aDirectory_Exists(path)) return aErrNone;

    const size_t length = strlen(path);
    // Each ancestor in turn; the first one is after a leading "/" so the root
    // itself is never made.
    for (size_t i = 1; i <= length; ++i) {
        if (i < length && path[i] != aDIR_PATH_SEP) continue;
        std::string prefix(path, i);
        if (mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST) {
            if (cause != nullptr) *cause = Cause::FromErrno(errno, prefix);
            Log::log(DEBUG_Updater, "aDirectory_Ensure: mkdir [%s] failed: %s\n", prefix.c_str(),
                     strerror(errno));
            return aErrPermission;
        }
    }
    // EEXIST also covers a plain file of that name, which is no directory.
    if (!aDirectory_Exists(path)) {
        if (cause != nullptr) *cause = Cause::FromErrno(ENOTDIR, path);
        Log::log(DEBUG_Updater, "aDirectory_Ensure: [%s] exists but is not a directory\n", path);
        return aErrPermission;
    }
    return aErrNone;
}

aErr aDirectory_List(const char* path, aDirectoryListCallback cb, void* ref)
{
    if (cb == nullptr) return aErrParam;
    if (path == nullptr) return aErrNotFound;
    DIR* dir = opendir(path);
    if (dir == nullptr) return aErrNotFound;

    aDirectoryListData data;
    struct dirent* entry;
    while ((entry = readdir(dir)) != nullptr) {
        if (aDirectory_JoinPath(data.path, sizeof data.path, path, entry->d_name) != aErrNone) continue;
        struct stat st;
        if (stat(data.path, &st) != 0) continue;
        data.size = static_cast<uint32_t>(st.st_size);
        data.isDirectory = S_ISDIR(st.st_mode) ? 1u : 0u;
        if (!cb(&data, ref)) break;
    }
    closedir(dir);
    return aErrNone;
}

aErr aDirectory_Delete(const char* path)
{
    if (path == nullptr || rmdir(path) != 0) return aErrUnknown;
    return aErrNone;
}

aErr aDirectory_DeleteTree(const char* path)
{
    if (path == nullptr) return aErrNotFound;
    DIR* dir = opendir(path);
    if (dir == nullptr) return aErrNotFound;

    char child[aFILE_MAX_PATH + 1];
    struct dirent* entry;
    while ((entry = readdir(dir)) != nullptr) {
        if (sIsDotEntry(entry->d_name)) continue;
        if (aDirectory_JoinPath(child, sizeof child, path, entry->d_name) != aErrNone) continue;
        struct stat st;
        // lstat: a link to a directory is removed as a link, its target is kept.
        if (lstat(child, &st) == 0 && S_ISDIR(st.st_mode)) {
            aDirectory_DeleteTree(child);
        } else if (unlink(child) != 0) {
            perror("aDirectory_DeleteTree");
            printf("---error unlink-ing file [%s]\n", child);
            break;
        }
    }
    closedir(dir);
    return aDirectory_Delete(path);
}

aErr aDirectory_CWD(char* buffer, size_t size)
{
    if (buffer == nullptr || size == 0 || getcwd(buffer, size) == nullptr) return aErrParam;
    return aErrNone;
}

aErr aDirectory_ExecutableFilePath(char* buffer, size_t size)
{
    if (buffer == nullptr || size == 0) return aErrRead;
    ssize_t n = readlink("/proc/self/exe", buffer, size - 1);
    if (n < 0) {
        buffer[0] = '\0';
        return aErrRead;
    }
    buffer[n] = '\0';
    return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* buffer, size_t size)
{
    if (buffer == nullptr || size == 0) return aErrNone;
    const char* home = nullptr;
    const struct passwd* pw = getpwuid(getuid());
    if (pw != nullptr && pw->pw_dir != nullptr && pw->pw_dir[0] != '\0') home = pw->pw_dir;
    if (home == nullptr) home = getenv("HOME");
    sCopyCut(buffer, size, home != nullptr ? home : "");
    return aErrNone;
}

aErr aDirectory_JoinPath(char* buffer, size_t size, const char* a, const char* b)
{
    return aDirectory_BuildPath(buffer, size, a, b, static_cast<const char*>(nullptr));
}

aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...)
{
    va_list args;
    va_start(args, first);
    aErr err = sBuildPath(buffer, size, first, args);
    va_end(args);
    return err;
}

std::string BuildPath(const char* first, ...)
{
    std::string path;
    if (first == nullptr) return path;
    path = first;
    va_list args;
    va_start(args, first);
    for (const char* part = va_arg(args, const char*); part != nullptr; part = va_arg(args, const char*)) {
        path += '/';
        path += part;
    }
    va_end(args);
    return path;
}
