#ifndef UPDATER_FUZZ_SUPPORT_H
#define UPDATER_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>

// Shared plumbing of the fuzz targets. Every target also gets
// LLVMFuzzerInitialize from here: it turns on every debug log package and
// sends the text to /dev/null, so the formatting of every log line the
// inputs reach is exercised as well (a log line that reads past a buffer is
// a bug like any other).

// A path for a file a target has to hand over by path, in a private
// directory (on /dev/shm when it is usable, so no disk is touched) made on
// first use and removed with its contents when the process exits normally.
std::string FuzzTempPath(const std::string& name);
// Replaces the file at path with exactly these bytes; aborts on failure (the
// target cannot test anything without its input file).
void FuzzWriteFile(const std::string& path, const uint8_t* data, size_t size);

// Aborts with a message: an oracle of a target found a wrong result. libFuzzer
// reports the abort as a crash and keeps the input.
[[noreturn]] void FuzzFail(const char* file, int line, const char* what);
#define FUZZ_FAIL(what) FuzzFail(__FILE__, __LINE__, what)
#define FUZZ_CHECK(cond)                                \
    do {                                                \
        if (!(cond)) FUZZ_FAIL("check failed: " #cond); \
    } while (0)

#endif
