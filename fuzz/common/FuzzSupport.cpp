#include "FuzzSupport.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "Log.h"

namespace {

std::string gTempDir;

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*)
{
    remove(path);
    return 0;
}

void RemoveTempDir()
{
    nftw(gTempDir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace

std::string FuzzTempPath(const std::string& name)
{
    if (gTempDir.empty()) {
        std::string pattern = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        pattern += "/updater-fuzz-XXXXXX";
        if (mkdtemp(&pattern[0]) == nullptr) FUZZ_FAIL("cannot make the temporary directory");
        gTempDir = pattern;
        atexit(RemoveTempDir);
    }
    return gTempDir + "/" + name;
}

void FuzzWriteFile(const std::string& path, const uint8_t* data, size_t size)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr || (size > 0 && fwrite(data, 1, size, f) != size) || fclose(f) != 0)
        FUZZ_FAIL("cannot write the input file");
}

void FuzzFail(const char* file, int line, const char* what)
{
    fprintf(stderr, "%s:%d: %s\n", file, line, what);
    abort();
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    static FILE* sink = fopen("/dev/null", "w");
    if (sink == nullptr) abort();
    Log::SetOutput(sink);
    Log::ActivatePackage(0xFFFFFFFFu);
    return 0;
}
