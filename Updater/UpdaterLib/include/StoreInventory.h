#ifndef UPDATER_STOREINVENTORY_H
#define UPDATER_STOREINVENTORY_H

#include <cstdint>
#include <string>
#include <vector>

#include "UpdaterDisplayInterface.h"

// One device entry of the store, with two of its settings ("" when unset).
struct StoredDevice {
    std::string name;
    std::string latest_download;
    std::string latest_transfer;
};

// One file in a device's directory; problem says why it did not load.
struct StoredBuild {
    std::string file;
    bool loaded = false;
    uint32_t build = 0;
    std::string version;
    std::string model;
    std::string problem;
};

// The -I report: what the local store holds, through the display.
class StoreInventory {
public:
    // For one device (serial_number non-zero): its directory, its settings
    // as "key = value" lines and its stored builds in build order; false
    // with a message when the device has no entry. For serial_number 0:
    // every device with its LATEST_DOWNLOAD and LATEST_TRANSFER; true also
    // for an empty store. False when the store cannot be opened.
    static bool Run(UpdaterDisplayInterface& display, const std::string& updater_directory,
                    uint32_t serial_number);

    // The device entries in name order. Throws std::runtime_error when the
    // store cannot be opened.
    static std::vector<StoredDevice> Devices(const std::string& updater_directory);
    // A device's files, loadable builds in build order first. Throws as
    // Devices does.
    static std::vector<StoredBuild> Builds(const std::string& updater_directory, uint32_t serial_number);
};

#endif
