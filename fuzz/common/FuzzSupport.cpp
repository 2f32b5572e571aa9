#include "FuzzSupport.h"

#include <fcntl.h>
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
    if (!gTempDir.empty()) nftw(gTempDir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace

const std::string& FuzzTempDir()
{
    if (!gTempDir.empty()) return gTempDir;
    std::string base = "/dev/shm";
    if (access(base.c_str(), W_OK) != 0) {
        const char* tmp = getenv("TMPDIR");
        base = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    }
    std::string pattern = base + "/updater-fuzz-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) {
        perror("mkdtemp");
        abort();
    }
    gTempDir = pattern;
    atexit(RemoveTempDir);
    return gTempDir;
}

std::string FuzzTempPath(const std::string& name)
{
    return FuzzTempDir() + "/" + name;
}

void FuzzWriteFile(const std::string& path, const uint8_t* data, size_t size)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr || (size > 0 && fwrite(data, 1, size, f) != size) || fclose(f) != 0) {
        perror(path.c_str());
        abort();
    }
}

std::string FuzzReadFile(const std::string& path)
{
    std::string text;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return text;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    fclose(f);
    return text;
}

void FuzzLogEverything()
{
    static FILE* sink = fopen("/dev/null", "w");
    if (sink == nullptr) abort();
    Log::SetOutput(sink);
    Log::ActivatePackage(0xFFFFFFFFu);
}

void FuzzFail(const char* target, const char* what)
{
    fprintf(stderr, "%s: %s\n", target, what);
    abort();
}
