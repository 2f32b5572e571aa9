#include "Printers.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>

#include "aDefs.h"
#include "aVersion.h"

namespace {
const UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::Info;
}

void _display_app_version(UpdaterDisplayInterface& display)
{
    display.message(kInfo, "%s (%s)", "Updater", "Version: 1.1 Apr 26 2023");
}

void _display_copyright(UpdaterDisplayInterface& display)
{
    display.message(kInfo, "(%s)", APP_COPYRIGHT);
}

void _display_ks_version(UpdaterDisplayInterface& display)
{
    display.message(kInfo, "[Keystrand Release: %d.%d.%d]", aVersion_GetMajor(), aVersion_GetMinor(),
                    static_cast<int>(aVersion_GetPatch()));
}

void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fp)
{
    display.message(kInfo, "[ %08X %08X %08X %08X ]", fp.w0, fp.w1, fp.w2, fp.w3);
}

void _display_builds(UpdaterDisplayInterface& display, const BuildList& builds, uint32_t serial_number)
{
    if (builds.empty()) {
        display.message(kInfo, "No builds found for device [%08X]", serial_number);
        return;
    }
    display.message(kInfo, "Build List for device [%08X]:\n", serial_number);
    display.message(kInfo, "%-15.15s\t%-15.15s", "Build", "Version");
    // Ordered by the version text as plain bytes, not numerically.
    std::vector<std::pair<std::string, std::string>> rows(builds.begin(), builds.end());
    std::stable_sort(rows.begin(), rows.end(),
                     [](const auto& a, const auto& b) { return a.second < b.second; });
    for (const auto& row : rows)
        display.message(kInfo, "%-15.15s\t%-15.15s", row.first.c_str(), row.second.c_str());
}

void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices,
                          uint32_t transport)
{
    const char* name = transport == USB ? "USB" : transport == TCPIP ? "TCPIP" : "Unknown";
    display.message(kInfo, "Discovered Devices: (%s)", name);
    if (devices.empty()) {
        display.message(kInfo, "    No devices found.");
        return;
    }
    if (transport == USB)
        display.message(kInfo, "    Device    Module   Router  Model          Firmware Version (Build)");
    else
        display.message(
            kInfo, "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]");
    for (const DeviceInfo& d : devices) {
        const char* model = aDefs_GetModelName(d.spec.model);
        if (d.spec.type == TCPIP) {
            // The address is held in network order, so its bytes in memory
            // order are the usual dotted form.
            const unsigned char* ip = reinterpret_cast<const unsigned char*>(&d.spec.ipAddress);
            char address[32];
            snprintf(address, sizeof address, "[%d.%d.%d.%d]", ip[0], ip[1], ip[2], ip[3]);
            display.message(kInfo, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%u) %s",
                            d.spec.serialNumber, d.spec.moduleAddress, d.spec.routerAddress, model,
                            d.version_major, d.version_minor, static_cast<int>(d.version_patch), d.build,
                            address);
        } else if (d.error != aErrNone) {
            display.message(kInfo, "    %08X  [Error (%d): Is someone else connected to this device?]",
                            d.spec.serialNumber, static_cast<int>(d.error));
        } else {
            display.message(kInfo, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%u)", d.spec.serialNumber,
                            d.spec.moduleAddress, d.spec.routerAddress, model, d.version_major,
                            d.version_minor, static_cast<int>(d.version_patch), d.build);
        }
    }
}
