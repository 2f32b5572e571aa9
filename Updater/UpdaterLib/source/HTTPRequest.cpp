#include "HTTPRequest.h"

#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "Log.h"

namespace {

// Atomics rather than a lock: the write callback reads the body limit once
// per chunk, possibly on a download worker while a test changes the limits.
std::atomic<long> g_connect_timeout_s{HTTPLimits().connect_timeout_s};
std::atomic<long> g_low_speed_limit{HTTPLimits().low_speed_limit_bytes_per_s};
std::atomic<long> g_low_speed_time_s{HTTPLimits().low_speed_time_s};
std::atomic<size_t> g_max_body_bytes{HTTPLimits().max_body_bytes};

std::once_flag g_curl_once;

// curl_global_init is not thread-safe and must precede every easy handle;
// requests may come first from a download worker.
void _curl_global_init()
{
    std::call_once(g_curl_once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
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
    size_t limit = g_max_body_bytes.load(std::memory_order_relaxed);
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

}  // namespace

void HTTPRequest::set_limits(const HTTPLimits& limits)
{
    g_connect_timeout_s.store(limits.connect_timeout_s);
    g_low_speed_limit.store(limits.low_speed_limit_bytes_per_s);
    g_low_speed_time_s.store(limits.low_speed_time_s);
    g_max_body_bytes.store(limits.max_body_bytes);
}

HTTPLimits HTTPRequest::get_limits()
{
    HTTPLimits limits;
    limits.connect_timeout_s = g_connect_timeout_s.load();
    limits.low_speed_limit_bytes_per_s = g_low_speed_limit.load();
    limits.low_speed_time_s = g_low_speed_time_s.load();
    limits.max_body_bytes = g_max_body_bytes.load();
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
    CURLcode rc = curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, _rcv_data);
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

    curl_easy_cleanup(curl);
    if (rc != CURLE_OK) throw std::runtime_error(curl_easy_strerror(rc));
    response.set_status(code);
    return response;
}
