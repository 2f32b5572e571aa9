#ifndef UPDATER_ATOMICFILE_H
#define UPDATER_ATOMICFILE_H

#include <cstddef>
#include <string>

#include "aError.h"
#include "aFile.h"

// Replaces one file so that readers see either the old or the complete new
// contents, never a truncated file: the bytes go to a hidden temporary file
// beside the target, which is renamed over the target only once every byte is
// on disk. One object per replacement, used by one thread.
class AtomicFile {
public:
    explicit AtomicFile(const std::string& target);
    // Removes the temporary file unless Commit succeeded.
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Creates the temporary file in the target's directory. aErrNotFound when
    // it cannot be created.
    aErr Open();
    // Writes all n bytes: aFile_Write's error, or aErrIO when fewer were
    // written (a full disk, a file size limit). aErrParam before Open.
    aErr Write(const void* bytes, size_t n);
    // Flushes the file to disk, closes it and renames it over the target.
    // aErrIO on failure, when the target is left as it was.
    aErr Commit();

    const std::string& Target() const { return target; }
    const std::string& TempPath() const { return temp; }
    // The system's error number of the last failure, 0 without one.
    int Errno() const { return error; }

private:
    void Discard();

    std::string target;
    std::string temp;
    aFileRef* file = nullptr;
    bool failed = false;
    int error = 0;
};

#endif
