#ifndef KS_TEST_SCRIPTEDSTREAM_H
#define KS_TEST_SCRIPTEDSTREAM_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "aStream.h"

// An in-memory transport for aStream: the test feeds the bytes get will
// return (aErrNotReady once they run out) and inspects every byte written.
// Thread-safe, so a link's pipes may use it while the test drives it. The
// object must outlive the stream made by create().
class ScriptedStream {
public:
    // Makes a stream over this transport. withWrite: give the stream a write
    // operation besides put.
    aStreamRef create(bool withGet = true, bool withPut = true, bool withWrite = true);

    void feed(const std::vector<uint8_t>& bytes);
    // From now on get answers err (aErrNone goes back to scripted bytes).
    void setReadError(aErr err);
    // What the next write/put answers.
    void setWriteError(aErr err);
    // Answered by get after the fed bytes are used up (default aErrNotReady).
    void setEndError(aErr err);

    std::vector<uint8_t> written() const;
    size_t pendingInput() const;
    // Waits (bounded) until at least n bytes were written; true when so.
    bool waitForWritten(size_t n, int timeoutMs = 2000) const;
    // Waits until every fed byte has been taken by get.
    bool waitForDrained(int timeoutMs = 2000) const;

    int putCalls() const;
    int writeCalls() const;
    bool deleted() const;

private:
    static aErr sGet(uint8_t* byte, void* reference);
    static aErr sPut(uint8_t byte, void* reference);
    static aErr sWrite(const uint8_t* bytes, size_t count, void* reference);
    static aErr sDelete(void* reference);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::deque<uint8_t> input_;
    std::vector<uint8_t> output_;
    aErr readError_ = aErrNone;
    aErr writeError_ = aErrNone;
    aErr endError_ = aErrNotReady;
    int putCalls_ = 0;
    int writeCalls_ = 0;
    bool deleted_ = false;
};

// Polls pred every millisecond until it holds or timeoutMs pass.
bool waitUntil(const std::function<bool()>& pred, int timeoutMs = 2000);

#endif
