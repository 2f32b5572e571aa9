#include "AtomicFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace {

// Distinguishes the temporary files of several replacements in one process.
std::atomic<unsigned> sCounter{0};

}  // namespace

AtomicFile::AtomicFile(const std::string& path) : target(path)
{
    // Same directory as the target, so the rename never crosses file systems;
    // a leading "." keeps listings that skip hidden names from seeing it.
    const size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    temp = dir + "." + base + ".tmp" + std::to_string(getpid()) + "." + std::to_string(sCounter++);
}

AtomicFile::~AtomicFile()
{
    Discard();
}

void AtomicFile::Discard()
{
    if (file != nullptr) aFile_Close(&file);
    if (!temp.empty()) unlink(temp.c_str());
    temp.clear();
}

aErr AtomicFile::Open()
{
    if (file != nullptr || temp.empty()) return aErrParam;
    file = aFile_Open(temp.c_str(), aFileModeWriteOnly);
    if (file == nullptr) {
        error = errno;
        return aErrNotFound;
    }
    // Unbuffered, so a write the disk refuses is seen by Write and not lost
    // in a flush at close.
    if (aFile_SetUnbuffered(file) != aErrNone) {
        Discard();
        return aErrNotFound;
    }
    return aErrNone;
}

aErr AtomicFile::Write(const void* bytes, size_t n)
{
    if (file == nullptr) return aErrParam;
    size_t count = 0;
    aErr err = aFile_Write(file, bytes, n, &count);
    if (err == aErrNone && count != n) err = aErrIO;
    if (err != aErrNone) {
        error = errno;
        failed = true;
    }
    return err;
}

aErr AtomicFile::Commit()
{
    if (file == nullptr || failed) {
        Discard();
        return aErrIO;
    }
    aFile_Close(&file);
    // Without this the rename can reach the disk before the data, and a power
    // cut would leave an empty file in place of the old one.
    int fd = open(temp.c_str(), O_RDONLY | O_CLOEXEC);
    bool synced = fd >= 0 && fsync(fd) == 0;
    if (!synced) error = errno;
    if (fd >= 0) close(fd);
    if (synced && rename(temp.c_str(), target.c_str()) != 0) {
        error = errno;
        synced = false;
    }
    if (!synced) {
        Discard();
        return aErrIO;
    }
    temp.clear();
    return aErrNone;
}
