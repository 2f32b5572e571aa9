#include "UpdateServerRequest.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "HTTPRequest.h"
#include "Log.h"
#include "base64.h"
#include "LogCapture.h"
#include "ScriptedHttpServer.h"

namespace {

typedef std::map<std::string, std::string> BuildMap;
typedef std::chrono::steady_clock Clock;

const unsigned int kSerial = 0x40F5849A;
const unsigned int kFingerprint[4] = {0x00000001, 0xDEADBEEF, 0x00000000, 0xFFFFFFFF};

class UpdateServerRequestTest : public ::testing::Test {
protected:
    void SetUp() override { HTTPRequest::set_limits(HTTPRequest::default_limits()); }
    void TearDown() override { HTTPRequest::set_limits(HTTPRequest::default_limits()); }

    std::string base() const { return server.url(); }
    // The URL the client asked for, as the operations log it.
    std::string requested(const std::string& query) const { return server.url() + "?" + query; }

    ScriptedHttpServer server;
    LogCapture log{DEBUG_ServerComm};
};

// One operation with its out values preset to markers, so tests can tell
// "left as it was" from "assigned".
struct Call {
    std::string name;
    std::function<bool(const char* url)> run;
    std::function<bool()> outputs_untouched;
};

struct Outputs {
    std::string build = "keep-build";
    std::string firmware = "keep-fw";
    std::string data = "keep-data";
    BuildMap builds{{"stale", "entry"}};
    unsigned int serial = 0x5A5A5A5A;
    unsigned int recovery_build = 0xA5A5A5A5;
};

std::vector<Call> AllOperations(Outputs& o)
{
    return {
        {"ping", [](const char* url) { return UpdateServerRequest::ping(url); }, [] { return true; }},
        {"QueryBuild",
         [&o](const char* url) { return UpdateServerRequest::QueryBuild(kSerial, o.build, o.firmware, url); },
         [&o] { return o.build == "keep-build" && o.firmware == "keep-fw"; }},
        {"GetBuild",
         [&o](const char* url) { return UpdateServerRequest::GetBuild(kSerial, "FW", "1234", o.data, url); },
         [&o] { return o.data == "keep-data"; }},
        // The map is cleared before the request, so "untouched" means empty.
        {"GetBuildList",
         [&o](const char* url) { return UpdateServerRequest::GetBuildList(kSerial, o.builds, url); },
         [&o] { return o.builds.empty(); }},
        {"GetRecoveryInfo",
         [&o](const char* url) {
             return UpdateServerRequest::GetRecoveryInfo(kFingerprint, &o.serial, &o.recovery_build, url);
         },
         [&o] { return o.serial == 0x5A5A5A5Au && o.recovery_build == 0xA5A5A5A5u; }},
    };
}

}  // namespace

TEST(UpdateServerRequestDefaults, DefaultBaseUrl)
{
    EXPECT_STREQ(UpdateServerRequest::default_url, "http://update.orvantis.com/cgi/u");
}

// ---- The requests on the wire -------------------------------------------

TEST_F(UpdateServerRequestTest, EachOperationSendsItsExactQuery)
{
    std::string build, firmware, data;
    BuildMap builds;
    unsigned int serial = 0, recovery_build = 0;
    EXPECT_TRUE(UpdateServerRequest::ping(base().c_str()));
    EXPECT_TRUE(UpdateServerRequest::QueryBuild(kSerial, build, firmware, base().c_str()));
    EXPECT_TRUE(UpdateServerRequest::GetBuild(kSerial, "KS-HUB3", "1234", data, base().c_str(), false));
    EXPECT_TRUE(UpdateServerRequest::GetBuild(kSerial, "KS-HUB3", "1234", data, base().c_str(), true));
    EXPECT_TRUE(UpdateServerRequest::GetBuildList(kSerial, builds, base().c_str()));
    EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(kFingerprint, &serial, &recovery_build, base().c_str()));

    std::vector<std::string> expected = {
        "GET /cgi/u?op=hi&rv=2& HTTP/1.1",
        "GET /cgi/u?op=qu&sn=40F5849A& HTTP/1.1",
        "GET /cgi/u?bld=1234&fw=KS-HUB3&no_cal=false&op=bird&sn=40F5849A& HTTP/1.1",
        "GET /cgi/u?bld=1234&fw=KS-HUB3&no_cal=true&op=bird&sn=40F5849A& HTTP/1.1",
        "GET /cgi/u?op=builds&sn=40F5849A& HTTP/1.1",
        "GET /cgi/u?brief=true&fp=00000001%20DEADBEEF%2000000000%20FFFFFFFF&op=fix& HTTP/1.1",
    };
    EXPECT_EQ(server.request_lines(), expected);
}

TEST_F(UpdateServerRequestTest, SerialIsZeroFilledUpperCaseHex)
{
    std::string build, firmware;
    BuildMap builds;
    UpdateServerRequest::QueryBuild(0xab, build, firmware, base().c_str());
    UpdateServerRequest::GetBuildList(0, builds, base().c_str());
    std::vector<std::string> expected = {"/cgi/u?op=qu&sn=000000AB&", "/cgi/u?op=builds&sn=00000000&"};
    EXPECT_EQ(server.targets(), expected);
}

TEST_F(UpdateServerRequestTest, BaseUrlIsUsedExactlyAsGiven)
{
    // Another path, and the bare host:port form a user may give with -u.
    EXPECT_TRUE(UpdateServerRequest::ping(server.url("/mirror/u.cgi").c_str()));
    std::string host_port = "127.0.0.1:" + std::to_string(server.port());
    EXPECT_TRUE(UpdateServerRequest::ping(host_port.c_str()));
    std::vector<std::string> expected = {"/mirror/u.cgi?op=hi&rv=2&", "/?op=hi&rv=2&"};
    EXPECT_EQ(server.targets(), expected);
    EXPECT_NE(log.Text().find("GET(" + host_port + "?op=hi&rv=2&)\n"), std::string::npos) << log.Text();
}

TEST_F(UpdateServerRequestTest, NullBaseUrlMeansTheDefaultServer)
{
    // Seen through a proxy that is this test's server, so nothing leaves the
    // machine. First prove that the proxy setting is honoured, with a host
    // name that can never resolve.
    std::string proxy = "http://127.0.0.1:" + std::to_string(server.port());
    setenv("http_proxy", proxy.c_str(), 1);
    try {
        HTTPRequest::GET("http://proxy-check.invalid/cgi/u", {});
    } catch (const std::exception&) {
    }
    std::vector<std::string> lines = server.request_lines();
    bool proxied = lines.size() == 1 && lines[0] == "GET http://proxy-check.invalid/cgi/u HTTP/1.1";
    if (!proxied) {
        unsetenv("http_proxy");
        FAIL() << "proxy setting not honoured; not risking a request to the real server";
    }
    bool ok = UpdateServerRequest::ping(nullptr);
    unsetenv("http_proxy");
    EXPECT_TRUE(ok);
    lines = server.request_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "GET http://update.orvantis.com/cgi/u?op=hi&rv=2& HTTP/1.1");
}

// ---- The verdict line ------------------------------------------------------

TEST_F(UpdateServerRequestTest, OnlyTheFirstTwoCharactersOfTheFirstLineDecide)
{
    struct Case {
        const char* body;
        bool ok;
    } cases[] = {
        {"ok\n", true},  {"ok", true},    {"okay\n", true}, {"ok\r\n", true},  {"\n\nok\n", true},
        {"OK\n", false}, {"Ok\n", false}, {" ok\n", false}, {"o\nk\n", false}, {"error\nok\n", false},
    };
    for (const Case& c : cases) {
        server.script(200, c.body);
        log.Clear();
        EXPECT_EQ(UpdateServerRequest::ping(base().c_str()), c.ok) << c.body;
        std::string refusal = "ServerCommClass: ping failed [" + requested("op=hi&rv=2&") + "]\n";
        EXPECT_EQ(log.Text().find(refusal) != std::string::npos, !c.ok) << c.body << "\n" << log.Text();
    }
}

TEST_F(UpdateServerRequestTest, EmptyReplyIsARefusalForEveryOperation)
{
    Outputs o;
    for (const Call& call : AllOperations(o)) {
        server.script(200, "");
        log.Clear();
        EXPECT_FALSE(call.run(base().c_str())) << call.name;
        EXPECT_TRUE(call.outputs_untouched()) << call.name;
        EXPECT_NE(log.Text().find("ServerCommClass: " + call.name + " failed ["), std::string::npos)
            << call.name << "\n"
            << log.Text();
    }
}

TEST_F(UpdateServerRequestTest, RefusalLeavesOutValuesAsTheyWere)
{
    Outputs o;
    for (const Call& call : AllOperations(o)) {
        server.script(200, "OK\n12AB\n10\n1200;1.0.0\n");
        EXPECT_FALSE(call.run(base().c_str())) << call.name;
        EXPECT_TRUE(call.outputs_untouched()) << call.name;
    }
}

// ---- Statuses other than 200 and transfer failures --------------------------

TEST_F(UpdateServerRequestTest, NonOkStatusesFailEveryOperationAndAreLoggedWithTheirBody)
{
    for (int status : {404, 301, 500}) {
        Outputs o;
        for (const Call& call : AllOperations(o)) {
            // A body that would pass if the status were ignored.
            server.script(status, "ok\n12AB\n10\n1200;1.0.0\n");
            log.Clear();
            EXPECT_FALSE(call.run(base().c_str())) << call.name << " " << status;
            EXPECT_TRUE(call.outputs_untouched()) << call.name << " " << status;
            std::string prefix = call.name == "ping" ? "PING" : call.name;
            std::string expected =
                prefix + " ==> [" + std::to_string(status) + "] [ok\n12AB\n10\n1200;1.0.0\n]\n";
            EXPECT_NE(log.Text().find(expected), std::string::npos) << log.Text();
        }
    }
    // Redirects were reported, not followed: one request per call.
    EXPECT_EQ(server.request_lines().size(), 15u);
}

TEST_F(UpdateServerRequestTest, RefusedConnectionFailsEveryOperation)
{
    RefusingPort refusing;
    Outputs o;
    for (const Call& call : AllOperations(o)) {
        log.Clear();
        EXPECT_FALSE(call.run(refusing.url().c_str())) << call.name;
        EXPECT_TRUE(call.outputs_untouched()) << call.name;
        EXPECT_NE(log.Text().find(call.name + " ==> [Couldn't connect to server]\n"), std::string::npos)
            << log.Text();
    }
}

TEST_F(UpdateServerRequestTest, ServerThatNeverAnswersFailsWithinTheStallLimit)
{
    // ping opens every conversation with the server; GetBuild is the request
    // a download worker waits on.
    HTTPLimits limits = HTTPRequest::default_limits();
    limits.low_speed_time_s = 1;
    HTTPRequest::set_limits(limits);
    ScriptedHttpServer::Reply silent;
    silent.silent = true;
    server.set_handler([silent](const std::string&) { return silent; });

    Outputs o;
    for (const Call& call : AllOperations(o)) {
        if (call.name != "ping" && call.name != "GetBuild") continue;
        log.Clear();
        Clock::time_point start = Clock::now();
        EXPECT_FALSE(call.run(base().c_str())) << call.name;
        double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        EXPECT_LT(elapsed, 5.0) << call.name;
        EXPECT_TRUE(call.outputs_untouched()) << call.name;
        EXPECT_NE(log.Text().find(call.name + " ==> [Timeout was reached]\n"), std::string::npos)
            << log.Text();
    }
    EXPECT_EQ(server.request_lines().size(), 2u);
}

TEST_F(UpdateServerRequestTest, OversizedReplyIsRefused)
{
    HTTPLimits limits = HTTPRequest::default_limits();
    limits.max_body_bytes = 4096;
    HTTPRequest::set_limits(limits);
    server.script(200, "ok\n" + std::string(8192, 'Q') + "\n");
    std::string data = "keep-data";
    EXPECT_FALSE(UpdateServerRequest::GetBuild(kSerial, "FW", "1234", data, base().c_str()));
    EXPECT_EQ(data, "keep-data");
    EXPECT_NE(log.Text().find("GetBuild ==> [Failed writing received data to disk/application]\n"),
              std::string::npos)
        << log.Text();
}

// ---- QueryBuild --------------------------------------------------------------

TEST_F(UpdateServerRequestTest, QueryBuildTakesLinesTwoAndThree)
{
    std::string build = "x", firmware = "y";
    server.script(200, "ok\n1234\nKS-HUB3\n");
    EXPECT_TRUE(UpdateServerRequest::QueryBuild(kSerial, build, firmware, base().c_str()));
    EXPECT_EQ(build, "1234");
    EXPECT_EQ(firmware, "KS-HUB3");
}

TEST_F(UpdateServerRequestTest, QueryBuildWithCrLfKeepsCrOnLineTwoOnly)
{
    std::string build, firmware;
    server.script(200, "ok\r\n1234\r\nKS-HUB3\r\n");
    EXPECT_TRUE(UpdateServerRequest::QueryBuild(kSerial, build, firmware, base().c_str()));
    EXPECT_EQ(build, "1234\r");
    EXPECT_EQ(firmware, "KS-HUB3");
    // The caller's decimal conversion stops at the CR.
    EXPECT_EQ(strtoul(build.c_str(), nullptr, 10), 1234u);
}

TEST_F(UpdateServerRequestTest, QueryBuildSkipsEmptyLines)
{
    std::string build, firmware;
    server.script(200, "ok\n\n\n1234\n\n\r\nKS-HUB3\n");
    EXPECT_TRUE(UpdateServerRequest::QueryBuild(kSerial, build, firmware, base().c_str()));
    EXPECT_EQ(build, "1234");
    EXPECT_EQ(firmware, "KS-HUB3");
}

TEST_F(UpdateServerRequestTest, QueryBuildAssignsOnlyTheLinesThatExist)
{
    std::string build = "old-build", firmware = "old-fw";
    server.script(200, "ok\n");
    EXPECT_TRUE(UpdateServerRequest::QueryBuild(kSerial, build, firmware, base().c_str()));
    EXPECT_EQ(build, "old-build");
    EXPECT_EQ(firmware, "old-fw");

    server.script(200, "ok\n1300\n");
    EXPECT_TRUE(UpdateServerRequest::QueryBuild(kSerial, build, firmware, base().c_str()));
    EXPECT_EQ(build, "1300");
    EXPECT_EQ(firmware, "old-fw");
}

// ---- GetBuild ------------------------------------------------------------------

TEST_F(UpdateServerRequestTest, GetBuildReturnsLineTwoThatDecodes)
{
    std::string data = "old";
    server.script(200, "ok\nQUJDRA==\n");
    EXPECT_TRUE(UpdateServerRequest::GetBuild(kSerial, "FW", "1234", data, base().c_str()));
    EXPECT_EQ(data, "QUJDRA==");
    size_t size = 0;
    unsigned char* bytes = base64_decode(data.c_str(), data.size(), &size);
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), size), "ABCD");
    free(bytes);
}

TEST_F(UpdateServerRequestTest, GetBuildWithCrLfKeepsTheCrSoTheTextDoesNotDecode)
{
    std::string data;
    server.script(200, "ok\r\nQUJDRA==\r\n");
    EXPECT_TRUE(UpdateServerRequest::GetBuild(kSerial, "FW", "1234", data, base().c_str()));
    EXPECT_EQ(data, "QUJDRA==\r");
    size_t size = 0;
    EXPECT_EQ(base64_decode(data.c_str(), data.size(), &size), nullptr);
}

TEST_F(UpdateServerRequestTest, GetBuildClearsTheDataWhenTheReplyHasNoFile)
{
    std::string data = "previous download";
    server.script(200, "ok\n");
    EXPECT_TRUE(UpdateServerRequest::GetBuild(kSerial, "FW", "1234", data, base().c_str()));
    EXPECT_EQ(data, "");
}

// ---- GetBuildList ----------------------------------------------------------------

TEST_F(UpdateServerRequestTest, BuildListFirstEntryWinsAndShortLinesAreIgnored)
{
    BuildMap builds{{"stale", "entry"}};
    server.script(200, "ok\n1200;1.2.0\n1200;9.9.9\nx\n1100\n");
    EXPECT_TRUE(UpdateServerRequest::GetBuildList(kSerial, builds, base().c_str()));
    BuildMap expected{{"1100", ""}, {"1200", "1.2.0"}};
    EXPECT_EQ(builds, expected);
    std::string text = log.Text();
    EXPECT_NE(text.find("GetBuildList processing entry: [1200;1.2.0]\nGetBuildList [1200][1.2.0]\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("GetBuildList processing entry: [1200;9.9.9]\nGetBuildList [1200][9.9.9]\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("GetBuildList processing entry: [1100]\nGetBuildList [1100][]\n"), std::string::npos)
        << text;
    EXPECT_EQ(text.find("[x]"), std::string::npos) << text;
}

TEST_F(UpdateServerRequestTest, BuildListEdgeLines)
{
    BuildMap builds;
    // Two characters are too short, three are an entry; a line of
    // separators only is skipped; extra fields are dropped.
    server.script(200, "ok\n12\n123\n;;;\n1300;2.0.0;extra\n\n1000;0.9.0\n");
    EXPECT_TRUE(UpdateServerRequest::GetBuildList(kSerial, builds, base().c_str()));
    BuildMap expected{{"1000", "0.9.0"}, {"123", ""}, {"1300", "2.0.0"}};
    EXPECT_EQ(builds, expected);
    std::string text = log.Text();
    EXPECT_NE(text.find("GetBuildList processing entry: [;;;]\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("GetBuildList [;"), std::string::npos) << text;
    EXPECT_EQ(text.find("[12]"), std::string::npos) << text;
}

TEST_F(UpdateServerRequestTest, BuildListWithCrLfDropsTheCrButCountsItInTheLength)
{
    BuildMap builds;
    // The length test sees the line before the CR is cut off, so a
    // two-character build followed by CR is an entry.
    server.script(200, "ok\r\n1300;2.0.0\r\n12\r\nx\r\n1100\r\n");
    EXPECT_TRUE(UpdateServerRequest::GetBuildList(kSerial, builds, base().c_str()));
    BuildMap expected{{"1100", ""}, {"12", ""}, {"1300", "2.0.0"}};
    EXPECT_EQ(builds, expected);
    EXPECT_NE(log.Text().find("GetBuildList [1300][2.0.0]\n"), std::string::npos) << log.Text();
}

TEST_F(UpdateServerRequestTest, BuildListKeepsKeyOrderAndLongFieldsAreCutInTheLog)
{
    BuildMap builds;
    server.script(200, "ok\n3000;3.0.0\n1000;1.0.0-with-a-long-suffix\n2000;2.0.0\n");
    EXPECT_TRUE(UpdateServerRequest::GetBuildList(kSerial, builds, base().c_str()));
    std::vector<std::string> keys;
    for (const auto& entry : builds) keys.push_back(entry.first);
    EXPECT_EQ(keys, (std::vector<std::string>{"1000", "2000", "3000"}));
    EXPECT_EQ(builds["1000"], "1.0.0-with-a-long-suffix");
    EXPECT_NE(log.Text().find("GetBuildList [1000][1.0.0-with]\n"), std::string::npos) << log.Text();
}

TEST_F(UpdateServerRequestTest, BuildListOkWithoutEntriesIsAnEmptyList)
{
    BuildMap builds{{"stale", "entry"}};
    server.script(200, "ok\n");
    EXPECT_TRUE(UpdateServerRequest::GetBuildList(kSerial, builds, base().c_str()));
    EXPECT_TRUE(builds.empty());
}

// ---- GetRecoveryInfo ---------------------------------------------------------------

TEST_F(UpdateServerRequestTest, RecoverySerialIsHexAndBuildHasAutomaticBase)
{
    struct Case {
        const char* line3;
        unsigned int build;
    } cases[] = {{"0x10", 16}, {"010", 8}, {"10", 10}, {"0X1f", 31}};
    for (const Case& c : cases) {
        unsigned int serial = 0, build = 0;
        server.script(200, std::string("ok\n12AB\n") + c.line3 + "\n");
        log.Clear();
        EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(kFingerprint, &serial, &build, base().c_str()));
        EXPECT_EQ(serial, 0x12ABu);
        EXPECT_EQ(serial, 4779u);
        EXPECT_EQ(build, c.build) << c.line3;
        EXPECT_EQ(log.Text().find("GetRecoveryInfo [ok][12AB][" + std::string(c.line3) + "]\n") !=
                      std::string::npos,
                  true)
            << log.Text();
    }
}

TEST_F(UpdateServerRequestTest, RecoveryInfoWithCrLfAndLongSerial)
{
    unsigned int serial = 0, build = 0;
    server.script(200, "ok\r\nDEADDEAD\r\n1234\r\n");
    EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(kFingerprint, &serial, &build, base().c_str()));
    EXPECT_EQ(serial, 0xDEADDEADu);
    EXPECT_EQ(build, 1234u);
}

TEST_F(UpdateServerRequestTest, RecoveryInfoWritesOnlyTheLinesThatExist)
{
    unsigned int serial = 7, build = 9;
    server.script(200, "ok\n");
    EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(kFingerprint, &serial, &build, base().c_str()));
    EXPECT_EQ(serial, 7u);
    EXPECT_EQ(build, 9u);

    server.script(200, "ok\n\n40F5849A\n");
    EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(kFingerprint, &serial, &build, base().c_str()));
    EXPECT_EQ(serial, 0x40F5849Au);
    EXPECT_EQ(build, 9u);
}

TEST_F(UpdateServerRequestTest, RecoveryInfoWithoutFingerprintSendsNothing)
{
    unsigned int serial = 7, build = 9;
    EXPECT_FALSE(UpdateServerRequest::GetRecoveryInfo(nullptr, &serial, &build, base().c_str()));
    EXPECT_TRUE(server.request_lines().empty());
}

// ---- The reply parsers on their own ----------------------------------------

// The parsers are what the operations run on a status-200 reply: fed the same
// body without a server, they give the same verdict and out values.
TEST_F(UpdateServerRequestTest, ParsersReadABodyExactlyAsTheOperationsDo)
{
    const char* bodies[] = {
        "ok\n1234\nIronwood\n", "okay\r\n1234\r\nFW 2\r\n",
        "ok\n\n\n12AB\n0x10\n", "ok\n1200;1.2.0\nx\n1100\n",
        "OK\n1\n2\n",           "",
        "ok\nQUJD\n",           "ok\n;;\r\n1;2;3\n",
    };
    for (const char* body : bodies) {
        Outputs viaServer, direct;
        std::vector<Call> calls = AllOperations(viaServer);
        std::vector<bool> served;
        for (const Call& call : calls) {
            server.script(200, body);
            served.push_back(call.run(base().c_str()));
        }
        auto reply = [&] {
            HTTPResponse r("http://fuzz.invalid/");
            r.set_status(200);
            r.process(body, strlen(body));
            return r;
        };
        HTTPResponse r0 = reply(), r1 = reply(), r2 = reply(), r3 = reply(), r4 = reply();
        direct.builds.clear();  // GetBuildList clears before its request
        EXPECT_EQ(UpdateServerRequest::ParsePingReply(r0), served[0]) << body;
        EXPECT_EQ(UpdateServerRequest::ParseQueryBuildReply(r1, direct.build, direct.firmware), served[1])
            << body;
        EXPECT_EQ(UpdateServerRequest::ParseGetBuildReply(r2, direct.data), served[2]) << body;
        EXPECT_EQ(UpdateServerRequest::ParseBuildListReply(r3, direct.builds), served[3]) << body;
        EXPECT_EQ(UpdateServerRequest::ParseRecoveryInfoReply(r4, &direct.serial, &direct.recovery_build),
                  served[4])
            << body;
        EXPECT_EQ(direct.build, viaServer.build) << body;
        EXPECT_EQ(direct.firmware, viaServer.firmware) << body;
        EXPECT_EQ(direct.data, viaServer.data) << body;
        EXPECT_EQ(direct.builds, viaServer.builds) << body;
        EXPECT_EQ(direct.serial, viaServer.serial) << body;
        EXPECT_EQ(direct.recovery_build, viaServer.recovery_build) << body;
    }
}
