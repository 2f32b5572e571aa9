// The console display: exact bytes of the bar and spinner on a terminal,
// nothing on a pipe, and muting.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "CLI_Display.h"
#include "Pty.h"

namespace {

// Points stdout at a pseudo-terminal (or a pipe) for the test's lifetime and
// collects what was written to it.
class CapturedStdout {
public:
    explicit CapturedStdout(bool terminal)
    {
        fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        if (terminal) {
            pty_.reset(new Pty(true));
            EXPECT_TRUE(pty_->ok());
            reader_ = dup(pty_->master);
            dup2(pty_->slave, STDOUT_FILENO);
        } else {
            int fds[2];
            EXPECT_EQ(pipe(fds), 0);
            reader_ = fds[0];
            dup2(fds[1], STDOUT_FILENO);
            close(fds[1]);
        }
    }

    ~CapturedStdout()
    {
        Restore();
        close(reader_);
    }

    std::string Take()
    {
        fflush(stdout);
        std::string out;
        char buf[512];
        struct pollfd pfd = {reader_, POLLIN, 0};
        while (poll(&pfd, 1, 50) > 0 && (pfd.revents & POLLIN)) {
            ssize_t n = read(reader_, buf, sizeof buf);
            if (n <= 0) break;
            out.append(buf, static_cast<size_t>(n));
        }
        return out;
    }

    void Restore()
    {
        if (saved_ >= 0) {
            fflush(stdout);
            dup2(saved_, STDOUT_FILENO);
            close(saved_);
            saved_ = -1;
        }
    }

private:
    int saved_ = -1;
    int reader_ = -1;
    std::unique_ptr<Pty> pty_;
};

TEST(CLIDisplay, EmptyAndFullBarWithoutLabel)
{
    CLI_Display display;
    CapturedStdout out(true);
    display.update_progress(0.0, nullptr);
    EXPECT_EQ(out.Take(), "\r[>" + std::string(68, ' ') + "] (  0% ) ");
    display.update_progress(1.0, nullptr);
    EXPECT_EQ(out.Take(), "\r[" + std::string(69, '=') + "> ] (100% ) ");
}

TEST(CLIDisplay, BarWithLabelIsNarrower)
{
    CLI_Display display;
    CapturedStdout out(true);
    // "Verify" takes 6 + 4 columns: bar width 59.
    display.update_progress(1.0, "Verify");
    EXPECT_EQ(out.Take(), "\r (Verify) [" + std::string(59, '=') + "> ] (100% ) ");
    display.update_progress(0.5, "Verify");
    EXPECT_EQ(out.Take(), "\r (Verify) [" + std::string(29, '=') + ">" + std::string(29, ' ') + "] ( 50% ) ");
}

TEST(CLIDisplay, OverlongLabelKeepsTheBarWellFormed)
{
    CLI_Display display;
    CapturedStdout out(true);
    std::string label(80, 'L');
    display.update_progress(0.5, label.c_str());
    EXPECT_EQ(out.Take(), "\r (" + label + ") [> ] ( 50% ) ");
}

TEST(CLIDisplay, ClearingAndSpinnerFrames)
{
    CLI_Display display;
    CapturedStdout out(true);
    display.display_progress(true);
    EXPECT_EQ(out.Take(), "");
    display.display_progress(false);
    EXPECT_EQ(out.Take(), "\r" + std::string(88, ' ') + "\r");

    // Bring the spinner back to its first frame: it keeps its position across
    // calls, so spin until the frame "." shows up.
    std::string frame;
    for (int i = 0; i < 8 && frame != "\r .      \r"; ++i) {
        display.update_spinner(true, nullptr);
        frame = out.Take();
    }
    ASSERT_EQ(frame, "\r .      \r");
    const char* expected[] = {"..", "...", "....", ".....", "....", "...", "..", "."};
    for (const char* e : expected) {
        display.update_spinner(true, "Downloading");
        EXPECT_EQ(out.Take(), std::string("\r (Downloading) ") + e + "      \r");
    }
    display.update_spinner(false, "Downloading");
    EXPECT_EQ(out.Take(), "\r" + std::string(88, ' ') + "\r");
}

TEST(CLIDisplay, NothingButMessagesWhenStdoutIsNotATerminal)
{
    CLI_Display display;
    CapturedStdout out(false);
    display.update_progress(0.5, nullptr);
    display.update_spinner(true, "x");
    display.update_spinner(false, "x");
    display.display_progress(false);
    display.message(UpdaterDisplayInterface::Info, "Update time: %.4f sec", 1.5);
    EXPECT_EQ(out.Take(), "Update time: 1.5000 sec\n");
}

TEST(CLIDisplay, MutedDisplayStillDraws)
{
    CLI_Display display;
    display.mute_messages(true);
    CapturedStdout out(true);
    testing::internal::CaptureStderr();
    display.message(UpdaterDisplayInterface::Info, "hidden");
    display.message(UpdaterDisplayInterface::Error, "hidden too");
    display.update_progress(1.0, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(out.Take(), "\r[" + std::string(69, '=') + "> ] (100% ) ");
    display.mute_messages(false);
}

TEST(CLIDisplay, LongMessagesAreCutAt2047Characters)
{
    CLI_Display display;
    CapturedStdout out(false);
    std::string text(3000, 'm');
    display.message(UpdaterDisplayInterface::Info, "%s", text.c_str());
    EXPECT_EQ(out.Take(), std::string(2047, 'm') + "\n");
}

}  // namespace
