#include "aDirectory.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <string>

#include "ChildProcess.h"
#include "TempDir.h"

namespace {

const char* const kEnd = nullptr;

struct Seen {
    std::map<std::string, std::string> entries;  // path -> "dir" or the size
    int stop_after = -1;
};

bool Collect(const aDirectoryListData* entry, void* ref)
{
    Seen* seen = static_cast<Seen*>(ref);
    seen->entries[entry->path] = entry->isDirectory ? "dir" : std::to_string(entry->size);
    return seen->stop_after < 0 || int(seen->entries.size()) < seen->stop_after;
}

}  // namespace

// The mode of what it makes is checked end to end (tests/e2e/test_cli.py).
TEST(aDirectory, EnsureMakesEveryMissingAncestor)
{
    TempDir tmp;
    EXPECT_EQ(aDirectory_Ensure(tmp.sub("a//b/c/").c_str(), 0755), aErrNone);
    EXPECT_TRUE(aDirectory_Exists(tmp.sub("a/b/c").c_str()));
    EXPECT_EQ(aDirectory_Ensure(tmp.sub("a/b").c_str(), 0755), aErrNone);
    // A file in the way, or the path itself a file, is no directory.
    WriteText(tmp.sub("file"), "x");
    for (const char* p : {"file/sub/deeper", "file"})
        EXPECT_EQ(aDirectory_Ensure(tmp.sub(p).c_str(), 0755), aErrPermission) << p;
    EXPECT_EQ(ListNames(tmp.path()), (std::vector<std::string>{"a", "file"}));
    EXPECT_EQ(aDirectory_Ensure("", 0755), aErrParam);
}

TEST(aDirectory, ListHandsEveryEntryWithJoinedPathSizeAndKind)
{
    TempDir tmp;
    WriteText(tmp.sub("five"), "12345");
    ASSERT_EQ(mkdir(tmp.sub("dir").c_str(), 0755), 0);
    // A dangling link cannot be examined with stat and is left out.
    ASSERT_EQ(symlink("nowhere", tmp.sub("dangling").c_str()), 0);
    Seen seen;
    EXPECT_EQ(aDirectory_List((tmp.path() + "/").c_str(), Collect, &seen), aErrNone);
    EXPECT_EQ(
        seen.entries,
        (std::map<std::string, std::string>{
            {tmp.sub("five"), "5"}, {tmp.sub("dir"), "dir"}, {tmp.sub("."), "dir"}, {tmp.sub(".."), "dir"}}));
    Seen first;
    first.stop_after = 1;
    EXPECT_EQ(aDirectory_List(tmp.path().c_str(), Collect, &first), aErrNone);
    EXPECT_EQ(first.entries.size(), 1u);
    EXPECT_EQ(aDirectory_List(tmp.sub("five").c_str(), Collect, &first), aErrNotFound);
}

TEST(aDirectory, HomeComesFromThePasswordDatabaseBeforeHOME)
{
    const struct passwd* pw = getpwuid(getuid());
    if (pw == nullptr) GTEST_SKIP() << "no password entry for this user";
    const std::string expected = pw->pw_dir;
    int status = RunInChild([&]() {
        setenv("HOME", "/nonexistent/elsewhere", 1);
        char buf[4096], small[3];
        aDirectory_GetHomeDirectory(buf, sizeof buf);
        aDirectory_GetHomeDirectory(small, sizeof small);
        return buf == expected && small == expected.substr(0, 2) ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
}

TEST(aDirectory, HomeIsHOMEWhenTheUserHasNoPasswordEntry)
{
    if (geteuid() != 0) GTEST_SKIP() << "switching to a user without a password entry needs root";
    uid_t stranger = 0;
    for (uid_t uid = 60000; uid < 60100 && stranger == 0; ++uid)
        if (getpwuid(uid) == nullptr) stranger = uid;
    ASSERT_NE(stranger, 0u) << "no free user id in 60000..60099";
    int status = RunInChild([&]() {
        setenv("HOME", "/elsewhere/home", 1);
        if (setuid(stranger) != 0) return 2;
        char buf[64];
        aDirectory_GetHomeDirectory(buf, sizeof buf);
        if (strcmp(buf, "/elsewhere/home") != 0) return 4;
        unsetenv("HOME");
        aDirectory_GetHomeDirectory(buf, sizeof buf);
        return buf[0] == '\0' ? 0 : 5;
    });
    EXPECT_EQ(status, 0);
}

// Nothing in the updater calls this; its contract. DeleteTree, also without
// a caller, is exercised by the store tests.
TEST(aDirectory, BoundedBuildPath)
{
    char buf[8];
    // "ab/cd" is 5 characters: 6 bytes fit, 5 do not.
    EXPECT_EQ(aDirectory_BuildPath(buf, 6, "ab", "cd", kEnd), aErrNone);
    EXPECT_STREQ(buf, "ab/cd");
    EXPECT_EQ(aDirectory_BuildPath(buf, 5, "ab", "cd", kEnd), aErrOverrun);
    EXPECT_STREQ(buf, "");
}
