#include "UpdateServerRequest.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "ScriptedHttpServer.h"

namespace {

typedef std::map<std::string, std::string> BuildMap;

const unsigned int kSerial = 0x00ABCDEF;
const unsigned int kFingerprint[4] = {0x00000001, 0xDEADBEEF, 0x00000000, 0xFFFFFFFF};

// The out values of one operation, preset to markers so that "left as it
// was" shows, and written as one text.
struct Outputs {
    std::string build = "B", firmware = "F", data = "D";
    BuildMap builds{{"stale", "entry"}};
    unsigned int serial = 7, recovery_build = 9;
};

enum Op { kPing, kQueryBuild, kGetBuild, kGetBuildList, kGetRecoveryInfo };

std::string Text(Op op, const Outputs& o)
{
    if (op == kQueryBuild) return o.build + "|" + o.firmware;
    if (op == kGetBuild) return o.data;
    std::string list;
    for (const auto& entry : o.builds) list += entry.first + "=" + entry.second + ";";
    char numbers[32];
    snprintf(numbers, sizeof numbers, "%X|%u", o.serial, o.recovery_build);
    return op == kGetBuildList ? list : op == kGetRecoveryInfo ? numbers : "";
}

// Runs op against the server at url.
bool Ask(Op op, const std::string& url, Outputs& o)
{
    const char* u = url.c_str();
    if (op == kPing) return UpdateServerRequest::ping(u);
    if (op == kQueryBuild) return UpdateServerRequest::QueryBuild(kSerial, o.build, o.firmware, u);
    if (op == kGetBuild) return UpdateServerRequest::GetBuild(kSerial, "KS-HUB3", "1234", o.data, u);
    if (op == kGetBuildList) return UpdateServerRequest::GetBuildList(kSerial, o.builds, u);
    return UpdateServerRequest::GetRecoveryInfo(kFingerprint, &o.serial, &o.recovery_build, u);
}

const Op kAllOps[] = {kPing, kQueryBuild, kGetBuild, kGetBuildList, kGetRecoveryInfo};

class UpdateServerRequestTest : public ::testing::Test {
protected:
    ScriptedHttpServer server;
};

}  // namespace

TEST_F(UpdateServerRequestTest, EachOperationSendsItsExactQuery)
{
    for (Op op : kAllOps) {
        Outputs o;
        EXPECT_TRUE(Ask(op, server.url(), o)) << op;
    }
    EXPECT_EQ(server.request_lines(),
              (std::vector<std::string>{
                  "GET /cgi/u?op=hi&rv=2& HTTP/1.1",
                  "GET /cgi/u?op=qu&sn=00ABCDEF& HTTP/1.1",
                  "GET /cgi/u?bld=1234&fw=KS-HUB3&no_cal=false&op=bird&sn=00ABCDEF& HTTP/1.1",
                  "GET /cgi/u?op=builds&sn=00ABCDEF& HTTP/1.1",
                  "GET /cgi/u?brief=true&fp=00000001%20DEADBEEF%2000000000%20FFFFFFFF&op=fix& HTTP/1.1",
              }));
}

TEST_F(UpdateServerRequestTest, EveryOperationFailsWithoutAnOkReplyAndLeavesItsOutValues)
{
    // Bodies that would pass if the status were ignored; a refused
    // connection; refusals in the first line.
    const std::string good = "ok\n12AB\n10\n1200;1.0.0\n";
    const struct {
        int status;
        std::string body;
    } rows[] = {{404, good}, {301, good}, {500, good}, {200, ""}, {200, "OK\n12AB\n10\n1200;1.0.0\n"},
                {0, ""}};
    RefusingPort refusing;
    for (const auto& row : rows) {
        for (Op op : kAllOps) {
            if (row.status != 0) server.script(row.status, row.body);
            Outputs o;
            EXPECT_FALSE(Ask(op, row.status != 0 ? server.url() : refusing.url(), o))
                << op << " " << row.status;
            // GetBuildList clears its map before it asks.
            Outputs expected;
            if (op == kGetBuildList) expected.builds.clear();
            EXPECT_EQ(Text(op, o), Text(op, expected)) << op << " " << row.status;
        }
    }
    // Redirects were reported, not followed: one request per call.
    EXPECT_EQ(server.request_lines().size(), 25u);
}

// How each operation reads an ok reply is checked by the fuzz target against
// its own reading of the rules (fuzz/corpus and fuzz/regressions/server_reply).
