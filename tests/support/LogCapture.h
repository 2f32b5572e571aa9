#ifndef UPDATER_TEST_LOGCAPTURE_H
#define UPDATER_TEST_LOGCAPTURE_H

#include <cstdio>
#include <string>

// Points the process-wide Log at memory with the given packages active for
// the lifetime of the object, then restores the previous output and mask.
class LogCapture {
public:
    explicit LogCapture(unsigned packages);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Everything logged so far.
    std::string Text();
    // Forget what was logged so far.
    void Clear();

private:
    FILE* previous_fh_;
    unsigned previous_mask_;
    FILE* fh_ = nullptr;
    char* buffer_ = nullptr;
    size_t size_ = 0;
};

#endif
