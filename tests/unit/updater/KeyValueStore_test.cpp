#include "KeyValueStore.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "ChildProcess.h"
#include "TempDir.h"

namespace {

bool IsCtime(const std::string& text)
{
    static const std::regex form(
        "^(Mon|Tue|Wed|Thu|Fri|Sat|Sun) [A-Z][a-z]{2} [ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] "
        "[0-9]{4}$");
    return std::regex_match(text, form);
}

class KeyValueStoreTest : public ::testing::Test {
protected:
    std::string File(const std::string& text)
    {
        std::string path = tmp.sub(".settings");
        WriteText(path, text);
        return path;
    }

    TempDir tmp;
};

}  // namespace

// How lines are read is checked by the fuzz target against the file rules
// (fuzz/regressions/settings holds the cases).
TEST_F(KeyValueStoreTest, SavesSortedAndStampsOnlyWhenSomethingChanged)
{
    std::string path = File("UPDATED_TIME=long ago\nB=2\nA=1\n");
    KeyValueStore store(path.c_str());
    store.Save(nullptr);
    EXPECT_EQ(ReadText(path), "A=1\nB=2\nUPDATED_TIME=long ago\n");

    store.Add("C", "3");
    EXPECT_TRUE(store.IsDirty());
    store.Save(nullptr);
    EXPECT_FALSE(store.IsDirty());
    KeyValueStore again(path.c_str());
    EXPECT_EQ(again.GetString("C", nullptr), "3");
    EXPECT_TRUE(IsCtime(again.GetString("UPDATED_TIME", nullptr)))
        << again.GetString("UPDATED_TIME", nullptr);
    // Nothing but the file itself is left in the directory.
    EXPECT_EQ(ListNames(tmp.path()), std::vector<std::string>{".settings"});
}

TEST_F(KeyValueStoreTest, GetIntRecordsAnAbsentKeyThatReadsBackAsAbsent)
{
    std::string path = File("S=\nN=  42abc\n");
    {
        KeyValueStore store(path.c_str());
        EXPECT_EQ(store.GetInt("N", 7), 42);
        EXPECT_EQ(store.GetInt("K", 7), 7);
        EXPECT_EQ(store.GetInt("S", 4), 4);
        store.Save(nullptr);
    }
    // How the recorded key and empty values read back is checked by the fuzz target.
    EXPECT_EQ(ReadText(path), "K=\nN=42abc\nS=\n");
}

TEST_F(KeyValueStoreTest, MissingFileIsCreatedWithEqualStamps)
{
    std::string path = tmp.sub(".settings");
    KeyValueStore store(path.c_str());
    const std::string created = store.GetString("CREATED_TIME", nullptr);
    EXPECT_TRUE(IsCtime(created)) << created;
    EXPECT_EQ(ReadText(path), "CREATED_TIME=" + created + "\nUPDATED_TIME=" + created + "\n");
    EXPECT_FALSE(store.IsDirty());

    // Nowhere to create it: the stamps stay in memory, still to be saved.
    KeyValueStore lost(tmp.sub("no/such/dir/.settings").c_str());
    EXPECT_FALSE(PathExists(tmp.sub("no")));
    EXPECT_TRUE(IsCtime(lost.GetString("UPDATED_TIME", nullptr)));
    EXPECT_TRUE(lost.IsDirty());
}

TEST_F(KeyValueStoreTest, FailedSaveLeavesTheOldFileAndTheStoreDirty)
{
    // A read-only directory, and a file size limit that makes the write fail
    // part way, as a full disk would.
    const std::string old_text = "A=1\nUPDATED_TIME=long ago\n";
    std::string path = File(old_text);
    auto save = [&]() {
        KeyValueStore store(path.c_str());
        store.Add("B", std::string(200, 'b'));
        store.Save(nullptr);
        return store.IsDirty() ? 0 : 1;
    };
    int status = WithReadOnlyDirectory(tmp.path(), save);
    if (status != kReadOnlyUnsupported) {
        EXPECT_EQ(status, 0) << "read-only directory";
    }
    EXPECT_EQ(WithFileSizeLimit(64, save), 0) << "full disk";
    EXPECT_EQ(ReadText(path), old_text);
    EXPECT_EQ(ListNames(tmp.path()), std::vector<std::string>{".settings"});
}
