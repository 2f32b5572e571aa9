#ifndef APP_JSON_REPORT_H
#define APP_JSON_REPORT_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Rack.h"
#include "RecordingDisplay.h"
#include "Updater.h"

// The --json document: one member per command that ran, filled as the
// commands end, then written to stdout as one object with "ok", the
// failure's "error" and "cause", and every line the text would have shown
// ("messages"). Field names are an interface: the README lists them.
class JsonReport {
public:
    JsonReport();
    ~JsonReport();

    void Fingerprint(const std::string& port, const ::Fingerprint& fingerprint);
    // build 0: the download failed; directory: the store's.
    void Download(uint32_t serial_number, uint32_t build, const std::string& directory);
    // router 0: a search without -r.
    void Discovery(uint32_t transport, uint32_t router, const std::vector<DeviceInfo>& devices);
    void Update(uint32_t serial_number, const UpdateRecord& record);
    void Builds(uint32_t serial_number, const BuildList& builds);
    // problems: the error lines of the check.
    void Check(const std::string& path, bool valid, const RecordingDisplay& lines);
    void Store(uint32_t serial_number, const std::string& directory);
    void Modules(const std::vector<RackResult>& results);

    // Writes the document and a newline to stdout; "ok" is true when the
    // commands succeeded and display was given no error line.
    void Print(bool succeeded, const RecordingDisplay& display) const;

private:
    struct Document;
    std::unique_ptr<Document> doc_;
};

#endif
