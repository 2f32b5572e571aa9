#include "OptionParser.h"

#include <cstring>

OptionParser::OptionParser(int argc, char** argv, const SOption* table)
    : argc_(argc), argv_(argv), table_(table)
{
}

bool OptionParser::Next()
{
    // Words that are not options are skipped, as a parser without file
    // arguments would.
    while (next_ < argc_ && (argv_[next_] == nullptr || argv_[next_][0] != '-')) ++next_;
    if (next_ >= argc_) return false;

    text_ = argv_[next_++];
    arg_ = nullptr;
    id_ = -1;
    error_ = SO_SUCCESS;

    const SOption* match = nullptr;
    int prefix_matches = 0;
    size_t len = strlen(text_);
    for (const SOption* row = table_; row->text != nullptr; ++row) {
        if (strcmp(row->text, text_) == 0) {
            match = row;
            prefix_matches = 1;
            break;
        }
        if (strncmp(row->text, text_, len) == 0) {
            match = row;
            ++prefix_matches;
        }
    }
    if (prefix_matches == 0) {
        error_ = SO_OPT_INVALID;
        return true;
    }
    if (prefix_matches > 1) {
        error_ = SO_OPT_MULTIPLE;
        return true;
    }
    id_ = match->id;
    if (match->kind == SO_REQ_SEP) {
        if (next_ >= argc_) {
            error_ = SO_ARG_MISSING;
            id_ = -1;
            return true;
        }
        arg_ = argv_[next_++];
    }
    return true;
}
