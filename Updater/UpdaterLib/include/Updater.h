#ifndef UPDATER_UPDATER_H
#define UPDATER_UPDATER_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "Cause.h"
#include "UpdaterDisplayInterface.h"
#include "aError.h"
#include "aLinkSpec.h"

// One discovered module.
struct DeviceInfo {
    linkSpec spec{};
    uint32_t build = 0;
    uint8_t version_major = 0;
    uint8_t version_minor = 0;
    uint32_t version_patch = 0;
    std::string model_name;
    uint32_t error = aErrNone;
};

// Four words that identify a chip for recovery.
struct Fingerprint {
    uint32_t w0 = 0;
    uint32_t w1 = 0;
    uint32_t w2 = 0;
    uint32_t w3 = 0;
};

// Build text (decimal build number) to version text, in key order.
typedef std::map<std::string, std::string> BuildList;

// What the last Update_Firmware chose and how long it took.
struct UpdateRecord {
    uint32_t build = 0;  // 0 for a file given by path
    std::string file;    // the BIRD file loaded; empty when none was
    double seconds = 0;  // the "Update time" shown; 0 before the connection
};

// Pseudo serial number of the default recovery loader image.
#define RECOVERY_LOADER_SERIAL 0xDEADDEADu

// Chip families found by the last fingerprint read.
#define DEVICE_TYPE_IMX 1
#define DEVICE_TYPE_LPC 2

// Carries out each command of the front end. Every operation creates what it
// needs within the call and releases it on return; user-visible text goes to
// the display, debug detail to Log.
class Updater {
public:
    Updater(const std::string& server_address, const std::string& updater_directory,
            UpdaterDisplayInterface& display);
    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    // Installs firmware into one module; true when transferred and rebooted.
    bool Update_Firmware(uint32_t serial_number, uint32_t build, const std::string& bird_file,
                         uint8_t module_address, uint32_t router_serial_number, bool override);

    // Downloads a build (empty text: the newest) into the device's store
    // directory; returns the build number stored, 0 on failure.
    uint32_t Download_Firmware(uint32_t serial_number, const std::string& build, bool override, bool no_cal);

    // Downloads the build the server names for a chip's fingerprint (or the
    // given build); 0 on failure.
    uint32_t Download_Firmware(const Fingerprint& fingerprint, const std::string& build, bool override);

    // The newest build the server names for a device; 0 after a reported
    // failure (LastCause says why).
    uint32_t Newest_Build(uint32_t serial_number);

    // Whether the device's store directory holds a loadable file of the build.
    bool Has_Build(uint32_t serial_number, uint32_t build);

    // The builds the server offers for a device (empty on failure).
    BuildList Get_BuildList(uint32_t serial_number);

    // Modules on one transport (0: USB then TCP/IP), queried for versions.
    std::vector<DeviceInfo> Discover_Devices(linkType transport);

    // Modules behind a router module (transport 0: find the router's first).
    std::vector<DeviceInfo> Discover_KSNetwork_Devices(uint32_t router_serial_number, linkType transport);

    // Reads a chip's fingerprint through its ROM bootloader.
    bool Get_Fingerprint(Fingerprint& fingerprint, const std::string& serial_port, uint32_t serial_number,
                         const std::string& bird_file, uint32_t baud_rate, bool reset);

    // Restores a module's firmware through its chip's ROM bootloader.
    bool Recover_Firmware(const std::string& serial_port, uint32_t build, uint32_t baud_rate,
                          uint32_t serial_number, const std::string& bird_file, bool override);

    // Why the last failing Get_Fingerprint or Download_Firmware failed (for
    // the messages of the caller); unknown when nobody knows.
    const Cause& LastCause() const { return last_cause; }
    // What the last Update_Firmware chose.
    const UpdateRecord& LastUpdate() const { return last_update; }

private:
    // Loads the firmware file: the given path, else the stored build (with
    // download_if_missing, downloaded first). Throws std::runtime_error when
    // no file can be loaded.
    BirdFile load_bird(const char* label, const std::string& bird_file, uint32_t serial_number,
                       uint32_t build, bool download_if_missing);

    std::string server_address;
    std::string updater_directory;
    UpdaterDisplayInterface& display;
    uint8_t device_type = 0;
    Cause last_cause;
    UpdateRecord last_update;
};

#endif
