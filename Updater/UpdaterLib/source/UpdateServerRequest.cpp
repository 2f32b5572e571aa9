#include "UpdateServerRequest.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "Cause.h"
#include "HTTPRequest.h"
#include "Log.h"

namespace {

typedef std::map<std::string, std::string> Query;

// Reply lines; runs of separators collapse, so empty lines never count.
const char* const delimiters = "\n";
// QueryBuild's firmware line drops a trailing CR; its build line keeps it
// (the caller's decimal conversion stops there).
const char* const firmware_delimiters = "\r\n";
const char* const entry_delimiters = ";\r\n";

// Operation names in the log.
const char* const kPing = "ping";
const char* const kQueryBuild = "QueryBuild";
const char* const kGetBuild = "GetBuild";
const char* const kGetBuildList = "GetBuildList";
const char* const kGetRecoveryInfo = "GetRecoveryInfo";

const char* sBase(const char* url)
{
    return url != nullptr ? url : UpdateServerRequest::default_url;
}

std::string sSerialText(unsigned int serial_number)
{
    char text[16];
    snprintf(text, sizeof text, "%08X", serial_number);
    return text;
}

// Performs the request; false (already logged) when no reply came back or
// its status is not 200. ping words its status line differently.
// Sets *cause when the caller asked for it; false.
bool sFail(Cause* cause, const Cause& why)
{
    if (cause != nullptr) *cause = why;
    return false;
}

// A reply whose first line is not "ok", in words; the parsers have cut the
// body after that line. Only printable characters are shown, at most 40.
Cause sRefusal(HTTPResponse& response)
{
    std::string line;
    for (const char* p = response.get_response(); *p != '\0' && !strchr("\r\n", *p) && line.size() < 40; ++p)
        line += isprint(static_cast<unsigned char>(*p)) ? *p : '?';
    if (line.empty()) return Cause(aErrParse, "the server sent an empty reply");
    return Cause(aErrParse, "the server answered \"" + line + "\" instead of \"ok\"");
}

bool sGet(const char* name, const char* url, const Query& query, HTTPResponse& response, Cause* cause,
          bool is_ping = false)
{
    try {
        response = HTTPRequest::GET(sBase(url), query);
    } catch (const std::exception& e) {
        Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, e.what());
        return sFail(cause, CauseOf(e));
    }
    if (response.get_status() != 200) {
        sFail(cause, Cause(aErrConnection, "HTTP status " + std::to_string(response.get_status())));
        if (is_ping) {
            Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", (int)response.get_status(),
                     response.get_response());
        } else {
            Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", name, (int)response.get_status(),
                     response.get_response());
        }
        return false;
    }
    return true;
}

// Only two characters are compared, so "okay" passes. An empty body has no
// first line and fails like any other refusal.
bool sVerdict(const char* name, const char* line1, const HTTPResponse& response)
{
    if (line1 != nullptr && strncmp(line1, "ok", 2) == 0) return true;
    Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name, response.get_request().c_str());
    return false;
}

const char* sText(const char* line)
{
    return line != nullptr ? line : "";
}

}  // namespace

bool UpdateServerRequest::ping(const char* url, Cause* cause)
{
    Query query{{"op", "hi"}, {"rv", "2"}};
    HTTPResponse response;
    if (!sGet(kPing, url, query, response, cause, true)) return false;
    return ParsePingReply(response) || sFail(cause, sRefusal(response));
}

bool UpdateServerRequest::ParsePingReply(HTTPResponse& response)
{
    char* save = nullptr;
    char* line1 = strtok_r(response.get_response(), delimiters, &save);
    return sVerdict(kPing, line1, response);
}

bool UpdateServerRequest::QueryBuild(unsigned int serial_number, std::string& build, std::string& firmware,
                                     const char* url, Cause* cause)
{
    Query query{{"op", "qu"}, {"sn", sSerialText(serial_number)}};
    HTTPResponse response;
    if (!sGet(kQueryBuild, url, query, response, cause)) return false;
    return ParseQueryBuildReply(response, build, firmware) || sFail(cause, sRefusal(response));
}

bool UpdateServerRequest::ParseQueryBuildReply(HTTPResponse& response, std::string& build,
                                               std::string& firmware)
{
    char* save = nullptr;
    char* line1 = strtok_r(response.get_response(), delimiters, &save);
    char* line2 = strtok_r(nullptr, delimiters, &save);
    char* line3 = strtok_r(nullptr, firmware_delimiters, &save);
    if (!sVerdict(kQueryBuild, line1, response)) return false;

    if (line2 != nullptr) build = line2;
    if (line3 != nullptr) firmware = line3;
    return true;
}

bool UpdateServerRequest::GetBuild(unsigned int serial_number, const std::string& fw, const std::string& bld,
                                   std::string& data, const char* url, bool no_cal, Cause* cause)
{
    Query query{{"op", "bird"},
                {"sn", sSerialText(serial_number)},
                {"fw", fw},
                {"bld", bld},
                {"no_cal", no_cal ? "true" : "false"}};
    HTTPResponse response;
    if (!sGet(kGetBuild, url, query, response, cause)) return false;
    return ParseGetBuildReply(response, data) || sFail(cause, sRefusal(response));
}

bool UpdateServerRequest::ParseGetBuildReply(HTTPResponse& response, std::string& data)
{
    char* save = nullptr;
    char* line1 = strtok_r(response.get_response(), delimiters, &save);
    char* line2 = strtok_r(nullptr, delimiters, &save);
    if (!sVerdict(kGetBuild, line1, response)) return false;

    data.clear();
    if (line2 != nullptr) data = line2;
    return true;
}

bool UpdateServerRequest::GetBuildList(unsigned int serial_number, std::map<std::string, std::string>& builds,
                                       const char* url, Cause* cause)
{
    builds.clear();
    Query query{{"op", "builds"}, {"sn", sSerialText(serial_number)}};
    HTTPResponse response;
    if (!sGet(kGetBuildList, url, query, response, cause)) return false;
    return ParseBuildListReply(response, builds) || sFail(cause, sRefusal(response));
}

bool UpdateServerRequest::ParseBuildListReply(HTTPResponse& response,
                                              std::map<std::string, std::string>& builds)
{
    const char* const name = kGetBuildList;
    char* save = nullptr;
    char* line1 = strtok_r(response.get_response(), delimiters, &save);
    if (!sVerdict(name, line1, response)) return false;

    for (char* line = strtok_r(nullptr, delimiters, &save); line != nullptr;
         line = strtok_r(nullptr, delimiters, &save)) {
        // Too short to hold a build number and its separator.
        if (strlen(line) <= 2) continue;
        Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", name, line);
        char* field_save = nullptr;
        char* build = strtok_r(line, entry_delimiters, &field_save);
        if (build == nullptr) continue;
        char* version = strtok_r(nullptr, entry_delimiters, &field_save);
        builds.emplace(build, sText(version));
        Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", name, build, sText(version));
    }
    return true;
}

bool UpdateServerRequest::GetRecoveryInfo(const unsigned int* fingerprint, unsigned int* serial_number,
                                          unsigned int* build, const char* url, Cause* cause)
{
    if (fingerprint == nullptr) return false;
    char fp[64];
    // The spaces between the words go out already escaped: the query is
    // never percent-encoded.
    snprintf(fp, sizeof fp, "%08X%%20%08X%%20%08X%%20%08X", fingerprint[0], fingerprint[1], fingerprint[2],
             fingerprint[3]);
    Query query{{"op", "fix"}, {"fp", fp}, {"brief", "true"}};
    HTTPResponse response;
    if (!sGet(kGetRecoveryInfo, url, query, response, cause)) return false;
    return ParseRecoveryInfoReply(response, serial_number, build) || sFail(cause, sRefusal(response));
}

bool UpdateServerRequest::ParseRecoveryInfoReply(HTTPResponse& response, unsigned int* serial_number,
                                                 unsigned int* build)
{
    const char* const name = kGetRecoveryInfo;
    char* save = nullptr;
    char* line1 = strtok_r(response.get_response(), delimiters, &save);
    char* line2 = strtok_r(nullptr, delimiters, &save);
    char* line3 = strtok_r(nullptr, delimiters, &save);
    if (!sVerdict(name, line1, response)) return false;

    // The serial is always hexadecimal; the build may come as 0x.., 0.. or
    // decimal.
    if (line2 != nullptr && serial_number != nullptr)
        *serial_number = (unsigned int)strtoul(line2, nullptr, 16);
    if (line3 != nullptr && build != nullptr) *build = (unsigned int)strtoul(line3, nullptr, 0);
    Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", name, sText(line1), sText(line2), sText(line3));
    return true;
}
