#include "Cause.h"

#include <cerrno>
#include <cstring>

#include "Link.h"

namespace {

aErr sFromErrno(int number)
{
    switch (number) {
        case ENOENT:
            return aErrNotFound;
        case EACCES:
        case EPERM:
        case EROFS:
            return aErrPermission;
        case ENOSPC:
            return aErrResource;
        default:
            return aErrIO;
    }
}

}  // namespace

Cause Cause::FromErrno(int number, const std::string& object)
{
    // A short write sets no error number: the disk took only part of it.
    if (number == 0) number = EIO;
    return Cause(sFromErrno(number), object + ": " + strerror(number));
}

Cause Cause::FromModule(aErr err)
{
    std::string detail =
        err == aErrTimeout
            ? "no reply within " + std::to_string(Orvantis::Keystrand::Link::kReplyTimeoutMs) + " ms"
            : aError_GetErrorDescription(err);
    return Cause(err, std::string("module answered: ") + aError_GetErrorText(err) + " (" + detail + ")");
}

Cause& Cause::Within(const std::string& context)
{
    if (Known()) text = context + ": " + text;
    return *this;
}

Cause CauseOf(const std::exception& e)
{
    const CausedError* caused = dynamic_cast<const CausedError*>(&e);
    return caused != nullptr ? caused->cause : Cause();
}
