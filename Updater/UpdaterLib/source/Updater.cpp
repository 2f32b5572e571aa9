#include "Updater.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <stdexcept>

#include "Flows.h"
#include "Log.h"
#include "Module.h"
#include "UpdaterStore.h"
#include "aTime.h"

using Orvantis::Keystrand::Module;

namespace {

// A module is looked for again this many times, a second apart, after it
// restarts into its loader.
constexpr int kFindAgainTries = 15;
constexpr uint32_t kFindAgainPauseMs = 1000;

}  // namespace

Updater::Updater(const std::string& server, const std::string& directory, UpdaterDisplayInterface& disp)
    : server_address(server), updater_directory(directory), display(disp)
{
}

BirdFile Updater::load_bird(const char* label, const std::string& bird_file, uint32_t serial_number,
                            uint32_t build, bool download_if_missing)
{
    if (!bird_file.empty()) {
        display.message(flows::kInfo, "%s from Birdfile: %s", label, bird_file.c_str());
        return BirdFile(bird_file);
    }
    UpdaterStore store(updater_directory);
    // Serial number 0 names no device (a recovery whose chip the server did
    // not know): it gets no store entry, so a failed recovery leaves no
    // "00000000" directory behind; the download below refuses it.
    UpdaterStoreItem item;
    if (serial_number != 0) item = store.AddDevice(serial_number);
    display.message(flows::kInfo, "%s firmware with build: %u", label, build);
    Cause cause(aErrNotFound, "no device is named for the image (serial number 0)");
    if (item.IsValid()) {
        try {
            return item.ReadBirdFile(flows::BirdName(build));
        } catch (const std::runtime_error& e) {
            cause = CauseOf(e);
        }
    }
    if (!download_if_missing) throw CausedError("Error reading birdfile", cause);
    display.message(flows::kInfo, "Downloading firmware build %u", build);
    Download_Firmware(serial_number, std::to_string(build), false, false);
    if (!item.IsValid()) throw CausedError("Error reading birdfile", cause);
    return item.ReadBirdFile(flows::BirdName(build));
}

namespace flows {

std::string Now()
{
    time_t now = time(nullptr);
    char text[32] = "";
    ctime_r(&now, text);
    std::string s(text);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

bool ParseUnsigned(const std::string& text, uint32_t& value)
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

uint32_t BuildFromText(const std::string& text)
{
    uint32_t value = 0;
    if (!ParseUnsigned(text, value)) {
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
        return 0;
    }
    return value;
}

std::string BirdName(uint32_t build)
{
    return std::to_string(build) + ".bird";
}

void FingerprintWords(const Fingerprint& fingerprint, uint32_t words[4])
{
    words[0] = fingerprint.w0;
    words[1] = fingerprint.w1;
    words[2] = fingerprint.w2;
    words[3] = fingerprint.w3;
}

void SetFingerprint(Fingerprint& fingerprint, const uint32_t words[4])
{
    fingerprint.w0 = words[0];
    fingerprint.w1 = words[1];
    fingerprint.w2 = words[2];
    fingerprint.w3 = words[3];
}

bool FindModuleAgain(Module& module, uint32_t first, uint32_t second)
{
    for (int i = 0; i < kFindAgainTries; ++i) {
        if (i > 0) aTime_MSSleep(kFindAgainPauseMs);  // between tries only
        module.discoverAndConnect(USB, first);
        if (module.isConnected()) return true;
        if (second != 0) {
            module.discoverAndConnect(USB, second);
            if (module.isConnected()) return true;
        }
    }
    return false;
}

}  // namespace flows
