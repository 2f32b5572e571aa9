// Runs a fuzz target over its committed inputs without libFuzzer, so the
// ordinary build and ctest check every seed and regression input with the
// target's own checks. Inputs: the files in the directories named on the
// command line, else in the target's corpus and regression directories.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv)
{
    namespace fs = std::filesystem;
    std::vector<std::string> dirs(argv + 1, argv + argc);
    dirs.erase(std::remove_if(dirs.begin(), dirs.end(), [](const std::string& d) { return d[0] == '-'; }),
               dirs.end());
    if (dirs.empty()) dirs = {REPLAY_CORPUS, REPLAY_REGRESSIONS};
    std::vector<fs::path> inputs;
    for (const std::string& dir : dirs)
        if (fs::is_directory(dir))
            for (const fs::directory_entry& e : fs::directory_iterator(dir))
                if (e.is_regular_file() && e.path().extension() != ".md") inputs.push_back(e.path());
    std::sort(inputs.begin(), inputs.end());
    LLVMFuzzerInitialize(&argc, &argv);
    for (const fs::path& path : inputs) {
        std::ifstream in(path, std::ios::binary);
        std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        fprintf(stderr, "%s\n", path.c_str());
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    printf("%zu inputs pass\n", inputs.size());
    return inputs.empty() ? 1 : 0;
}
