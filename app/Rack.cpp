#include "Rack.h"

#include <cstdio>

#include "aDefs.h"

namespace {

const UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::Info;

std::string sVersion(const DeviceInfo& d)
{
    char text[48];
    snprintf(text, sizeof text, "%d.%d.%d (%u)", d.version_major, d.version_minor,
             static_cast<int>(d.version_patch), d.build);
    return text;
}

// One module's turn; its lines go through display, which records them.
RackResult::Outcome sUpdateOne(UpdaterDisplayInterface& display, Updater& one, RackResult& result,
                               bool override)
{
    const uint32_t serial = result.before.spec.serialNumber;
    result.newest = one.Newest_Build(serial);
    if (result.newest == 0) return RackResult::Failed;
    if (result.before.error == aErrNone && result.newest == result.before.build) {
        display.message(kInfo, "Module %08X already runs build %u", serial, result.newest);
        return RackResult::Current;
    }
    uint32_t build = result.newest;
    if (!one.Has_Build(serial, build)) build = _get_firmware(display, one, serial, "", override);
    if (build == 0) return RackResult::Failed;
    return one.Update_Firmware(serial, build, "", 0, 0, override) ? RackResult::Updated : RackResult::Failed;
}

}  // namespace

uint32_t _get_firmware(UpdaterDisplayInterface& display, Updater& updater, uint32_t serial_number,
                       const std::string& build, bool override)
{
    display.message(kInfo, "Retrieving firmware for device with serial number %08X", serial_number);
    if (build.empty()) {
        display.message(kInfo, "No build specified");
        display.message(kInfo, "Using Latest build");
    } else {
        display.message(kInfo, "Retrieving firmware build %s", build.c_str());
    }
    return updater.Download_Firmware(serial_number, build, override, false);
}

std::vector<RackResult> _update_all(UpdaterDisplayInterface& display, bool quiet, Updater& updater,
                                    const std::string& server_address, const std::string& directory,
                                    linkType transport, bool override)
{
    display.message(kInfo, "Searching for Keystrand devices");
    std::vector<RackResult> results;
    for (const DeviceInfo& device : updater.Discover_Devices(transport)) {
        RackResult result;
        result.before = device;
        RecordingDisplay lines(&display, quiet);
        lines.message(kInfo, "Module %08X: %s %s", device.spec.serialNumber,
                      aDefs_GetModelName(device.spec.model), sVersion(device).c_str());
        Updater one(server_address, directory, lines);
        result.outcome = sUpdateOne(lines, one, result, override);
        result.error = lines.Error();
        result.cause = lines.ErrorCause();
        result.lines = lines.Lines();
        results.push_back(result);
    }
    if (results.empty()) return results;
    for (const DeviceInfo& device : updater.Discover_Devices(transport)) {
        for (RackResult& result : results) {
            if (result.before.spec.serialNumber != device.spec.serialNumber || device.error != aErrNone)
                continue;
            result.seen_after = true;
            result.after = device;
        }
    }
    return results;
}

void _display_rack_summary(UpdaterDisplayInterface& display, const std::vector<RackResult>& results)
{
    display.message(kInfo, "Summary:");
    if (results.empty()) {
        display.message(kInfo, "    No devices found.");
        return;
    }
    display.message(kInfo, "    %-8s  %-12s %-17s %-17s %s", "Device", "Model", "Before", "After", "Result");
    for (const RackResult& r : results) {
        std::string before = r.before.error == aErrNone ? sVersion(r.before) : "-";
        std::string after = r.seen_after ? sVersion(r.after) : "-";
        std::string outcome = r.outcome == RackResult::Updated ? "updated"
                              : r.outcome == RackResult::Current
                                  ? "current"
                                  : "failed: " + (r.cause.empty() ? r.error : r.cause);
        display.message(kInfo, "    %08X  %-12s %-17s %-17s %s", r.before.spec.serialNumber,
                        aDefs_GetModelName(r.before.spec.model), before.c_str(), after.c_str(),
                        outcome.c_str());
    }
}
