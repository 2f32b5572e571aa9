#include "Updater.h"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>

#include "BirdFile.h"
#include "Link.h"
#include "Log.h"
#include "Module.h"
#include "System.h"
#include "UpdateServerRequest.h"
#include "UpdaterEntity.h"
#include "UpdaterStore.h"
#include "aDefs.h"
#include "aDiscovery.h"
#include "aPacket.h"
#include "aTime.h"
#include "base64.h"
#include "aUEI.h"
#include "aVersion.h"

using Orvantis::Keystrand::Link;
using Orvantis::Keystrand::Module;
using Orvantis::Keystrand::SystemClass;

Updater::Updater(const std::string& server, const std::string& directory, UpdaterDisplayInterface& disp)
    : server_address(server), updater_directory(directory), display(disp)
{
}

void Updater::not_available(const char* command)
{
    display.message(UpdaterDisplayInterface::Error, "The %s command is not available yet", command);
}

namespace {

const UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::Info;
const UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::Error;

// Settings keys of a device's store entry.
const char* const kLatestDownload = "LATEST_DOWNLOAD";
const char* const kLastDownloadDate = "LAST_DOWNLOAD_DATE";
const char* const kLatestTransfer = "LATEST_TRANSFER";
const char* const kLastTransferDate = "LAST_TRANSFER_DATE";

// A module is looked for again this many times, a second apart, after it
// restarts into its loader.
constexpr int kFindAgainTries = 15;
constexpr uint32_t kFindAgainPauseMs = 1000;
// The download spinner turns every 100 ms while the request runs.
constexpr auto kSpinnerPeriod = std::chrono::milliseconds(100);

// Local time in the ctime form without its newline.
std::string sNow()
{
    time_t now = time(nullptr);
    char text[32] = "";
    ctime_r(&now, text);
    std::string s(text);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

// Leading unsigned decimal number of text (a trailing CR or blank ends it);
// false when there is none or it does not fit in 32 bits.
bool sParseUnsigned(const std::string& text, uint32_t& value)
{
    const char* p = text.c_str();
    if (!isdigit(static_cast<unsigned char>(*p))) return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = strtoull(p, &end, 10);
    if (errno == ERANGE || v > UINT32_MAX) return false;
    value = static_cast<uint32_t>(v);
    return true;
}

// Build text to number as the flows read server answers: a text that is not
// a number is logged and gives 0.
uint32_t sBuildFromText(const std::string& text)
{
    uint32_t value = 0;
    if (!sParseUnsigned(text, value)) {
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
        return 0;
    }
    return value;
}

// Whether downloaded bytes can be a BIRD file: the header that BirdFile's
// loader reads and a zlib stream that inflates. base64 carries no check of
// its own, so a reply damaged in transit still decodes; the stream's
// Adler-32 catches it before the damaged file could replace a good download.
bool sIsBirdData(const unsigned char* bytes, size_t size)
{
    if (size <= 6 || memcmp(bytes, BirdFile::BIRD_FILE_SIGNATURE, 4) != 0 || bytes[4] == 0 || bytes[5] == 0)
        return false;
    BirdFile probe;
    return probe.DecompressData(bytes + 6, size - 6);
}

std::string sBirdName(uint32_t build)
{
    return std::to_string(build) + ".bird";
}

aErr sConnectDirect(Module& module, uint32_t serial_number)
{
    aErr err = module.connect(USB, serial_number);
    if (err == aErrNotFound) err = module.connect(TCPIP, serial_number);
    return err;
}

bool _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& bird, Module& module, uint32_t serial_number)
{
    if (bird.BlockCount() == 0) return false;
    if (!bird.HasSerialOffsets() && !bird.ValidateSerialNumber(serial_number)) return false;
    Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
    SystemClass system;
    system.init(&module, 0);
    uint32_t module_serial = 0;
    if (system.getSerialNumber(&module_serial) != aErrNone) module_serial = 0;
    if (module_serial != serial_number) {
        Log::log(DEBUG_Updater, "Bird serial number and connected device don't match.\n");
        return false;
    }
    uint8_t model = 0;
    system.getModel(&model);
    const char* name = aDefs_GetModelName(model);
    if (!bird.ValidateModel(name)) {
        display.message(kError, "Connected device model and Bird file model do not match [%s]", name);
        return false;
    }
    return true;
}

aErr _transfer_loader(UpdaterDisplayInterface& display, Module& module, BirdFile& bird)
{
    UpdaterEntity entity;
    entity.init(&module, 0, true);
    aErr err = entity.LoaderInit();
    if (err != aErrNone) {
        Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", err, aError_GetErrorText(err));
        return err;
    }
    display.message(kInfo, "Transferring loader to device");
    std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_LOADER);
    display.display_progress(true);
    int transferred = 0;
    uint32_t bytes = 0;
    int number = 1;
    for (const BirdBlock& block : blocks) {
        display.message(kInfo, "Transferring loader block %d of %d, %d bytes", number, static_cast<int>(blocks.size()),
                        static_cast<int>(block.length));
        uint16_t block_size = 0;
        err = entity.TransferPrepare(block.data, block.length, block.flags, block_size);
        if (err != aErrNone && err != aErrTimeout) {
            Log::log(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", err, aError_GetErrorText(err));
            break;
        }
        err = entity.LoaderTransfer(block.data, block.length);
        if (err != aErrNone) {
            // A loader with a block missing must never be started.
            Log::log(DEBUG_Updater, "Error loader transfer [%d, %s].\n", err, aError_GetErrorText(err));
            break;
        }
        bytes += block.length;
        ++transferred;
        ++number;
    }
    display.message(kInfo, "Transferred %d blocks, %d total bytes", transferred, static_cast<int>(bytes));
    display.display_progress(false);
    if (err == aErrNone) {
        display.message(kInfo, "Starting Load on Device");
        err = entity.LoaderStart();
        if (err == aErrTimeout) {
            Log::log(DEBUG_Updater, "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
            err = aErrNone;
        } else if (err != aErrNone) {
            display.message(kError, "Error starting loader [%d, %s]", err, aError_GetErrorText(err));
        }
    }
    return err;
}

}  // namespace

aErr _transfer_firmware(UpdaterDisplayInterface& display, Module& module, BirdFile& bird)
{
    UpdaterEntity entity;
    entity.init(&module, 0, true);
    Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", bird.Filename().c_str());
    std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    aErr err = aErrNone;
    int transferred = 0;
    uint32_t bytes = 0;
    unsigned number = 1;
    for (const BirdBlock& block : blocks) {
        display.message(kInfo, "Transferring firmware block %u of %u, %d bytes", number,
                        static_cast<unsigned>(blocks.size()), static_cast<int>(block.length));
        uint16_t block_size = 0;
        err = entity.TransferPrepare(block.data, block.length, block.flags, block_size);
        if (err != aErrNone) {
            Log::log(DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", err, aError_GetErrorText(err));
            break;
        }
        err = entity.FirmwareTransfer(block.data, block.length, block_size, display);
        if (err != aErrNone) {
            // The module must not reboot into a partly written image.
            Log::log(DEBUG_Updater, "Error firmware transfer [%d, %s].\n", err, aError_GetErrorText(err));
            break;
        }
        bytes += block.length;
        ++transferred;
        ++number;
    }
    display.message(kInfo, "Transferred %d blocks, %d total bytes", transferred, static_cast<int>(bytes));
    if (err == aErrNone) err = entity.LoaderReboot(display);
    return err;
}

BirdFile Updater::load_bird(const char* label, const std::string& bird_file, uint32_t serial_number, uint32_t build,
                            bool download_if_missing)
{
    if (!bird_file.empty()) {
        display.message(kInfo, "%s from Birdfile: %s", label, bird_file.c_str());
        return BirdFile(bird_file);
    }
    UpdaterStore store(updater_directory);
    UpdaterStoreItem item = store.AddDevice(serial_number);
    display.message(kInfo, "%s firmware with build: %u", label, build);
    try {
        return item.ReadBirdFile(sBirdName(build));
    } catch (const std::runtime_error&) {
        if (!download_if_missing) throw std::runtime_error("Error reading birdfile");
    }
    display.message(kInfo, "Downloading firmware build %u", build);
    Download_Firmware(serial_number, std::to_string(build), false, false);
    return item.ReadBirdFile(sBirdName(build));
}

bool Updater::Update_Firmware(uint32_t serial_number, uint32_t build, const std::string& bird_file,
                              uint8_t module_address, uint32_t router_serial_number, bool override)
{
    if (serial_number == 0) {
        display.message(kError, "Update command must specify the specific device");
        return false;
    }
    try {
        UpdaterStore store(updater_directory);
        UpdaterStoreItem item;
        store.FindDevice(serial_number, &item);
        uint64_t start = aTime_GetMSTicks();

        if (bird_file.empty()) {
            if (build == 0) {
                std::string build_text, firmware_text;
                UpdateServerRequest::QueryBuild(serial_number, build_text, firmware_text, server_address.c_str());
                build = sBuildFromText(build_text);
                if (build != 0) {
                    // Only a probe: the file is loaded again below.
                    try {
                        item.ReadBirdFile(sBirdName(build));
                    } catch (const std::runtime_error&) {
                        build = 0;
                        display.message(kInfo,
                                        "New firmware is available.  Updater will proceed if valid firmware is "
                                        "found locally.");
                    }
                }
            }
            if (build == 0) {
                build = static_cast<uint32_t>(item.settings.GetInt(kLatestDownload, 0));
                if (build != 0) display.message(kInfo, "Updating with the Latest Download");
            }
            if (build == 0) {
                build = static_cast<uint32_t>(item.settings.GetInt(kLatestTransfer, 0));
                if (build != 0) display.message(kInfo, "Updating with the Latest Transfer");
            }
            if (build == 0) {
                display.message(kError, "Could not find valid build for this device.");
                return false;
            }
        }

        BirdFile bird;
        try {
            bird = load_bird("Updating", bird_file, serial_number, build, false);
        } catch (const std::runtime_error&) {
            display.message(kError, "Failed to load bird file");
            return false;
        }

        if (bird.HasSerialOffsets()) {
            Log::log(DEBUG_Updater, "Setting serial number into firmware... ");
            if (!bird.ReplaceSerialNumber(serial_number)) {
                Log::log(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
                return false;
            }
            Log::log(DEBUG_Updater, " Serial Number inserted into firmware.\n");
        }

        Module module(module_address, 0);
        Module router(0, 0);
        aErr err;
        if (router_serial_number == 0) {
            err = sConnectDirect(module, serial_number);
        } else {
            if (module_address == 0) {
                display.message(kError, "Module address required for indirect firmware update");
                return false;
            }
            if (sConnectDirect(router, router_serial_number) != aErrNone) {
                display.message(kError, "Failed to connect to link module [%08X]", router_serial_number);
                return false;
            }
            err = module.connectThroughLinkModule(&router);
        }

        if (err != aErrNone) {
            display.message(kError, "Failed to connect to module [%08X]", serial_number);
        } else {
            if (!override && !_validate_birdfile(display, bird, module, serial_number)) {
                display.message(kError, "Birdfile failed validation");
                return false;
            }
            err = _transfer_loader(display, module, bird);
            if (err == aErrNone) {
                if (!module.isConnected()) {
                    module.disconnect();
                    for (int i = 0; i < kFindAgainTries; ++i) {
                        module.discoverAndConnect(USB, serial_number);
                        if (module.isConnected()) break;
                        aTime_MSSleep(kFindAgainPauseMs);
                    }
                }
                err = _transfer_firmware(display, module, bird);
            }
            if (err == aErrNone) {
                std::string transferred = bird_file.empty() ? sBirdName(build) : bird_file;
                // A device without an entry gets one, so the transfer is
                // recorded in its own settings.
                if (!item.IsValid()) item = store.AddDevice(serial_number);
                item.settings.Add(kLatestTransfer, transferred);
                item.settings.Add(kLastTransferDate, sNow());
                item.settings.Save(nullptr);
            }
        }
        module.disconnect();
        router.disconnect();

        Log::log(DEBUG_Updater, "Updating device firmware: \n");
        display.message(kInfo, "Update time: %.4f sec", static_cast<double>(aTime_GetMSTicks() - start) / 1000.0);
        return err == aErrNone;
    } catch (const std::exception& e) {
        display.message(kError, "%s", e.what());
        return false;
    }
}

uint32_t Updater::Download_Firmware(uint32_t serial_number, const std::string& build_text, bool override,
                                    bool no_cal)
{
    uint32_t build = 0;
    if (!build_text.empty() && !sParseUnsigned(build_text, build)) {
        display.message(kError, "Build number '%s' must be an number", build_text.c_str());
        return 0;
    }
    if (!build_text.empty() && build_text.find_first_not_of("0123456789") != std::string::npos) {
        display.message(kError, "Build number '%s' must be an number", build_text.c_str());
        return 0;
    }
    if (serial_number == 0) {
        display.message(kError, "Serial Number must be non-zero");
        return 0;
    }
    const char* url = server_address.c_str();
    if (!UpdateServerRequest::ping(url)) {
        display.message(kError, "Server request failed for %s", url);
        return 0;
    }

    std::unique_ptr<UpdaterStore> store;
    UpdaterStoreItem item;
    try {
        store.reset(new UpdaterStore(updater_directory));
        if (!store->FindDevice(serial_number, &item)) {
            Log::log(DEBUG_APP, "Could not find device in our update history.\n");
            item = store->AddDevice(serial_number);
        }
    } catch (const std::exception&) {
        display.message(kError, "Could not create directory for storing BIRD file");
        return 0;
    }

    std::string server_build, firmware_text;
    if (!UpdateServerRequest::QueryBuild(serial_number, server_build, firmware_text, url)) {
        display.message(kError, "No build information for device");
        return 0;
    }
    if (build_text.empty()) build = sBuildFromText(server_build);
    display.message(kInfo, "Retrieving build %u", build);

    if (!override) {
        display.message(kInfo, "Validating build %u with server", build);
        if (!_valid_build(serial_number, build, url)) {
            display.message(kError, "No valid build %u", build);
            return 0;
        }
        display.message(kInfo, "Build %u is valid", build);
    } else {
        display.message(kInfo, "Override specified, skipping validation of build %u", build);
    }

    // The request runs on a worker while this thread turns the spinner; the
    // worker writes data_text before it sets the result, and data_text is
    // read only after the join.
    std::string bld = std::to_string(build);
    std::string data_text;
    std::promise<bool> result;
    std::future<bool> done = result.get_future();
    std::thread worker([&result, &data_text, serial_number, firmware_text, bld, no_cal, this] {
        result.set_value(
            UpdateServerRequest::GetBuild(serial_number, firmware_text, bld, data_text, server_address.c_str(), no_cal));
    });
    display.update_spinner(true, "Downloading");
    while (done.wait_for(kSpinnerPeriod) != std::future_status::ready) display.update_spinner(true, "Downloading");
    display.update_spinner(false, "Downloading");
    bool ok = done.get();
    worker.join();
    if (!ok) display.message(kError, "Download failed");

    if (data_text.empty()) {
        display.message(kError, "Failed to retreive a valid BIRD file");
        return 0;
    }
    size_t size = 0;
    unsigned char* bytes = base64_decode(data_text.c_str(), data_text.size(), &size);
    if (bytes == nullptr || !sIsBirdData(bytes, size)) {
        free(bytes);
        display.message(kError, "Failed to retreive a valid BIRD file");
        return 0;
    }
    aErr err = item.WriteFile(sBirdName(build), bytes, size);
    free(bytes);
    if (err != aErrNone) {
        // The settings keep naming the last good download.
        display.message(kError, "Failed to write file with %d", err);
        return 0;
    }
    item.settings.Add(kLatestDownload, sBirdName(build));
    item.settings.Add(kLastDownloadDate, sNow());
    item.settings.Save(nullptr);
    return build;
}

uint32_t Updater::Download_Firmware(const Fingerprint& fingerprint, const std::string& build_text, bool override)
{
    uint32_t build = sBuildFromText(build_text);
    const unsigned int words[4] = {fingerprint.w0, fingerprint.w1, fingerprint.w2, fingerprint.w3};
    unsigned int serial = 0, server_build = 0;
    if (!UpdateServerRequest::GetRecoveryInfo(words, &serial, &server_build, server_address.c_str())) {
        display.message(kError, "Failed to retreive recovery information from Orvantis update server");
        return 0;
    }
    if (build == 0) build = server_build;
    return Download_Firmware(serial, std::to_string(build), override, false);
}

bool Updater::_valid_build(uint32_t serial_number, uint32_t build, const char* server)
{
    BuildList builds;
    if (!UpdateServerRequest::GetBuildList(serial_number, builds, server)) return false;
    for (const auto& entry : builds)
        if (sBuildFromText(entry.first) == build) return true;
    return false;
}

BuildList Updater::Get_BuildList(uint32_t serial_number)
{
    BuildList builds;
    if (!UpdateServerRequest::ping(server_address.c_str())) {
        display.message(kError, "Server request failed for %s", server_address.c_str());
        return builds;
    }
    if (!UpdateServerRequest::GetBuildList(serial_number, builds, server_address.c_str()))
        display.message(kError, "Failed to retrieve builds for %08X", serial_number);
    return builds;
}

namespace {

// Build query: command 0x49 with the byte 0xFF; the reply carries the build
// number in bytes 2 to 5, most significant first.
constexpr uint8_t kBuildCommand = 0x49;
constexpr uint8_t kBuildQuery = 0xFF;
constexpr uint8_t kBuildReplyLength = 6;

// Module addresses probed behind a router: every even address 2..252.
constexpr uint8_t kFirstNetworkAddress = 2;
constexpr uint8_t kLastNetworkAddress = 252;

bool sCollectSpec(const linkSpec* spec, bool* found, void* reference)
{
    std::vector<DeviceInfo>* devices = static_cast<std::vector<DeviceInfo>*>(reference);
    DeviceInfo info;
    info.spec = *spec;
    devices->push_back(info);
    *found = true;
    return true;
}

struct RouterSearch {
    uint32_t serial_number;
    linkType transport;
    linkType searching;
};

bool sFindRouter(const linkSpec* spec, bool* found, void* reference)
{
    RouterSearch* search = static_cast<RouterSearch*>(reference);
    if (spec->serialNumber != search->serial_number) return true;
    Log::log(DEBUG_Network, "NETWORK: Found device [%08X] via link type [%d]\n", spec->serialNumber,
             static_cast<int>(search->searching));
    search->transport = search->searching;
    *found = true;
    return false;
}

}  // namespace

aErr Updater::_get_version(Module& module, DeviceInfo& info)
{
    SystemClass system;
    system.init(&module, 0);
    uint32_t version = 0;
    aErr err = system.getVersion(&version);
    if (err != aErrNone) return err;
    info.version_major = aVersion_ParseMajor(version);
    info.version_minor = aVersion_ParseMinor(version);
    info.version_patch = aVersion_ParsePatch(version);
    uint8_t address = 0;
    err = system.getModule(&address);
    if (err != aErrNone) return err;
    info.spec.moduleAddress = address;
    err = system.getRouter(&address);
    if (err != aErrNone) return err;
    info.spec.routerAddress = address;
    return aErrNone;
}

uint32_t Updater::_get_build_number(Module& module)
{
    Link* link = module.getLink();
    if (link == nullptr) return 0;
    const uint8_t query = kBuildQuery;
    if (link->sendPacket(module.getModuleAddress(), kBuildCommand, 1, &query) != aErrNone) return 0;
    const uint8_t match[2] = {kBuildCommand, kBuildQuery};
    uint8_t length = sizeof match;
    uint8_t reply[aPACKET_MAX_DATA];
    if (link->receivePacket(module.getModuleAddress(), match, &length, reply) != aErrNone) return 0;
    if (length != kBuildReplyLength) return 0;
    return aUEI_RetrieveInt(reply + 2);
}

std::vector<DeviceInfo> Updater::Discover_Devices(linkType transport)
{
    std::vector<DeviceInfo> devices;
    std::vector<linkType> transports;
    if (transport == INVALID)
        transports = {USB, TCPIP};
    else
        transports = {transport};
    for (linkType t : transports) aDiscovery_EnumerateModules(t, sCollectSpec, &devices);

    for (DeviceInfo& info : devices) {
        info.model_name = aDefs_GetModelName(info.spec.model);
        Module module(2, 0);
        aErr err = module.connectFromSpec(info.spec);
        if (err != aErrNone) {
            info.error = err;
        } else {
            info.build = _get_build_number(module);
            info.error = _get_version(module, info);
        }
        module.disconnect();
    }
    return devices;
}

std::vector<DeviceInfo> Updater::Discover_KSNetwork_Devices(uint32_t router_serial_number, linkType transport)
{
    std::vector<DeviceInfo> devices;
    if (transport == INVALID) {
        RouterSearch search{router_serial_number, INVALID, USB};
        aDiscovery_EnumerateModules(USB, sFindRouter, &search);
        if (search.transport == INVALID) {
            search.searching = TCPIP;
            aDiscovery_EnumerateModules(TCPIP, sFindRouter, &search);
        }
        transport = search.transport;
    }

    linkSpec* found = aDiscovery_FindModule(transport, router_serial_number);
    if (found == nullptr) return devices;
    linkSpec routerSpec = *found;
    aLinkSpec_Destroy(&found);

    Module router(2, 0);
    SystemClass routerSystem;
    if (router.connectFromSpec(routerSpec) != aErrNone) {
        router.disconnect();
        return devices;
    }
    routerSystem.init(&router, 0);
    if (routerSystem.routeToMe(1) != aErrNone) {
        router.disconnect();
        return devices;
    }

    for (unsigned address = kFirstNetworkAddress; address <= kLastNetworkAddress; address += 2) {
        Module module(static_cast<uint8_t>(address), 0);
        if (module.connectThroughLinkModule(&router) != aErrNone) {
            module.disconnect();
            continue;
        }
        SystemClass system;
        system.init(&module, 0);
        uint32_t serial = 0;
        if (system.getSerialNumber(&serial) != aErrNone) {
            module.disconnect();
            continue;
        }
        DeviceInfo info;
        info.spec = routerSpec;
        info.spec.type = routerSpec.type;
        info.spec.serialNumber = serial;
        info.spec.moduleAddress = address;
        info.spec.routerAddress = router.getModuleAddress();
        info.spec.routerSerialNumber = router_serial_number;
        info.spec.model = 0;
        info.build = _get_build_number(module);
        info.error = _get_version(module, info);
        uint8_t model = 0;
        aErr err = system.getModel(&model);
        if (err == aErrNone) {
            info.spec.model = model;
            info.model_name = aDefs_GetModelName(model);
        } else {
            info.error = err;
        }
        devices.push_back(info);
        module.disconnect();
    }

    routerSystem.routeToMe(0);
    router.disconnect();
    return devices;
}

bool Updater::Get_Fingerprint(Fingerprint&, const std::string&, uint32_t, const std::string&, uint32_t, bool)
{
    not_available("fingerprint");
    (void)device_type;
    return false;
}

bool Updater::Recover_Firmware(const std::string&, uint32_t, uint32_t, uint32_t, const std::string&, bool)
{
    not_available("recover");
    return false;
}
