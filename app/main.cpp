// Entry point: parse the command line, then run at most one of each requested
// command in a fixed order (-N, -G, -D, then -U or else -B; without those,
// -C then -I) and exit 0 or 1. With --json the commands' results go into one
// JSON document on stdout instead of the text.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "BirdFileCheck.h"
#include "CLI_Display.h"
#include "JsonReport.h"
#include "Log.h"
#include "Options.h"
#include "Parameters.h"
#include "Printers.h"
#include "Rack.h"
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

// --all finds its modules and their builds itself.
bool sAllRefused(const Parameters& params, UpdaterDisplayInterface& display)
{
    if (!params.commands.IsSet(CMD_UPDATE)) {
        display.message(kError, "--all needs -U: it updates every module found");
        return true;
    }
    if (!params.build.empty() || params.serial_number != 0 || !params.bird_file.empty() ||
        params.link_type == kRecoverLinkType) {
        display.message(kError,
                        "--all updates every module found to its newest build: -b, -d, -f and -t "
                        "RECOVER do not apply");
        return true;
    }
    return false;
}

// report is null for the text output.
int sRunCommands(Parameters& params, UpdaterDisplayInterface& display, JsonReport* report, Updater& updater,
                 const std::string& directory)
{
    int status = 0;
    if (params.jobs != 0 && !params.all_modules) {
        display.message(kError, "--jobs needs --all: it is the number of modules updated at once");
        return 1;
    }
    if (params.all_modules && sAllRefused(params, display)) return 1;

    if (params.commands.IsSet(CMD_FINGERPRINT)) {
        if (params.serial_port.empty()) {
            display.message(kError, "Must specify the serial port used for connecting");
            return 1;
        }
        Fingerprint fingerprint;
        if (updater.Get_Fingerprint(fingerprint, params.serial_port, RECOVERY_LOADER_SERIAL, params.bird_file,
                                    params.baud_rate, true)) {
            if (report != nullptr)
                report->Fingerprint(params.serial_port, fingerprint);
            else
                _display_fingerprint(display, fingerprint);
        } else {
            display.error(updater.LastCause(), "Got no response from chip");
            status = 1;
        }
    }

    // --all gets each module's build in its turn.
    if (params.commands.IsSet(CMD_GET) && !params.all_modules) {
        if (params.serial_number == 0) {
            display.message(kError, "-G must specify a specific device via -d");
            display.message(kError, "--help for usage information");
            return 1;
        }
        uint32_t build = _get_firmware(display, updater, params.serial_number, params.build, params.override);
        if (report != nullptr) report->Download(params.serial_number, build, directory);
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
            if (report != nullptr)
                report->Discovery(transport, params.router_serial_number, devices);
            else
                _display_device_list(display, devices, transport);
        } else {
            display.message(kInfo, "Searching for Keystrand devices");
            if (transport == 0) transport = USB;
            std::vector<DeviceInfo> devices = updater.Discover_Devices(static_cast<linkType>(transport));
            if (report != nullptr)
                report->Discovery(transport, 0, devices);
            else
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
        if (params.all_modules) {
            uint32_t transport = params.transport_given ? params.link_type : 0;
            std::vector<RackResult> results =
                _update_all(display, report != nullptr, updater, params.server_address, directory,
                            static_cast<linkType>(transport), params.override, params.jobs);
            if (report != nullptr)
                report->Modules(results);
            else
                _display_rack_summary(display, results);
            for (const RackResult& result : results)
                if (result.outcome == RackResult::Failed) return 1;
            return 0;
        }
        if (params.serial_number == 0) {
            display.message(kError, "Must specify the specific device to be updated");
            return 1;
        }
        bool updated =
            updater.Update_Firmware(params.serial_number, build, params.bird_file, params.module_address,
                                    params.router_serial_number, params.override);
        if (report != nullptr) report->Update(params.serial_number, updater.LastUpdate());
        return updated ? 0 : 1;
    }

    if (params.commands.IsSet(CMD_BUILDS)) {
        if (params.serial_number == 0) {
            display.message(kError, "Error must supply a serial number for the List Builds command");
            _display_usage(false, false);
            return 1;
        }
        BuildList builds = updater.Get_BuildList(params.serial_number);
        if (report != nullptr)
            report->Builds(params.serial_number, builds);
        else
            _display_builds(display, builds, params.serial_number);
        return 0;
    }

    if (params.commands.IsSet(CMD_CHECK)) {
        if (params.bird_file.empty()) {
            display.message(kError, "-C must specify a BIRD file via -f");
            return 1;
        }
        RecordingDisplay lines(&display, false);
        if (!BirdFileCheck::Run(lines, params.bird_file)) status = 1;
        if (report != nullptr) report->Check(params.bird_file, status == 0, lines);
    }

    if (params.commands.IsSet(CMD_INFO)) {
        if (!StoreInventory::Run(display, directory, params.serial_number)) status = 1;
        if (report != nullptr) report->Store(params.serial_number, directory);
    }

    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    Parameters params;
    CLI_Display cli;
    // With --json, stdout carries the document alone: the lines are
    // recorded, and only those for stderr are printed.
    RecordingDisplay recorder(&cli, true);
    Log::SetOutput(stderr);
    aDiscovery_SetMessageSink(sDiscoveryMessage);
    ksusb_set_message_sink(sUsbMessage);

    if (_get_params(recorder, argc, argv, &params) != 0) {
        if (params.json) {
            JsonReport().Print(false, recorder);
        } else {
            _display_app_version(cli);
            _display_copyright(cli);
        }
        _display_usage(false, false);
        _release_params(&params);
        return 1;
    }

    UpdaterDisplayInterface& display = params.json ? static_cast<UpdaterDisplayInterface&>(recorder) : cli;
    if (!params.json) _display_app_version(display);

    if (params.commands.IsSet(CMD_HELP) || !params.commands.IsSet(CMD_ANY_MASK)) {
        _release_params(&params);
        if (params.json) {
            display.message(kError, "--json needs a command: the usage text has no JSON document");
            return 1;
        }
        _display_copyright(display);
        _display_ks_version(display);
        _display_usage(params.usage_extended, params.usage_full);
        return 0;
    }

    std::string directory = _build_updater_directory();
    JsonReport report;
    int status = 1;
    Cause cause;
    if (aDirectory_Ensure(directory.c_str(), 0755, &cause) != aErrNone) {
        display.error(cause, "Could not find updater directory at %s", directory.c_str());
    } else {
        Updater updater(params.server_address, directory, display);
        status = sRunCommands(params, display, params.json ? &report : nullptr, updater, directory);
    }
    if (params.json) report.Print(status == 0, recorder);
    _release_params(&params);
    return status;
}
