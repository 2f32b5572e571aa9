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

std::string Build(size_t size, aErr* err, const char* a, const char* b, const char* c = nullptr,
                  const char* d = nullptr)
{
    std::string buffer(size, 'x');
    *err = aDirectory_BuildPath(&buffer[0], size, a, b, c, d, kEnd);
    return std::string(buffer.c_str());
}

}  // namespace

TEST(BuildPath, JoinsEveryTextWithOneSeparatorAndNeverMergesOrDrops)
{
    EXPECT_EQ(BuildPath("a", "b", "c", kEnd), "a/b/c");
    EXPECT_EQ(BuildPath("a/", "b", kEnd), "a//b");
    EXPECT_EQ(BuildPath("a", "/b", kEnd), "a//b");
    EXPECT_EQ(BuildPath("/root", kEnd), "/root");
    EXPECT_EQ(BuildPath("a", "", "c", kEnd), "a//c");
    EXPECT_EQ(BuildPath(kEnd, kEnd), "");
    // No limit on the number of texts.
    EXPECT_EQ(BuildPath("1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", kEnd),
              "1/2/3/4/5/6/7/8/9/10/11/12");
}

TEST(aDirectoryBuildPath, PutsSeparatorOnlyWhereNeitherSideHasOne)
{
    char buf[64];
    EXPECT_EQ(aDirectory_JoinPath(buf, sizeof buf, "a/", "b"), aErrNone);
    EXPECT_STREQ(buf, "a/b");
    EXPECT_EQ(aDirectory_JoinPath(buf, sizeof buf, "a", "/b"), aErrNone);
    EXPECT_STREQ(buf, "a/b");
    EXPECT_EQ(aDirectory_JoinPath(buf, sizeof buf, "a", "b"), aErrNone);
    EXPECT_STREQ(buf, "a/b");
    // Both sides carry one: nothing is dropped.
    EXPECT_EQ(aDirectory_JoinPath(buf, sizeof buf, "a/", "/b"), aErrNone);
    EXPECT_STREQ(buf, "a//b");
    aErr err;
    EXPECT_EQ(Build(64, &err, "/x", "y/", "z", "w"), "/x/y/z/w");
    EXPECT_EQ(err, aErrNone);
}

TEST(aDirectoryBuildPath, OverrunWhenResultAndNulDoNotFit)
{
    aErr err;
    // "ab/cd" is 5 characters: 6 bytes fit, 5 do not.
    EXPECT_EQ(Build(6, &err, "ab", "cd"), "ab/cd");
    EXPECT_EQ(err, aErrNone);
    EXPECT_EQ(Build(5, &err, "ab", "cd"), "");
    EXPECT_EQ(err, aErrOverrun);
    // The separator alone tips it over.
    EXPECT_EQ(Build(3, &err, "ab", ""), "");
    EXPECT_EQ(err, aErrOverrun);
    EXPECT_EQ(Build(1, &err, "a", nullptr), "");
    EXPECT_EQ(err, aErrOverrun);
}

TEST(aDirectoryBuildPath, AtMostTenTextsAndABufferAreRequired)
{
    char buf[64];
    EXPECT_EQ(aDirectory_BuildPath(buf, sizeof buf, "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", kEnd),
              aErrNone);
    EXPECT_STREQ(buf, "1/2/3/4/5/6/7/8/9/10");
    EXPECT_EQ(
        aDirectory_BuildPath(buf, sizeof buf, "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", kEnd),
        aErrParam);
    EXPECT_EQ(aDirectory_BuildPath(nullptr, 10, "a", kEnd), aErrParam);
    EXPECT_EQ(aDirectory_BuildPath(buf, 0, "a", kEnd), aErrParam);
}

TEST(aDirectoryExists, OnlyForDirectories)
{
    TempDir tmp;
    WriteText(tmp.sub("file"), "x");
    EXPECT_TRUE(aDirectory_Exists(tmp.path().c_str()));
    EXPECT_FALSE(aDirectory_Exists(tmp.sub("file").c_str()));
    EXPECT_FALSE(aDirectory_Exists(tmp.sub("missing").c_str()));
    EXPECT_FALSE(aDirectory_Exists(nullptr));
}

TEST(aDirectoryEnsure, CreatesEveryMissingAncestorWithTheMode)
{
    TempDir tmp;
    std::string deep = tmp.sub("a/b/c");
    mode_t old = umask(0);
    EXPECT_EQ(aDirectory_Ensure(deep.c_str(), 0750), aErrNone);
    umask(old);
    for (const char* p : {"a", "a/b", "a/b/c"}) {
        struct stat st;
        ASSERT_EQ(stat(tmp.sub(p).c_str(), &st), 0) << p;
        EXPECT_TRUE(S_ISDIR(st.st_mode)) << p;
        EXPECT_EQ(st.st_mode & 0777, 0750u) << p;
    }
    // Existing directory, trailing and doubled separators.
    EXPECT_EQ(aDirectory_Ensure(deep.c_str(), 0755), aErrNone);
    EXPECT_EQ(aDirectory_Ensure((tmp.sub("a//b/d/")).c_str(), 0755), aErrNone);
    EXPECT_TRUE(aDirectory_Exists(tmp.sub("a/b/d").c_str()));
}

TEST(aDirectoryEnsure, FileInTheWayIsAPermissionFailure)
{
    TempDir tmp;
    WriteText(tmp.sub("file"), "x");
    EXPECT_EQ(aDirectory_Ensure(tmp.sub("file/sub").c_str(), 0755), aErrPermission);
    EXPECT_EQ(aDirectory_Ensure(tmp.sub("file/sub/deeper").c_str(), 0755), aErrPermission);
    // The path itself being a file is no directory either.
    EXPECT_EQ(aDirectory_Ensure(tmp.sub("file").c_str(), 0755), aErrPermission);
    EXPECT_EQ(ListNames(tmp.path()), std::vector<std::string>{"file"});
    EXPECT_EQ(aDirectory_Ensure(nullptr, 0755), aErrParam);
    EXPECT_EQ(aDirectory_Ensure("", 0755), aErrParam);
}

namespace {

struct Seen {
    std::map<std::string, std::pair<uint32_t, uint32_t>> entries;  // path -> (size, isDirectory)
    int calls = 0;
    int stop_after = -1;
};

bool Collect(const aDirectoryListData* entry, void* ref)
{
    Seen* seen = static_cast<Seen*>(ref);
    seen->entries[entry->path] = {entry->size, entry->isDirectory};
    ++seen->calls;
    return seen->stop_after < 0 || seen->calls < seen->stop_after;
}

}  // namespace

TEST(aDirectoryList, HandsEveryEntryWithJoinedPathSizeAndKind)
{
    TempDir tmp;
    WriteText(tmp.sub("five"), "12345");
    WriteText(tmp.sub(".hidden"), "");
    ASSERT_EQ(mkdir(tmp.sub("dir").c_str(), 0755), 0);
    // A dangling link cannot be examined with stat and is left out.
    ASSERT_EQ(symlink("nowhere", tmp.sub("dangling").c_str()), 0);

    Seen seen;
    EXPECT_EQ(aDirectory_List(tmp.path().c_str(), Collect, &seen), aErrNone);
    EXPECT_EQ(seen.calls, 5);
    ASSERT_EQ(seen.entries.size(), 5u);
    EXPECT_EQ(seen.entries.at(tmp.sub("five")), std::make_pair(5u, 0u));
    EXPECT_EQ(seen.entries.at(tmp.sub(".hidden")), std::make_pair(0u, 0u));
    EXPECT_EQ(seen.entries.at(tmp.sub("dir")).second, 1u);
    EXPECT_EQ(seen.entries.at(tmp.sub(".")).second, 1u);
    EXPECT_EQ(seen.entries.at(tmp.sub("..")).second, 1u);

    // A directory given with its trailing separator gives the same paths.
    Seen again;
    EXPECT_EQ(aDirectory_List((tmp.path() + "/").c_str(), Collect, &again), aErrNone);
    EXPECT_EQ(again.entries, seen.entries);
}

TEST(aDirectoryList, StopsWhenTheCallbackSaysSoAndReportsUnopenable)
{
    TempDir tmp;
    WriteText(tmp.sub("a"), "");
    WriteText(tmp.sub("b"), "");
    Seen seen;
    seen.stop_after = 1;
    EXPECT_EQ(aDirectory_List(tmp.path().c_str(), Collect, &seen), aErrNone);
    EXPECT_EQ(seen.calls, 1);

    Seen none;
    EXPECT_EQ(aDirectory_List(tmp.sub("missing").c_str(), Collect, &none), aErrNotFound);
    EXPECT_EQ(aDirectory_List(tmp.sub("a").c_str(), Collect, &none), aErrNotFound);
    EXPECT_EQ(aDirectory_List(nullptr, Collect, &none), aErrNotFound);
    EXPECT_EQ(none.calls, 0);
    EXPECT_EQ(aDirectory_List(tmp.path().c_str(), nullptr, &none), aErrParam);
}

TEST(aDirectoryDelete, OnlyEmptyDirectories)
{
    TempDir tmp;
    ASSERT_EQ(mkdir(tmp.sub("empty").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(tmp.sub("full").c_str(), 0755), 0);
    WriteText(tmp.sub("full/f"), "x");
    EXPECT_EQ(aDirectory_Delete(tmp.sub("empty").c_str()), aErrNone);
    EXPECT_FALSE(PathExists(tmp.sub("empty")));
    EXPECT_EQ(aDirectory_Delete(tmp.sub("full").c_str()), aErrUnknown);
    EXPECT_TRUE(PathExists(tmp.sub("full/f")));
    EXPECT_EQ(aDirectory_Delete(tmp.sub("missing").c_str()), aErrUnknown);
}

TEST(aDirectoryDeleteTree, RemovesEverythingBelowButNeverFollowsLinks)
{
    TempDir tmp;
    ASSERT_EQ(mkdir(tmp.sub("keep").c_str(), 0755), 0);
    WriteText(tmp.sub("keep/precious"), "x");
    ASSERT_EQ(aDirectory_Ensure(tmp.sub("tree/a/b").c_str(), 0755), aErrNone);
    WriteText(tmp.sub("tree/top"), "1");
    WriteText(tmp.sub("tree/a/mid"), "2");
    WriteText(tmp.sub("tree/a/b/.deep"), "3");
    ASSERT_EQ(symlink(tmp.sub("keep").c_str(), tmp.sub("tree/a/link").c_str()), 0);

    EXPECT_EQ(aDirectory_DeleteTree(tmp.sub("tree").c_str()), aErrNone);
    EXPECT_FALSE(PathExists(tmp.sub("tree")));
    EXPECT_TRUE(PathExists(tmp.sub("keep/precious")));

    EXPECT_EQ(aDirectory_DeleteTree(tmp.sub("tree").c_str()), aErrNotFound);
    EXPECT_EQ(aDirectory_DeleteTree(tmp.sub("keep/precious").c_str()), aErrNotFound);
}

TEST(aDirectoryCWD, CurrentDirectoryOrParamError)
{
    char expected[4096];
    ASSERT_NE(getcwd(expected, sizeof expected), nullptr);
    char buf[4096];
    EXPECT_EQ(aDirectory_CWD(buf, sizeof buf), aErrNone);
    EXPECT_STREQ(buf, expected);
    EXPECT_EQ(aDirectory_CWD(buf, strlen(expected)), aErrParam);
    EXPECT_EQ(aDirectory_CWD(nullptr, 10), aErrParam);
}

TEST(aDirectoryExecutableFilePath, TargetOfProcSelfExeCutToTheBuffer)
{
    char expected[4096];
    ssize_t n = readlink("/proc/self/exe", expected, sizeof expected - 1);
    ASSERT_GT(n, 4);
    expected[n] = '\0';
    char buf[4096];
    EXPECT_EQ(aDirectory_ExecutableFilePath(buf, sizeof buf), aErrNone);
    EXPECT_STREQ(buf, expected);
    EXPECT_NE(strstr(buf, "aDirectory_test"), nullptr);

    char small[5];
    EXPECT_EQ(aDirectory_ExecutableFilePath(small, sizeof small), aErrNone);
    EXPECT_EQ(std::string(small), std::string(expected, 4));
}

TEST(aDirectoryGetHomeDirectory, PasswordDatabaseWinsOverHome)
{
    const struct passwd* pw = getpwuid(getuid());
    if (pw == nullptr) GTEST_SKIP() << "no password entry for this user; only $HOME can be used";
    std::string expected = pw->pw_dir;
    const char* old = getenv("HOME");
    std::string saved = old != nullptr ? old : "";
    setenv("HOME", "/nonexistent/elsewhere", 1);

    char buf[4096];
    EXPECT_EQ(aDirectory_GetHomeDirectory(buf, sizeof buf), aErrNone);
    EXPECT_EQ(std::string(buf), expected);
    char small[3];
    EXPECT_EQ(aDirectory_GetHomeDirectory(small, sizeof small), aErrNone);
    EXPECT_EQ(std::string(small), expected.substr(0, 2));
    EXPECT_EQ(aDirectory_GetHomeDirectory(nullptr, 10), aErrNone);

    if (old != nullptr)
        setenv("HOME", saved.c_str(), 1);
    else
        unsetenv("HOME");
}

TEST(aDirectoryGetHomeDirectory, HomeVariableWhenTheUserHasNoPasswordEntry)
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
        if (aDirectory_GetHomeDirectory(buf, sizeof buf) != aErrNone) return 3;
        if (strcmp(buf, "/elsewhere/home") != 0) return 4;
        unsetenv("HOME");
        aDirectory_GetHomeDirectory(buf, sizeof buf);
        return buf[0] == '\0' ? 0 : 5;
    });
    EXPECT_EQ(status, 0);
}
