// Runs a fuzz target over its committed inputs without libFuzzer, so the
// ordinary build and ctest check every seed and regression input with the
// target's own checks. Inputs: the files of the directories named on the
// command line, else the target's corpus and regression directories.
#include <dirent.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::vector<std::string> FilesIn(const std::string& dir)
{
    std::vector<std::string> files;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_type == DT_REG && std::string(e->d_name).find(".md") == std::string::npos)
                files.push_back(dir + "/" + e->d_name);
        closedir(d);
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> dirs;
    for (int i = 1; i < argc; i++)
        if (argv[i][0] != '-') dirs.push_back(argv[i]);
    if (dirs.empty()) dirs = {REPLAY_CORPUS, REPLAY_REGRESSIONS};
    LLVMFuzzerInitialize(&argc, &argv);
    size_t count = 0;
    for (const std::string& dir : dirs) {
        for (const std::string& path : FilesIn(dir)) {
            FILE* f = fopen(path.c_str(), "rb");
            if (f == nullptr) continue;
            std::vector<uint8_t> data;
            uint8_t buffer[4096];
            size_t n;
            while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) data.insert(data.end(), buffer, buffer + n);
            fclose(f);
            fprintf(stderr, "%s\n", path.c_str());
            LLVMFuzzerTestOneInput(data.data(), data.size());
            count++;
        }
    }
    printf("%zu inputs pass\n", count);
    return count > 0 ? 0 : 1;
}
