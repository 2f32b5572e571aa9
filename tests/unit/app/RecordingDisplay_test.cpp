// Which error line a JSON report and a --all summary name as the failure.
#include "RecordingDisplay.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Case {
    std::vector<std::pair<char, std::string>> lines;  // 'i'nfo, 'e'rror, 'c'ause
    std::string error;
    std::string cause;
};

class RecordingDisplayTest : public ::testing::TestWithParam<Case> {};

TEST_P(RecordingDisplayTest, NamesTheFirstErrorWithACauseElseTheFirstError)
{
    RecordingDisplay display(nullptr, true);
    for (const auto& line : GetParam().lines) {
        if (line.first == 'i') display.info_message(line.second.c_str());
        if (line.first == 'e') display.error_message(line.second.c_str());
        if (line.first == 'c') display.cause_message(line.second.c_str());
    }
    EXPECT_EQ(display.Error(), GetParam().error);
    EXPECT_EQ(display.ErrorCause(), GetParam().cause);
    EXPECT_EQ(display.Lines().size(), GetParam().lines.size());
}

INSTANTIATE_TEST_SUITE_P(
    Lines, RecordingDisplayTest,
    ::testing::Values(
        Case{{{'i', "fine"}}, "", ""}, Case{{{'e', "first"}, {'e', "second"}}, "first", ""},
        Case{{{'e', "model"}, {'e', "failed"}, {'c', "why"}, {'e', "x"}, {'c', "y"}}, "failed", "why"},
        Case{{{'e', "failed"}, {'i', "after"}, {'c', "late"}}, "failed", ""}));

}  // namespace
