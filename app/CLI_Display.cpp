#include "CLI_Display.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

// Width of the cleared line and the widest bar (69 "=" characters).
constexpr int kClearWidth = 88;
constexpr int kBarWidth = 69;
const char kBar[] = "=====================================================================";
static_assert(sizeof kBar - 1 == kBarWidth, "bar source must hold 69 characters");

const char* const kSpinnerFrames[8] = {".", "..", "...", "....", ".....", "....", "...", ".."};

bool sStdoutIsTerminal()
{
    return isatty(fileno(stdout)) != 0;
}

}  // namespace

CLI_Display::CLI_Display()
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::display_progress(bool show)
{
    if (!sStdoutIsTerminal() || show) return;
    printf("\r%*s\r", kClearWidth, " ");
}

void CLI_Display::update_progress(double fraction, const char* label)
{
    if (!sStdoutIsTerminal()) return;
    int width = kBarWidth;
    if (label != nullptr) {
        // A label longer than 65 characters leaves no room: width 0 keeps the
        // bar well-formed instead of going negative.
        int len = static_cast<int>(strnlen(label, kBarWidth));
        width = kBarWidth - len - 4;
        if (width < 0) width = 0;
    }
    if (fraction < 0.0) fraction = 0.0;
    if (fraction > 1.0) fraction = 1.0;
    int percent = static_cast<int>(fraction * 100.0);
    int filled = static_cast<int>(width * fraction);
    int rest = width - filled;
    if (label == nullptr)
        printf("\r[%.*s>%*s] (%3d%% ) ", filled, kBar, rest - 1, "", percent);
    else
        printf("\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, kBar, rest - 1, "", percent);
}

void CLI_Display::update_spinner(bool spinning, const char* label)
{
    static int position = 0;
    if (!sStdoutIsTerminal()) return;
    if (!spinning) {
        printf("\r%*s\r", kClearWidth, " ");
        return;
    }
    if (label == nullptr)
        printf("\r %s      \r", kSpinnerFrames[position]);
    else
        printf("\r (%s) %s      \r", label, kSpinnerFrames[position]);
    position = (position + 1) % 8;
}

void CLI_Display::info_message(const char* text)
{
    printf("%s\n", text);
}

void CLI_Display::error_message(const char* text)
{
    fprintf(stderr, "%s\n", text);
}

void CLI_Display::cause_message(const char* text)
{
    fprintf(stderr, "  %s\n", text);
}
