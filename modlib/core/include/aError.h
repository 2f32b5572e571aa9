#ifndef KS_AERROR_H
#define KS_AERROR_H

// Error codes shared by every layer of the module library and the updater.
// The numbering is part of the wire protocol: a module's error reply carries
// one of these values in its payload, so the order must never change.
typedef enum {
    aErrNone = 0,
    aErrMemory,
    aErrParam,
    aErrNotFound,
    aErrFileNameLength,
    aErrBusy,
    aErrIO,
    aErrMode,
    aErrWrite,
    aErrRead,
    aErrEOF,
    aErrNotReady,
    aErrPermission,
    aErrRange,
    aErrSize,
    aErrOverrun,
    aErrParse,
    aErrConfiguration,
    aErrTimeout,
    aErrInitialization,
    aErrVersion,
    aErrUnimplemented,
    aErrDuplicate,
    aErrCancel,
    aErrPacket,
    aErrConnection,
    aErrIndexRange,
    aErrShortCommand,
    aErrInvalidEntity,
    aErrInvalidOption,
    aErrResource,
    aErrMedia,
    aErrAsyncReturn,
    aErrStreamStale,
    aErrUnknown
} aErr;

#define aErrCount 35

// Identifier text of an error ("aErrTimeout"). Values outside 0..34 give the
// aErrUnknown row. The text is static; never free it.
const char* aError_GetErrorText(aErr err);

// Human description of an error ("Timeout occurred"), same rules as above.
const char* aError_GetErrorDescription(aErr err);

#endif
