#include "ScriptedStream.h"

#include <chrono>
#include <thread>

aStreamRef ScriptedStream::create(bool withGet, bool withPut, bool withWrite)
{
    return aStream_Create(withGet ? sGet : nullptr, withPut ? sPut : nullptr, withWrite ? sWrite : nullptr,
                          sDelete, this);
}

void ScriptedStream::feed(const std::vector<uint8_t>& bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    input_.insert(input_.end(), bytes.begin(), bytes.end());
    changed_.notify_all();
}

void ScriptedStream::setReadError(aErr err)
{
    std::lock_guard<std::mutex> lock(mutex_);
    readError_ = err;
}

void ScriptedStream::setWriteError(aErr err)
{
    std::lock_guard<std::mutex> lock(mutex_);
    writeError_ = err;
}

void ScriptedStream::setEndError(aErr err)
{
    std::lock_guard<std::mutex> lock(mutex_);
    endError_ = err;
}

std::vector<uint8_t> ScriptedStream::written() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return output_;
}

size_t ScriptedStream::pendingInput() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return input_.size();
}

bool ScriptedStream::waitForWritten(size_t n, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return output_.size() >= n; });
}

bool ScriptedStream::waitForDrained(int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return input_.empty(); });
}

int ScriptedStream::putCalls() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return putCalls_;
}

int ScriptedStream::writeCalls() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return writeCalls_;
}

bool ScriptedStream::deleted() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return deleted_;
}

aErr ScriptedStream::sGet(uint8_t* byte, void* reference)
{
    ScriptedStream* s = static_cast<ScriptedStream*>(reference);
    std::lock_guard<std::mutex> lock(s->mutex_);
    if (s->readError_ != aErrNone) return s->readError_;
    if (s->input_.empty()) return s->endError_;
    *byte = s->input_.front();
    s->input_.pop_front();
    if (s->input_.empty()) s->changed_.notify_all();
    return aErrNone;
}

aErr ScriptedStream::sPut(uint8_t byte, void* reference)
{
    ScriptedStream* s = static_cast<ScriptedStream*>(reference);
    std::lock_guard<std::mutex> lock(s->mutex_);
    s->putCalls_++;
    if (s->writeError_ != aErrNone) return s->writeError_;
    s->output_.push_back(byte);
    s->changed_.notify_all();
    return aErrNone;
}

aErr ScriptedStream::sWrite(const uint8_t* bytes, size_t count, void* reference)
{
    ScriptedStream* s = static_cast<ScriptedStream*>(reference);
    std::lock_guard<std::mutex> lock(s->mutex_);
    s->writeCalls_++;
    if (s->writeError_ != aErrNone) return s->writeError_;
    s->output_.insert(s->output_.end(), bytes, bytes + count);
    s->changed_.notify_all();
    return aErrNone;
}

aErr ScriptedStream::sDelete(void* reference)
{
    ScriptedStream* s = static_cast<ScriptedStream*>(reference);
    std::lock_guard<std::mutex> lock(s->mutex_);
    s->deleted_ = true;
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
