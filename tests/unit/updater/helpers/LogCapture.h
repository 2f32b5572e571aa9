#ifndef UPDATER_TEST_LOG_CAPTURE_H
#define UPDATER_TEST_LOG_CAPTURE_H

#include <cstdio>
#include <string>

// Sends Log output with the given package bits active into a temporary file
// for the object's lifetime; restores the previous output and mask after.
class LogCapture {
public:
    explicit LogCapture(unsigned packages);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Everything logged so far.
    std::string text() const;
    // Forgets what was logged so far.
    void clear();

private:
    FILE* file_ = nullptr;
    FILE* saved_output_ = nullptr;
    unsigned saved_mask_ = 0;
};

#endif
