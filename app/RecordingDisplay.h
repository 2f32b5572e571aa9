#ifndef APP_RECORDING_DISPLAY_H
#define APP_RECORDING_DISPLAY_H

#include <string>
#include <vector>

#include "UpdaterDisplayInterface.h"

// Keeps every line it is given, and names the failure among them: the first
// error line followed by a cause line, else the first error line. It hands
// the lines on to another display: all of them, or with quiet only the
// error and cause lines (what goes to stderr), so that a JSON report
// replaces standard output and leaves standard error as it was.
class RecordingDisplay : public UpdaterDisplayInterface {
public:
    struct Line {
        const char* level;  // "info", "error" or "cause"
        std::string text;
    };

    // forward may be null (nothing is handed on).
    RecordingDisplay(UpdaterDisplayInterface* forward, bool quiet) : forward_(forward), quiet_(quiet) {}

    void display_progress(bool show) override;
    void update_progress(double fraction, const char* label) override;
    void update_spinner(bool spinning, const char* label) override;
    void info_message(const char* text) override;
    void error_message(const char* text) override;
    void cause_message(const char* text) override;

    // The failure's message and its cause ("" when there was none).
    const std::string& Error() const { return error_; }
    const std::string& ErrorCause() const { return cause_; }
    const std::vector<Line>& Lines() const { return lines_; }

private:
    UpdaterDisplayInterface* forward_;
    bool quiet_;
    std::vector<Line> lines_;
    std::string error_;
    std::string cause_;
};

#endif
