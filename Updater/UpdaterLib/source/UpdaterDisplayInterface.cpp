#include "UpdaterDisplayInterface.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace {

// The formatted text, cut at 2047 characters.
std::string sFormat(const char* format, va_list args)
{
    char text[2048];
    vsnprintf(text, sizeof text, format, args);
    return text;
}

}  // namespace

void UpdaterDisplayInterface::message(Level level, const char* format, ...)
{
    if (muted) return;
    va_list args;
    va_start(args, format);
    const std::string text = sFormat(format, args);
    va_end(args);
    if (level == Error)
        error_message(text.c_str());
    else
        info_message(text.c_str());
}

void UpdaterDisplayInterface::error(const Cause& cause, const char* format, ...)
{
    if (muted) return;
    va_list args;
    va_start(args, format);
    const std::string text = sFormat(format, args);
    va_end(args);
    error_message(text.c_str());
    if (cause.Known()) cause_message(cause.text.c_str());
}
