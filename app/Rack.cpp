#include "Rack.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <thread>

#include "aDefs.h"

namespace {

const UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::Info;
const UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::Error;

// Searches for the versions the modules run after the updates.
constexpr int kSearchesAfter = 4;

std::string sVersion(const DeviceInfo& d)
{
    char text[48];
    snprintf(text, sizeof text, "%d.%d.%d (%u)", d.version_major, d.version_minor,
             static_cast<int>(d.version_patch), d.build);
    return text;
}

// The front of a module updated beside others: its stage lines and error
// lines go to the shared display after its serial number, one whole line
// at a time under the shared lock; its other lines are only recorded.
class StageDisplay : public UpdaterDisplayInterface {
public:
    StageDisplay(UpdaterDisplayInterface& shared, std::mutex& lock, uint32_t serial)
        : shared_(shared), lock_(lock), serial_(serial)
    {
    }

    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char*) override {}
    void error_message(const char* text) override { Line(kError, text); }
    void cause_message(const char* text) override { Line(kError, (std::string("  ") + text).c_str()); }

    void Stage(const char* format, ...) __attribute__((format(printf, 2, 3)))
    {
        char text[512];
        va_list args;
        va_start(args, format);
        vsnprintf(text, sizeof text, format, args);
        va_end(args);
        Line(kInfo, text);
    }

private:
    void Line(Level level, const char* text)
    {
        std::lock_guard<std::mutex> hold(lock_);
        shared_.message(level, "%08X: %s", serial_, text);
    }

    UpdaterDisplayInterface& shared_;
    std::mutex& lock_;  // guards shared_, which every module's thread writes to
    const uint32_t serial_;
};

// One module's turn; its lines go through display, which records them.
// stages is null when the modules take turns.
RackResult::Outcome sUpdateOne(UpdaterDisplayInterface& display, StageDisplay* stages, Updater& one,
                               RackResult& result, bool override)
{
    const uint32_t serial = result.before.spec.serialNumber;
    if (stages != nullptr) stages->Stage("asking the server for the newest build");
    result.newest = one.Newest_Build(serial);
    if (result.newest == 0) return RackResult::Failed;
    if (result.before.error == aErrNone && result.newest == result.before.build) {
        display.message(kInfo, "Module %08X already runs build %u", serial, result.newest);
        return RackResult::Current;
    }
    uint32_t build = result.newest;
    if (!one.Has_Build(serial, build)) {
        if (stages != nullptr) stages->Stage("downloading build %u", build);
        build = _get_firmware(display, one, serial, "", override);
    }
    if (build == 0) return RackResult::Failed;
    if (stages != nullptr) stages->Stage("installing build %u", build);
    return one.Update_Firmware(serial, build, "", 0, 0, override) ? RackResult::Updated : RackResult::Failed;
}

const char* sOutcome(const RackResult& r)
{
    return r.outcome == RackResult::Updated   ? "updated"
           : r.outcome == RackResult::Current ? "current"
                                              : "failed";
}

std::string sResultText(const RackResult& r)
{
    if (r.outcome != RackResult::Failed) return sOutcome(r);
    return std::string("failed: ") + (r.cause.empty() ? r.error : r.cause);
}

// One module's turn, with an Updater and a display of its own.
void sRun(RackResult& result, UpdaterDisplayInterface& display, bool quiet, StageDisplay* stages,
          const std::string& server_address, const std::string& directory, bool override)
{
    const DeviceInfo& device = result.before;
    RecordingDisplay lines(stages != nullptr ? stages : &display, stages != nullptr || quiet);
    lines.message(kInfo, "Module %08X: %s %s", device.spec.serialNumber,
                  aDefs_GetModelName(device.spec.model), sVersion(device).c_str());
    Updater one(server_address, directory, lines);
    result.outcome = sUpdateOne(lines, stages, one, result, override);
    result.error = lines.Error();
    result.cause = lines.ErrorCause();
    result.lines = lines.Lines();
    if (stages != nullptr) stages->Stage("%s", sResultText(result).c_str());
}

}  // namespace

uint32_t _get_firmware(UpdaterDisplayInterface& display, Updater& updater, uint32_t serial_number,
                       const std::string& build, bool override)
{
    display.message(kInfo, "Retrieving firmware for device with serial number %08X", serial_number);
    if (build.empty()) {
        display.message(kInfo, "No build specified");
        display.message(kInfo, "Using Latest build");
    } else {
        display.message(kInfo, "Retrieving firmware build %s", build.c_str());
    }
    return updater.Download_Firmware(serial_number, build, override, false);
}

std::vector<RackResult> _update_all(UpdaterDisplayInterface& display, bool quiet, Updater& updater,
                                    const std::string& server_address, const std::string& directory,
                                    linkType transport, bool override, uint32_t jobs)
{
    display.message(kInfo, "Searching for Keystrand devices");
    std::vector<RackResult> results;
    for (const DeviceInfo& device : updater.Discover_Devices(transport)) {
        // A module on USB and on the network is found twice; it is updated
        // once, through the first.
        bool seen = false;
        for (const RackResult& result : results)
            seen |= result.before.spec.serialNumber == device.spec.serialNumber;
        if (seen) continue;
        results.emplace_back();
        results.back().before = device;
    }
    if (jobs == 0) {
        for (RackResult& result : results)
            sRun(result, display, quiet, nullptr, server_address, directory, override);
    } else {
        // Each thread takes the next module until none is left and writes
        // only that module's result.
        std::mutex lock;  // guards next and display
        size_t next = 0;
        auto work = [&] {
            for (;;) {
                size_t index;
                {
                    std::lock_guard<std::mutex> hold(lock);
                    if (next == results.size()) return;
                    index = next++;
                }
                StageDisplay stages(display, lock, results[index].before.spec.serialNumber);
                sRun(results[index], display, quiet, &stages, server_address, directory, override);
            }
        };
        std::vector<std::thread> threads;
        for (uint32_t i = 0; i < jobs && i < results.size(); ++i) threads.emplace_back(work);
        for (std::thread& thread : threads) thread.join();
    }
    // A module restarting into its new firmware is not there for a while
    // (seconds, for a real one), so the search is repeated a few times, a
    // second apart, until every updated module has answered.
    for (int round = 0; round < kSearchesAfter && !results.empty(); ++round) {
        if (round > 0) std::this_thread::sleep_for(std::chrono::seconds(1));
        for (const DeviceInfo& device : updater.Discover_Devices(transport)) {
            for (RackResult& result : results) {
                if (result.before.spec.serialNumber != device.spec.serialNumber || device.error != aErrNone)
                    continue;
                result.seen_after = true;
                result.after = device;
            }
        }
        bool missing = false;
        for (const RackResult& result : results)
            missing |= result.outcome == RackResult::Updated && !result.seen_after;
        if (!missing) break;
    }
    return results;
}

void _display_rack_summary(UpdaterDisplayInterface& display, const std::vector<RackResult>& results)
{
    display.message(kInfo, "Summary:");
    if (results.empty()) {
        display.message(kInfo, "    No devices found.");
        return;
    }
    display.message(kInfo, "    %-8s  %-12s %-17s %-17s %s", "Device", "Model", "Before", "After", "Result");
    for (const RackResult& r : results) {
        std::string before = r.before.error == aErrNone ? sVersion(r.before) : "-";
        std::string after = r.seen_after ? sVersion(r.after) : "-";
        display.message(kInfo, "    %08X  %-12s %-17s %-17s %s", r.before.spec.serialNumber,
                        aDefs_GetModelName(r.before.spec.model), before.c_str(), after.c_str(),
                        sResultText(r).c_str());
    }
}
