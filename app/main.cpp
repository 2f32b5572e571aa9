// Entry point: parse the command line, then run at most one of each requested
// command in a fixed order (-N, -G, -D, then -U or else -B; without those,
// -C then -I) and exit 0 or 1.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "BirdFileCheck.h"
#include "CLI_Display.h"
#include "Log.h"
#include "Options.h"
#include "Parameters.h"
#include "Printers.h"
#include "StoreInventory.h"
#include "Updater.h"
#include "aDirectory.h"
#include "aDiscovery.h"
#include "ksusb.h"

namespace {

// A busy discovery reply port is worth a debug line.
void sDiscoveryMessage(const char* text)
{
    Log::log(DEBUG_Network_Discovery, "%s", text);
}

// The USB layer's diagnostics join the debug log under the link's package.
void sUsbMessage(const char* text)
{
    Log::log(DEBUG_Network, "%s", text);
}

const UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::Info;
const UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::Error;

// Unsigned decimal value of a build text; empty or non-numeric text gives 0.
uint32_t sBuildNumber(const std::string& text)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return 0;
    return static_cast<uint32_t>(strtoul(text.c_str(), nullptr, 10));
}

int sRunCommands(Parameters& params, CLI_Display& display, Updater& updater, const std::string& directory)
{
    int status = 0;

    if (params.commands.IsSet(CMD_FINGERPRINT)) {
        if (params.serial_port.empty()) {
            display.message(kError, "Must specify the serial port used for connecting");
            return 1;
        }
        Fingerprint fingerprint;
        if (updater.Get_Fingerprint(fingerprint, params.serial_port, RECOVERY_LOADER_SERIAL, params.bird_file,
                                    params.baud_rate, true)) {
            _display_fingerprint(display, fingerprint);
        } else {
            display.error(updater.LastCause(), "Got no response from chip");
            status = 1;
        }
    }

    if (params.commands.IsSet(CMD_GET)) {
        if (params.serial_number == 0) {
            display.message(kError, "-G must specify a specific device via -d");
            display.message(kError, "--help for usage information");
            return 1;
        }
        display.message(kInfo, "Retrieving firmware for device with serial number %08X",
                        params.serial_number);
        if (params.build.empty()) {
            display.message(kInfo, "No build specified");
            display.message(kInfo, "Using Latest build");
        } else {
            display.message(kInfo, "Retrieving firmware build %s", params.build.c_str());
        }
        uint32_t build =
            updater.Download_Firmware(params.serial_number, params.build, params.override, false);
        if (build != 0) {
            params.build = std::to_string(build);
            status = 0;
        } else {
            status = 1;
        }
    }

    if (params.commands.IsSet(CMD_DISCOVER)) {
        uint32_t transport =
            (params.transport_given && params.link_type != kRecoverLinkType) ? params.link_type : 0;
        if (params.router_serial_number != 0) {
            display.message(kInfo, "Searching for Keystrand Network devices connected to %08X",
                            params.router_serial_number);
            std::vector<DeviceInfo> devices = updater.Discover_KSNetwork_Devices(
                params.router_serial_number, static_cast<linkType>(transport));
            _display_device_list(display, devices, transport);
        } else {
            display.message(kInfo, "Searching for Keystrand devices");
            if (transport == 0) transport = USB;
            std::vector<DeviceInfo> devices = updater.Discover_Devices(static_cast<linkType>(transport));
            _display_device_list(display, devices, transport);
        }
        return 0;
    }

    if (params.commands.IsSet(CMD_UPDATE)) {
        uint32_t build = sBuildNumber(params.build);
        if (params.link_type == kRecoverLinkType) {
            return updater.Recover_Firmware(params.serial_port, build, params.baud_rate, params.serial_number,
                                            params.bird_file, params.override)
                       ? 0
                       : 1;
        }
        if (params.serial_number == 0) {
            display.message(kError, "Must specify the specific device to be updated");
            return 1;
        }
        return updater.Update_Firmware(params.serial_number, build, params.bird_file, params.module_address,
                                       params.router_serial_number, params.override)
                   ? 0
                   : 1;
    }

    if (params.commands.IsSet(CMD_BUILDS)) {
        if (params.serial_number == 0) {
            display.message(kError, "Error must supply a serial number for the List Builds command");
            _display_usage(false, false);
            return 1;
        }
        BuildList builds = updater.Get_BuildList(params.serial_number);
        _display_builds(display, builds, params.serial_number);
        return 0;
    }

    if (params.commands.IsSet(CMD_CHECK)) {
        if (params.bird_file.empty()) {
            display.message(kError, "-C must specify a BIRD file via -f");
            return 1;
        }
        if (!BirdFileCheck::Run(display, params.bird_file)) status = 1;
    }

    if (params.commands.IsSet(CMD_INFO)) {
        if (!StoreInventory::Run(display, directory, params.serial_number)) status = 1;
    }

    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    Parameters params;
    CLI_Display display;
    Log::SetOutput(stderr);
    aDiscovery_SetMessageSink(sDiscoveryMessage);
    ksusb_set_message_sink(sUsbMessage);

    if (_get_params(display, argc, argv, &params) != 0) {
        _display_app_version(display);
        _display_copyright(display);
        _display_usage(false, false);
        _release_params(&params);
        return 1;
    }

    _display_app_version(display);

    if (params.commands.IsSet(CMD_HELP) || !params.commands.IsSet(CMD_ANY_MASK)) {
        _display_copyright(display);
        _display_ks_version(display);
        _display_usage(params.usage_extended, params.usage_full);
        _release_params(&params);
        return 0;
    }

    std::string directory = _build_updater_directory();
    Cause cause;
    if (aDirectory_Ensure(directory.c_str(), 0755, &cause) != aErrNone) {
        display.error(cause, "Could not find updater directory at %s", directory.c_str());
        _release_params(&params);
        return 1;
    }

    int status;
    {
        Updater updater(params.server_address, directory, display);
        status = sRunCommands(params, display, updater, directory);
    }
    _release_params(&params);
    return status;
}
