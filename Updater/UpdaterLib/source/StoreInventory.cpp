#include "StoreInventory.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "UpdaterStore.h"
#include "aDirectory.h"
#include "aFile.h"

namespace {

const UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::Info;
const UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::Error;

// Directory names of the root that are not hidden: the device entries.
bool _collect_devices(const aDirectoryListData* entry, void* ref)
{
    std::string path = entry->path;
    std::string name = path.substr(path.rfind('/') + 1);
    if (entry->isDirectory != 0 && !name.empty() && name[0] != '.')
        static_cast<std::vector<std::string>*>(ref)->push_back(name);
    return true;
}

std::string _value_or_dash(const std::string& value)
{
    return value.empty() ? "-" : value;
}

bool _list_devices(UpdaterDisplayInterface& display, const UpdaterStore& store)
{
    std::vector<StoredDevice> devices = StoreInventory::Devices(store.BasePath());
    if (devices.empty()) {
        display.message(kInfo, "No devices in the store at %s", store.BasePath().c_str());
        return true;
    }
    display.message(kInfo, "Devices in the store at %s:", store.BasePath().c_str());
    display.message(kInfo, "  %-12s %-20s %s", "Device", "LATEST_DOWNLOAD", "LATEST_TRANSFER");
    for (const StoredDevice& device : devices)
        display.message(kInfo, "  %-12s %-20s %s", device.name.c_str(),
                        _value_or_dash(device.latest_download).c_str(),
                        _value_or_dash(device.latest_transfer).c_str());
    return true;
}

bool _show_device(UpdaterDisplayInterface& display, const UpdaterStore& store, uint32_t serial_number)
{
    UpdaterStoreItem device;
    if (!store.FindDevice(serial_number, &device)) {
        display.message(kError, "Device %08X has no entry in the store at %s", serial_number,
                        store.BasePath().c_str());
        return false;
    }
    display.message(kInfo, "Device %08X", serial_number);
    display.message(kInfo, "Directory: %s", device.Path().c_str());
    display.message(kInfo, "Settings:");
    for (const auto& entry : device.settings.Entries())
        display.message(kInfo, "  %s = %s", entry.first.c_str(), entry.second.c_str());

    std::vector<StoredBuild> builds = StoreInventory::Builds(store.BasePath(), serial_number);
    if (builds.empty()) {
        display.message(kInfo, "Builds: none");
        return true;
    }
    size_t width = 4;
    for (const StoredBuild& build : builds) width = std::max(width, build.file.size());
    display.message(kInfo, "Builds:");
    display.message(kInfo, "  %-*s %8s  %-16s %s", int(width), "File", "Build", "Version", "Model");
    for (const StoredBuild& build : builds) {
        if (build.loaded)
            display.message(kInfo, "  %-*s %8u  %-16s %s", int(width), build.file.c_str(), build.build,
                            build.version.c_str(), build.model.c_str());
        else
            display.message(kInfo, "  %-*s not a loadable BIRD file (%s)", int(width), build.file.c_str(),
                            build.problem.c_str());
    }
    return true;
}

}  // namespace

bool StoreInventory::Run(UpdaterDisplayInterface& display, const std::string& updater_directory,
                         uint32_t serial_number)
{
    try {
        UpdaterStore store(updater_directory);
        return serial_number == 0 ? _list_devices(display, store)
                                  : _show_device(display, store, serial_number);
    } catch (const std::runtime_error& e) {
        display.message(kError, "Cannot open the store: %s", e.what());
        return false;
    }
}

std::vector<StoredDevice> StoreInventory::Devices(const std::string& updater_directory)
{
    UpdaterStore store(updater_directory);
    std::vector<std::string> names;
    aDirectory_List(store.BasePath().c_str(), _collect_devices, &names);
    std::sort(names.begin(), names.end());
    std::vector<StoredDevice> devices;
    for (const std::string& name : names) {
        // Read the settings only where they exist: a listing never creates files.
        const std::string settings_path =
            BuildPath(store.BasePath().c_str(), name.c_str(), KeyValueStore::DEFAULT_FILENAME, nullptr);
        KeyValueStore settings(aFile_Exists(settings_path.c_str()) ? settings_path.c_str() : nullptr);
        devices.push_back({name, settings.GetString("LATEST_DOWNLOAD", nullptr),
                           settings.GetString("LATEST_TRANSFER", nullptr)});
    }
    return devices;
}

std::vector<StoredBuild> StoreInventory::Builds(const std::string& updater_directory, uint32_t serial_number)
{
    UpdaterStore store(updater_directory);
    std::vector<StoredBuild> builds;
    UpdaterStoreItem device;
    if (!store.FindDevice(serial_number, &device)) return builds;
    std::vector<UpdaterStoreItem> items;
    store.FindLocalBuilds(serial_number, items);
    for (const UpdaterStoreItem& item : items) {
        if (item.kind != STORE_ITEM_FILE) continue;
        StoredBuild build;
        build.file = item.name;
        try {
            BirdFile bird = device.ReadBirdFile(item.name);
            build.loaded = true;
            build.build = bird.GetBuild();
            build.version = bird.GetVersion();
            build.model = bird.GetModel();
        } catch (const std::runtime_error& e) {
            build.problem = e.what();
        }
        builds.push_back(build);
    }
    // Loadable builds in build order, then the files that are not builds.
    std::sort(builds.begin(), builds.end(), [](const StoredBuild& a, const StoredBuild& b) {
        if (a.loaded != b.loaded) return a.loaded;
        if (a.build != b.build) return a.build < b.build;
        return a.file < b.file;
    });
    return builds;
}
