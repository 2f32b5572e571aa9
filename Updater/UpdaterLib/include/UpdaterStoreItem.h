#ifndef UPDATER_UPDATERSTOREITEM_H
#define UPDATER_UPDATERSTOREITEM_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "BirdFile.h"
#include "KeyValueStore.h"
#include "aError.h"

// What an entry of the store is.
enum store_item_t : uint8_t {
    STORE_ITEM_FILE = 0,
    STORE_ITEM_DIRECTORY = 1,
    STORE_ITEM_NONE = 2,
};

// One entry of the local store (for a device, its directory) with its
// settings. A plain value: copies carry all four fields. Not thread-safe.
class UpdaterStoreItem {
public:
    // No item: empty names, kind STORE_ITEM_NONE, empty settings.
    UpdaterStoreItem();
    // Loads settings from base/name/.settings, creating that file when it is
    // missing (failures are only logged).
    UpdaterStoreItem(const std::string& base, const std::string& name, store_item_t kind);

    // Both base_path and name are set.
    bool IsValid() const;
    // base_path/name
    std::string Path() const;

    // Replaces base_path/name/file with length bytes, atomically: a failed
    // write leaves an existing file as it was. aErrNotFound for null bytes,
    // an invalid item or a file that cannot be created; aFile_Write's error
    // or aErrIO when the bytes cannot all be written and committed. The
    // cause goes to *cause when cause is not null.
    aErr WriteFile(const std::string& file, const uint8_t* bytes, size_t length, Cause* cause = nullptr);
    // Loads base_path/name/file. Throws CausedError "Invalid bird " and the
    // path when its header is not a BIRD header, and "Failed to load bird
    // data" when it does not load.
    BirdFile ReadBirdFile(const std::string& file) const;
    // True when an entry of this item's directory is named file, else when a
    // name contains it.
    bool FileExists(const std::string& file) const;

    std::string base_path;  // directory that holds the item
    std::string name;       // the item's own name (a device: "%08X" of its serial)
    store_item_t kind;
    KeyValueStore settings;  // loaded from base_path/name/.settings
};

#endif
