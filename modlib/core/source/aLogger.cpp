#include "aLogger.h"

#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <new>

#define aLOGGER_TAG 0xDEED

struct aLogger {
    uint32_t reference;
    aLoggerPollProc poll;
    aFileRef* file;
    pthread_t thread;
    std::atomic<uint16_t> running;  // written by Enable/Disable, polled by the worker
    uint16_t tag;
};

namespace {

bool sValid(const aLogger* logger)
{
    return logger != nullptr && logger->tag == aLOGGER_TAG;
}

void* sLoggerThread(void* arg)
{
    aLogger* logger = static_cast<aLogger*>(arg);
    while (logger->running.load()) logger->poll(logger->file, logger->reference);
    return nullptr;
}

}  // namespace

aLogger* aLogger_Create(uint32_t reference, aLoggerPollProc poll, const char* filePath)
{
    if (poll == nullptr) return nullptr;
    aFileRef* file = aFile_Open(filePath, aFileModeAppend);
    if (file == nullptr) return nullptr;
    aLogger* logger = new (std::nothrow) aLogger;
    if (logger == nullptr) {
        aFile_Close(&file);
        return nullptr;
    }
    aFile_SetUnbuffered(file);
    logger->reference = reference;
    logger->poll = poll;
    logger->file = file;
    logger->thread = pthread_self();
    logger->running.store(0);
    logger->tag = aLOGGER_TAG;
    return logger;
}

aErr aLogger_Enable(aLogger* logger)
{
    if (!sValid(logger)) return aErrParam;
    if (logger->running.load()) return aErrNone;
    logger->running.store(1);
    if (pthread_create(&logger->thread, nullptr, sLoggerThread, logger) != 0) {
        logger->running.store(0);
        logger->thread = pthread_self();
        return aErrResource;
    }
    return aErrNone;
}

aErr aLogger_Disable(aLogger* logger)
{
    if (!sValid(logger)) return aErrParam;
    if (!logger->running.load()) return aErrNone;
    // The poll function runs on the worker; it must never join itself.
    if (pthread_equal(logger->thread, pthread_self())) return aErrNone;
    logger->running.store(0);
    if (pthread_join(logger->thread, nullptr) != 0) return aErrUnknown;
    logger->thread = pthread_self();
    return aErrNone;
}

aErr aLogger_Destroy(aLogger** logger)
{
    if (logger == nullptr || !sValid(*logger)) return aErrNone;
    aLogger* l = *logger;
    aErr err = aLogger_Disable(l);
    if (err != aErrNone) return err;
    aFile_Close(&l->file);
    l->tag = 0;
    delete l;
    *logger = nullptr;
    return aErrNone;
}
