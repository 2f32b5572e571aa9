#ifndef APP_RACK_H
#define APP_RACK_H

#include <cstdint>
#include <string>
#include <vector>

#include "RecordingDisplay.h"
#include "Updater.h"
#include "UpdaterDisplayInterface.h"

// The -G command for one device: its announcement, then the download (an
// empty build text asks for the newest). Returns the build stored, 0 on
// failure.
uint32_t _get_firmware(UpdaterDisplayInterface& display, Updater& updater, uint32_t serial_number,
                       const std::string& build, bool override);

// What --all did to one module.
struct RackResult {
    enum Outcome { Updated, Current, Failed };
    DeviceInfo before;
    bool seen_after = false;  // found again by the discovery after the updates
    DeviceInfo after;
    uint32_t newest = 0;  // the server's newest build; 0 when it named none
    Outcome outcome = Failed;
    std::string error;  // the failure's message and its cause, as shown
    std::string cause;
    std::vector<RecordingDisplay::Line> lines;
};

// -U --all: discovers the modules on transport (0: USB then TCP/IP) and
// brings each to the newest build the server names: a module that runs it is
// left alone, the build is downloaded when the store lacks it, then
// installed as -U does. A failing module does not stop the others. With
// jobs 0 the modules take turns and each one's lines go to display under a
// heading (quiet: only its error lines, for a JSON report); with jobs N up
// to N modules are updated at once, each on its own thread and link, and
// display gets one line per module and stage, and its error lines, each
// after the serial number. The modules are discovered once more at the end
// for the versions they run.
std::vector<RackResult> _update_all(UpdaterDisplayInterface& display, bool quiet, Updater& updater,
                                    const std::string& server_address, const std::string& directory,
                                    linkType transport, bool override, uint32_t jobs);

// The summary table: serial, model, version before and after, result.
void _display_rack_summary(UpdaterDisplayInterface& display, const std::vector<RackResult>& results);

#endif
