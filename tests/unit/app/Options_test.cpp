// Command-line parsing: abbreviations, help, errors and number arguments.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CLI_Display.h"
#include "Log.h"
#include "Options.h"

namespace {

struct Parsed {
    uint32_t result;
    Parameters params;
    std::string errors;
};

Parsed Parse(std::vector<std::string> words)
{
    words.insert(words.begin(), "/usr/local/bin/updater");
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    CLI_Display display;
    Parsed p;
    testing::internal::CaptureStderr();
    p.result = _get_params(display, static_cast<int>(words.size()), argv.data(), &p.params);
    p.errors = testing::internal::GetCapturedStderr();
    return p;
}

TEST(Options, DefaultsAndAppName)
{
    Parsed p = Parse({});
    EXPECT_EQ(p.result, 0u);
    EXPECT_EQ(p.params.app_name, "updater");
    EXPECT_EQ(p.params.link_type, 1u);
    EXPECT_EQ(p.params.baud_rate, 115200u);
    EXPECT_EQ(p.params.server_address, "http://update.orvantis.com/cgi/u");
    EXPECT_EQ(p.params.log_file, "Updater.log");
    EXPECT_TRUE(p.params.usage_extended);
    EXPECT_FALSE(p.params.commands.IsSet(CMD_ANY_MASK));
}

TEST(Options, OverrideNeedsAtLeastEightCharacters)
{
    Parsed over = Parse({"-OVER"});
    EXPECT_NE(over.result, 0u);
    EXPECT_FALSE(over.params.override);
    EXPECT_EQ(over.errors, "Invalid format for firmware update override parameter [-OVER]\n");

    Parsed overrid = Parse({"-OVERRID"});
    EXPECT_EQ(overrid.result, 0u);
    EXPECT_TRUE(overrid.params.override);

    Parsed full = Parse({"-OVERRIDE"});
    EXPECT_TRUE(full.params.override);
    EXPECT_EQ(full.errors, "");
}

TEST(Options, HelpWinsOverEarlierErrorsAndStopsParsing)
{
    Parsed abbreviated = Parse({"--he"});
    EXPECT_EQ(abbreviated.result, 0u);
    EXPECT_TRUE(abbreviated.params.commands.IsSet(CMD_HELP));
    EXPECT_TRUE(abbreviated.params.usage_full);

    Parsed after_error = Parse({"-d", "XYZ", "-H"});
    EXPECT_EQ(after_error.result, 0u);
    EXPECT_EQ(after_error.errors, "Invalid serial number obtained from argument [XYZ]\n");

    Parsed before_error = Parse({"-h", "-d", "XYZ", "-D"});
    EXPECT_EQ(before_error.result, 0u);
    EXPECT_EQ(before_error.errors, "");
    EXPECT_FALSE(before_error.params.commands.IsSet(CMD_DISCOVER));
}

TEST(Options, UnknownAndAmbiguousWordsAndMissingArgumentsAreSkippedSilently)
{
    Parsed p = Parse({"-Q", "plain", "-", "-D", "-d"});
    EXPECT_EQ(p.result, 0u);
    EXPECT_EQ(p.errors, "");
    EXPECT_TRUE(p.params.commands.IsSet(CMD_DISCOVER));
    EXPECT_EQ(p.params.serial_number, 0u);
}

TEST(Options, OptionNamesAreCaseSensitive)
{
    Parsed p = Parse({"-d", "1234", "-D"});
    EXPECT_EQ(p.params.serial_number, 0x1234u);
    EXPECT_TRUE(p.params.commands.IsSet(CMD_DISCOVER));
    EXPECT_FALSE(p.params.commands.IsSet(CMD_UPDATE));
}

TEST(Options, TransportIsMatchedByPrefix)
{
    EXPECT_EQ(Parse({"-t", "USB"}).params.link_type, 1u);
    EXPECT_EQ(Parse({"-t", "TCPfoo"}).params.link_type, 2u);
    EXPECT_EQ(Parse({"-t", "TCPIP"}).params.link_type, 2u);
    EXPECT_EQ(Parse({"-t", "RECOVERY"}).params.link_type, 255u);
    Parsed lower = Parse({"-t", "usb"});
    EXPECT_NE(lower.result, 0u);
    EXPECT_EQ(lower.params.link_type, 0u);
    EXPECT_TRUE(lower.params.transport_given);
    EXPECT_EQ(lower.errors, "Invalid transport type:[usb]\nMust be one of the following: USB, TCPIP, RECOVER\n");
    Parsed partial = Parse({"-t", "RECOV"});
    EXPECT_NE(partial.result, 0u);
}

TEST(Options, SerialNumbersAreHexWithOptionalPrefix)
{
    EXPECT_EQ(Parse({"-d", "0x40F5849A"}).params.serial_number, 0x40F5849Au);
    EXPECT_EQ(Parse({"-d", "0X40f5849a"}).params.serial_number, 0x40F5849Au);
    EXPECT_EQ(Parse({"-d", "40F5849A"}).params.serial_number, 0x40F5849Au);
    EXPECT_EQ(Parse({"-r", "0xD272031D"}).params.router_serial_number, 0xD272031Du);

    Parsed bad = Parse({"-d", "0x12-4"});
    EXPECT_NE(bad.result, 0u);
    EXPECT_EQ(bad.errors, "Invalid serial number obtained from argument [12-4]\n");
    Parsed zero = Parse({"-d", "00000000"});
    EXPECT_NE(zero.result, 0u);
    Parsed router_zero = Parse({"-r", "0"});
    EXPECT_EQ(router_zero.errors, "Invalid router serial number obtained from argument [0]\n");
}

TEST(Options, LogMaskAcceptsDecimalAndHexAndReportsLeftovers)
{
    Log::DeactivatePackage(0xFFFFFFFFu);
    Parsed hex = Parse({"-X", "0x408"});
    EXPECT_EQ(hex.params.log_packages, 0x408u);
    EXPECT_EQ(Log::package_bitmask, 0x408u);
    Log::DeactivatePackage(0xFFFFFFFFu);

    Parsed dec = Parse({"-X", "16"});
    EXPECT_EQ(dec.params.log_packages, 16u);
    EXPECT_EQ(Log::package_bitmask, 16u);
    Log::DeactivatePackage(0xFFFFFFFFu);

    Parsed rest = Parse({"-X", "12abc"});
    EXPECT_EQ(rest.result, 0u);  // reported, not an error
    EXPECT_EQ(rest.params.log_packages, 12u);
    EXPECT_EQ(Log::package_bitmask, 0u);  // not activated
    EXPECT_EQ(rest.errors, "Invalid format for \"-X\" parameter, unprocessed characters [abc]\n");
}

TEST(Options, BuildIsStoredAsDecimalText)
{
    EXPECT_EQ(Parse({"-b", "99528558"}).params.build, "99528558");
    EXPECT_EQ(Parse({"-b", "0012"}).params.build, "12");
    EXPECT_EQ(Parse({"-b", "12a"}).params.build, "0");
    EXPECT_EQ(Parse({"-b", ""}).params.build, "0");
    EXPECT_EQ(Parse({}).params.build, "");
}

TEST(Options, UnhandledCommandIsAnError)
{
    Parsed p = Parse({"-Y"});
    EXPECT_NE(p.result, 0u);
    EXPECT_EQ(p.errors, "Unhandled command: [-Y]\n");
}

TEST(Options, StoredOnlyParametersAndSwallowedArguments)
{
    Parsed p = Parse({"-e", "-D", "-n", "-Z", "anything", "-l", "msg", "-k", "x.log", "-f", "a.bird", "-s",
                      "/dev/ttyS0", "-u", "10.0.0.1:8080", "-o", "9600"});
    EXPECT_EQ(p.result, 0u);
    EXPECT_TRUE(p.params.echo);
    EXPECT_FALSE(p.params.commands.IsSet(CMD_DISCOVER));  // -e swallowed it
    EXPECT_TRUE(p.params.n_flag);
    EXPECT_TRUE(p.params.commands.IsSet(CMD_Z));
    EXPECT_EQ(p.params.log_message, "msg");
    EXPECT_EQ(p.params.log_file, "x.log");
    EXPECT_EQ(p.params.bird_file, "a.bird");
    EXPECT_EQ(p.params.serial_port, "/dev/ttyS0");
    EXPECT_EQ(p.params.server_address, "10.0.0.1:8080");
    EXPECT_EQ(p.params.baud_rate, 9600u);
}

TEST(Options, NumberArguments)
{
    char* end = nullptr;
    EXPECT_EQ(_get_hex_arg("ffFF0000", &end), 0xFFFF0000u);
    EXPECT_EQ(_get_hex_arg("", &end), 0u);
    EXPECT_EQ(_get_hex_arg("12", nullptr), 0u);
    EXPECT_EQ(_get_hex_arg("0x12", &end), 0u);
    EXPECT_EQ(_get_hex_arg("123456789", &end), 0x23456789u);  // cut to 32 bits
    EXPECT_EQ(_get_int_arg("4294967297", &end), 1u);
    EXPECT_EQ(_get_int_arg("-1", &end), 0u);
    EXPECT_EQ(_get_int_arg("115200", &end), 115200u);
}

}  // namespace
