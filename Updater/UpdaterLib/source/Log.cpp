#include "Log.h"

#include <cstdarg>

unsigned Log::package_bitmask = 0;
FILE* Log::fh = nullptr;

void Log::log(unsigned package, const char* format, ...)
{
    if (!IsActive(package)) return;
    char text[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (fh != nullptr) fputs(text, fh);
}

void Log::SetOutput(FILE* out)
{
    fh = out;
}
void Log::ActivatePackage(unsigned bits)
{
    package_bitmask |= bits;
}
void Log::DeactivatePackage(unsigned bits)
{
    package_bitmask &= ~bits;
}
bool Log::IsActive(unsigned package)
{
    return package == 0 || (package & package_bitmask) != 0;
}
