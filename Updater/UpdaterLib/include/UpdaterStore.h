#ifndef UPDATER_UPDATERSTORE_H
#define UPDATER_UPDATERSTORE_H

#include <cstdint>
#include <string>
#include <vector>

#include "UpdaterStoreItem.h"

// The root of the local store: one directory per device, named "%08X" of its
// serial number, holding its ".bird" builds and its settings. Nothing is
// cached: every search lists the directory anew. Not thread-safe.
class UpdaterStore {
public:
    // Makes sure path is a directory (mode 0755). Throws CausedError
    // "UpdaterStore: Could not create directory <path> error <aErr>" or
    // "UpdaterStore: <path> exists and is a file", with the cause.
    explicit UpdaterStore(const std::string& path);

    const std::string& BasePath() const { return base_path; }

    // Makes sure base_path/name is a directory and returns its item with
    // settings loaded (created when missing). Throws as the constructor does.
    UpdaterStoreItem AddDevice(const std::string& name);
    UpdaterStoreItem AddDevice(uint32_t serial);

    // Searches the root for the entry named name, else the first entry (in
    // directory order) whose name contains name. When found and item is not
    // null, fills item and loads its settings.
    bool FindDevice(const std::string& name, UpdaterStoreItem* item) const;
    bool FindDevice(uint32_t serial, UpdaterStoreItem* item) const;

    // When the device is found, appends an item for every entry of its
    // directory whose name does not begin with ".", in directory order, and
    // returns true.
    bool FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& items) const;

    // Searches directory as FindDevice searches the root (exact name first,
    // else the first name containing target). Fills item when not null.
    static bool FindItem(const std::string& directory, const std::string& target, UpdaterStoreItem* item);

private:
    std::string base_path;
};

#endif
