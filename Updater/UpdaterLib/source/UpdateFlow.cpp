// The update flow: choose the firmware, check it against the module, send
// the loader and then the firmware, and record the transfer.
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "Flows.h"
#include "Log.h"
#include "Module.h"
#include "System.h"
#include "UpdateServerRequest.h"
#include "UpdaterEntity.h"
#include "UpdaterStore.h"
#include "aDefs.h"
#include "aTime.h"

using flows::kError;
using flows::kInfo;
using Orvantis::Keystrand::Module;
using Orvantis::Keystrand::SystemClass;

namespace {

// What tells the loader blocks from the firmware blocks in sTransferBlocks.
struct BlockKind {
    BirdFile::BLOCK_TYPE type;
    const char* name;
    const char* stage;
    const char* prepare_error;
    const char* transfer_error;
};

const BlockKind kLoaderBlocks = {BirdFile::BLOCK_LOADER, "loader", "transferring the loader",
                                 "Error Preparing transfer [%d, %s].\n", "Error loader transfer [%d, %s].\n"};
const BlockKind kFirmwareBlocks = {BirdFile::BLOCK_FIRMWARE, "firmware", "transferring the firmware",
                                   "Error firmware transfer init: [%d, %s].\n",
                                   "Error firmware transfer [%d, %s].\n"};

aErr sConnectDirect(Module& module, uint32_t serial_number)
{
    aErr err = module.connect(USB, serial_number);
    if (err != aErrNotFound && err != aErrPermission) return err;
    // A USB device that refused access is the likelier reason when the
    // module is not on TCP/IP either.
    aErr tcp = module.connect(TCPIP, serial_number);
    return tcp == aErrNotFound ? err : tcp;
}

// Why a connection to a module failed, in words.
Cause sConnectCause(aErr err, uint32_t serial_number)
{
    char serial[16];
    snprintf(serial, sizeof serial, "%08X", serial_number);
    switch (err) {
        case aErrNotFound:
            return Cause(err, std::string("no module ") + serial + " answers on USB or TCP/IP");
        case aErrPermission:
            return Cause(err, "USB: Permission denied (are the rules of " UDEV_RULES_FILE " installed?)");
        case aErrBusy:
            return Cause(err, std::string(serial) + " is busy (is another program connected to it?)");
        default:
            return Cause(err, std::string("link to ") + serial + " failed: " + aError_GetErrorText(err) +
                                  " (" + aError_GetErrorDescription(err) + ")");
    }
}

bool sValidateBirdfile(UpdaterDisplayInterface& display, BirdFile& bird, Module& module,
                       uint32_t serial_number, Cause& cause)
{
    char text[64];
    if (bird.BlockCount() == 0) {
        cause = Cause(aErrParse, "the file holds no blocks");
        return false;
    }
    if (!bird.HasSerialOffsets() && !bird.ValidateSerialNumber(serial_number)) {
        snprintf(text, sizeof text, "the file is made for device %08X", bird.GetSerialNumber());
        cause = Cause(aErrParam, text);
        return false;
    }
    Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
    SystemClass system;
    system.init(&module, 0);
    uint32_t module_serial = 0;
    aErr err = system.getSerialNumber(&module_serial);
    if (err != aErrNone) {
        module_serial = 0;
        cause = Cause::FromModule(err).Within("serial number query");
    }
    if (module_serial != serial_number) {
        Log::log(DEBUG_Updater, "Bird serial number and connected device don't match.\n");
        snprintf(text, sizeof text, "the module reports serial number %08X", module_serial);
        if (err == aErrNone) cause = Cause(aErrParam, text);
        return false;
    }
    uint8_t model = 0;
    system.getModel(&model);
    const char* name = aDefs_GetModelName(model);
    if (!bird.ValidateModel(name)) {
        display.message(kError, "Connected device model and Bird file model do not match [%s]", name);
        cause = Cause(aErrParam, "the file is made for model " + bird.GetModel());
        return false;
    }
    return true;
}

// Announces and sends each block of one kind; the first failing block ends
// the loop, since neither a loader nor an image with a block missing may
// run. The loader's announcement may time out (an i.MX loader does not
// answer it).
aErr sTransferBlocks(UpdaterDisplayInterface& display, UpdaterEntity& entity, BirdFile& bird,
                     const BlockKind& kind, flows::TransferFailure& failure)
{
    std::vector<BirdBlock> blocks = bird.FindBlocks(kind.type);
    const bool loader = kind.type == BirdFile::BLOCK_LOADER;
    aErr err = aErrNone;
    int transferred = 0;
    uint32_t bytes = 0;
    unsigned number = 1;
    for (const BirdBlock& block : blocks) {
        display.message(kInfo, "Transferring %s block %u of %u, %d bytes", kind.name, number,
                        static_cast<unsigned>(blocks.size()), static_cast<int>(block.length));
        uint16_t block_size = 0;
        err = entity.TransferPrepare(block.data, block.length, block.flags, block_size);
        if (err != aErrNone && !(loader && err == aErrTimeout)) {
            Log::log(DEBUG_Updater, kind.prepare_error, err, aError_GetErrorText(err));
            break;
        }
        err = loader ? entity.LoaderTransfer(block.data, block.length)
                     : entity.FirmwareTransfer(block.data, block.length, block_size, display);
        if (err != aErrNone) {
            Log::log(DEBUG_Updater, kind.transfer_error, err, aError_GetErrorText(err));
            break;
        }
        bytes += block.length;
        ++transferred;
        ++number;
    }
    display.message(kInfo, "Transferred %d blocks, %d total bytes", transferred, static_cast<int>(bytes));
    if (err != aErrNone) failure = {kind.stage, entity.LastCause()};
    return err;
}

}  // namespace

namespace flows {

aErr TransferLoader(UpdaterDisplayInterface& display, Module& module, BirdFile& bird,
                    TransferFailure& failure)
{
    UpdaterEntity entity;
    entity.init(&module, 0, true);
    aErr err = entity.LoaderInit();
    if (err != aErrNone) {
        Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", err, aError_GetErrorText(err));
        failure = {"opening the upgrade on the module", entity.LastCause()};
        return err;
    }
    display.message(kInfo, "Transferring loader to device");
    display.display_progress(true);
    err = sTransferBlocks(display, entity, bird, kLoaderBlocks, failure);
    display.display_progress(false);
    if (err == aErrNone) {
        display.message(kInfo, "Starting Load on Device");
        err = entity.LoaderStart();
        if (err == aErrTimeout) {
            Log::log(DEBUG_Updater,
                     "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
            err = aErrNone;
        } else if (err != aErrNone) {
            display.error(entity.LastCause(), "Error starting loader [%d, %s]", err,
                          aError_GetErrorText(err));
        }
    }
    return err;
}

aErr TransferFirmware(UpdaterDisplayInterface& display, Module& module, BirdFile& bird,
                      TransferFailure& failure)
{
    UpdaterEntity entity;
    entity.init(&module, 0, true);
    Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", bird.Filename().c_str());
    aErr err = sTransferBlocks(display, entity, bird, kFirmwareBlocks, failure);
    if (err != aErrNone) return err;
    err = entity.LoaderReboot(display);
    if (err != aErrNone) failure = {"rebooting the module", entity.LastCause()};
    return err;
}

}  // namespace flows

bool Updater::Update_Firmware(uint32_t serial_number, uint32_t build, const std::string& bird_file,
                              uint8_t module_address, uint32_t router_serial_number, bool override)
{
    if (serial_number == 0) {
        display.message(kError, "Update command must specify the specific device");
        return false;
    }
    last_update = UpdateRecord();
    try {
        UpdaterStore store(updater_directory);
        UpdaterStoreItem item;
        store.FindDevice(serial_number, &item);
        uint64_t start = aTime_GetMSTicks();

        if (bird_file.empty()) {
            if (build == 0) {
                std::string build_text, firmware_text;
                UpdateServerRequest::QueryBuild(serial_number, build_text, firmware_text,
                                                server_address.c_str());
                build = flows::BuildFromText(build_text);
                if (build != 0) {
                    // Only a probe: the file is loaded again below.
                    try {
                        item.ReadBirdFile(flows::BirdName(build));
                    } catch (const std::runtime_error&) {
                        build = 0;
                        display.message(
                            kInfo,
                            "New firmware is available.  Updater will proceed if valid firmware is "
                            "found locally.");
                    }
                }
            }
            if (build == 0) {
                build = static_cast<uint32_t>(item.settings.GetInt(flows::kLatestDownload, 0));
                if (build != 0) display.message(kInfo, "Updating with the Latest Download");
            }
            if (build == 0) {
                build = static_cast<uint32_t>(item.settings.GetInt(flows::kLatestTransfer, 0));
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
            last_update.build = bird_file.empty() ? build : 0;
            last_update.file = bird.Filename();
        } catch (const std::runtime_error& e) {
            display.error(CauseOf(e), "Failed to load bird file");
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
            err = sConnectDirect(router, router_serial_number);
            if (err != aErrNone) {
                display.error(sConnectCause(err, router_serial_number),
                              "Failed to connect to link module [%08X]", router_serial_number);
                return false;
            }
            err = module.connectThroughLinkModule(&router);
        }

        if (err != aErrNone) {
            display.error(sConnectCause(err, serial_number), "Failed to connect to module [%08X]",
                          serial_number);
        } else {
            Cause cause;
            if (!override && !sValidateBirdfile(display, bird, module, serial_number, cause)) {
                display.error(cause, "Birdfile failed validation");
                return false;
            }
            flows::TransferFailure failure;
            err = flows::TransferLoader(display, module, bird, failure);
            bool lost = false;
            if (err == aErrNone) {
                if (!module.isConnected()) {
                    module.disconnect();
                    lost = !flows::FindModuleAgain(module, serial_number);
                }
                err = flows::TransferFirmware(display, module, bird, failure);
            }
            if (lost)
                failure.cause = sConnectCause(aErrNotFound, serial_number).Within("after the loader started");
            if (failure.stage != nullptr)
                display.error(failure.cause, "Update failed while %s", failure.stage);
            if (err == aErrNone) {
                std::string transferred = bird_file.empty() ? flows::BirdName(build) : bird_file;
                // A device without an entry gets one, so the transfer is
                // recorded in its own settings. The firmware is in by now: a
                // store that cannot take the record (read-only, full) costs
                // the record, as a failed settings save does, not the result.
                try {
                    if (!item.IsValid()) item = store.AddDevice(serial_number);
                    item.settings.Add(flows::kLatestTransfer, transferred);
                    item.settings.Add(flows::kLastTransferDate, flows::Now());
                    if (item.settings.Save(nullptr, &cause) != aErrNone) throw CausedError("", cause);
                } catch (const std::runtime_error& e) {
                    Log::log(DEBUG_Updater, "%s\n", e.what());
                    display.error(CauseOf(e), "Could not record the transfer in the store");
                }
            }
        }
        module.disconnect();
        router.disconnect();

        Log::log(DEBUG_Updater, "Updating device firmware: \n");
        last_update.seconds = static_cast<double>(aTime_GetMSTicks() - start) / 1000.0;
        display.message(kInfo, "Update time: %.4f sec", last_update.seconds);
        return err == aErrNone;
    } catch (const std::exception& e) {
        display.error(CauseOf(e), "%s", e.what());
        return false;
    }
}
