#include "ScriptStream.h"

#include <chrono>

aStreamRef ScriptStream::Create()
{
    return aStream_Create(sGet, sPut, sWrite, sDelete, this);
}

void ScriptStream::Feed(const uint8_t* bytes, size_t n)
{
    std::lock_guard<std::mutex> lock(mutex_);
    script_.insert(script_.end(), bytes, bytes + n);
    // A wait after this feed needs a poll after it, even for no bytes: the
    // reader may not have started yet.
    dryPolls_ = 0;
}

void ScriptStream::FailWritesFrom(long n)
{
    std::lock_guard<std::mutex> lock(mutex_);
    failWritesFrom_ = n;
}

void ScriptStream::FailWritesStartingWith(uint8_t first, long count)
{
    std::lock_guard<std::mutex> lock(mutex_);
    failFirst_ = first;
    failFirstCount_ = count;
}

std::vector<uint8_t> ScriptStream::Written() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return written_;
}

size_t ScriptStream::Remaining() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return script_.size() - next_;
}

size_t ScriptStream::Consumed() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return next_;
}

bool ScriptStream::WaitConsumed(int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return next_ == script_.size() && dryPolls_ > 0; });
}

bool ScriptStream::WaitWritten(size_t n, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return written_.size() >= n; });
}

aErr ScriptStream::sGet(uint8_t* byte, void* reference)
{
    ScriptStream* s = static_cast<ScriptStream*>(reference);
    std::lock_guard<std::mutex> lock(s->mutex_);
    if (s->next_ == s->script_.size()) {
        // Only the first dry poll can complete a wait.
        if (s->dryPolls_++ == 0) s->changed_.notify_all();
        return aErrNotReady;
    }
    *byte = s->script_[s->next_++];
    return aErrNone;
}

aErr ScriptStream::Append(const uint8_t* bytes, size_t count)
{
    std::lock_guard<std::mutex> lock(mutex_);
    long call = writeCalls_++;
    if (failWritesFrom_ >= 0 && call >= failWritesFrom_) return aErrIO;
    if (count > 0 && failFirstCount_ > 0 && bytes[0] == failFirst_) {
        failFirstCount_--;
        return aErrIO;
    }
    written_.insert(written_.end(), bytes, bytes + count);
    changed_.notify_all();
    return aErrNone;
}

aErr ScriptStream::sPut(uint8_t byte, void* reference)
{
    return static_cast<ScriptStream*>(reference)->Append(&byte, 1);
}

aErr ScriptStream::sWrite(const uint8_t* bytes, size_t count, void* reference)
{
    return static_cast<ScriptStream*>(reference)->Append(bytes, count);
}

aErr ScriptStream::sDelete(void*)
{
    return aErrNone;
}
