#ifndef UPDATER_HTTP_REQUEST_H
#define UPDATER_HTTP_REQUEST_H

#include <cstddef>
#include <map>
#include <string>

// The outcome of one GET: the URL asked for, the HTTP status and the whole
// body. Not shared between threads.
class HTTPResponse {
public:
    HTTPResponse() = default;
    explicit HTTPResponse(const std::string& request) : request(request) {}

    // The complete URL, query included.
    const std::string& get_request() const { return request; }
    // The HTTP status reported by libcurl; 0 until set.
    long get_status() const { return status; }
    // The body, NUL-terminated and writable so parsers can cut it in place;
    // valid until the next process() or the response's destruction.
    char* get_response() { return response.data(); }
    // Body length in bytes (the body may itself hold NUL bytes).
    size_t get_response_length() const { return response.size(); }
    void set_status(long code) { status = code; }
    // Appends length bytes to the body.
    void process(const char* data, size_t length) { response.append(data, length); }

private:
    std::string request;
    long status = 0;
    std::string response;
};

// Bounds on one transfer, so a dead or hostile server ends in a failed
// request instead of a hang or an exhausted memory.
struct HTTPLimits {
    long connect_timeout_s = 10;                // CURLOPT_CONNECTTIMEOUT
    long low_speed_limit_bytes_per_s = 1;       // CURLOPT_LOW_SPEED_LIMIT ...
    long low_speed_time_s = 30;                 // ... sustained for this long
    size_t max_body_bytes = size_t(256) << 20;  // a longer body is refused
};

class HTTPRequest {
public:
    // Performs GET on url followed by "?" (only when query is not empty) and
    // "key=value&" for every entry in key order; nothing is percent-encoded.
    // Returns status and body for any HTTP status (redirects are not
    // followed). Throws CausedError (Cause.h) with libcurl's error text and
    // the cause in plain words when the transfer fails (no connection,
    // time-out, body over the size limit), or std::runtime_error
    // "Could not create curl instance". Safe to call from several threads.
    static HTTPResponse GET(const std::string& url, const std::map<std::string, std::string>& query);

    // The limits every following request uses (process-wide; meant for tests,
    // which shorten them). default_limits() are the production values.
    static void set_limits(const HTTPLimits& limits);
    static HTTPLimits get_limits();
    static HTTPLimits default_limits() { return HTTPLimits(); }
};

#endif
