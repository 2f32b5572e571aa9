#include "RecordingDisplay.h"

void RecordingDisplay::display_progress(bool show)
{
    if (forward_ != nullptr && !quiet_) forward_->display_progress(show);
}

void RecordingDisplay::update_progress(double fraction, const char* label)
{
    if (forward_ != nullptr && !quiet_) forward_->update_progress(fraction, label);
}

void RecordingDisplay::update_spinner(bool spinning, const char* label)
{
    if (forward_ != nullptr && !quiet_) forward_->update_spinner(spinning, label);
}

void RecordingDisplay::info_message(const char* text)
{
    lines_.push_back({"info", text});
    if (forward_ != nullptr && !quiet_) forward_->info_message(text);
}

void RecordingDisplay::error_message(const char* text)
{
    lines_.push_back({"error", text});
    if (error_.empty()) error_ = text;
    if (forward_ != nullptr) forward_->error_message(text);
}

void RecordingDisplay::cause_message(const char* text)
{
    // The cause of the error line just before it; the first error that has
    // one names the failure.
    if (cause_.empty() && !lines_.empty() && std::string(lines_.back().level) == "error") {
        error_ = lines_.back().text;
        cause_ = text;
    }
    lines_.push_back({"cause", text});
    if (forward_ != nullptr) forward_->cause_message(text);
}
