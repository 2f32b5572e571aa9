#include "UpdaterStore.h"

#include <sys/stat.h>

#include <cstdio>
#include <stdexcept>

#include "Cause.h"
#include "Log.h"
#include "aDirectory.h"

namespace {

// The search handed to the directory listing.
struct result_t {
    bool found = false;
    std::string target;
    UpdaterStoreItem* item = nullptr;
    // The first entry whose name only contains the target; it wins only when
    // no entry is named exactly so (0001ABCD.old must not shadow 0001ABCD).
    bool partial = false;
    std::string partial_path;
    bool partial_is_directory = false;
};

std::string NameOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string DirectoryOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

UpdaterStoreItem ItemFor(const std::string& path, bool is_directory)
{
    return UpdaterStoreItem(DirectoryOf(path), NameOf(path),
                            is_directory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
}

bool _find_item(const aDirectoryListData* entry, void* ref)
{
    result_t* result = static_cast<result_t*>(ref);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", entry->path,
             int(entry->isDirectory), int(entry->size), result->target.c_str());
    const std::string name = NameOf(entry->path);
    if (name == "." || name == "..") return true;
    if (name == result->target) {
        result->found = true;
        result->partial = false;
        if (result->item != nullptr) *result->item = ItemFor(entry->path, entry->isDirectory != 0);
        return false;
    }
    if (!result->partial && name.find(result->target) != std::string::npos) {
        result->partial = true;
        result->partial_path = entry->path;
        result->partial_is_directory = entry->isDirectory != 0;
    }
    return true;
}

struct builds_t {
    std::vector<UpdaterStoreItem>* items;
};

bool _find_items(const aDirectoryListData* entry, void* ref)
{
    builds_t* builds = static_cast<builds_t*>(ref);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", entry->path, int(entry->isDirectory),
             int(entry->size));
    const std::string name = NameOf(entry->path);
    // Hidden names: ".", "..", the settings file and files being replaced.
    if (name.empty() || name[0] == '.') return true;
    builds->items->push_back(ItemFor(entry->path, entry->isDirectory != 0));
    return true;
}

std::string SerialText(uint32_t serial)
{
    char text[9];
    snprintf(text, sizeof text, "%08X", serial);
    return text;
}

void _ensure_directory(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        Cause cause;
        aErr err = aDirectory_Ensure(path.c_str(), 0755, &cause);
        if (err != aErrNone)
            throw CausedError(
                "UpdaterStore: Could not create directory " + path + " error " + std::to_string(int(err)),
                cause);
        Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
    } else if (S_ISDIR(st.st_mode)) {
        Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
    } else {
        throw CausedError("UpdaterStore: " + path + " exists and is a file",
                          Cause(aErrPermission, path + ": exists and is not a directory"));
    }
}

}  // namespace

UpdaterStore::UpdaterStore(const std::string& path) : base_path(path)
{
    _ensure_directory(base_path);
}

UpdaterStoreItem UpdaterStore::AddDevice(const std::string& name)
{
    _ensure_directory(BuildPath(base_path.c_str(), name.c_str(), nullptr));
    return UpdaterStoreItem(base_path, name, STORE_ITEM_DIRECTORY);
}

UpdaterStoreItem UpdaterStore::AddDevice(uint32_t serial)
{
    return AddDevice(SerialText(serial));
}

bool UpdaterStore::FindItem(const std::string& directory, const std::string& target, UpdaterStoreItem* item)
{
    result_t result;
    result.target = target;
    result.item = item;
    aDirectory_List(directory.c_str(), _find_item, &result);
    if (!result.found && result.partial) {
        result.found = true;
        if (item != nullptr) *item = ItemFor(result.partial_path, result.partial_is_directory);
    }
    return result.found;
}

bool UpdaterStore::FindDevice(const std::string& name, UpdaterStoreItem* item) const
{
    bool found = FindItem(base_path, name, item);
    Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", found ? "Found" : "Not Found", name.c_str());
    return found;
}

bool UpdaterStore::FindDevice(uint32_t serial, UpdaterStoreItem* item) const
{
    return FindDevice(SerialText(serial), item);
}

bool UpdaterStore::FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& items) const
{
    UpdaterStoreItem device;
    if (!FindDevice(serial, &device)) return false;
    builds_t builds{&items};
    aDirectory_List(device.Path().c_str(), _find_items, &builds);
    return true;
}
