#ifndef UPDATER_STOREINVENTORY_H
#define UPDATER_STOREINVENTORY_H

#include <cstdint>
#include <string>

#include "UpdaterDisplayInterface.h"

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
};

#endif
