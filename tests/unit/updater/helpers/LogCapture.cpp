#include "helpers/LogCapture.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "Log.h"

LogCapture::LogCapture(unsigned packages)
{
    saved_output_ = Log::fh;
    saved_mask_ = Log::package_bitmask;
    file_ = tmpfile();
    if (file_ == nullptr) {
        ADD_FAILURE() << "tmpfile failed";
        return;
    }
    Log::SetOutput(file_);
    Log::package_bitmask = packages;
}

LogCapture::~LogCapture()
{
    Log::SetOutput(saved_output_);
    Log::package_bitmask = saved_mask_;
    if (file_ != nullptr) fclose(file_);
}

std::string LogCapture::text() const
{
    if (file_ == nullptr) return std::string();
    fflush(file_);
    std::string result;
    char buf[4096];
    rewind(file_);
    size_t got;
    while ((got = fread(buf, 1, sizeof buf, file_)) > 0) result.append(buf, got);
    fseek(file_, 0, SEEK_END);
    return result;
}

void LogCapture::clear()
{
    if (file_ == nullptr) return;
    fflush(file_);
    if (ftruncate(fileno(file_), 0) != 0) ADD_FAILURE() << "ftruncate failed";
    rewind(file_);
}
