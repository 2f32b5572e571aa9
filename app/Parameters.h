#ifndef APP_PARAMETERS_H
#define APP_PARAMETERS_H

#include <cstdint>
#include <string>

// Bit set of requested commands.
typedef uint32_t COMMANDS;

#define CMD_DISCOVER 0x00000001u     // -D
#define CMD_UPDATE 0x00000002u       // -U (with transport RECOVER: recover)
#define CMD_BUILDS 0x00000004u       // -B
#define CMD_GET 0x00000008u          // -G
#define CMD_INFO 0x00000010u         // -I
#define CMD_CHECK 0x00000020u        // -C
#define CMD_FINGERPRINT 0x00000040u  // -N
#define CMD_Z 0x00000080u            // -Z (accepted, no action)
#define CMD_HELP 0x80000000u         // -h, -H, --help

// Any of these bits means a command was requested. 0x100, 0x400, 0x10000 and
// 0x20000 are inside the mask but no option sets them.
#define CMD_ANY_MASK 0x000305FFu

// Transport value of -t RECOVER, beside the core's linkType values (USB,
// TCPIP); it never reaches the module library.
constexpr uint32_t kRecoverLinkType = 255u;

class CommandsClass {
public:
    void Set(COMMANDS bits) { word |= bits; }
    bool IsSet(COMMANDS bits) const { return (word & bits) != 0; }

private:
    COMMANDS word = 0;
};

// The default update server; the usage text shows the host with its port.
#define DEFAULT_UPDATE_SERVER_HOST "update.orvantis.com"
#define DEFAULT_UPDATE_SERVER_PORT 80
#define DEFAULT_UPDATE_SERVER_URL "http://" DEFAULT_UPDATE_SERVER_HOST "/cgi/u"

// Capacity handed to the home directory lookup.
#define HOME_DIRECTORY_CAPACITY 2048

// Everything the command line can set, with its defaults.
struct Parameters {
    CommandsClass commands;
    uint32_t serial_number = 0;
    uint32_t router_serial_number = 0;
    uint32_t link_type = 1;  // USB
    bool transport_given = false;
    std::string serial_port;
    uint32_t baud_rate = 115200;
    uint8_t module_address = 0;  // no option sets it
    std::string bird_file;
    std::string log_message;  // stored only
    std::string build;
    bool echo = false;  // stored only
    std::string server_address = DEFAULT_UPDATE_SERVER_URL;
    bool n_flag = false;  // stored only
    std::string app_name;
    std::string home_directory;
    std::string log_file = "Updater.log";  // stored only; the log goes to stderr
    bool override = false;
    uint32_t log_packages = 0;
    bool usage_extended = true;
    bool usage_full = false;
    bool json = false;         // --json: one JSON document on stdout instead of the text
    bool all_modules = false;  // --all: -U for every module found
    uint32_t jobs = 0;         // --jobs: modules updated at once; 0: one by one with the whole text
};

#endif
