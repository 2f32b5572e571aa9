#ifndef UPDATER_DISPLAY_INTERFACE_H
#define UPDATER_DISPLAY_INTERFACE_H

#include "Cause.h"

// Every user-visible line of the updater goes through this interface, so the
// update logic can be driven by a console or by another front end.
class UpdaterDisplayInterface {
public:
    enum Level { Info = 0, Error = 1 };

    // Begin (true) or end (false) a progress line.
    virtual void display_progress(bool show) = 0;
    // Redraw the bar; fraction 0.0 to 1.0; label may be null.
    virtual void update_progress(double fraction, const char* label) = 0;
    // Advance (true) or clear (false) the spinner; label may be null.
    virtual void update_spinner(bool spinning, const char* label) = 0;
    // One informational line.
    virtual void info_message(const char* text) = 0;
    // One error line.
    virtual void error_message(const char* text) = 0;
    // The cause of the error line just shown, as its own line.
    virtual void cause_message(const char* text) = 0;

    // While muted, message() prints nothing; bars and spinners still draw.
    void mute_messages(bool mute) { muted = mute; }
    // Formats (at most 2047 characters) and hands the text to error_message
    // for Error, else to info_message. Nothing when muted.
    void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // An error line as message() makes it, then the cause when it is known.
    void error(const Cause& cause, const char* format, ...) __attribute__((format(printf, 3, 4)));

    bool muted = false;

protected:
    // Not deleted through this interface: the front end owns the concrete
    // display by value.
    ~UpdaterDisplayInterface() = default;
};

#endif
