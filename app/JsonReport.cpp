#include "JsonReport.h"

#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "BirdFile.h"
#include "StoreInventory.h"
#include "UpdaterStore.h"
#include "aDefs.h"
#include "aDirectory.h"

using nlohmann::json;

struct JsonReport::Document {
    json root = json::object();
};

namespace {

std::string sHex(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof text, "%08X", value);
    return text;
}

const char* sTransport(uint32_t transport)
{
    return transport == USB ? "USB" : transport == TCPIP ? "TCPIP" : "Unknown";
}

// The packed word of a "major.minor.patch" text (major in bits 31..28,
// minor in 27..24); null when the text is no such version.
json sVersionNumber(const std::string& text)
{
    unsigned major = 0, minor = 0, patch = 0;
    char end = 0;
    if (sscanf(text.c_str(), "%u.%u.%u%c", &major, &minor, &patch, &end) != 3 || major > 15 || minor > 15 ||
        patch > 0xFFFFFF)
        return nullptr;
    return (major << 28) | (minor << 24) | patch;
}

// A build text of the server as a number; text that is none stays text.
json sBuildNumber(const std::string& text)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return text;
    unsigned long long value = strtoull(text.c_str(), nullptr, 10);
    return value > 0xFFFFFFFFull ? json(text) : json(value);
}

json sDevice(const DeviceInfo& d)
{
    char version[32];
    snprintf(version, sizeof version, "%d.%d.%d", d.version_major, d.version_minor,
             static_cast<int>(d.version_patch));
    json device = {{"serial", sHex(d.spec.serialNumber)},
                   {"transport", sTransport(d.spec.type)},
                   {"module_address", d.spec.moduleAddress},
                   {"router_address", d.spec.routerAddress},
                   {"model", d.spec.model},
                   {"model_name", aDefs_GetModelName(d.spec.model)},
                   {"version", version},
                   {"version_number", sVersionNumber(version)},
                   {"build", d.build},
                   {"error_code", d.error}};
    if (d.spec.type == TCPIP) {
        // Held in network order: the bytes in memory order are the dotted form.
        const unsigned char* ip = reinterpret_cast<const unsigned char*>(&d.spec.ipAddress);
        char address[32];
        snprintf(address, sizeof address, "%d.%d.%d.%d", ip[0], ip[1], ip[2], ip[3]);
        device["ip_address"] = address;
    }
    return device;
}

json sLines(const std::vector<RecordingDisplay::Line>& lines)
{
    json out = json::array();
    for (const RecordingDisplay::Line& line : lines)
        out.push_back({{"level", line.level}, {"text", line.text}});
    return out;
}

}  // namespace

JsonReport::JsonReport() : doc_(new Document) {}

JsonReport::~JsonReport() = default;

void JsonReport::Fingerprint(const std::string& port, const ::Fingerprint& fp)
{
    doc_->root["fingerprint"] = {{"port", port},
                                 {"words", {sHex(fp.w0), sHex(fp.w1), sHex(fp.w2), sHex(fp.w3)}}};
}

void JsonReport::Download(uint32_t serial_number, uint32_t build, const std::string& directory)
{
    const std::string file = BuildPath(directory.c_str(), sHex(serial_number).c_str(),
                                       (std::to_string(build) + ".bird").c_str(), nullptr);
    doc_->root["download"] = {{"serial", sHex(serial_number)},
                              {"build", build == 0 ? json(nullptr) : json(build)},
                              {"file", build == 0 ? json(nullptr) : json(file)}};
}

void JsonReport::Discovery(uint32_t transport, uint32_t router, const std::vector<DeviceInfo>& devices)
{
    json list = json::array();
    for (const DeviceInfo& d : devices) list.push_back(sDevice(d));
    doc_->root["discovery"] = {{"transport", sTransport(transport)}, {"devices", list}};
    if (router != 0) doc_->root["discovery"]["router"] = sHex(router);
}

void JsonReport::Update(uint32_t serial_number, const UpdateRecord& record)
{
    doc_->root["update"] = {{"serial", sHex(serial_number)},
                            {"build", record.build == 0 ? json(nullptr) : json(record.build)},
                            {"file", record.file.empty() ? json(nullptr) : json(record.file)},
                            {"seconds", record.seconds}};
}

void JsonReport::Builds(uint32_t serial_number, const BuildList& builds)
{
    json list = json::array();
    for (const auto& entry : builds)
        list.push_back({{"build", sBuildNumber(entry.first)},
                        {"version", entry.second},
                        {"version_number", sVersionNumber(entry.second)}});
    doc_->root["build_list"] = {{"serial", sHex(serial_number)}, {"builds", list}};
}

void JsonReport::Check(const std::string& path, bool valid, const RecordingDisplay& lines)
{
    json check = {{"file", path}, {"valid", valid}, {"problems", json::array()}};
    for (const RecordingDisplay::Line& line : lines.Lines())
        if (std::string(line.level) == "error") check["problems"].push_back(line.text);
    try {
        BirdFile bird(path);
        if (!bird.FindBlocks(BirdFile::BLOCK_INFO).empty())
            check["info"] = {{"build", bird.GetBuild()},
                             {"version", bird.GetVersion()},
                             {"version_number", sVersionNumber(bird.GetVersion())},
                             {"serial", sHex(bird.GetSerialNumber())},
                             {"model", bird.GetModel()}};
        json blocks = json::array();
        for (const BirdBlock& block : bird.Blocks()) {
            bool placed = block.type == BirdFile::BLOCK_LOADER || block.type == BirdFile::BLOCK_FIRMWARE;
            blocks.push_back({{"type", block.type},
                              {"flags", block.flags},
                              {"length", block.length},
                              {"address", placed ? json(block.address) : json(nullptr)}});
        }
        check["blocks"] = blocks;
        if (bird.HasSerialOffsets())
            check["serial_offsets"] = {{"serial_word", bird.SerialNumberOffset()},
                                       {"descriptor", bird.DescriptorOffset()}};
        check["checksum"] = sHex(bird.FileChecksum());
    } catch (const std::exception&) {
        // A file that does not load has only its verdict and problems.
    }
    doc_->root["check"] = check;
}

void JsonReport::Store(uint32_t serial_number, const std::string& directory)
{
    json store = {{"path", directory}};
    try {
        if (serial_number == 0) {
            store["devices"] = json::array();
            for (const StoredDevice& d : StoreInventory::Devices(directory))
                store["devices"].push_back({{"serial", d.name},
                                            {"latest_download", d.latest_download},
                                            {"latest_transfer", d.latest_transfer}});
        } else {
            UpdaterStoreItem item;
            if (UpdaterStore(directory).FindDevice(serial_number, &item)) {
                json device = {{"serial", sHex(serial_number)}, {"directory", item.Path()}};
                device["settings"] = json::object();
                for (const auto& entry : item.settings.Entries())
                    device["settings"][entry.first] = entry.second;
                device["builds"] = json::array();
                for (const StoredBuild& b : StoreInventory::Builds(directory, serial_number)) {
                    json build = {{"file", b.file}};
                    if (b.loaded)
                        build.update({{"build", b.build},
                                      {"version", b.version},
                                      {"version_number", sVersionNumber(b.version)},
                                      {"model", b.model}});
                    else
                        build["problem"] = b.problem;
                    device["builds"].push_back(build);
                }
                store["device"] = device;
            }
        }
    } catch (const std::exception&) {
        // The inventory has reported the store that cannot be opened.
    }
    doc_->root["store"] = store;
}

void JsonReport::Modules(const std::vector<RackResult>& results)
{
    static const char* const kOutcomes[] = {"updated", "current", "failed"};
    json list = json::array();
    for (const RackResult& r : results) {
        json module = sDevice(r.before);
        module["after"] = r.seen_after ? sDevice(r.after) : json(nullptr);
        module["newest_build"] = r.newest == 0 ? json(nullptr) : json(r.newest);
        module["result"] = kOutcomes[r.outcome];
        if (!r.error.empty()) module["error"] = r.error;
        if (!r.cause.empty()) module["cause"] = r.cause;
        module["messages"] = sLines(r.lines);
        list.push_back(module);
    }
    doc_->root["modules"] = list;
}

void JsonReport::Print(bool succeeded, const RecordingDisplay& display) const
{
    json root = doc_->root;
    // -B and -D exit 0 also when they fail; their error line tells.
    root["ok"] = succeeded && display.Error().empty();
    if (!display.Error().empty()) root["error"] = display.Error();
    if (!display.ErrorCause().empty()) root["cause"] = display.ErrorCause();
    root["messages"] = sLines(display.Lines());
    // Invalid UTF-8 in a path or a server's text is replaced, not thrown.
    printf("%s\n", root.dump(2, ' ', false, json::error_handler_t::replace).c_str());
}
