// The recovery flows: identify a chip through its ROM bootloader (LPC ISP,
// else the i.MX serial download protocol with a loader run from RAM), then
// write its recovery image.
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "Flows.h"
#include "HID_SDPLoader.h"
#include "Log.h"
#include "Module.h"
#include "NXPSerial.h"
#include "SDPLoader.h"
#include "Serial_SDPLoader.h"
#include "System.h"
#include "UpdateServerRequest.h"
#include "UpdaterStore.h"
#include "aTime.h"
#include "aUEI.h"

using flows::kError;
using flows::kInfo;
using Orvantis::Keystrand::Module;
using Orvantis::Keystrand::SystemClass;

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

// On failure, cause says why and decisive whether it outweighs the i.MX
// attempt's cause: a port that cannot be opened fails that attempt too, and
// a chip that answered the handshake is an LPC chip.
bool sGetFingerprintLpc(const std::string& port, uint32_t baud, Fingerprint& fingerprint, Cause& cause,
                        bool& decisive)
{
    NXPSerialClass isp;
    aErr err = isp.Connect(port.c_str(), baud);
    decisive = true;
    cause = isp.LastCause();
    if (err != aErrNone) {
        Log::log(DEBUG_APP, "ERROR %d ==> Could not open serial port\n", err);
        return false;
    }
    Log::log(DEBUG_APP, "\n\tSync to Device:\n");
    err = isp.Sync();
    if (err != aErrNone) {
        Log::log(DEBUG_APP, "ERROR %d ==> Could not communicate with device over serial port\n", err);
        cause =
            isp.LastCause().Known() ? isp.LastCause() : Cause(err, "chip did not answer the synchronisation");
        cause.Within(port);
        decisive = false;
        return false;
    }
    Log::log(DEBUG_APP, "\n\tGet Info from Device:\n");
    if (isp.GetDeviceID() != aErrNone) {
        Log::log(DEBUG_APP, "\tERROR ==> Got no response from chip\n");
        cause = isp.LastCause();
        cause.Within(port);
        return false;
    }
    flows::SetFingerprint(fingerprint, isp.DeviceID());
    return true;
}

aErr sTransferRecoveryLoader(UpdaterDisplayInterface&, BirdFile& image, const std::string& port, Cause& cause)
{
    Log::log(DEBUG_Updater, "Transfer Loader via Serial Interface (iMX):\n");
    std::vector<BirdBlock> blocks = image.FindBlocks(BirdFile::BLOCK_LOADER);
    // A block without its address cannot be placed; refuse the image before
    // anything reaches the chip.
    cause = Cause(aErrParam, "loader image: a loader block without its address");
    for (const BirdBlock& block : blocks)
        if (block.length < 4) return aErrParam;

    SDPLoader loader;
    if (port == "USB")
        loader.setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID));
    else
        loader.setLoader(new Serial_SDPLoader(port.c_str()));
    cause = loader.LastCause();
    if (loader.init() != SDPLoader::SDP_OK) {
        cause = loader.LastCause();
        return aErrNotReady;
    }

    int number = 0;
    for (const BirdBlock& block : blocks) {
        uint32_t address = aUEI_RetrieveInt(block.data);
        std::vector<unsigned char> payload(block.data + 4, block.data + block.length);
        Log::log(DEBUG_Updater, "Writting Block: %d, size %zu, address: %d\b", number, payload.size(),
                 static_cast<int>(address));
        if (loader.writeLoader(payload, address) != SDPLoader::SDP_OK) {
            cause = loader.LastCause();
            cause.Within(port);
            return aErrConnection;
        }
        ++number;
    }
    uint32_t start = IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS;
    std::vector<BirdBlock> starts = image.FindBlocks(BirdFile::BLOCK_LOADER_START);
    if (!starts.empty() && starts.front().length >= 4) start = aUEI_RetrieveInt(starts.front().data);
    loader.startLoader(start);
    return aErrNone;
}

bool sGetFingerprintImx(UpdaterDisplayInterface& display, Updater& updater, const std::string& directory,
                        const std::string& port, uint32_t serial_number, const std::string& bird_file,
                        Fingerprint& fingerprint, bool reset, Cause& cause)
{
    if (serial_number == 0) serial_number = RECOVERY_LOADER_SERIAL;
    BirdFile image;
    try {
        UpdaterStore store(directory);
        UpdaterStoreItem item;
        bool known = store.FindDevice(serial_number, &item);
        std::string name;
        if (!bird_file.empty()) {
            if (serial_number == RECOVERY_LOADER_SERIAL) {
                display.message(
                    kError, "Add serial number or remove the bird filename to use a default recovery image.");
                return false;
            }
        } else if (known) {
            name = item.settings.GetString(flows::kLatestDownload, nullptr);
        } else {
            // The default loader image is fetched quietly the first time.
            display.mute_messages(true);
            Log::log(DEBUG_APP, "Existing loader device not found. Downloading.\n");
            uint32_t build = updater.Download_Firmware(serial_number, "", false, false);
            if (build != 0) {
                name = flows::BirdName(build);
                store.FindDevice(serial_number, &item);
            }
            display.mute_messages(false);
            // The download's own messages were muted; its cause speaks for it.
            if (build == 0) throw CausedError("", updater.LastCause());
        }
        image = bird_file.empty() ? item.ReadBirdFile(name) : BirdFile(bird_file);
    } catch (const std::exception& e) {
        display.mute_messages(false);
        Log::log(DEBUG_APP, "%s\n", e.what());
        cause = CauseOf(e).Within("loader image");
        return false;
    }

    if (sTransferRecoveryLoader(display, image, port, cause) != aErrNone) {
        Log::log(DEBUG_APP, "Error loading liveloader.\n");
        return false;
    }

    Module module(0, 0);
    if (!flows::FindModuleAgain(module, serial_number)) {
        Log::log(DEBUG_APP, "Could not connect to device.\n");
        char text[80];
        snprintf(text, sizeof text, "the loader did not appear on USB as %08X", serial_number);
        cause = Cause(aErrNotFound, text);
        return false;
    }
    SystemClass system;
    system.init(&module, 0);
    uint32_t words[4] = {0, 0, 0, 0};
    for (uint8_t index = 0; index < 4; ++index) {
        uint32_t value = 0;
        aErr err = system.getUEI32(kFingerprintOption, index, &value);
        if (err != aErrNone) {
            Log::log(DEBUG_APP, "Error getting Identifier %d.\n", index);
            cause = Cause::FromModule(err).Within("identifier " + std::to_string(index));
            module.disconnect();
            return false;
        }
        words[3 - index] = value;
    }
    flows::SetFingerprint(fingerprint, words);
    if (reset) system.reset();
    module.disconnect();
    return true;
}

// Reports the stage of an LPC recovery that failed, with the chip's answer;
// false.
bool sLpcFailed(UpdaterDisplayInterface& display, const NXPSerialClass& isp, const char* stage)
{
    display.display_progress(false);
    display.error(isp.LastCause(), "Recovery failed while %s", stage);
    return false;
}

bool sRecoverFirmwareLpc(UpdaterDisplayInterface& display, BirdFile& image, const std::string& port,
                         uint32_t baud, const Fingerprint&)
{
    NXPSerialClass isp;
    if (isp.Connect(port.c_str(), baud) != aErrNone) {
        Log::log(DEBUG_Network, "Could not connect to %s\n", port.c_str());
        return sLpcFailed(display, isp, "opening the serial port");
    }
    Log::log(DEBUG_Network, "\n\tUnlock Memory:\n");
    if (isp.Unlock() != aErrNone) {
        Log::log(DEBUG_Network, "Could not unlock\n");
        return sLpcFailed(display, isp, "unlocking the chip's flash commands");
    }
    Log::log(DEBUG_Network, "\n\tPrepare ALL memory for update:\n");
    if (isp.Prepare(0, kLastSector) != aErrNone) {
        Log::log(DEBUG_Network, "Could not prepare\n");
        return sLpcFailed(display, isp, "preparing the chip's flash");
    }
    Log::log(DEBUG_Network, "\n\tErase all memory before update:\n");
    if (isp.Erase(0, kLastSector) != aErrNone) {
        Log::log(DEBUG_Network, "Could not erase\n");
        return sLpcFailed(display, isp, "erasing the chip's flash");
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
        Log::log(DEBUG_Network, "Transferring firmware block: %d bytes to address 0x%08X\n",
                 static_cast<int>(length), address);
        uint32_t offset = 0;
        while (offset < length) {
            uint32_t chunk = length - offset < kLpcChunk ? length - offset : kLpcChunk;
            uint32_t flash = address + offset;
            Log::log(DEBUG_Network, "Transferring firmware %d bytes to address 0x%08X\n",
                     static_cast<int>(chunk), flash);
            Log::log(DEBUG_Network, "\t Write %d bytes to address 0x%08X\n", static_cast<int>(chunk),
                     NXPSerialClass::WRITE_ADDRESS);
            if (isp.Write(NXPSerialClass::WRITE_ADDRESS, chunk, payload + offset) != aErrNone) {
                Log::log(DEBUG_Network, "\t Write to RAM failed\n");
                return sLpcFailed(display, isp, "writing to the chip's RAM");
            }
            unsigned first = NXPSerialClass::SectorFromAddress(flash);
            unsigned last = NXPSerialClass::SectorFromAddress(flash + chunk - 1);
            Log::log(DEBUG_Network, "\t Prepare to copy to sector(s) %d to %d\n", first, last);
            if (isp.Prepare(first, last) != aErrNone) {
                Log::log(DEBUG_Network, "\t Prepare failed\n");
                return sLpcFailed(display, isp, "preparing the chip's flash");
            }
            unsigned copy = NXPSerialClass::CopyLength(chunk);
            Log::log(DEBUG_Network, "\t Copy %d bytes from %08X to %08X\n", copy,
                     NXPSerialClass::WRITE_ADDRESS, flash);
            if (isp.CopyToFlash(flash, NXPSerialClass::WRITE_ADDRESS, copy) != aErrNone) {
                Log::log(DEBUG_Network, "\t Transfer to flash failed\n");
                return sLpcFailed(display, isp, "copying to the chip's flash");
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
        display.error(isp.LastCause(), "Recovery Error transfering data to device ==> [%d, %s]", err,
                      aError_GetErrorText(err));
        return false;
    }
    display.message(kInfo, "Rebooting Device");
    isp.ExecuteFrom(0);
    return true;
}

bool sRecoverFirmwareImx(UpdaterDisplayInterface& display, BirdFile& image, uint32_t serial_number)
{
    Module module(0, 0);
    if (!flows::FindModuleAgain(module, RECOVERY_LOADER_SERIAL, serial_number)) {
        char text[80];
        snprintf(text, sizeof text, "the loader appeared on USB neither as %08X nor as %08X",
                 RECOVERY_LOADER_SERIAL, serial_number);
        display.error(Cause(aErrNotFound, text), "Could not connect to device");
        return false;
    }
    flows::TransferFailure failure;
    aErr err = flows::TransferFirmware(display, module, image, failure);
    module.disconnect();
    if (err != aErrNone) {
        display.error(failure.cause, "Failed to transfer firmware");
        return false;
    }
    return true;
}

}  // namespace

bool Updater::Get_Fingerprint(Fingerprint& fingerprint, const std::string& port, uint32_t serial_number,
                              const std::string& bird_file, uint32_t baud, bool reset)
{
    Cause lpc;
    bool decisive = false;
    if (sGetFingerprintLpc(port, baud, fingerprint, lpc, decisive)) {
        device_type = DEVICE_TYPE_LPC;
        return true;
    }
    device_type = DEVICE_TYPE_IMX;
    Cause imx;
    bool ok = sGetFingerprintImx(display, *this, updater_directory, port, serial_number, bird_file,
                                 fingerprint, reset, imx);
    // Over USB the LPC attempt had no port to speak of.
    last_cause = port != "USB" && (decisive || !imx.Known()) ? lpc : imx;
    return ok;
}

bool Updater::Recover_Firmware(const std::string& port, uint32_t build, uint32_t baud, uint32_t serial_number,
                               const std::string& bird_file, bool)
{
    uint64_t start = aTime_GetMSTicks();
    Fingerprint fingerprint;
    if (!Get_Fingerprint(fingerprint, port, serial_number, bird_file, kFingerprintBaud, false)) {
        display.error(last_cause, "Could not get Device Identifier");
        return false;
    }
    uint32_t use_build = 0;
    if (bird_file.empty()) {
        uint32_t words[4];
        flows::FingerprintWords(fingerprint, words);
        unsigned int server_serial = serial_number, server_build = 0;
        if (UpdateServerRequest::GetRecoveryInfo(words, &server_serial, &server_build,
                                                 server_address.c_str())) {
            serial_number = server_serial;
            use_build = server_build;
        }
        if (build != 0) use_build = build;
    }

    BirdFile image;
    try {
        image = load_bird("Recovering", bird_file, serial_number, use_build, true);
    } catch (const std::exception& e) {
        display.error(CauseOf(e), "Failed to load bird file");
        return false;
    }
    if (image.HasSerialOffsets()) {
        display.message(kError, "Updater does not support offline recovery");
        return false;
    }

    bool result = false;
    if (device_type == DEVICE_TYPE_IMX) {
        result = sRecoverFirmwareImx(display, image, serial_number);
    } else if (device_type == DEVICE_TYPE_LPC) {
        uint32_t key[4];
        flows::FingerprintWords(fingerprint, key);
        image.DecodeFirmwareBlocks(key);
        result = sRecoverFirmwareLpc(display, image, port, baud, fingerprint);
    }
    display.message(kInfo, "Update time: %.4f sec", static_cast<double>(aTime_GetMSTicks() - start) / 1000.0);
    return result;
}
