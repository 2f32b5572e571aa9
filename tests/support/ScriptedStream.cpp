#include "ScriptedStream.h"

#include <algorithm>
#include <chrono>
#include <thread>

aStreamRef ScriptedStream::create(bool withGet, bool withPut, bool withWrite)
{
    return aStream_Create(withGet ? sGet : nullptr, withPut ? sPut : nullptr, withWrite ? sWrite : nullptr,
                          sDelete, this);
}

void ScriptedStream::feed(const uint8_t* bytes, size_t n)
{
    std::lock_guard<std::mutex> lock(mutex_);
    input_.insert(input_.end(), bytes, bytes + n);
    // A wait after this feed needs a poll after it, even for no bytes: the
    // reader may not have started yet.
    dryPolls_ = 0;
}

void ScriptedStream::failWritesStartingWith(uint8_t first, long count)
{
    std::lock_guard<std::mutex> lock(mutex_);
    failFirst_ = first;
    failFirstCount_ = count;
}

bool ScriptedStream::waitForWritten(size_t n, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return output_.size() >= n; });
}

bool ScriptedStream::waitForDrained(int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return input_.empty() && dryPolls_ > 0; });
}

aErr ScriptedStream::sGet(uint8_t* byte, void* reference)
{
    ScriptedStream* s = static_cast<ScriptedStream*>(reference);
    std::lock_guard<std::mutex> lock(s->mutex_);
    if (s->readError_ != aErrNone) return s->readError_;
    if (s->input_.empty()) {
        // Only the first dry poll can complete a wait.
        if (s->dryPolls_++ == 0) s->changed_.notify_all();
        return s->endError_;
    }
    *byte = s->input_.front();
    s->input_.pop_front();
    s->consumed_++;
    return aErrNone;
}

aErr ScriptedStream::append(const uint8_t* bytes, size_t count)
{
    long call = putCalls_ + writeCalls_ - 1;
    if (writeError_ != aErrNone) return writeError_;
    if (failWritesFrom_ >= 0 && call >= failWritesFrom_) return aErrIO;
    if (count > 0 && failFirstCount_ > 0 && bytes[0] == failFirst_) {
        failFirstCount_--;
        return aErrIO;
    }
    output_.insert(output_.end(), bytes, bytes + count);
    changed_.notify_all();
    return aErrNone;
}

aErr ScriptedStream::sPut(uint8_t byte, void* reference)
{
    ScriptedStream* s = static_cast<ScriptedStream*>(reference);
    std::lock_guard<std::mutex> lock(s->mutex_);
    s->putCalls_++;
    return s->append(&byte, 1);
}

aErr ScriptedStream::sWrite(const uint8_t* bytes, size_t count, void* reference)
{
    ScriptedStream* s = static_cast<ScriptedStream*>(reference);
    std::lock_guard<std::mutex> lock(s->mutex_);
    s->writeCalls_++;
    return s->append(bytes, count);
}

aErr ScriptedStream::sDelete(void*)
{
    return aErrNone;
}

bool waitUntil(const std::function<bool()>& pred, int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (pred()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

aPacket MakePacket(uint8_t address, const std::vector<uint8_t>& data)
{
    aPacket p = {};
    p.tag = aPACKET_TAG;
    p.address = address;
    p.dataSize = static_cast<uint8_t>(data.size());
    std::copy(data.begin(), data.end(), p.data);
    p.curSize = static_cast<uint8_t>(data.size() + 2);
    return p;
}

std::vector<uint8_t> WireBytes(const aPacket* packet)
{
    // Built in one go: GCC's bounds check misreads an insert after a
    // two-element initialiser at -O2.
    std::vector<uint8_t> b(2u + packet->dataSize);
    b[0] = packet->address;
    b[1] = packet->dataSize;
    std::copy(packet->data, packet->data + packet->dataSize, b.begin() + 2);
    return b;
}
