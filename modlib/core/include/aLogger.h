#ifndef KS_ALOGGER_H
#define KS_ALOGGER_H

#include <cstdint>

#include "aError.h"
#include "aFile.h"

// A polling logger: one worker thread calls poll(file, reference) over and
// over while the logger is enabled. The poll function paces the loop.
typedef struct aLogger aLogger;
typedef void (*aLoggerPollProc)(aFileRef* file, uint32_t reference);

// Opens filePath in append mode (unbuffered); returns a stopped logger, or
// null when the file cannot be opened or memory runs out.
aLogger* aLogger_Create(uint32_t reference, aLoggerPollProc poll, const char* filePath);

// Starts the worker thread (aErrNone when already running); aErrResource when
// the thread cannot start; aErrParam for an invalid record.
aErr aLogger_Enable(aLogger* logger);

// Stops and joins the worker. Does nothing when not running or when called
// from the worker itself. aErrUnknown when the join fails.
aErr aLogger_Disable(aLogger* logger);

// Disables, closes the file, frees and clears *logger. When disabling fails
// its error is returned and the record kept. An invalid record is ignored.
aErr aLogger_Destroy(aLogger** logger);

#endif
