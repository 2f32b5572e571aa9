#include "Options.h"

#include <cstdlib>
#include <cstring>

#include "Log.h"
#include "OptionParser.h"
#include "aDirectory.h"
#include "aLinkSpec.h"

namespace {

enum OptionId { OPT_HELP = 0, OPT_COMMAND = 1, OPT_PARAMETER = 2, OPT_JSON = 3, OPT_ALL = 4, OPT_JOBS = 5 };

const SOption kOptions[] = {
    {OPT_COMMAND, "-B", SO_NONE},      {OPT_COMMAND, "-D", SO_NONE},      {OPT_COMMAND, "-G", SO_NONE},
    {OPT_COMMAND, "-I", SO_NONE},      {OPT_COMMAND, "-U", SO_NONE},      {OPT_COMMAND, "-OVERRIDE", SO_NONE},
    {OPT_COMMAND, "-N", SO_NONE},      {OPT_COMMAND, "-Y", SO_NONE},      {OPT_COMMAND, "-C", SO_NONE},
    {OPT_HELP, "-h", SO_NONE},         {OPT_HELP, "-H", SO_NONE},         {OPT_PARAMETER, "-n", SO_NONE},
    {OPT_PARAMETER, "-X", SO_REQ_SEP}, {OPT_PARAMETER, "-Z", SO_REQ_SEP}, {OPT_PARAMETER, "-b", SO_REQ_SEP},
    {OPT_PARAMETER, "-d", SO_REQ_SEP}, {OPT_PARAMETER, "-t", SO_REQ_SEP}, {OPT_PARAMETER, "-f", SO_REQ_SEP},
    {OPT_PARAMETER, "-r", SO_REQ_SEP}, {OPT_PARAMETER, "-s", SO_REQ_SEP}, {OPT_PARAMETER, "-o", SO_REQ_SEP},
    {OPT_PARAMETER, "-e", SO_REQ_SEP}, {OPT_PARAMETER, "-l", SO_REQ_SEP}, {OPT_PARAMETER, "-k", SO_REQ_SEP},
    {OPT_PARAMETER, "-u", SO_REQ_SEP}, {OPT_HELP, "--help", SO_NONE},     {OPT_JSON, "--json", SO_NONE},
    {OPT_ALL, "--all", SO_NONE},       {OPT_JOBS, "--jobs", SO_REQ_SEP},  SO_END_OF_OPTIONS,
};

const UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::Error;

uint32_t sGetArg(const char* text, char** end, const char* digits, int base)
{
    if (end == nullptr || text == nullptr) return 0;
    if (text[strspn(text, digits)] != '\0') return 0;
    return static_cast<uint32_t>(strtoul(text, end, base));
}

const char* sStripHexPrefix(const char* arg, const char* log_text)
{
    if (arg[0] == '0' && (arg[1] == 'x' || arg[1] == 'X')) {
        Log::log(DEBUG_Updater, "%s", log_text);
        return arg + 2;
    }
    return arg;
}

// Returns true when the command word is in error.
bool sCommand(UpdaterDisplayInterface& display, const char* text, Parameters* params)
{
    switch (text[1]) {
        case 'B':
            params->commands.Set(CMD_BUILDS);
            return false;
        case 'C':
            params->commands.Set(CMD_CHECK);
            return false;
        case 'D':
            params->commands.Set(CMD_DISCOVER);
            return false;
        case 'G':
            params->commands.Set(CMD_GET);
            return false;
        case 'I':
            params->commands.Set(CMD_INFO);
            return false;
        case 'N':
            params->commands.Set(CMD_FINGERPRINT);
            return false;
        case 'U':
            params->commands.Set(CMD_UPDATE);
            return false;
        case 'O':
            // Abbreviations down to -OVERRID count; shorter ones are refused
            // so a stray -O never skips the model checks.
            if (strncmp(text, "-OVERRID", 8) == 0) {
                params->override = true;
                return false;
            }
            display.message(kError, "Invalid format for firmware update override parameter [%s]", text);
            return true;
        default:
            display.message(kError, "Unhandled command: [%s]", text);
            return true;
    }
}

// Returns true when the parameter is in error.
bool sParameter(UpdaterDisplayInterface& display, const char* text, const char* arg, Parameters* params)
{
    char* end = nullptr;
    switch (text[1]) {
        case 'X': {
            int base = (arg[0] == '0' && (arg[1] == 'x' || arg[1] == 'X')) ? 16 : 10;
            uint32_t value = static_cast<uint32_t>(strtoul(arg, &end, base));
            params->log_packages = value;
            params->usage_extended = true;
            if (end != nullptr && *end != '\0')
                display.message(kError, "Invalid format for \"%s\" parameter, unprocessed characters [%s]",
                                text, end);
            else
                Log::ActivatePackage(value);
            return false;
        }
        case 'Z':
            params->commands.Set(CMD_Z);
            return false;
        case 'b':
            params->build = std::to_string(_get_int_arg(arg, &end));
            return false;
        case 'd': {
            const char* digits = sStripHexPrefix(arg, "Discarding '0x' serial number prefix\n");
            params->serial_number = _get_hex_arg(digits, &end);
            if (params->serial_number == 0) {
                display.message(kError, "Invalid serial number obtained from argument [%s]", digits);
                return true;
            }
            return false;
        }
        case 'r': {
            const char* digits = sStripHexPrefix(arg, "Discarding '0x' router serial number prefix\n");
            params->router_serial_number = _get_hex_arg(digits, &end);
            if (params->router_serial_number == 0) {
                display.message(kError, "Invalid router serial number obtained from argument [%s]", digits);
                return true;
            }
            return false;
        }
        case 'e':
            params->echo = true;
            return false;
        case 'n':
            params->n_flag = true;
            return false;
        case 'f':
            params->bird_file = arg;
            return false;
        case 'l':
            params->log_message = arg;
            return false;
        case 'k':
            params->log_file = arg;
            return false;
        case 's':
            params->serial_port = arg;
            return false;
        case 'u':
            params->server_address = arg;
            return false;
        case 'o':
            params->baud_rate = _get_int_arg(arg, &end);
            return false;
        case 't':
            params->transport_given = true;
            if (strncmp(arg, "USB", 3) == 0) {
                params->link_type = USB;
            } else if (strncmp(arg, "TCP", 3) == 0) {
                params->link_type = TCPIP;
            } else if (strncmp(arg, "RECOVER", 7) == 0) {
                params->link_type = kRecoverLinkType;
            } else {
                display.message(
                    kError, "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER",
                    arg);
                params->link_type = 0;
                return true;
            }
            return false;
        default:
            return false;
    }
}

}  // namespace

uint32_t _get_hex_arg(const char* text, char** end)
{
    return sGetArg(text, end, "0123456789ABCDEFabcdef", 16);
}

uint32_t _get_int_arg(const char* text, char** end)
{
    return sGetArg(text, end, "0123456789", 10);
}

uint32_t _validate_params(Parameters*)
{
    return 0;
}

uint32_t _release_params(Parameters*)
{
    return 0;
}

std::string _build_updater_directory()
{
    char home[HOME_DIRECTORY_CAPACITY];
    aErr err = aDirectory_GetHomeDirectory(home, sizeof home);
    if (err != aErrNone) {
        Log::log(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", err);
        return std::string();
    }
    return BuildPath(home, ".orvantis", "updater", nullptr);
}

uint32_t _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters* params)
{
    *params = Parameters();
    if (argc > 0 && argv[0] != nullptr) {
        const char* name = argv[0];
        for (const char* p = argv[0]; *p != '\0'; ++p)
            if (*p == '/' || *p == '\\') name = p + 1;
        params->app_name = name;
    }
    char home[HOME_DIRECTORY_CAPACITY] = "";
    aDirectory_GetHomeDirectory(home, sizeof home);
    params->home_directory = home;
    Log::log(DEBUG_APP, "Home directory:[%s]\n", params->home_directory.c_str());

    bool error = false;
    OptionParser parser(argc, argv, kOptions);
    while (parser.Next()) {
        if (parser.LastError() != OptionParser::SO_SUCCESS) continue;
        switch (parser.OptionId()) {
            case OPT_HELP:
                params->commands.Set(CMD_HELP);
                params->usage_full = true;
                return 0;
            case OPT_COMMAND:
                error |= sCommand(display, parser.OptionText(), params);
                break;
            case OPT_PARAMETER:
                error |= sParameter(display, parser.OptionText(), parser.OptionArg(), params);
                break;
            case OPT_JSON:
                params->json = true;
                break;
            case OPT_ALL:
                params->all_modules = true;
                break;
            case OPT_JOBS: {
                char* end = nullptr;
                params->jobs = _get_int_arg(parser.OptionArg(), &end);
                if (params->jobs == 0) {
                    display.message(kError, "Invalid number of jobs [%s]: --jobs takes a number from 1 up",
                                    parser.OptionArg());
                    error = true;
                }
                break;
            }
            default:
                break;
        }
    }

    Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", params->app_name.c_str());
    for (int i = 0; i < argc; ++i) Log::log(DEBUG_APP, "\t[%s]\n", argv[i]);
    if (error) return 1;
    return _validate_params(params);
}
