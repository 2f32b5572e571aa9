#ifndef KS_TEST_SCRIPTEDSTREAM_H
#define KS_TEST_SCRIPTEDSTREAM_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "aPacket.h"
#include "aStream.h"

// The far end of an aStream, in memory, for the unit tests and the fuzz
// targets: get hands out the fed bytes (then answers aErrNotReady, a silent
// device), put and write collect what the code under test sends. Thread-safe,
// so a link's pipes may use it while the test drives it. The object must
// outlive every stream made by create().
class ScriptedStream {
public:
    aStreamRef create(bool withGet = true, bool withPut = true, bool withWrite = true);

    void feed(const std::vector<uint8_t>& bytes) { feed(bytes.data(), bytes.size()); }
    // Appends bytes (n may be 0) and re-arms waitForDrained.
    void feed(const uint8_t* bytes, size_t n);
    // From now on get answers err (aErrNone goes back to the fed bytes).
    void setReadError(aErr err) { set(readError_, err); }
    // Answered by get after the fed bytes are used up (default aErrNotReady).
    void setEndError(aErr err) { set(endError_, err); }
    // What every put and write answers from now on (aErrNone: they succeed).
    void setWriteError(aErr err) { set(writeError_, err); }
    // From the n-th put or write call on (counted from 0) they fail with
    // aErrIO; a negative n never fails.
    void failWritesFrom(long n) { set(failWritesFrom_, n); }
    // The next count writes whose first byte is first fail with aErrIO (picks
    // out one kind of message when several threads write).
    void failWritesStartingWith(uint8_t first, long count);

    std::vector<uint8_t> written() const { return get(output_); }
    size_t pendingInput() const { return get(input_).size(); }
    size_t consumed() const { return get(consumed_); }
    int putCalls() const { return get(putCalls_); }
    int writeCalls() const { return get(writeCalls_); }
    bool waitForWritten(size_t n, int timeoutMs = 2000) const;
    // Waits until every fed byte was taken and get has since answered
    // "nothing" at least once: a single reader has then finished with the
    // last byte and has polled since the last feed.
    bool waitForDrained(int timeoutMs = 2000) const;

private:
    static aErr sGet(uint8_t* byte, void* reference);
    static aErr sPut(uint8_t byte, void* reference);
    static aErr sWrite(const uint8_t* bytes, size_t count, void* reference);
    static aErr sDelete(void* reference);
    aErr append(const uint8_t* bytes, size_t count);
    template <typename T>
    T get(const T& field) const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return field;
    }
    template <typename T>
    void set(T& field, T value)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        field = value;
    }

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::deque<uint8_t> input_;
    size_t consumed_ = 0;
    unsigned long dryPolls_ = 0;  // empty answers of get since the last feed
    std::vector<uint8_t> output_;
    aErr readError_ = aErrNone;
    aErr endError_ = aErrNotReady;
    aErr writeError_ = aErrNone;
    long failWritesFrom_ = -1;
    uint8_t failFirst_ = 0;
    long failFirstCount_ = 0;
    int putCalls_ = 0;
    int writeCalls_ = 0;
};

// A complete packet for address with the given data (at most 28 bytes).
aPacket MakePacket(uint8_t address, const std::vector<uint8_t>& data);
// A packet as it goes on the wire: address, length, data.
std::vector<uint8_t> WireBytes(const aPacket* packet);

// Polls pred every millisecond until it holds or timeoutMs pass.
bool waitUntil(const std::function<bool()>& pred, int timeoutMs = 2000);

#endif
