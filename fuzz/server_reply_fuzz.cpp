// The five update-server reply parsers on a status-200 body (the input),
// and base64 decoding of a GetBuild reply. Checked against a reading by the
// rules: lines are the non-empty pieces between separators (as strtok_r
// finds them), line 1 must start with "ok", each operation takes its lines.
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "FuzzSupport.h"
#include "HTTPRequest.h"
#include "UpdateServerRequest.h"
#include "base64.h"

namespace {

// strtok_r over the text up to its first NUL.
class Lines {
public:
    explicit Lines(const std::string& body) : text_(body.c_str()) {}
    bool Next(const char* separators, std::string& token)
    {
        while (pos_ < text_.size() && strchr(separators, text_[pos_]) != nullptr) pos_++;
        if (pos_ >= text_.size()) return false;
        size_t end = pos_;
        while (end < text_.size() && strchr(separators, text_[end]) == nullptr) end++;
        token = text_.substr(pos_, end - pos_);
        pos_ = end < text_.size() ? end + 1 : end;
        return true;
    }

private:
    std::string text_;
    size_t pos_ = 0;
};

HTTPResponse Reply(const char* op, const uint8_t* data, size_t size)
{
    HTTPResponse response(std::string("http://fuzz.invalid/cgi/u?op=") + op + "&");
    response.set_status(200);
    response.process(reinterpret_cast<const char*>(data), size);
    return response;
}

bool Verdict(const std::string& line1, bool present)
{
    return present && line1.compare(0, 2, "ok") == 0;
}

void CheckPing(const std::string& body, const uint8_t* data, size_t size)
{
    HTTPResponse response = Reply("hi", data, size);
    Lines lines(body);
    std::string line1;
    bool has1 = lines.Next("\n", line1);
    FUZZ_CHECK(UpdateServerRequest::ParsePingReply(response) == Verdict(line1, has1));
}

void CheckQueryBuild(const std::string& body, const uint8_t* data, size_t size)
{
    HTTPResponse response = Reply("qu", data, size);
    std::string build = "untouched-build", firmware = "untouched-firmware";
    bool ok = UpdateServerRequest::ParseQueryBuildReply(response, build, firmware);

    Lines lines(body);
    std::string line1, line2, line3;
    bool has1 = lines.Next("\n", line1);
    bool has2 = lines.Next("\n", line2);
    bool has3 = lines.Next("\r\n", line3);
    FUZZ_CHECK(ok == Verdict(line1, has1));
    FUZZ_CHECK(build == (ok && has2 ? line2 : "untouched-build"));
    FUZZ_CHECK(firmware == (ok && has3 ? line3 : "untouched-firmware"));
}

void CheckGetBuild(const std::string& body, const uint8_t* data, size_t size)
{
    HTTPResponse response = Reply("bird", data, size);
    std::string text = "untouched";
    bool ok = UpdateServerRequest::ParseGetBuildReply(response, text);

    Lines lines(body);
    std::string line1, line2;
    bool has1 = lines.Next("\n", line1);
    bool has2 = lines.Next("\n", line2);
    FUZZ_CHECK(ok == Verdict(line1, has1));
    FUZZ_CHECK(text == (ok ? (has2 ? line2 : "") : "untouched"));
    if (!ok) return;

    size_t length = 12345;
    unsigned char* bytes = base64_decode(text.c_str(), text.size(), &length);
    if (bytes == nullptr) {
        FUZZ_CHECK(length == 12345);
        return;
    }
    FUZZ_CHECK(text.size() % 4 == 0);
    FUZZ_CHECK(length <= text.size() / 4 * 3 && length + 2 >= text.size() / 4 * 3);
    FUZZ_CHECK(bytes[length] == 0);
    free(bytes);
}

void CheckBuildList(const std::string& body, const uint8_t* data, size_t size)
{
    HTTPResponse response = Reply("builds", data, size);
    std::map<std::string, std::string> builds;
    bool ok = UpdateServerRequest::ParseBuildListReply(response, builds);

    Lines lines(body);
    std::string line1, line;
    bool has1 = lines.Next("\n", line1);
    FUZZ_CHECK(ok == Verdict(line1, has1));
    std::map<std::string, std::string> expected;
    while (ok && lines.Next("\n", line)) {
        if (line.size() <= 2) continue;
        Lines fields(line);
        std::string build, version;
        if (!fields.Next(";\r\n", build)) continue;
        if (!fields.Next(";\r\n", version)) version.clear();
        expected.emplace(build, version);  // the first entry for a build wins
    }
    FUZZ_CHECK(builds == expected);
}

void CheckRecoveryInfo(const std::string& body, const uint8_t* data, size_t size)
{
    HTTPResponse response = Reply("fix", data, size);
    unsigned int serial = 0xA5A5A5A5u, build = 0x5A5A5A5Au;
    bool ok = UpdateServerRequest::ParseRecoveryInfoReply(response, &serial, &build);

    Lines lines(body);
    std::string line1, line2, line3;
    bool has1 = lines.Next("\n", line1);
    bool has2 = lines.Next("\n", line2);
    bool has3 = lines.Next("\n", line3);
    FUZZ_CHECK(ok == Verdict(line1, has1));
    unsigned int wantSerial = ok && has2 ? (unsigned int)strtoul(line2.c_str(), nullptr, 16) : 0xA5A5A5A5u;
    unsigned int wantBuild = ok && has3 ? (unsigned int)strtoul(line3.c_str(), nullptr, 0) : 0x5A5A5A5Au;
    FUZZ_CHECK(serial == wantSerial && build == wantBuild);

    // Null out-pointers are allowed.
    HTTPResponse again = Reply("fix", data, size);
    FUZZ_CHECK(UpdateServerRequest::ParseRecoveryInfoReply(again, nullptr, nullptr) == ok);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string body(reinterpret_cast<const char*>(data), size);
    CheckPing(body, data, size);
    CheckQueryBuild(body, data, size);
    CheckGetBuild(body, data, size);
    CheckBuildList(body, data, size);
    CheckRecoveryInfo(body, data, size);
    return 0;
}
