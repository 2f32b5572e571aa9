// The transfer limits. The query text, statuses other than 200 and
// redirects are checked through the update server's operations
// (UpdateServerRequest_test.cpp).
#include "HTTPRequest.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>

#include "ScriptedHttpServer.h"

namespace {

typedef std::chrono::steady_clock Clock;

// Runs GET and returns the exception text, or "" when it did not throw.
std::string FailureText(const std::string& url)
{
    try {
        HTTPRequest::GET(url, {{"op", "hi"}});
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

// Every test starts from the production limits and leaves them so.
class HTTPRequestTest : public ::testing::Test {
protected:
    void SetUp() override { HTTPRequest::set_limits(HTTPRequest::default_limits()); }
    void TearDown() override { HTTPRequest::set_limits(HTTPRequest::default_limits()); }

    void Limit(long connect_s, long stall_s, size_t body_bytes)
    {
        HTTPLimits limits = HTTPRequest::default_limits();
        limits.connect_timeout_s = connect_s;
        limits.low_speed_time_s = stall_s;
        limits.max_body_bytes = body_bytes;
        HTTPRequest::set_limits(limits);
    }

    ScriptedHttpServer server;
};

}  // namespace

TEST_F(HTTPRequestTest, BodyUpToTheSizeLimitIsAcceptedOneByteMoreIsRefused)
{
    Limit(10, 30, 1000);
    server.script(200, std::string(1000, 'b'));
    EXPECT_EQ(HTTPRequest::GET(server.url(), {}).get_response_length(), 1000u);
    server.script(200, std::string(1001, 'b'));
    EXPECT_EQ(FailureText(server.url()), "Failed writing received data to disk/application");

    // Far more than the limit, with no length announced: the transfer ends
    // at the limit, not at the end of the body.
    Limit(10, 30, 64 * 1024);
    ScriptedHttpServer::Reply endless;
    endless.body = std::string(8 * 1024 * 1024, 'z');
    endless.close_delimited = true;
    server.script(endless);
    Clock::time_point start = Clock::now();
    EXPECT_EQ(FailureText(server.url()), "Failed writing received data to disk/application");
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 5.0);
}

TEST_F(HTTPRequestTest, DeadServersEndInAnErrorWithinTheirLimit)
{
    Limit(1, 1, 1024);
    ScriptedHttpServer::Reply silent;
    silent.silent = true;
    server.script(silent);
    UnansweredConnectPort unanswered;
    RefusingPort refusing;
    const struct {
        const char* name;
        std::string url;
        const char* error;
        double min_s;
    } rows[] = {
        {"accepts but never answers", server.url(), "Timeout was reached", 0.9},
        {"never accepts", unanswered.url(), "Timeout was reached", 0.9},
        {"refuses", refusing.url(), "Couldn't connect to server", 0.0},
    };
    for (const auto& row : rows) {
        if (row.url == unanswered.url() && !unanswered.ready()) continue;  // the queue could not be filled
        Clock::time_point start = Clock::now();
        EXPECT_EQ(FailureText(row.url), row.error) << row.name;
        double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        EXPECT_GE(elapsed, row.min_s) << row.name;
        EXPECT_LT(elapsed, 5.0) << row.name;
    }
}
