#ifndef APP_CLI_DISPLAY_H
#define APP_CLI_DISPLAY_H

#include "UpdaterDisplayInterface.h"

// Console display: messages to stdout (info) and stderr (errors); the bar and
// the spinner are drawn in place only when stdout is a terminal.
class CLI_Display : public UpdaterDisplayInterface {
public:
    // Makes stdout and stderr unbuffered so partial lines appear at once.
    CLI_Display();

    void display_progress(bool show) override;
    void update_progress(double fraction, const char* label) override;
    void update_spinner(bool spinning, const char* label) override;
    void info_message(const char* text) override;
    void error_message(const char* text) override;
    // Indented by two blanks under the error line, on standard error.
    void cause_message(const char* text) override;
};

#endif
