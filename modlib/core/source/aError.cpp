#include "aError.h"

namespace {

const char* const kErrorText[aErrCount] = {
    "aErrNone",           "aErrMemory",        "aErrParam",      "aErrNotFound",
    "aErrFileNameLength", "aErrBusy",          "aErrIO",         "aErrMode",
    "aErrWrite",          "aErrRead",          "aErrEOF",        "aErrNotReady",
    "aErrPermission",     "aErrRange",         "aErrSize",       "aErrOverrun",
    "aErrParse",          "aErrConfiguration", "aErrTimeout",    "aErrInitialization",
    "aErrVersion",        "aErrUnimplemented", "aErrDuplicate",  "aErrCancel",
    "aErrPacket",         "aErrConnection",    "aErrIndexRange", "aErrShortCommand",
    "aErrInvalidEntity",  "aErrInvalidOption", "aErrResource",   "aErrMedia",
    "aErrAsyncReturn",    "aErrStreamStale",   "aErrUnknown",
};

const char* const kErrorDescription[aErrCount] = {
    "Success, no error",
    "Memory allocation",
    "Invalid parameter",
    "Not found",
    "File name too long",
    "Resource busy",
    "Input/Output error",
    "Invalid Mode",
    "Write error",
    "Read error",
    "End of file",
    "Not ready, no bytes available",
    "Insufficient permissions",
    "Value out of range",
    "Invalid Size",
    "Buffer/queue overrun",
    "Parse error",
    "Configuration error",
    "Timeout occurred",
    "Initialization error",
    "Invalid version",
    "Functionality unimplemented",
    "Duplicate request",
    "Cancelation occurred, or did not complete",
    "Packet byte invalid",
    "Connection error",
    "Index out of range",
    "Keystrand command to short",
    "Invalid entity error",
    "Invalid option code",
    "Resource unavailable",
    "Media error",
    "Asynchronous return error",
    "Stream value is stale",
    "Unknown error",
};

unsigned sIndex(aErr err)
{
    unsigned v = static_cast<unsigned>(err);
    return v < aErrCount ? v : static_cast<unsigned>(aErrUnknown);
}

}  // namespace

const char* aError_GetErrorText(aErr err)
{
    return kErrorText[sIndex(err)];
}

const char* aError_GetErrorDescription(aErr err)
{
    return kErrorDescription[sIndex(err)];
}
