// Command-line parsing: how each argument is read. The messages, help, exit
// codes and most refused arguments are checked end to end
// (tests/e2e/test_cli.py).
#include "Options.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "CLI_Display.h"
#include "Log.h"

namespace {

// The parameter a row looks at, as text.
std::string Field(const Parameters& p, const std::string& name)
{
    char text[64];
    if (name == "d") snprintf(text, sizeof text, "%X", p.serial_number);
    if (name == "r") snprintf(text, sizeof text, "%X", p.router_serial_number);
    if (name == "t") snprintf(text, sizeof text, "%u", p.link_type);
    if (name == "o") snprintf(text, sizeof text, "%u", p.baud_rate);
    if (name == "b") snprintf(text, sizeof text, "%s", p.build.c_str());
    if (name == "X") snprintf(text, sizeof text, "%X active %X", p.log_packages, Log::package_bitmask);
    if (name == "O") snprintf(text, sizeof text, "%d", p.override);
    if (name == "cmd") snprintf(text, sizeof text, "%X", p.commands.IsSet(CMD_ANY_MASK) ? 1u : 0u);
    return text;
}

}  // namespace

TEST(Options, EachArgumentIsReadByItsRules)
{
    const struct {
        std::vector<std::string> args;
        bool ok;
        const char* field;
        const char* value;
    } rows[] = {
        // Serial numbers are hexadecimal, with an optional prefix, cut to 32 bits.
        {{"-d", "0x40F5849A"}, true, "d", "40F5849A"},
        {{"-d", "0X40f5849a"}, true, "d", "40F5849A"},
        {{"-d", "0123ABCD"}, true, "d", "123ABCD"},
        {{"-d", "123456789"}, true, "d", "23456789"},
        {{"-d", "0x12-4"}, false, "d", "0"},
        {{"-r", "0xD272031D"}, true, "r", "D272031D"},
        // Transports are matched by prefix, in capitals.
        {{"-t", "USB"}, true, "t", "1"},
        {{"-t", "TCPfoo"}, true, "t", "2"},
        {{"-t", "RECOVERY"}, true, "t", "255"},
        {{"-t", "RECOV"}, false, "t", "0"},
        // Numbers are decimal, cut to 32 bits; anything else reads as 0.
        {{"-o", "9600"}, true, "o", "9600"},
        {{"-o", "-1"}, true, "o", "0"},
        {{"-b", "0012"}, true, "b", "12"},
        {{"-b", "4294967297"}, true, "b", "1"},
        {{"-b", "12a"}, true, "b", "0"},
        {{"-b", ""}, true, "b", "0"},
        {{}, true, "b", ""},
        // The log mask is decimal or hexadecimal; leftovers are reported and
        // leave the log off.
        {{"-X", "0x408"}, true, "X", "408 active 408"},
        {{"-X", "16"}, true, "X", "10 active 10"},
        {{"-X", "0X1F"}, true, "X", "1F active 1F"},
        {{"-X", "12abc"}, true, "X", "C active 0"},
        // -OVERRIDE may be cut to eight characters, no further.
        {{"-OVERRID"}, true, "O", "1"},
        // Option names are case-sensitive: -d is no command.
        {{"-d", "1234"}, true, "cmd", "0"},
        {{"-Z", "anything"}, true, "cmd", "1"},
    };
    for (const auto& row : rows) {
        std::vector<std::string> words = row.args;
        words.insert(words.begin(), "/usr/local/bin/updater");
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(&w[0]);
        argv.push_back(nullptr);
        Log::DeactivatePackage(0xFFFFFFFFu);
        CLI_Display display;
        Parameters params;
        testing::internal::CaptureStderr();
        uint32_t result = _get_params(display, static_cast<int>(words.size()), argv.data(), &params);
        testing::internal::GetCapturedStderr();
        const std::string args = row.args.empty() ? "" : row.args[0] + " " + row.args.back();
        EXPECT_EQ(result == 0, row.ok) << args;
        EXPECT_EQ(Field(params, row.field), row.value) << args;
        EXPECT_EQ(params.app_name, "updater");
    }
    Log::DeactivatePackage(0xFFFFFFFFu);
}
