#ifndef UPDATER_FLOWS_H
#define UPDATER_FLOWS_H

// What the update, download, discovery and recovery flows of Updater share.
// Private to the library.

#include <cstdint>
#include <string>

#include "BirdFile.h"
#include "Cause.h"
#include "Updater.h"
#include "UpdaterDisplayInterface.h"
#include "aError.h"
#include "aLinkSpec.h"

namespace Orvantis {
namespace Keystrand {
class Module;
}
}  // namespace Orvantis

namespace flows {

const UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::Info;
const UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::Error;

// Settings keys of a device's store entry.
const char* const kLatestDownload = "LATEST_DOWNLOAD";
const char* const kLastDownloadDate = "LAST_DOWNLOAD_DATE";
const char* const kLatestTransfer = "LATEST_TRANSFER";
const char* const kLastTransferDate = "LAST_TRANSFER_DATE";

// Local time in the ctime form without its newline.
std::string Now();

// Leading unsigned decimal number of text (a trailing CR or blank ends it);
// false when there is none or it does not fit in 32 bits.
bool ParseUnsigned(const std::string& text, uint32_t& value);

// Build text to number as the flows read server answers: a text that is not
// a number is logged and gives 0.
uint32_t BuildFromText(const std::string& text);

// The store's file name of a build: "<build>.bird".
std::string BirdName(uint32_t build);

// The fingerprint as the four words the server and the image decoder take,
// and back.
void FingerprintWords(const Fingerprint& fingerprint, uint32_t words[4]);
void SetFingerprint(Fingerprint& fingerprint, const uint32_t words[4]);

// Looks for a module that restarted (into its loader, or a loader run from
// RAM) on USB under each serial number in turn, up to 15 rounds a second
// apart; true once connected. second may be 0 (only first is tried).
bool FindModuleAgain(Orvantis::Keystrand::Module& module, uint32_t first, uint32_t second = 0);

// Where a transfer failed ("transferring the firmware"; null when a message
// already said so) and why.
struct TransferFailure {
    const char* stage = nullptr;
    Cause cause;
};

// Sends the firmware blocks through the running loader and reboots the
// module; the first failing block ends the transfer (no reboot follows).
aErr TransferFirmware(UpdaterDisplayInterface& display, Orvantis::Keystrand::Module& module, BirdFile& bird,
                      TransferFailure& failure);

// Sends the loader blocks, then starts the loader. A time-out of the start
// counts as success: an i.MX loader does not answer it.
aErr TransferLoader(UpdaterDisplayInterface& display, Orvantis::Keystrand::Module& module, BirdFile& bird,
                    TransferFailure& failure);

}  // namespace flows

#endif
