#ifndef UPDATER_TEST_TEMPDIR_H
#define UPDATER_TEST_TEMPDIR_H

#include <cstdint>
#include <string>
#include <vector>

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string sub(const std::string& name) const;

private:
    std::string path_;
};

// Whole-file helpers; they fail the current test (ADD_FAILURE) on I/O errors.
void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);
void WriteText(const std::string& path, const std::string& text);
std::vector<uint8_t> ReadBytes(const std::string& path);
std::string ReadText(const std::string& path);
bool PathExists(const std::string& path);
// Names in a directory, "." and ".." left out, sorted.
std::vector<std::string> ListNames(const std::string& dir);

#endif
