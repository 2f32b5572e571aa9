#include "KeyValueStore.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <random>
#include <regex>
#include <string>

#include "Log.h"
#include "ChildProcess.h"
#include "LogCapture.h"
#include "TempDir.h"

using Entries = std::map<std::string, std::string>;

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
    std::string File(const std::string& text, const std::string& name = "settings")
    {
        std::string path = tmp.sub(name);
        WriteText(path, text);
        return path;
    }

    TempDir tmp;
};

}  // namespace

TEST_F(KeyValueStoreTest, ParsesTheLinesThatCanBreak)
{
    std::string path = File(
        "  ALPHA  =  one two  \n"
        "BETA=x=y\n"
        "#A=1\n"
        " #B=2\n"
        "a\n"   // two bytes with the newline: too short
        "=\n"   // too short as well
        "ab\n"  // three bytes, no "=": a key with an empty value
        "\n"
        "EMPTY=\n"
        "NO EQUALS here \n"
        "TAB\t=\tv w\t\r\n"
        "DUP=1\n"
        "DUP=2\n"
        "x=");  // last line without newline, two bytes: too short
    KeyValueStore store(path.c_str());
    EXPECT_EQ(store.Entries(), (Entries{{"ALPHA", "one two"},
                                        {"BETA", "x=y"},
                                        {"#B", "2"},
                                        {"ab", ""},
                                        {"EMPTY", ""},
                                        {"NO EQUALS here", ""},
                                        {"TAB", "v w"},
                                        {"DUP", "2"}}));
    EXPECT_EQ(store.Filename(), path);
    EXPECT_FALSE(store.IsDirty());
    EXPECT_STREQ(store["ALPHA"], "one two");
    EXPECT_EQ(store["#A"], nullptr);
    EXPECT_EQ(store["missing"], nullptr);
}

TEST_F(KeyValueStoreTest, SavesSortedWithoutStampingWhenNothingChanged)
{
    std::string path = File("UPDATED_TIME=long ago\nB=2\nA=1\n");
    KeyValueStore store(path.c_str());
    store.Add("B", 2);
    store.Add("A", "1");
    EXPECT_FALSE(store.IsDirty());
    store.Save(nullptr);
    EXPECT_EQ(ReadText(path), "A=1\nB=2\nUPDATED_TIME=long ago\n");

    store.Add("C", 3);
    EXPECT_TRUE(store.IsDirty());
    store.Save(nullptr);
    EXPECT_FALSE(store.IsDirty());
    KeyValueStore again(path.c_str());
    EXPECT_EQ(again.GetString("C", nullptr), "3");
    EXPECT_TRUE(IsCtime(again.GetString("UPDATED_TIME", nullptr)))
        << again.GetString("UPDATED_TIME", nullptr);
    // Nothing but the file itself is left in the directory.
    EXPECT_EQ(ListNames(tmp.path()), std::vector<std::string>{"settings"});
}

TEST_F(KeyValueStoreTest, NumericGettersRecordAbsentKeysThatReadBackAsAbsent)
{
    std::string path = File("S=\n");
    {
        KeyValueStore store(path.c_str());
        EXPECT_EQ(store.GetInt("K", 7), 7);
        EXPECT_EQ(store.GetHex("H", 0xAB), 0xABu);
        EXPECT_EQ(store.GetBOOL("B", true), true);
        EXPECT_DOUBLE_EQ(store.GetDouble("D", 2.5), 2.5);
        EXPECT_EQ(store.GetInt("S", 4), 4);
        // GetString and operator[] never add an entry.
        EXPECT_EQ(store.GetString("G", "dflt"), "dflt");
        EXPECT_EQ(store.GetString("G", nullptr), "");
        EXPECT_EQ(store["G2"], nullptr);
        EXPECT_FALSE(store.IsDirty());
        store.Save(nullptr);
    }
    EXPECT_EQ(ReadText(path), "B=\nD=\nH=\nK=\nS=\n");
    KeyValueStore store(path.c_str());
    EXPECT_EQ(store.GetInt("K", 9), 9);
    EXPECT_EQ(store.GetHex("H", 0xCD), 0xCDu);
    EXPECT_EQ(store.GetBOOL("B", false), false);
    EXPECT_DOUBLE_EQ(store.GetDouble("D", -1.0), -1.0);
    // An empty value is a value for GetString.
    EXPECT_EQ(store.GetString("K", "dflt"), "");
    EXPECT_STREQ(store["K"], "");
}

TEST_F(KeyValueStoreTest, TypedValuesAndTheirFormats)
{
    std::string path =
        File("HEX=0x0000BEEF\nBARE=beef\nBIG=0xFFFFFFFF\nINT=  42abc\nNEG=-3\nT=1\nF=0\nW=yes\n");
    KeyValueStore store(path.c_str());
    EXPECT_EQ(store.GetHex("HEX", 0), 48879u);
    EXPECT_EQ(store.GetHex("BARE", 0), 48879u);
    EXPECT_EQ(store.GetHex("BIG", 0), 0xFFFFFFFFu);
    EXPECT_EQ(store.GetInt("INT", 0), 42);
    EXPECT_EQ(store.GetInt("NEG", 0), -3);
    EXPECT_TRUE(store.GetBOOL("T", false));
    EXPECT_FALSE(store.GetBOOL("F", true));
    // Not a number: atoi gives 0, the default is not used.
    EXPECT_FALSE(store.GetBOOL("W", true));

    EXPECT_TRUE(store.AddHex("HEX2", 48879));
    EXPECT_TRUE(store.Add("I", -12));
    EXPECT_TRUE(store.Add("D", 1.5));
    store.Add("S", std::string("text with = and spaces"));
    store.Add("N", static_cast<const char*>(nullptr));
    EXPECT_STREQ(store["HEX2"], "0x0000BEEF");
    EXPECT_STREQ(store["I"], "-12");
    EXPECT_STREQ(store["D"], "1.500000");
    EXPECT_DOUBLE_EQ(store.GetDouble("D", 0), 1.5);
    EXPECT_STREQ(store["N"], "");
    store.Save(nullptr);
    KeyValueStore back(path.c_str());
    EXPECT_EQ(back.GetString("S", nullptr), "text with = and spaces");
    EXPECT_EQ(back.GetHex("HEX2", 0), 48879u);
}

TEST_F(KeyValueStoreTest, SettersMarkDirtyOnlyOnRealChanges)
{
    KeyValueStore store;
    EXPECT_EQ(store.Filename(), "");
    store.Add("E", "");  // absent counts as empty
    EXPECT_FALSE(store.IsDirty());
    EXPECT_STREQ(store["E"], "");
    store.Add("A", 5);
    EXPECT_TRUE(store.IsDirty());

    std::string path = File("A=5\n");
    KeyValueStore loaded(path.c_str());
    loaded.Add("A", 5);
    EXPECT_FALSE(loaded.IsDirty());
    loaded.Add("A", 6);
    EXPECT_TRUE(loaded.IsDirty());

    KeyValueStore other;
    other.Add("A", "from other");
    other.Add("Z", "z");
    KeyValueStore merged(path.c_str());
    EXPECT_TRUE(merged.Add(other));
    EXPECT_TRUE(merged.IsDirty());
    EXPECT_EQ(merged.Entries(), (Entries{{"A", "from other"}, {"Z", "z"}}));

    // Copies are independent values carrying all three fields.
    KeyValueStore copy = merged;
    EXPECT_EQ(copy.Filename(), path);
    EXPECT_TRUE(copy.IsDirty());
    copy.Add("A", "changed");
    EXPECT_STREQ(merged["A"], "from other");

    EXPECT_TRUE(loaded.Clear());
    EXPECT_TRUE(loaded.Entries().empty());
    EXPECT_TRUE(loaded.IsDirty());
}

TEST_F(KeyValueStoreTest, LoadMergesIntoExistingEntries)
{
    KeyValueStore store;
    store.Add("KEEP", "1");
    store.Add("OVER", "old");
    store.Load(File("OVER=new\nNEW=2\n").c_str());
    EXPECT_EQ(store.Entries(), (Entries{{"KEEP", "1"}, {"NEW", "2"}, {"OVER", "new"}}));
    EXPECT_FALSE(store.IsDirty());
}

TEST_F(KeyValueStoreTest, MissingFileIsCreatedWithEqualStamps)
{
    LogCapture log(DEBUG_Attributes);
    std::string path = tmp.sub(".settings");
    KeyValueStore store(path.c_str());
    EXPECT_NE(log.Text().find("Attibutes: Error - cannot open attributes file: '" + path + "' (2)\n"),
              std::string::npos);
    const std::string created = store.GetString("CREATED_TIME", nullptr);
    EXPECT_TRUE(IsCtime(created)) << created;
    EXPECT_EQ(ReadText(path), "CREATED_TIME=" + created + "\nUPDATED_TIME=" + created + "\n");
    EXPECT_FALSE(store.IsDirty());
    EXPECT_EQ(store.Filename(), path);

    // Nowhere to create it: only logged, the stamps stay in memory.
    log.Clear();
    std::string nowhere = tmp.sub("no/such/dir/.settings");
    KeyValueStore lost(nowhere.c_str());
    EXPECT_FALSE(PathExists(tmp.sub("no")));
    EXPECT_TRUE(IsCtime(lost.GetString("CREATED_TIME", nullptr)));
    EXPECT_TRUE(IsCtime(lost.GetString("UPDATED_TIME", nullptr)));
    EXPECT_TRUE(lost.IsDirty());
    EXPECT_NE(log.Text().find("Attibutes: Error - cannot open attributes file for writting: '" + nowhere +
                              "' (2)\n"),
              std::string::npos);
}

TEST_F(KeyValueStoreTest, SaveWithoutAnyNameUsesTheDefaultInTheWorkingDirectory)
{
    LogCapture log(DEBUG_Attributes);
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(tmp.path().c_str()), 0);
    KeyValueStore store;
    store.Add("A", "1");
    store.Save(nullptr);
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(store.Filename(), ".settings");
    EXPECT_EQ(ReadText(tmp.sub(".settings")).substr(0, 4), "A=1\n");
    EXPECT_NE(log.Text().find("Attibutes: no filename given for attributes, using default:[.settings]\n"),
              std::string::npos);
}

TEST_F(KeyValueStoreTest, OverLongLineIsSkippedAndTheRestKept)
{
    const std::string fits(2046 - 2, 'f');  // "F=" + value: 2046 characters and the newline
    const std::string over(2047 - 2, 'o');  // one character too many
    std::string path = File("A=1\nF=" + fits + "\nO=" + over + "\nLONG=" + std::string(3000, 'x') +
                            "\nB=2\nC=" + std::string(5000, 'y'));
    KeyValueStore store(path.c_str());
    EXPECT_EQ(store.Entries(), (Entries{{"A", "1"}, {"B", "2"}, {"F", fits}}));
    // The settings after the long lines survive the next save.
    store.Add("D", "4");
    store.Save(nullptr);
    KeyValueStore back(path.c_str());
    EXPECT_EQ(back.GetString("B", nullptr), "2");
    EXPECT_EQ(back.GetString("D", nullptr), "4");
}

TEST_F(KeyValueStoreTest, FailedSaveLeavesTheOldFile)
{
    const std::string old_text = "A=1\nUPDATED_TIME=long ago\n";
    std::string path = File(old_text, ".settings");
    int status = WithReadOnlyDirectory(tmp.path(), [&]() {
        KeyValueStore store(path.c_str());
        store.Add("A", "2");
        store.Save(nullptr);
        return store.IsDirty() ? 0 : 1;
    });
    if (status == kReadOnlyUnsupported) GTEST_SKIP() << "cannot make a directory read-only here";
    EXPECT_EQ(status, 0) << "the store must stay dirty after a failed save";
    EXPECT_EQ(ReadText(path), old_text);
    EXPECT_EQ(ListNames(tmp.path()), std::vector<std::string>{".settings"});
}

TEST_F(KeyValueStoreTest, WriteCutShortLeavesTheOldFile)
{
    // A file size limit makes the write fail part way, as a full disk would.
    const std::string old_text = "A=1\n";
    std::string path = File(old_text, ".settings");
    int status = WithFileSizeLimit(64, [&]() {
        KeyValueStore store(path.c_str());
        store.Add("B", std::string(200, 'b'));
        store.Save(nullptr);
        return store.IsDirty() ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ReadText(path), old_text);
    EXPECT_EQ(ListNames(tmp.path()), std::vector<std::string>{".settings"});
}

TEST_F(KeyValueStoreTest, ArbitraryBytesNeverBreakTheReader)
{
    std::mt19937 rng(777);
    const std::string alphabet = "AB= #\t\r\n\n\n\x01\xff";
    for (int round = 0; round < 300; ++round) {
        std::string text;
        const size_t n = rng() % 6000;
        for (size_t i = 0; i < n; ++i) text += alphabet[rng() % alphabet.size()];
        std::string path = File(text, "fuzz");
        KeyValueStore store(path.c_str());
        store.Add("ROUND", round);
        store.Save(nullptr);
        // What was read is written back in a form that reads back the same,
        // except what the format cannot hold: a key beginning with "#" (read
        // from a line indented before it) and an empty key with an empty value.
        KeyValueStore back(path.c_str());
        for (const auto& e : store.Entries()) {
            if ((!e.first.empty() && e.first[0] == '#') || (e.first.empty() && e.second.empty())) continue;
            ASSERT_STREQ(back[e.first], e.second.c_str()) << round << " key [" << e.first << "]";
        }
    }
}
