#ifndef APP_OPTION_PARSER_H
#define APP_OPTION_PARSER_H

#include <string>
#include <vector>

// Argument kinds of an option row.
enum OptionKind {
    SO_NONE,     // takes no argument
    SO_REQ_SEP,  // takes the next command-line word as its argument
};

struct SOption {
    int id;
    const char* text;  // null ends the table
    OptionKind kind;
};

#define SO_END_OF_OPTIONS    \
    {                        \
        -1, nullptr, SO_NONE \
    }

// A small table-driven command-line parser with exactly the behaviours the
// front end relies on: case-sensitive names; a word equal to an entry selects
// it, and a word that is a prefix of exactly one entry (an unambiguous
// abbreviation) selects that one too; unknown and ambiguous words and a
// missing argument are errors; words not beginning with "-" are skipped.
class OptionParser {
public:
    enum Error { SO_SUCCESS = 0, SO_OPT_INVALID, SO_OPT_MULTIPLE, SO_ARG_MISSING };

    OptionParser(int argc, char** argv, const SOption* table);

    // Advances to the next option word; false when the words are used up.
    bool Next();
    // Result of the last Next().
    Error LastError() const { return error_; }
    // Id of the table row selected (-1 on error).
    int OptionId() const { return id_; }
    // The word as typed (an abbreviation stays abbreviated).
    const char* OptionText() const { return text_; }
    // The argument word of an SO_REQ_SEP option, else null.
    const char* OptionArg() const { return arg_; }

private:
    int argc_;
    char** argv_;
    const SOption* table_;
    int next_ = 1;
    Error error_ = SO_SUCCESS;
    int id_ = -1;
    const char* text_ = nullptr;
    const char* arg_ = nullptr;
};

#endif
