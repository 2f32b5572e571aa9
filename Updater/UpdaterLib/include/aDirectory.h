#ifndef UPDATER_ADIRECTORY_H
#define UPDATER_ADIRECTORY_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "Cause.h"
#include "aError.h"
#include "aFile.h"

// Separator put between two texts by aDirectory_BuildPath.
#define aDIR_PATH_SEP '/'

// Most texts aDirectory_BuildPath joins in one call.
#define aDIRECTORY_MAX_PARTS 10

// One entry handed to an aDirectory_List callback; valid only during the call.
typedef struct {
    char path[aFILE_MAX_PATH + 1];  // directory and entry name joined
    uint32_t size;                  // size in bytes (cut to 32 bits)
    uint32_t isDirectory;           // 1 for a directory, else 0
} aDirectoryListData;

// Return false to stop the listing.
typedef bool (*aDirectoryListCallback)(const aDirectoryListData* entry, void* ref);

// True when path is not null and names an existing directory (symlinks followed).
bool aDirectory_Exists(const char* path);

// Makes path a directory, creating each missing ancestor with mkdir(mode).
// aErrNone when path is a directory afterwards; aErrPermission for any failure
// (including path or an ancestor being a file), with its cause in *cause
// when cause is not null; aErrParam for a null or empty path.
aErr aDirectory_Ensure(const char* path, mode_t mode, Cause* cause = nullptr);

// Calls cb for every entry ("." and ".." included) that stat can examine, in the
// order the system returns them, until cb returns false. aErrNotFound when the
// directory cannot be opened, aErrParam for a null cb, else aErrNone.
aErr aDirectory_List(const char* path, aDirectoryListCallback cb, void* ref);

// Removes an empty directory. aErrUnknown on failure.
aErr aDirectory_Delete(const char* path);

// Removes a directory and everything below it, depth first; symbolic links are
// removed, never followed. A file that cannot be removed is reported on
// standard output and stops the walk. aErrNotFound when path cannot be opened,
// else the result of removing path itself (aErrNone or aErrUnknown).
aErr aDirectory_DeleteTree(const char* path);

// Current working directory into buffer. aErrParam on failure (null buffer,
// too small).
aErr aDirectory_CWD(char* buffer, size_t size);

// Path of the running executable ("/proc/self/exe"), cut to size - 1
// characters and NUL-terminated. aErrRead on failure.
aErr aDirectory_ExecutableFilePath(char* buffer, size_t size);

// Home directory of the current user from the password database, else $HOME,
// else the empty text; cut to size - 1 characters and NUL-terminated.
// Always aErrNone.
aErr aDirectory_GetHomeDirectory(char* buffer, size_t size);

// aDirectory_BuildPath(buffer, size, a, b, NULL).
aErr aDirectory_JoinPath(char* buffer, size_t size, const char* a, const char* b);

// Joins the texts up to the null argument (at most 10) into buffer, putting
// "/" between two texts unless the text so far ends with it or the next one
// begins with it. aErrOverrun when the result and its NUL do not fit in size
// bytes (buffer is then the empty text); aErrParam for a null buffer, size 0
// or more than 10 texts.
aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...) __attribute__((sentinel));

// The texts up to the null argument joined with "/" between each two, with no
// separator merged or dropped ("a/" and "b" give "a//b"). A null first gives "".
std::string BuildPath(const char* first, ...) __attribute__((sentinel));

#endif
