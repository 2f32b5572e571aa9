#ifndef UPDATER_FUZZ_SUPPORT_H
#define UPDATER_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>

// Shared plumbing of the fuzz targets. LLVMFuzzerInitialize (here too) turns
// on every log package with /dev/null as output, so every log line reached
// is formatted as well.

// A path in a private directory (on /dev/shm when usable), removed at exit.
std::string FuzzTempPath(const std::string& name);
// Replaces the file at path with exactly these bytes; aborts on failure.
void FuzzWriteFile(const std::string& path, const uint8_t* data, size_t size);

// Aborts with a message: libFuzzer reports a crash and keeps the input.
[[noreturn]] void FuzzFail(const char* file, int line, const char* what);
#define FUZZ_FAIL(what) FuzzFail(__FILE__, __LINE__, what)
#define FUZZ_CHECK(cond)                                \
    do {                                                \
        if (!(cond)) FUZZ_FAIL("check failed: " #cond); \
    } while (0)

#endif
