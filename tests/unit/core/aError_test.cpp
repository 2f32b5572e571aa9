// Error identifier and description texts.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "aError.h"

namespace {

TEST(Errors, TextsAndOutOfRangeValues)
{
    EXPECT_STREQ(aError_GetErrorText(aErrNone), "aErrNone");
    EXPECT_STREQ(aError_GetErrorDescription(aErrNone), "Success, no error");
    EXPECT_STREQ(aError_GetErrorText(aErrTimeout), "aErrTimeout");
    EXPECT_STREQ(aError_GetErrorDescription(aErrShortCommand), "Keystrand command to short");
    EXPECT_STREQ(aError_GetErrorText(aErrUnknown), "aErrUnknown");
    EXPECT_EQ(static_cast<int>(aErrUnknown), 34);
    EXPECT_EQ(static_cast<int>(aErrInvalidOption), 29);
    EXPECT_STREQ(aError_GetErrorText(static_cast<aErr>(35)), "aErrUnknown");
    EXPECT_STREQ(aError_GetErrorDescription(static_cast<aErr>(-1)), "Unknown error");
}

}  // namespace
