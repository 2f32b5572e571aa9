// The usage screen. The tables below are the help text, in the order it is
// printed; only the column layout is applied in code.
#include <cstdio>
#include <string>

#include "Log.h"
#include "Parameters.h"
#include "Printers.h"

namespace {

struct UsageLine {
    const char* option;  // null: a continuation line of the previous option
    const char* text;
};

// An option row is five blanks, the option in 25 columns, "- " and its first
// description line; continuation lines are indented by 32 blanks. "" as text
// of a continuation line stands for a blank line.
const UsageLine kParameters[] = {
    {"-b <build number>", "Build version of the firmware to transfer."},
    {nullptr, "[Default: latest version available]."},
    {"-d <device>", "Device serial number of the device to access."},
    {"-t <transport type>", "communications method [USB,TCP,RECOVER]."},
    {"-r <router serial>", "indirect connection through router device"},
    {"-s <serial port>", "name of serial port to use for recovery"},
    {"-o <baud rate>", "baud rate for serial port (2400, 4800, 9600,"},
    {nullptr, "19200, 38400, 57600, 115200, 230400)"},
};

// Commands are each followed by a blank line.
const UsageLine kCommands[] = {
    {"-B", "list the Builds available for given device."},
    {"-D", "Discover devices that are currently connected."},
    {"-G", "Get build file from the Orvantis server and"},
    {nullptr, "store on local machine for download to device."},
    {nullptr, "Must specify a specific device [\"-d\" option]."},
    {nullptr, "Default is to obtain the latest build for the"},
    {nullptr, "given device, override with \"-b\" option."},
    {"-U", "Update the firmware on device specified."},
    {nullptr, "Must specify a specific device [\"-d\" option]."},
    {nullptr, "Default is to download the latest build for the"},
    {nullptr, "given device, override with \"-b\" option or"},
    {nullptr, "specify specific BIRD file using \"-f\" option."},
    {"-H or -h", "Display extended usage information."},
};

const UsageLine kExtendedCommandsHead[] = {
    {"-I", "View stored device information."},
    {nullptr, "Must either use DISCOVER command [\"-D\"] or"},
    {nullptr, "specify a specific device [\"-d\" option]."},
    {"-OVERRIDE", "Override the model checks for BIRD firmware files."},
    {nullptr, "This option should only be used when authorized by"},
    {nullptr, "Orvantis development engineers."},
    {"-N", "Get fingerprint from a device, requires -s"},
};

struct LogPackage {
    const char* name;
    unsigned bit;
    bool blank_after;
};

// The -X package list: name in 20 columns, then the bit.
const LogPackage kPackages[] = {
    {"DEBUG_Updater", DEBUG_Updater, false},
    {"DEBUG_History", DEBUG_History, false},
    {"DEBUG_Attributes", DEBUG_Attributes, false},
    {"DEBUG_BirdFile", DEBUG_BirdFile, false},
    {"DEBUG_Network", DEBUG_Network_Discovery, false},
    {"DEBUG_ServerComm", DEBUG_ServerComm, true},
    {"DEBUG_Network", DEBUG_Network, false},
    {"DEBUG_Network_SR", DEBUG_Network_SR, false},
    {"DEBUG_Network_FIRM", DEBUG_Network_FIRM, true},
    {"DEBUG_NXPSerial", DEBUG_NXPSerial, false},
    {"DEBUG_NXPSerial_E", DEBUG_NXPSerial_E, false},
    {"DEBUG_NXPSerial_SR", DEBUG_NXPSerial_SR, true},
    {"DEBUG_APP", DEBUG_APP, true},
    {"DEBUG_iMXSerial", DEBUG_iMXSerial, false},
};

// Samples: the command in 31 columns, then its explanation; continuation
// lines indented by 31 blanks; a blank line after each sample.
const UsageLine kSamples[] = {
    {"-D", "Discover all devices connected by either USB or TCPIP."},
    {nullptr, "Records the device information into the settings for that device."},
    {"-D -t USB", "Discover all the devices connected by USB. Records the"},
    {nullptr, "device information into the settings for that device."},
    {"-D -t USB -d 0F5849A", "Discover settings of the specific device (serial number 0x40F5849A)"},
    {"-G -d 40F5849A", "Get the latest firmware for the given device."},
    {nullptr, "Downloads the firmware file into the updater specific device directory."},
    {"-U -d 40F5849A", "Update the firmware on the specific device."},
    {nullptr, "Without other options, this command will try to locate"},
    {nullptr, "the latest firmware version to be used for updating the device."},
    {"-G -d 40F5849A -b 99528558", "Get the specified build's firmware for the given device."},
    {nullptr, "Downloads the firmware file into the updater's specific"},
    {nullptr, "device directory with the build number as the filename."},
    {"-G -U -d 40F5849A", "Get the latest firmware for the given device."},
    {nullptr, "Downloads the firmware file into the updater specific"},
    {nullptr, "device directory. After download, update the firmware"},
    {nullptr, "using the latest release."},
    {"-U -t RECOVER -s /dev/serial", "Update the firmware as described above, but uses the serial interface"},
    {nullptr, "in communicating with the device to install the latest firmware."},
};

const UsageLine kNetworkSamples[] = {
    {"-D -r D272031D", "Discover all devices connected to the I2C Keystrand network"},
    {nullptr, "of the given routing device D272031D."},
};

void sOptionLine(const char* option, const char* text)
{
    fprintf(stderr, "     %-25s- %s\n", option, text);
}

void sContinuation(const char* text)
{
    fprintf(stderr, "%32s%s\n", "", text);
}

// Prints option rows; with commands, a blank line closes each option.
template <size_t N>
void sOptionBlock(const UsageLine (&rows)[N], bool commands)
{
    for (size_t i = 0; i < N; ++i) {
        if (rows[i].option != nullptr)
            sOptionLine(rows[i].option, rows[i].text);
        else
            sContinuation(rows[i].text);
        bool last_line_of_option = i + 1 == N || rows[i + 1].option != nullptr;
        if (commands && last_line_of_option) fputs("\n", stderr);
    }
}

template <size_t N>
void sSampleBlock(const UsageLine (&rows)[N])
{
    for (size_t i = 0; i < N; ++i) {
        if (rows[i].option != nullptr)
            fprintf(stderr, "%-31s%s\n", rows[i].option, rows[i].text);
        else
            fprintf(stderr, "%31s%s\n", "", rows[i].text);
        if (i + 1 == N || rows[i + 1].option != nullptr) fputs("\n", stderr);
    }
}

}  // namespace

void _display_usage(bool extended, bool full)
{
    fprintf(stderr,
            "\nApplication Usage:\n"
            "%s <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n"
            "    [-d serial_num]\n"
            "    [-t transport] [-r router_serial]\n"
            "    [-s serial_port] [-o baud_rate]\n"
            "\n"
            "  Keystrand Update and Maintenance Application\n"
            "    -H -h or --help for full usage information.\n"
            "\n",
            "Updater");
    if (!full) return;

    fputs("  Parameters to commands:\n", stderr);
    sOptionBlock(kParameters, false);
    fputs("\n  Commands:\n", stderr);
    sOptionBlock(kCommands, true);

    if (extended) {
        fputs("  Extended Parameters:\n", stderr);
        sOptionLine("-f <bird file>", "Firmware file to be transferred to device.");
        sOptionLine("-e", "echoing of bytes enabled during recovery.");
        fputs("\n", stderr);
        sOptionLine("-l 'log message'", "message to place in device history log");
        sOptionLine("-k <filename>", "log messages written into given filename");
        sContinuation("Default:[APP.log]");
        sOptionLine("-u <host:port>", "The hostname and port of the update server");
        std::string server_default = std::string("Default: ") + DEFAULT_UPDATE_SERVER_HOST + ":" +
                                     std::to_string(DEFAULT_UPDATE_SERVER_PORT);
        sContinuation(server_default.c_str());
        sOptionLine("--json", "write one JSON document to stdout instead of the text");
        sOptionLine("--all", "with -U: update every module found to its newest build");
        sOptionLine("--jobs <N>", "with --all: update up to N modules at once");

        fputs("\n  Extended Commands:\n", stderr);
        sOptionBlock(kExtendedCommandsHead, true);
        sOptionLine("-X <BIT_MASK>", "Bitmask for Logging");
        for (const LogPackage& p : kPackages) {
            fprintf(stderr, "%32s%-20s0x%08X\n", "", p.name, p.bit);
            if (p.blank_after) fputs("\n", stderr);
        }
        fputs("\n", stderr);
        sOptionLine("-C", "Check the given BIRDFILE");
        fputs("\n", stderr);
    }

    fputs(" Sample usage:\n\n", stderr);
    sSampleBlock(kSamples);
    fputs(" Sample usage for network discovery and updates:\n\n", stderr);
    sSampleBlock(kNetworkSamples);
}
