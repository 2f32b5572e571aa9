#ifndef APP_PRINTERS_H
#define APP_PRINTERS_H

#include <vector>

#include "Updater.h"
#include "UpdaterDisplayInterface.h"

// The copyright notice shown under the version line.
#define APP_COPYRIGHT "Copyright (c) 2023 Orvantis, Inc."

// "Updater (Version: ...)".
void _display_app_version(UpdaterDisplayInterface& display);
// "(<copyright>)".
void _display_copyright(UpdaterDisplayInterface& display);
// "[Keystrand Release: 2.9.29]" from the module library's version.
void _display_ks_version(UpdaterDisplayInterface& display);
// Writes the usage text to stderr (not through the display): always the
// header block; with full the parameter, command and sample blocks; with full
// and extended also the extended blocks.
void _display_usage(bool extended, bool full);
// The discovered-devices table for a transport (1 USB, 2 TCPIP).
void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices,
                          uint32_t transport);
// A device's build list, ordered by version text.
void _display_builds(UpdaterDisplayInterface& display, const BuildList& builds, uint32_t serial_number);
// "[ W0 W1 W2 W3 ]".
void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint);

#endif
