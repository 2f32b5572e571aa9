#include "HTTPRequest.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Log.h"
#include "LogCapture.h"
#include "ScriptedHttpServer.h"

namespace {

typedef std::map<std::string, std::string> Query;
typedef std::chrono::steady_clock Clock;

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Runs GET and returns the exception text, or "" when it did not throw.
std::string FailureText(const std::string& url, const Query& query = Query())
{
    try {
        HTTPRequest::GET(url, query);
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

    ScriptedHttpServer server;
};

}  // namespace

TEST(HTTPLimits, ProductionDefaults)
{
    HTTPLimits limits = HTTPRequest::default_limits();
    EXPECT_EQ(limits.connect_timeout_s, 10);
    EXPECT_EQ(limits.low_speed_limit_bytes_per_s, 1);
    EXPECT_EQ(limits.low_speed_time_s, 30);
    EXPECT_EQ(limits.max_body_bytes, size_t(256) * 1024 * 1024);
    // Nothing has changed them in this process yet.
    HTTPLimits active = HTTPRequest::get_limits();
    EXPECT_EQ(active.connect_timeout_s, 10);
    EXPECT_EQ(active.low_speed_limit_bytes_per_s, 1);
    EXPECT_EQ(active.low_speed_time_s, 30);
    EXPECT_EQ(active.max_body_bytes, size_t(256) * 1024 * 1024);
}

TEST(HTTPResponse, StartsEmptyAndAppendsChunks)
{
    HTTPResponse r("http://x/y?a=1&");
    EXPECT_EQ(r.get_request(), "http://x/y?a=1&");
    EXPECT_EQ(r.get_status(), 0);
    EXPECT_STREQ(r.get_response(), "");
    r.process("ab", 2);
    r.process("cdef", 3);
    EXPECT_STREQ(r.get_response(), "abcde");
    r.set_status(404);
    EXPECT_EQ(r.get_status(), 404);
}

TEST_F(HTTPRequestTest, QueryIsAppendedInKeyOrderEveryPairEndingWithAmpersand)
{
    // Byte order: upper case before "_" before lower case.
    HTTPResponse r = HTTPRequest::GET(server.url(), {{"op", "hi"}, {"_x", "1"}, {"B", "2"}, {"a", ""}});
    EXPECT_EQ(r.get_request(), server.url() + "?B=2&_x=1&a=&op=hi&");
    ASSERT_EQ(server.request_lines().size(), 1u);
    EXPECT_EQ(server.request_lines()[0], "GET /cgi/u?B=2&_x=1&a=&op=hi& HTTP/1.1");
}

TEST_F(HTTPRequestTest, EmptyQueryAddsNoQuestionMark)
{
    HTTPResponse r = HTTPRequest::GET(server.url("/plain"), {});
    EXPECT_EQ(r.get_request(), server.url("/plain"));
    ASSERT_EQ(server.request_lines().size(), 1u);
    EXPECT_EQ(server.request_lines()[0], "GET /plain HTTP/1.1");
}

TEST_F(HTTPRequestTest, KeysAndValuesGoOutUnencoded)
{
    HTTPRequest::GET(server.url(), {{"fp", "0000ABCD%20DEADBEEF"}, {"p", "a/b:c"}});
    ASSERT_EQ(server.targets().size(), 1u);
    EXPECT_EQ(server.targets()[0], "/cgi/u?fp=0000ABCD%20DEADBEEF&p=a/b:c&");
}

TEST_F(HTTPRequestTest, ReturnsStatusAndWholeBody)
{
    server.script(200, "ok\nline two\r\n");
    HTTPResponse r = HTTPRequest::GET(server.url(), {{"op", "hi"}});
    EXPECT_EQ(r.get_status(), 200);
    EXPECT_STREQ(r.get_response(), "ok\nline two\r\n");
    EXPECT_EQ(r.get_response_length(), 13u);
    EXPECT_EQ(r.get_response()[13], '\0');
}

TEST_F(HTTPRequestTest, BodyWithNulBytesIsKeptWhole)
{
    server.script(200, std::string("a\0b\0c", 5));
    HTTPResponse r = HTTPRequest::GET(server.url(), {});
    ASSERT_EQ(r.get_response_length(), 5u);
    EXPECT_EQ(std::string(r.get_response(), 5), std::string("a\0b\0c", 5));
}

TEST_F(HTTPRequestTest, LargeBodyArrivingInManyChunksIsReassembled)
{
    std::string body;
    for (int i = 0; body.size() < 3 * 1024 * 1024; i++) body += std::to_string(i) + "\n";
    ScriptedHttpServer::Reply reply;
    reply.body = body;
    reply.close_delimited = true;
    server.script(reply);
    HTTPResponse r = HTTPRequest::GET(server.url(), {});
    EXPECT_EQ(r.get_status(), 200);
    ASSERT_EQ(r.get_response_length(), body.size());
    EXPECT_TRUE(std::string(r.get_response(), body.size()) == body);
}

TEST_F(HTTPRequestTest, NonSuccessStatusesAreReturnedNotThrownAndRedirectsNotFollowed)
{
    server.script(404, "no such op");
    server.script(301, "moved");
    server.script(500, "");
    HTTPResponse a = HTTPRequest::GET(server.url(), {});
    EXPECT_EQ(a.get_status(), 404);
    EXPECT_STREQ(a.get_response(), "no such op");
    HTTPResponse b = HTTPRequest::GET(server.url(), {});
    EXPECT_EQ(b.get_status(), 301);
    EXPECT_STREQ(b.get_response(), "moved");
    HTTPResponse c = HTTPRequest::GET(server.url(), {});
    EXPECT_EQ(c.get_status(), 500);
    EXPECT_STREQ(c.get_response(), "");
    // The 301's Location was not visited.
    EXPECT_EQ(server.request_lines().size(), 3u);
}

TEST_F(HTTPRequestTest, RefusedConnectionThrowsLibcurlText)
{
    RefusingPort refusing;
    EXPECT_EQ(FailureText(refusing.url(), {{"op", "hi"}}), "Couldn't connect to server");
}

TEST_F(HTTPRequestTest, ServerThatAcceptsButNeverAnswersFailsAfterTheLowSpeedTime)
{
    HTTPLimits limits = HTTPRequest::default_limits();
    limits.low_speed_time_s = 1;
    HTTPRequest::set_limits(limits);
    ScriptedHttpServer::Reply silent;
    silent.silent = true;
    server.script(silent);

    Clock::time_point start = Clock::now();
    EXPECT_EQ(FailureText(server.url(), {{"op", "hi"}}), "Timeout was reached");
    double elapsed = SecondsSince(start);
    EXPECT_EQ(server.request_lines().size(), 1u);
    EXPECT_GE(elapsed, 0.9);
    EXPECT_LT(elapsed, 5.0);
    RecordProperty("seconds", std::to_string(elapsed));
}

TEST_F(HTTPRequestTest, ConnectThatIsNeverAcceptedFailsAfterTheConnectTimeout)
{
    UnansweredConnectPort port;
    if (!port.ready()) GTEST_SKIP() << "could not fill the accept queue of a loopback port";
    HTTPLimits limits = HTTPRequest::default_limits();
    limits.connect_timeout_s = 1;
    HTTPRequest::set_limits(limits);

    Clock::time_point start = Clock::now();
    std::string text = FailureText(port.url(), {{"op", "hi"}});
    double elapsed = SecondsSince(start);
    EXPECT_EQ(text, "Timeout was reached");
    EXPECT_GE(elapsed, 0.9);
    EXPECT_LT(elapsed, 5.0);
    RecordProperty("seconds", std::to_string(elapsed));
}

TEST_F(HTTPRequestTest, BodyUpToTheSizeLimitIsAcceptedOneByteMoreIsRefused)
{
    HTTPLimits limits = HTTPRequest::default_limits();
    limits.max_body_bytes = 1000;
    HTTPRequest::set_limits(limits);

    server.script(200, std::string(1000, 'b'));
    HTTPResponse r = HTTPRequest::GET(server.url(), {});
    EXPECT_EQ(r.get_response_length(), 1000u);

    server.script(200, std::string(1001, 'b'));
    EXPECT_EQ(FailureText(server.url()), "Failed writing received data to disk/application");
}

TEST_F(HTTPRequestTest, EndlessBodyIsCutOffAtTheSizeLimit)
{
    // Far more than the limit, with no length announced: the transfer must
    // end at the limit, not at the end of the body.
    HTTPLimits limits = HTTPRequest::default_limits();
    limits.max_body_bytes = 64 * 1024;
    HTTPRequest::set_limits(limits);
    ScriptedHttpServer::Reply reply;
    reply.body = std::string(8 * 1024 * 1024, 'z');
    reply.close_delimited = true;
    server.script(reply);

    Clock::time_point start = Clock::now();
    EXPECT_EQ(FailureText(server.url()), "Failed writing received data to disk/application");
    EXPECT_LT(SecondsSince(start), 5.0);
}

TEST_F(HTTPRequestTest, LogsTheUrlAndEachChunkWithAnExcerptOfAtMost100Bytes)
{
    LogCapture log(DEBUG_ServerComm);
    server.script(200, std::string(150, 'x'));
    HTTPRequest::GET(server.url(), {{"op", "hi"}});
    std::string text = log.Text();
    EXPECT_EQ(text.find("GET(" + server.url() + "?op=hi&)\n"), 0u) << text;
    std::smatch m;
    ASSERT_TRUE(
        std::regex_search(text, m,
                          std::regex("rcv_data called \\(\\.\\.\\., 1, 150, [0-9A-F]{8}\\) \\[(x*)\\]\n"
                                     "rcv_data returns 150\n")))
        << text;
    EXPECT_EQ(m[1].length(), 100);
}

TEST_F(HTTPRequestTest, ShortChunkExcerptStopsAtTheChunkEnd)
{
    // The reply is answered by a 5-byte chunk; the excerpt is padded, never
    // filled from whatever follows the chunk in libcurl's buffer.
    LogCapture log(DEBUG_ServerComm);
    server.script(200, "hello");
    HTTPRequest::GET(server.url(), {});
    std::string text = log.Text();
    std::string expected_excerpt = "[" + std::string(95, ' ') + "hello]\nrcv_data returns 5\n";
    EXPECT_NE(text.find(expected_excerpt), std::string::npos) << text;
}

TEST_F(HTTPRequestTest, RefusedChunkIsLoggedAsReturningZero)
{
    HTTPLimits limits = HTTPRequest::default_limits();
    limits.max_body_bytes = 10;
    HTTPRequest::set_limits(limits);
    LogCapture log(DEBUG_ServerComm);
    server.script(200, std::string(11, 'r'));
    FailureText(server.url());
    EXPECT_NE(log.Text().find("rcv_data returns 0\n"), std::string::npos) << log.Text();
}

TEST_F(HTTPRequestTest, NothingIsLoggedWhenThePackageIsOff)
{
    LogCapture log(DEBUG_Updater);
    HTTPRequest::GET(server.url(), {{"op", "hi"}});
    EXPECT_EQ(log.Text(), "");
}

TEST_F(HTTPRequestTest, RequestsFromSeveralThreadsAtOnce)
{
    // The first request of the process may come from any thread; each
    // request has its own handle.
    const int kThreads = 4;
    const int kEach = 5;
    std::vector<std::thread> threads;
    std::vector<int> ok(kThreads, 0);
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; i++) {
                try {
                    HTTPResponse r = HTTPRequest::GET(server.url(), {{"t", std::to_string(t)}});
                    if (r.get_status() == 200 && strcmp(r.get_response(), "ok\n") == 0) ok[t]++;
                } catch (const std::exception&) {
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; t++) EXPECT_EQ(ok[t], kEach) << t;
    EXPECT_EQ(server.request_lines().size(), size_t(kThreads * kEach));
}
