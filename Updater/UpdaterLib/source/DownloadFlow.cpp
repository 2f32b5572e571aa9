// The download flow: list the builds the server offers, check one and fetch
// it into the device's store directory.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <thread>

#include "BirdFile.h"
#include "Flows.h"
#include "Log.h"
#include "UpdateServerRequest.h"
#include "UpdaterStore.h"
#include "base64.h"

using flows::kError;
using flows::kInfo;

namespace {

// The download spinner turns every 100 ms while the request runs.
constexpr auto kSpinnerPeriod = std::chrono::milliseconds(100);

// Whether downloaded bytes can be a BIRD file: the header that BirdFile's
// loader reads and a zlib stream that inflates. base64 carries no check of
// its own, so a reply damaged in transit still decodes; the stream's
// Adler-32 catches it before the damaged file could replace a good download.
bool sIsBirdData(const unsigned char* bytes, size_t size, Cause& cause)
{
    cause = Cause(aErrParse, "the downloaded file has no BIRD header");
    if (size <= 6 || memcmp(bytes, BirdFile::BIRD_FILE_SIGNATURE, 4) != 0 || bytes[4] == 0 || bytes[5] == 0)
        return false;
    BirdFile probe;
    if (probe.DecompressData(bytes + 6, size - 6)) return true;
    cause = probe.LoadCause();
    cause.Within("the downloaded file");
    return false;
}

// True when the server lists the build for the device.
bool sValidBuild(uint32_t serial_number, uint32_t build, const char* server, Cause& cause)
{
    BuildList builds;
    if (!UpdateServerRequest::GetBuildList(serial_number, builds, server, &cause)) return false;
    for (const auto& entry : builds)
        if (flows::BuildFromText(entry.first) == build) return true;
    cause =
        Cause(aErrNotFound, "not among the " + std::to_string(builds.size()) + " builds the server lists");
    return false;
}

}  // namespace

uint32_t Updater::Download_Firmware(uint32_t serial_number, const std::string& build_text, bool override,
                                    bool no_cal)
{
    // The cause of the failure reported last stays for the caller.
    Cause& cause = last_cause;
    cause = Cause();
    uint32_t build = 0;
    if (!build_text.empty() && (build_text.find_first_not_of("0123456789") != std::string::npos ||
                                !flows::ParseUnsigned(build_text, build))) {
        display.message(kError, "Build number '%s' must be an number", build_text.c_str());
        return 0;
    }
    if (serial_number == 0) {
        display.message(kError, "Serial Number must be non-zero");
        return 0;
    }
    const char* url = server_address.c_str();
    if (!UpdateServerRequest::ping(url, &cause)) {
        display.error(cause, "Server request failed for %s", url);
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
    } catch (const std::exception& e) {
        cause = CauseOf(e);
        display.error(cause, "Could not create directory for storing BIRD file");
        return 0;
    }

    std::string server_build, firmware_text;
    if (!UpdateServerRequest::QueryBuild(serial_number, server_build, firmware_text, url, &cause)) {
        display.error(cause, "No build information for device");
        return 0;
    }
    if (build_text.empty()) build = flows::BuildFromText(server_build);
    display.message(kInfo, "Retrieving build %u", build);

    if (!override) {
        display.message(kInfo, "Validating build %u with server", build);
        if (!sValidBuild(serial_number, build, url, cause)) {
            display.error(cause, "No valid build %u", build);
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
    std::thread worker([&result, &data_text, &cause, serial_number, firmware_text, bld, no_cal, this] {
        result.set_value(UpdateServerRequest::GetBuild(serial_number, firmware_text, bld, data_text,
                                                       server_address.c_str(), no_cal, &cause));
    });
    display.update_spinner(true, "Downloading");
    while (done.wait_for(kSpinnerPeriod) != std::future_status::ready)
        display.update_spinner(true, "Downloading");
    display.update_spinner(false, "Downloading");
    bool ok = done.get();
    worker.join();
    if (!ok) display.error(cause, "Download failed");

    if (data_text.empty()) {
        // A failed download has just told why.
        if (ok) cause = Cause(aErrParse, "the server's reply holds no file");
        display.error(ok ? cause : Cause(), "Failed to retreive a valid BIRD file");
        return 0;
    }
    size_t size = 0;
    unsigned char* bytes = base64_decode(data_text.c_str(), data_text.size(), &size);
    if (bytes == nullptr) cause = Cause(aErrParse, "the server's reply is not base64 text");
    if (bytes == nullptr || !sIsBirdData(bytes, size, cause)) {
        free(bytes);
        display.error(cause, "Failed to retreive a valid BIRD file");
        return 0;
    }
    aErr err = item.WriteFile(flows::BirdName(build), bytes, size, &cause);
    free(bytes);
    if (err != aErrNone) {
        // The settings keep naming the last good download.
        display.error(cause, "Failed to write file with %d", err);
        return 0;
    }
    item.settings.Add(flows::kLatestDownload, flows::BirdName(build));
    item.settings.Add(flows::kLastDownloadDate, flows::Now());
    if (item.settings.Save(nullptr, &cause) != aErrNone)
        display.error(cause, "Could not record the download in the store");
    return build;
}

uint32_t Updater::Download_Firmware(const Fingerprint& fingerprint, const std::string& build_text,
                                    bool override)
{
    uint32_t build = flows::BuildFromText(build_text);
    uint32_t words[4];
    flows::FingerprintWords(fingerprint, words);
    unsigned int serial = 0, server_build = 0;
    if (!UpdateServerRequest::GetRecoveryInfo(words, &serial, &server_build, server_address.c_str(),
                                              &last_cause)) {
        display.error(last_cause, "Failed to retreive recovery information from Orvantis update server");
        return 0;
    }
    if (build == 0) build = server_build;
    return Download_Firmware(serial, std::to_string(build), override, false);
}

BuildList Updater::Get_BuildList(uint32_t serial_number)
{
    BuildList builds;
    Cause cause;
    if (!UpdateServerRequest::ping(server_address.c_str(), &cause)) {
        display.error(cause, "Server request failed for %s", server_address.c_str());
        return builds;
    }
    if (!UpdateServerRequest::GetBuildList(serial_number, builds, server_address.c_str(), &cause))
        display.error(cause, "Failed to retrieve builds for %08X", serial_number);
    return builds;
}

uint32_t Updater::Newest_Build(uint32_t serial_number)
{
    last_cause = Cause();
    std::string build_text, firmware_text;
    if (!UpdateServerRequest::QueryBuild(serial_number, build_text, firmware_text, server_address.c_str(),
                                         &last_cause)) {
        display.error(last_cause, "No build information for device");
        return 0;
    }
    uint32_t build = flows::BuildFromText(build_text);
    if (build == 0) {
        last_cause = Cause(aErrParse, "the server named no build number");
        display.error(last_cause, "No build information for device");
    }
    return build;
}

bool Updater::Has_Build(uint32_t serial_number, uint32_t build)
{
    try {
        UpdaterStore store(updater_directory);
        UpdaterStoreItem item;
        if (!store.FindDevice(serial_number, &item)) return false;
        item.ReadBirdFile(flows::BirdName(build));
        return true;
    } catch (const std::exception&) {
        return false;
    }
}
