#ifndef UPDATER_UPDATE_SERVER_REQUEST_H
#define UPDATER_UPDATE_SERVER_REQUEST_H

#include <map>
#include <string>

class HTTPResponse;
struct Cause;

// The five questions the updater asks the update server. Each is one HTTP GET
// on the base URL (url; null means default_url) with a query, answered by
// text lines whose first line must start with "ok". Every operation returns
// true on success; on false its out values are left as they were (except
// GetBuildList, which has already cleared its map), the reason is in the
// log under DEBUG_ServerComm and, when cause is not null, in *cause. No
// state is kept between calls, so calls may come from any thread; nothing
// throws.
class UpdateServerRequest {
public:
    static constexpr const char* default_url = "http://update.orvantis.com/cgi/u";

    // Is the server there: status 200 and an "ok" reply.
    static bool ping(const char* url = nullptr, Cause* cause = nullptr);

    // The build the device should get: reply line 2 into build, line 3 into
    // firmware (each assigned only when the line exists).
    static bool QueryBuild(unsigned int serial_number, std::string& build, std::string& firmware,
                           const char* url = nullptr, Cause* cause = nullptr);

    // One build's ".bird" file: on success data is cleared, then set to reply
    // line 2 (the base64 text) when the line exists.
    static bool GetBuild(unsigned int serial_number, const std::string& fw, const std::string& bld,
                         std::string& data, const char* url = nullptr, bool no_cal = false,
                         Cause* cause = nullptr);

    // Every build offered for the device, build text -> version text. The map
    // is cleared before the request; the first entry for a build wins.
    static bool GetBuildList(unsigned int serial_number, std::map<std::string, std::string>& builds,
                             const char* url = nullptr, Cause* cause = nullptr);

    // Which device and build a chip belongs to, from its fingerprint (four
    // words, must not be null). Line 2 is hexadecimal, line 3 is read with
    // automatic base; each out value (may be null) is written only when its
    // line exists.
    static bool GetRecoveryInfo(const unsigned int* fingerprint, unsigned int* serial_number,
                                unsigned int* build, const char* url = nullptr, Cause* cause = nullptr);

    // The reply parsing of the five operations, which call them once a
    // status-200 reply has arrived (callable without a server). Each cuts the
    // body in place, logs a refusal as its operation does and returns what
    // the operation returns, setting the same out values; the build list is
    // added to (its operation clears the map before the request).
    static bool ParsePingReply(HTTPResponse& response);
    static bool ParseQueryBuildReply(HTTPResponse& response, std::string& build, std::string& firmware);
    static bool ParseGetBuildReply(HTTPResponse& response, std::string& data);
    static bool ParseBuildListReply(HTTPResponse& response, std::map<std::string, std::string>& builds);
    static bool ParseRecoveryInfoReply(HTTPResponse& response, unsigned int* serial_number,
                                       unsigned int* build);
};

#endif
