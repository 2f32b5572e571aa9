#include "HTTPRequest.h"

#include <curl/curl.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "Cause.h"
#include "Log.h"

namespace {

// Atomics rather than a lock: the write callback reads the body limit once
// per chunk, possibly on a download worker while a test changes the limits.
std::atomic<long> sConnectTimeoutS{HTTPLimits().connect_timeout_s};
std::atomic<long> sLowSpeedLimit{HTTPLimits().low_speed_limit_bytes_per_s};
std::atomic<long> sLowSpeedTimeS{HTTPLimits().low_speed_time_s};
std::atomic<size_t> sMaxBodyBytes{HTTPLimits().max_body_bytes};

std::once_flag sCurlOnce;

// curl_global_init is not thread-safe and must precede every easy handle;
// requests may come first from a download worker.
void _curl_global_init()
{
    std::call_once(sCurlOnce, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// libcurl write callback. Returning less than size * count makes libcurl
// fail the transfer with CURLE_WRITE_ERROR, which is how an oversized body
// is refused.
size_t _rcv_data(char* data, size_t size, size_t count, void* userdata)
{
    HTTPResponse* response = static_cast<HTTPResponse*>(userdata);

    if (Log::IsActive(DEBUG_ServerComm)) {
        // The chunk is not NUL-terminated: the excerpt gets its own copy.
        char excerpt[101];
        size_t bytes = (count != 0 && size > SIZE_MAX / count) ? SIZE_MAX : size * count;
        size_t shown = bytes < 100 ? bytes : 100;
        memcpy(excerpt, data, shown);
        excerpt[shown] = '\0';
        Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.100s]\n", (int)size, (int)count,
                 (unsigned)(uintptr_t)response, excerpt);
    }

    size_t length = 0;
    size_t limit = sMaxBodyBytes.load(std::memory_order_relaxed);
    size_t held = response->get_response_length();
    bool overflow = count != 0 && size > SIZE_MAX / count;
    if (!overflow) length = size * count;
    if (overflow || held > limit || length > limit - held) {
        Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", 0);
        return 0;
    }
    response->process(data, length);
    Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", (int)length);
    return length;
}

// A failed transfer in plain words, naming the address it went to (the URL
// when no address was reached). Asked before the handle is cleaned up.
Cause _transfer_cause(CURL* curl, CURLcode rc, const char* detail, const std::string& url,
                      const HTTPLimits& limits)
{
    char* ip = nullptr;
    long port = 0, os_errno = 0;
    double connect_s = 0;
    curl_easy_getinfo(curl, CURLINFO_PRIMARY_IP, &ip);
    curl_easy_getinfo(curl, CURLINFO_PRIMARY_PORT, &port);
    curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &os_errno);
    curl_easy_getinfo(curl, CURLINFO_CONNECT_TIME, &connect_s);
    std::string where = url;
    if (ip != nullptr && *ip != '\0') {
        where = std::string(ip) + " port " + std::to_string(port);
    } else if (CURLU* parts = curl_url()) {
        // No address was reached (a refused connection): the URL's own.
        char *host = nullptr, *number = nullptr;
        if (curl_url_set(parts, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
            curl_url_get(parts, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
            curl_url_get(parts, CURLUPART_PORT, &number, CURLU_DEFAULT_PORT) == CURLUE_OK)
            where = std::string(host) + " port " + number;
        curl_free(host);
        curl_free(number);
        curl_url_cleanup(parts);
    }
    if (rc == CURLE_COULDNT_CONNECT && os_errno == ECONNREFUSED)
        return Cause(aErrConnection, "connection refused by " + where);
    if (rc == CURLE_COULDNT_CONNECT && os_errno != 0)
        return Cause(aErrConnection, where + ": " + strerror(os_errno));
    if (rc == CURLE_GOT_NOTHING || rc == CURLE_PARTIAL_FILE)
        return Cause(aErrConnection, where + " closed the connection before the whole reply came");
    if (rc == CURLE_OPERATION_TIMEDOUT && connect_s == 0)
        return Cause(aErrTimeout, "no answer from " + where + " within " +
                                      std::to_string(limits.connect_timeout_s) + " s");
    if (rc == CURLE_OPERATION_TIMEDOUT)
        return Cause(aErrTimeout,
                     where + " stopped sending for " + std::to_string(limits.low_speed_time_s) + " s");
    if (rc == CURLE_WRITE_ERROR)
        return Cause(aErrSize, "reply from " + where + " is longer than " +
                                   std::to_string(limits.max_body_bytes) + " bytes");
    // libcurl's own detail names what a certificate check found wrong.
    return Cause(aErrConnection, where + ": " + (*detail != '\0' ? detail : curl_easy_strerror(rc)));
}

}  // namespace

void HTTPRequest::set_limits(const HTTPLimits& limits)
{
    sConnectTimeoutS.store(limits.connect_timeout_s);
    sLowSpeedLimit.store(limits.low_speed_limit_bytes_per_s);
    sLowSpeedTimeS.store(limits.low_speed_time_s);
    sMaxBodyBytes.store(limits.max_body_bytes);
}

HTTPLimits HTTPRequest::get_limits()
{
    HTTPLimits limits;
    limits.connect_timeout_s = sConnectTimeoutS.load();
    limits.low_speed_limit_bytes_per_s = sLowSpeedLimit.load();
    limits.low_speed_time_s = sLowSpeedTimeS.load();
    limits.max_body_bytes = sMaxBodyBytes.load();
    return limits;
}

HTTPResponse HTTPRequest::GET(const std::string& url, const std::map<std::string, std::string>& query)
{
    _curl_global_init();
    CURL* curl = curl_easy_init();

    std::string full = url;
    if (!query.empty()) full += "?";
    for (const auto& entry : query) full += entry.first + "=" + entry.second + "&";

    HTTPResponse response(full);
    if (curl == nullptr) throw std::runtime_error("Could not create curl instance");

    HTTPLimits limits = get_limits();
    char detail[CURL_ERROR_SIZE] = "";
    CURLcode rc = curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, _rcv_data);
    if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, detail);
    if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response);
    if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_URL, full.c_str());
    if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, limits.connect_timeout_s);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, limits.low_speed_limit_bytes_per_s);
    if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, limits.low_speed_time_s);
    // Time-outs must not be implemented with SIGALRM: requests run on
    // worker threads.
    if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    // Over https the certificate is all that vouches for a firmware image on
    // its way: it must chain to the system's CA bundle and name the URL's
    // host. These are libcurl's defaults, set here so that nobody turns them
    // off unnoticed (tests/e2e/test_https.py fails if either is).
    if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (rc == CURLE_OK) {
        Log::log(DEBUG_ServerComm, "GET(%s)\n", full.c_str());
        rc = curl_easy_perform(curl);
    }
    long code = 0;
    if (rc == CURLE_OK) rc = curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    Cause cause;
    if (rc != CURLE_OK) cause = _transfer_cause(curl, rc, detail, url, limits);

    curl_easy_cleanup(curl);
    if (rc != CURLE_OK) throw CausedError(curl_easy_strerror(rc), cause);
    response.set_status(code);
    return response;
}
