#ifndef UPDATER_FUZZ_SCRIPTSTREAM_H
#define UPDATER_FUZZ_SCRIPTSTREAM_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "aStream.h"

// The far end of an aStream for the fuzz targets: get hands out the scripted
// bytes and then answers aErrNotReady (a silent device), write collects what
// the code under test sends. Thread-safe, so a link's pipes can share it with
// the target. The object must outlive every stream made by Create().
class ScriptStream {
public:
    explicit ScriptStream(std::vector<uint8_t> script = {}) : script_(std::move(script)) {}

    // A stream over this transport (get, put and write). Null when memory runs out.
    aStreamRef Create();

    // Appends bytes to the script (n may be 0) and re-arms WaitConsumed.
    void Feed(const uint8_t* bytes, size_t n);
    // From the n-th write call on (counted from 0), writes fail with aErrIO;
    // a negative n never fails.
    void FailWritesFrom(long n);
    // The next count writes whose first byte is first fail with aErrIO (picks
    // out one kind of message when several threads write).
    void FailWritesStartingWith(uint8_t first, long count);

    std::vector<uint8_t> Written() const;
    size_t Remaining() const;
    // Scripted bytes taken so far.
    size_t Consumed() const;
    // Waits until every scripted byte was taken and get has since answered
    // "nothing" at least once: a single reader has then finished with the
    // last byte, and has polled since the last Feed. False after timeoutMs
    // (real milliseconds).
    bool WaitConsumed(int timeoutMs) const;
    // Waits until at least n bytes were written.
    bool WaitWritten(size_t n, int timeoutMs) const;

private:
    static aErr sGet(uint8_t* byte, void* reference);
    static aErr sPut(uint8_t byte, void* reference);
    static aErr sWrite(const uint8_t* bytes, size_t count, void* reference);
    static aErr sDelete(void* reference);
    aErr Append(const uint8_t* bytes, size_t count);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<uint8_t> script_;
    size_t next_ = 0;
    unsigned long dryPolls_ = 0;  // aErrNotReady answers since the last byte was fed
    std::vector<uint8_t> written_;
    long writeCalls_ = 0;
    long failWritesFrom_ = -1;
    uint8_t failFirst_ = 0;
    long failFirstCount_ = 0;
};

#endif
