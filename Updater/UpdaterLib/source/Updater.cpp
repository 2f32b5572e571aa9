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
#include "HID_SDPLoader.h"
#include "NXPSerial.h"
#include "SDPLoader.h"
#include "Serial_SDPLoader.h"
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
    // Serial number 0 names no device (a recovery whose chip the server did
    // not know): it gets no store entry, so a failed recovery leaves no
    // "00000000" directory behind; the download below refuses it.
    UpdaterStoreItem item;
    if (serial_number != 0) item = store.AddDevice(serial_number);
    display.message(kInfo, "%s firmware with build: %u", label, build);
    if (item.IsValid()) {
        try {
            return item.ReadBirdFile(sBirdName(build));
        } catch (const std::runtime_error&) {
        }
    }
    if (!download_if_missing) throw std::runtime_error("Error reading birdfile");
    display.message(kInfo, "Downloading firmware build %u", build);
    Download_Firmware(serial_number, std::to_string(build), false, false);
    if (!item.IsValid()) throw std::runtime_error("Error reading birdfile");
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
                // recorded in its own settings. The firmware is in by now: a
                // store that cannot take the record (read-only, full) costs
                // the record, as a failed settings save does, not the result.
                try {
                    if (!item.IsValid()) item = store.AddDevice(serial_number);
                    item.settings.Add(kLatestTransfer, transferred);
                    item.settings.Add(kLastTransferDate, sNow());
                    item.settings.Save(nullptr);
                } catch (const std::runtime_error& e) {
                    Log::log(DEBUG_Updater, "%s\n", e.what());
                }
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
    if (!build_text.empty() &&
        (build_text.find_first_not_of("0123456789") != std::string::npos || !sParseUnsigned(build_text, build))) {
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

namespace {

// The chip's identification runs at this rate whatever rate -o asks for;
// that rate is for the LPC transfer.
constexpr uint32_t kFingerprintBaud = 115200;
// System entity option of the loader's four identification words.
constexpr uint8_t kFingerprintOption = 0x27;
// LPC17xx: sectors 0 to 29 are the whole flash; images go through a RAM
// buffer in pieces of at most 4096 bytes.
constexpr unsigned kLastSector = 29;
constexpr uint32_t kLpcChunk = 4096;

bool _get_fingerprint_lpc(const std::string& port, uint32_t baud, Fingerprint& fingerprint)
{
    NXPSerialClass isp;
    aErr err = isp.Connect(port.c_str(), baud);
    if (err != aErrNone) {
        Log::log(DEBUG_APP, "ERROR %d ==> Could not open serial port\n", err);
        return false;
    }
    Log::log(DEBUG_APP, "\n\tSync to Device:\n");
    err = isp.Sync();
    if (err != aErrNone) {
        Log::log(DEBUG_APP, "ERROR %d ==> Could not communicate with device over serial port\n", err);
        return false;
    }
    Log::log(DEBUG_APP, "\n\tGet Info from Device:\n");
    if (isp.GetDeviceID() != aErrNone) {
        Log::log(DEBUG_APP, "\tERROR ==> Got no response from chip\n");
        return false;
    }
    const uint32_t* words = isp.DeviceID();
    fingerprint.w0 = words[0];
    fingerprint.w1 = words[1];
    fingerprint.w2 = words[2];
    fingerprint.w3 = words[3];
    return true;
}

aErr _transfer_recovery_loader(UpdaterDisplayInterface&, BirdFile& image, const std::string& port)
{
    Log::log(DEBUG_Updater, "Transfer Loader via Serial Interface (iMX):\n");
    std::vector<BirdBlock> blocks = image.FindBlocks(BirdFile::BLOCK_LOADER);
    // A block without its address cannot be placed; refuse the image before
    // anything reaches the chip.
    for (const BirdBlock& block : blocks)
        if (block.length < 4) return aErrParam;

    SDPLoader loader;
    if (port == "USB")
        loader.setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID));
    else
        loader.setLoader(new Serial_SDPLoader(port.c_str()));
    if (loader.init() != SDPLoader::SDP_OK) return aErrNotReady;

    int number = 0;
    for (const BirdBlock& block : blocks) {
        uint32_t address = aUEI_RetrieveInt(block.data);
        std::vector<unsigned char> payload(block.data + 4, block.data + block.length);
        Log::log(DEBUG_Updater, "Writting Block: %d, size %zu, address: %d\b", number, payload.size(),
                 static_cast<int>(address));
        if (loader.writeLoader(payload, address) != SDPLoader::SDP_OK) return aErrConnection;
        ++number;
    }
    uint32_t start = IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS;
    std::vector<BirdBlock> starts = image.FindBlocks(BirdFile::BLOCK_LOADER_START);
    if (!starts.empty() && starts.front().length >= 4) start = aUEI_RetrieveInt(starts.front().data);
    loader.startLoader(start);
    return aErrNone;
}

bool _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater, const std::string& port,
                          uint32_t serial_number, const std::string& bird_file, Fingerprint& fingerprint, bool reset)
{
    if (serial_number == 0) serial_number = RECOVERY_LOADER_SERIAL;
    BirdFile image;
    try {
        UpdaterStore store(updater.UpdaterDirectory());
        UpdaterStoreItem item;
        bool known = store.FindDevice(serial_number, &item);
        std::string name;
        if (!bird_file.empty()) {
            if (serial_number == RECOVERY_LOADER_SERIAL) {
                display.message(kError,
                                "Add serial number or remove the bird filename to use a default recovery image.");
                return false;
            }
        } else if (known) {
            name = item.settings.GetString(kLatestDownload, nullptr);
        } else {
            // The default loader image is fetched quietly the first time.
            display.mute_messages(true);
            Log::log(DEBUG_APP, "Existing loader device not found. Downloading.\n");
            uint32_t build = updater.Download_Firmware(serial_number, "", false, false);
            if (build != 0) {
                name = sBirdName(build);
                store.FindDevice(serial_number, &item);
            }
            display.mute_messages(false);
        }
        image = bird_file.empty() ? item.ReadBirdFile(name) : BirdFile(bird_file);
    } catch (const std::exception& e) {
        display.mute_messages(false);
        Log::log(DEBUG_APP, "%s\n", e.what());
        return false;
    }

    if (_transfer_recovery_loader(display, image, port) != aErrNone) {
        Log::log(DEBUG_APP, "Error loading liveloader.\n");
        return false;
    }

    Module module(0, 0);
    for (int i = 0; i < kFindAgainTries; ++i) {
        if (i > 0) aTime_MSSleep(kFindAgainPauseMs);
        module.discoverAndConnect(USB, serial_number);
        if (module.isConnected()) break;
    }
    if (!module.isConnected()) {
        Log::log(DEBUG_APP, "Could not connect to device.\n");
        return false;
    }
    SystemClass system;
    system.init(&module, 0);
    uint32_t words[4] = {0, 0, 0, 0};
    for (uint8_t index = 0; index < 4; ++index) {
        uint32_t value = 0;
        if (system.getUEI32(kFingerprintOption, index, &value) != aErrNone) {
            Log::log(DEBUG_APP, "Error getting Identifier %d.\n", index);
            module.disconnect();
            return false;
        }
        words[3 - index] = value;
    }
    fingerprint.w0 = words[0];
    fingerprint.w1 = words[1];
    fingerprint.w2 = words[2];
    fingerprint.w3 = words[3];
    if (reset) system.reset();
    module.disconnect();
    return true;
}

bool _recover_firmware_lpc(UpdaterDisplayInterface& display, BirdFile& image, const std::string& port, uint32_t baud,
                           const Fingerprint&)
{
    NXPSerialClass isp;
    if (isp.Connect(port.c_str(), baud) != aErrNone) {
        Log::log(DEBUG_Network, "Could not connect to %s\n", port.c_str());
        return false;
    }
    Log::log(DEBUG_Network, "\n\tUnlock Memory:\n");
    if (isp.Unlock() != aErrNone) {
        Log::log(DEBUG_Network, "Could not unlock\n");
        return false;
    }
    Log::log(DEBUG_Network, "\n\tPrepare ALL memory for update:\n");
    if (isp.Prepare(0, kLastSector) != aErrNone) {
        Log::log(DEBUG_Network, "Could not prepare\n");
        return false;
    }
    Log::log(DEBUG_Network, "\n\tErase all memory before update:\n");
    if (isp.Erase(0, kLastSector) != aErrNone) {
        Log::log(DEBUG_Network, "Could not erase\n");
        return false;
    }
    isp.SetEcho(false);
    Log::log(DEBUG_Network, "Updating device firmware: \n");
    Log::log(DEBUG_Network, "Transferring firmware to device from [%s]\n", image.Filename().c_str());

    std::vector<BirdBlock> blocks = image.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    int count = static_cast<int>(blocks.size()) - 1;
    uint32_t total = 0;
    int number = 1;
    for (const BirdBlock& block : blocks) {
        if (block.length < 4) break;
        uint32_t address = aUEI_RetrieveInt(block.data);
        const uint8_t* payload = block.data + 4;
        uint32_t length = block.length - 4;
        // A block carrying only a 4-byte payload marks the end of the image.
        if (length == 4) break;
        display.message(kInfo, "Transferring firmware block %d of %d, %d bytes", number, count,
                        static_cast<int>(length));
        display.display_progress(true);
        Log::log(DEBUG_Network, "Transferring firmware block: %d bytes to address 0x%08X\n", static_cast<int>(length),
                 address);
        uint32_t offset = 0;
        while (offset < length) {
            uint32_t chunk = length - offset < kLpcChunk ? length - offset : kLpcChunk;
            uint32_t flash = address + offset;
            Log::log(DEBUG_Network, "Transferring firmware %d bytes to address 0x%08X\n", static_cast<int>(chunk),
                     flash);
            Log::log(DEBUG_Network, "\t Write %d bytes to address 0x%08X\n", static_cast<int>(chunk),
                     NXPSerialClass::WRITE_ADDRESS);
            if (isp.Write(NXPSerialClass::WRITE_ADDRESS, chunk, payload + offset) != aErrNone) {
                Log::log(DEBUG_Network, "\t Write to RAM failed\n");
                display.display_progress(false);
                return false;
            }
            unsigned first = NXPSerialClass::SectorFromAddress(flash);
            unsigned last = NXPSerialClass::SectorFromAddress(flash + chunk - 1);
            Log::log(DEBUG_Network, "\t Prepare to copy to sector(s) %d to %d\n", first, last);
            if (isp.Prepare(first, last) != aErrNone) {
                Log::log(DEBUG_Network, "\t Prepare failed\n");
                display.display_progress(false);
                return false;
            }
            unsigned copy = NXPSerialClass::CopyLength(chunk);
            Log::log(DEBUG_Network, "\t Copy %d bytes from %08X to %08X\n", copy, NXPSerialClass::WRITE_ADDRESS, flash);
            if (isp.CopyToFlash(flash, NXPSerialClass::WRITE_ADDRESS, copy) != aErrNone) {
                Log::log(DEBUG_Network, "\t Transfer to flash failed\n");
                display.display_progress(false);
                return false;
            }
            offset += chunk;
            display.update_progress(static_cast<double>(offset) / static_cast<double>(length), nullptr);
        }
        display.display_progress(false);
        total += length;
        ++number;
    }
    display.message(kInfo, "Transferred %d blocks, %d total bytes", count, static_cast<int>(total));
    aErr err = isp.SetEcho(true);
    if (err != aErrNone) {
        // The chip did not confirm the end of the transfer: the image cannot
        // be trusted, so this is not reported as a recovery.
        display.message(kError, "Recovery Error transfering data to device ==> [%d, %s]", err,
                        aError_GetErrorText(err));
        return false;
    }
    display.message(kInfo, "Rebooting Device");
    isp.ExecuteFrom(0);
    return true;
}

bool _recover_firmware_imx(UpdaterDisplayInterface& display, BirdFile& image, uint32_t serial_number)
{
    Module module(0, 0);
    for (int i = 0; i < kFindAgainTries; ++i) {
        module.discoverAndConnect(USB, RECOVERY_LOADER_SERIAL);
        if (module.isConnected()) break;
        module.discoverAndConnect(USB, serial_number);
        if (module.isConnected()) break;
        aTime_MSSleep(kFindAgainPauseMs);
    }
    if (!module.isConnected()) {
        display.message(kError, "Could not connect to device");
        return false;
    }
    aErr err = _transfer_firmware(display, module, image);
    module.disconnect();
    if (err != aErrNone) {
        display.message(kError, "Failed to transfer firmware");
        return false;
    }
    return true;
}

}  // namespace

bool Updater::Get_Fingerprint(Fingerprint& fingerprint, const std::string& port, uint32_t serial_number,
                              const std::string& bird_file, uint32_t baud, bool reset)
{
    if (_get_fingerprint_lpc(port, baud, fingerprint)) {
        device_type = DEVICE_TYPE_LPC;
        return true;
    }
    device_type = DEVICE_TYPE_IMX;
    return _get_fingerprint_imx(display, *this, port, serial_number, bird_file, fingerprint, reset);
}

bool Updater::Recover_Firmware(const std::string& port, uint32_t build, uint32_t baud, uint32_t serial_number,
                               const std::string& bird_file, bool)
{
    uint64_t start = aTime_GetMSTicks();
    Fingerprint fingerprint;
    if (!Get_Fingerprint(fingerprint, port, serial_number, bird_file, kFingerprintBaud, false)) {
        display.message(kError, "Could not get Device Identifier");
        return false;
    }
    uint32_t use_build = 0;
    if (bird_file.empty()) {
        const unsigned int words[4] = {fingerprint.w0, fingerprint.w1, fingerprint.w2, fingerprint.w3};
        unsigned int server_serial = serial_number, server_build = 0;
        if (UpdateServerRequest::GetRecoveryInfo(words, &server_serial, &server_build, server_address.c_str())) {
            serial_number = server_serial;
            use_build = server_build;
        }
        if (build != 0) use_build = build;
    }

    BirdFile image;
    try {
        image = load_bird("Recovering", bird_file, serial_number, use_build, true);
    } catch (const std::exception&) {
        display.message(kError, "Failed to load bird file");
        return false;
    }
    if (image.HasSerialOffsets()) {
        display.message(kError, "Updater does not support offline recovery");
        return false;
    }

    bool result = false;
    if (device_type == DEVICE_TYPE_IMX) {
        result = _recover_firmware_imx(display, image, serial_number);
    } else if (device_type == DEVICE_TYPE_LPC) {
        const uint32_t key[4] = {fingerprint.w0, fingerprint.w1, fingerprint.w2, fingerprint.w3};
        image.DecodeFirmwareBlocks(key);
        result = _recover_firmware_lpc(display, image, port, baud, fingerprint);
    }
    display.message(kInfo, "Update time: %.4f sec", static_cast<double>(aTime_GetMSTicks() - start) / 1000.0);
    return result;
}
