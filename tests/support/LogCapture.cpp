#include "LogCapture.h"

#include <cstdlib>

#include "Log.h"

LogCapture::LogCapture(unsigned packages) : previous_fh_(Log::fh), previous_mask_(Log::package_bitmask)
{
    fh_ = open_memstream(&buffer_, &size_);
    Log::SetOutput(fh_);
    Log::package_bitmask = packages;
}

LogCapture::~LogCapture()
{
    Log::SetOutput(previous_fh_);
    Log::package_bitmask = previous_mask_;
    if (fh_ != nullptr) fclose(fh_);
    free(buffer_);
}

std::string LogCapture::Text()
{
    if (fh_ == nullptr) return std::string();
    fflush(fh_);
    return std::string(buffer_, size_);
}

void LogCapture::Clear()
{
    if (fh_ == nullptr) return;
    fflush(fh_);
    rewind(fh_);
    fflush(fh_);
}
