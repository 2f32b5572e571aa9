#ifndef APP_OPTIONS_H
#define APP_OPTIONS_H

#include <cstdint>
#include <string>

#include "CLI_Display.h"
#include "Parameters.h"

// Parses argv into params; option errors are reported through display and
// parsing goes on. Returns 0 when the command line is usable, non-zero when
// an error was reported. A help option stops the parse and returns 0.
uint32_t _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters* params);
// No further checks: always 0.
uint32_t _validate_params(Parameters* params);
// Frees what the parameters own beyond their strings (nothing): always 0.
uint32_t _release_params(Parameters* params);
// Hexadecimal text to u32; 0 without touching end when end is null or the
// text holds a non-hex character.
uint32_t _get_hex_arg(const char* text, char** end);
// Decimal text to u32; same rules with decimal digits.
uint32_t _get_int_arg(const char* text, char** end);
// home/.orvantis/updater, or "" when the home directory is unknown.
std::string _build_updater_directory();

#endif
