#ifndef KS_AMUTEX_H
#define KS_AMUTEX_H

#include "aError.h"

// Named, non-recursive mutex. Names are at most 255 characters.
typedef struct aMutex aMutex;

// New mutex, or null when the name is 256 characters or longer, memory runs
// out or the system refuses. A null name is stored as "".
aMutex* aMutex_Create(const char* name);

// The stored name (owned by the mutex).
const char* aMutex_Identifier(const aMutex* mutex);

// Lock: aErrDuplicate when the caller already holds it (where detected).
aErr aMutex_Lock(aMutex* mutex);
// Try-lock: aErrBusy when held elsewhere.
aErr aMutex_TryLock(aMutex* mutex);
// Unlock: aErrPermission when the caller does not hold it (where detected).
aErr aMutex_Unlock(aMutex* mutex);
// Destroys, frees and clears *mutex; aErrBusy when still locked (freed anyway).
aErr aMutex_Destroy(aMutex** mutex);

#endif
