// The console display: exact bytes of the bar and spinner on a terminal.
// That none of them reach a pipe shows in every end-to-end output check.
#include "CLI_Display.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Pty.h"

namespace {

// Points stdout at a pseudo-terminal for the test's lifetime.
class TerminalStdout {
public:
    TerminalStdout()
    {
        fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        dup2(pty_.slave, STDOUT_FILENO);
    }
    ~TerminalStdout()
    {
        fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }

    // What was written since the last call.
    std::string Take()
    {
        fflush(stdout);
        std::vector<uint8_t> bytes = pty_.Read(1 << 16, 50);
        return std::string(bytes.begin(), bytes.end());
    }

private:
    Pty pty_{true};
    int saved_;
};

TEST(CLIDisplay, ProgressBarOnATerminal)
{
    // A label takes its length and four columns from the 69-column bar; an
    // overlong one leaves it no room but keeps it well-formed.
    const std::string label(80, 'L');
    const struct {
        double fraction;
        const char* label;
        std::string out;
    } rows[] = {
        {0.0, nullptr, "\r[>" + std::string(68, ' ') + "] (  0% ) "},
        {1.0, nullptr, "\r[" + std::string(69, '=') + "> ] (100% ) "},
        {1.0, "Verify", "\r (Verify) [" + std::string(59, '=') + "> ] (100% ) "},
        {0.5, "Verify", "\r (Verify) [" + std::string(29, '=') + ">" + std::string(29, ' ') + "] ( 50% ) "},
        {0.5, label.c_str(), "\r (" + label + ") [> ] ( 50% ) "},
    };
    CLI_Display display;
    TerminalStdout out;
    for (const auto& row : rows) {
        display.update_progress(row.fraction, row.label);
        EXPECT_EQ(out.Take(), row.out) << row.fraction;
    }
    display.display_progress(true);
    EXPECT_EQ(out.Take(), "");
    display.display_progress(false);
    EXPECT_EQ(out.Take(), "\r" + std::string(88, ' ') + "\r");
}

TEST(CLIDisplay, SpinnerFramesOnATerminal)
{
    CLI_Display display;
    TerminalStdout out;
    // The spinner keeps its position across calls: spin until the frame "."
    // shows up.
    std::string frame;
    for (int i = 0; i < 8 && frame != "\r .      \r"; ++i) {
        display.update_spinner(true, nullptr);
        frame = out.Take();
    }
    ASSERT_EQ(frame, "\r .      \r");
    for (const char* e : {"..", "...", "....", ".....", "....", "...", "..", "."}) {
        display.update_spinner(true, "Downloading");
        EXPECT_EQ(out.Take(), std::string("\r (Downloading) ") + e + "      \r");
    }
    display.update_spinner(false, "Downloading");
    EXPECT_EQ(out.Take(), "\r" + std::string(88, ' ') + "\r");
}

}  // namespace
