#include "aMutex.h"

#include <pthread.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#define aMUTEX_NAME_MAX 255

struct aMutex {
    pthread_mutex_t mutex;
    char name[aMUTEX_NAME_MAX + 1];
};

aMutex* aMutex_Create(const char* name)
{
    if (name == nullptr) name = "";
    size_t len = strnlen(name, aMUTEX_NAME_MAX + 1);
    if (len > aMUTEX_NAME_MAX) return nullptr;
    aMutex* m = static_cast<aMutex*>(calloc(1, sizeof(aMutex)));
    if (m == nullptr) return nullptr;
    if (pthread_mutex_init(&m->mutex, nullptr) != 0) {
        free(m);
        return nullptr;
    }
    memcpy(m->name, name, len);
    m->name[len] = '\0';
    return m;
}

const char* aMutex_Identifier(const aMutex* mutex)
{
    return mutex != nullptr ? mutex->name : nullptr;
}

aErr aMutex_Lock(aMutex* mutex)
{
    if (mutex == nullptr) return aErrParam;
    switch (pthread_mutex_lock(&mutex->mutex)) {
        case 0:
            return aErrNone;
        case EINVAL:
            return aErrParam;
        case EDEADLK:
            return aErrDuplicate;
        default:
            return aErrUnknown;
    }
}

aErr aMutex_TryLock(aMutex* mutex)
{
    if (mutex == nullptr) return aErrParam;
    switch (pthread_mutex_trylock(&mutex->mutex)) {
        case 0:
            return aErrNone;
        case EINVAL:
            return aErrParam;
        case EBUSY:
            return aErrBusy;
        default:
            return aErrUnknown;
    }
}

aErr aMutex_Unlock(aMutex* mutex)
{
    if (mutex == nullptr) return aErrParam;
    switch (pthread_mutex_unlock(&mutex->mutex)) {
        case 0:
            return aErrNone;
        case EINVAL:
            return aErrParam;
        case EPERM:
            return aErrPermission;
        default:
            return aErrUnknown;
    }
}

aErr aMutex_Destroy(aMutex** mutex)
{
    if (mutex == nullptr || *mutex == nullptr) return aErrParam;
    aMutex* m = *mutex;
    *mutex = nullptr;
    aErr result;
    switch (pthread_mutex_destroy(&m->mutex)) {
        case 0:
            result = aErrNone;
            break;
        case EINVAL:
            result = aErrParam;
            break;
        case EBUSY:
            result = aErrBusy;
            break;
        case EAGAIN:
            result = aErrResource;
            break;
        default:
            result = aErrUnknown;
            break;
    }
    free(m);
    return result;
}
