#ifndef UPDATER_CAUSE_H
#define UPDATER_CAUSE_H

#include <stdexcept>
#include <string>

#include "aError.h"

// Why an operation failed, in plain words that name the object concerned
// ("/dev/ttyUSB0: Permission denied"), with the failure as an aErr. An empty
// text means the cause is not known. A cause travels up as a value and
// gains context on the way (Within); only the front end turns it into a
// line for the user.
struct Cause {
    aErr code = aErrNone;
    std::string text;

    Cause() = default;
    Cause(aErr err, std::string words) : code(err), text(std::move(words)) {}
    // "object: <the system's text of number>", the code translated from it.
    static Cause FromErrno(int number, const std::string& object);
    // What a module's reply (or its absence) says: "module answered:
    // aErrTimeout (no reply within 1000 ms)".
    static Cause FromModule(aErr err);

    bool Known() const { return !text.empty(); }
    // Prefixes context ("context: text"); an unknown cause stays unknown.
    Cause& Within(const std::string& context);
};

// The exception of the few places that throw (loading a BIRD file, making
// a store directory), with the cause of the failure beside its message.
class CausedError : public std::runtime_error {
public:
    CausedError(const std::string& message, const Cause& why) : std::runtime_error(message), cause(why) {}
    const Cause cause;
};

// The cause an exception carries; unknown for any other exception.
Cause CauseOf(const std::exception& e);

#endif
