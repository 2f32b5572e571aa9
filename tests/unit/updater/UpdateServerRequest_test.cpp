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

TEST_F(UpdateServerRequestTest, ReplyTable)
{
    // Only the first two characters of the first line decide; runs of line
    // ends collapse. Out values: build|firmware, data, build=version;...,
    // serial in hex|build.
    const struct {
        Op op;
        const char* body;
        bool ok;
        const char* out;
    } rows[] = {
        {kPing, "ok\n", true, ""},
        {kPing, "ok", true, ""},
        {kPing, "okay\n", true, ""},
        {kPing, "ok\r\n", true, ""},
        {kPing, "\n\nok\n", true, ""},
        {kPing, "OK\n", false, ""},
        {kPing, " ok\n", false, ""},
        {kPing, "o\nk\n", false, ""},
        {kPing, "error\nok\n", false, ""},
        {kQueryBuild, "ok\n1234\nKS-HUB3\n", true, "1234|KS-HUB3"},
        // The build keeps a CR (its decimal reading stops there), the firmware not.
        {kQueryBuild, "ok\r\n1234\r\nKS-HUB3\r\n", true, "1234\r|KS-HUB3"},
        {kQueryBuild, "ok\n\n\n1234\n\n\r\nKS-HUB3\n", true, "1234|KS-HUB3"},
        {kQueryBuild, "ok\n1300\n", true, "1300|F"},
        {kQueryBuild, "ok\n", true, "B|F"},
        {kQueryBuild, "no\n1300\n", false, "B|F"},
        {kGetBuild, "ok\nQUJDRA==\n", true, "QUJDRA=="},
        {kGetBuild, "ok\r\nQUJDRA==\r\n", true, "QUJDRA==\r"},
        {kGetBuild, "ok\n", true, ""},
        {kGetBuildList, "ok\n", true, ""},
        {kGetBuildList, "ok\n1200;1.2.0\n1200;9.9.9\nx\n1100\n", true, "1100=;1200=1.2.0;"},
        // Two characters are too short, three make an entry; a line of
        // separators is skipped; extra fields are dropped.
        {kGetBuildList, "ok\n12\n123\n;;;\n1300;2.0.0;extra\n\n1000;0.9.0\n", true,
         "1000=0.9.0;123=;1300=2.0.0;"},
        // The length test counts the CR that is cut off after it.
        {kGetBuildList, "ok\r\n1300;2.0.0\r\n12\r\nx\r\n1100\r\n", true, "1100=;12=;1300=2.0.0;"},
        // The serial is hexadecimal, the build has an automatic base.
        {kGetRecoveryInfo, "ok\n12AB\n0x10\n", true, "12AB|16"},
        {kGetRecoveryInfo, "ok\n12AB\n010\n", true, "12AB|8"},
        {kGetRecoveryInfo, "ok\n12AB\n0X1f\n", true, "12AB|31"},
        {kGetRecoveryInfo, "ok\r\nDEADDEAD\r\n1234\r\n", true, "DEADDEAD|1234"},
        {kGetRecoveryInfo, "ok\n\n40F5849A\n", true, "40F5849A|9"},
        {kGetRecoveryInfo, "ok\n", true, "7|9"},
    };
    for (const auto& row : rows) {
        Outputs o;
        server.script(200, row.body);
        EXPECT_EQ(Ask(row.op, server.url(), o), row.ok) << row.body;
        EXPECT_EQ(Text(row.op, o), row.out) << row.body;
    }
}
