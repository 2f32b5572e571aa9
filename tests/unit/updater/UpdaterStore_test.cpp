#include "UpdaterStore.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "Log.h"
#include "aDirectory.h"
#include "BirdBuilder.h"
#include "ChildProcess.h"
#include "LogCapture.h"
#include "TempDir.h"

namespace {

// The message of the runtime error fn throws, or "" when it throws none.
template <typename Fn>
std::string ErrorOf(Fn fn)
{
    try {
        fn();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

class UpdaterStoreTest : public ::testing::Test {
protected:
    std::string root() const { return tmp.sub("home/.orvantis/updater"); }

    TempDir tmp;
};

std::vector<std::string> Names(const std::vector<UpdaterStoreItem>& items)
{
    std::vector<std::string> names;
    for (const UpdaterStoreItem& item : items) names.push_back(item.name);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

TEST_F(UpdaterStoreTest, ConstructorMakesTheRootOrExplainsWhyNot)
{
    LogCapture log(DEBUG_Updater);
    UpdaterStore store(root());
    EXPECT_EQ(store.BasePath(), root());
    EXPECT_TRUE(aDirectory_Exists(root().c_str()));
    EXPECT_EQ(log.Text(), "UpdaterStore: Created directory [" + root() + "].\n");

    log.Clear();
    UpdaterStore again(root());
    EXPECT_EQ(log.Text(), "UpdaterStore: [" + root() + "] already exists.\n");

    WriteText(tmp.sub("file"), "x");
    EXPECT_EQ(ErrorOf([&] { UpdaterStore s(tmp.sub("file")); }),
              "UpdaterStore: " + tmp.sub("file") + " exists and is a file");
    EXPECT_EQ(ErrorOf([&] { UpdaterStore s(tmp.sub("file/updater")); }),
              "UpdaterStore: Could not create directory " + tmp.sub("file/updater") + " error 12");
}

TEST_F(UpdaterStoreTest, AddDeviceMakesTheDirectoryAndItsSettings)
{
    UpdaterStore store(root());
    LogCapture log(DEBUG_Updater);
    UpdaterStoreItem item = store.AddDevice(0x0001ABCD);
    const std::string dir = root() + "/0001ABCD";
    EXPECT_NE(log.Text().find("UpdaterStore: Created directory [" + dir + "].\n"), std::string::npos);
    EXPECT_EQ(item.base_path, root());
    EXPECT_EQ(item.name, "0001ABCD");
    EXPECT_EQ(item.kind, STORE_ITEM_DIRECTORY);
    EXPECT_TRUE(item.IsValid());
    EXPECT_EQ(item.Path(), dir);

    const std::string created = item.settings.GetString("CREATED_TIME", nullptr);
    ASSERT_FALSE(created.empty());
    const std::string text = ReadText(dir + "/.settings");
    EXPECT_EQ(text, "CREATED_TIME=" + created + "\nUPDATED_TIME=" + created + "\n");

    log.Clear();
    UpdaterStoreItem second = store.AddDevice("0001ABCD");
    EXPECT_EQ(log.Text(), "UpdaterStore: [" + dir + "] already exists.\n");
    EXPECT_EQ(second.settings.GetString("CREATED_TIME", nullptr), created);
    EXPECT_EQ(ReadText(dir + "/.settings"), text);
}

TEST_F(UpdaterStoreTest, PlainFileWhereADeviceDirectoryBelongs)
{
    UpdaterStore store(root());
    WriteText(root() + "/0001ABCD", "not a directory");
    EXPECT_EQ(ErrorOf([&] { store.AddDevice(0x0001ABCD); }),
              "UpdaterStore: " + root() + "/0001ABCD exists and is a file");
    EXPECT_EQ(ReadText(root() + "/0001ABCD"), "not a directory");
}

TEST_F(UpdaterStoreTest, FindDevicePrefersTheExactName)
{
    UpdaterStore store(root());
    // Exact entry first, decoys after it: listings often return the newest
    // entries first, which puts a decoy ahead of the exact name.
    for (const char* name : {"0001ABCD", "0001ABCD.old", "X0001ABCD", "0001ABCD.bak"}) {
        UpdaterStoreItem item = store.AddDevice(name);
        item.settings.Add("WHO", name);
        item.settings.Save(nullptr);
    }

    LogCapture log(DEBUG_Updater);
    UpdaterStoreItem found;
    EXPECT_TRUE(store.FindDevice(0x1ABCD, &found));
    EXPECT_EQ(found.name, "0001ABCD");
    EXPECT_EQ(found.base_path, root());
    EXPECT_EQ(found.kind, STORE_ITEM_DIRECTORY);
    EXPECT_EQ(found.settings.GetString("WHO", nullptr), "0001ABCD");
    const std::string text = log.Text();
    EXPECT_NE(text.find("_find_item([" + root() + "/0001ABCD], 1, "), std::string::npos);
    EXPECT_NE(text.find(") searching for 0001ABCD\n"), std::string::npos);
    EXPECT_NE(text.find("UpdaterStore: FindDevice Found 0001ABCD.\n"), std::string::npos);

    // Without the exact entry the first containing name in listing order wins.
    ASSERT_EQ(aDirectory_DeleteTree((root() + "/0001ABCD").c_str()), aErrNone);
    UpdaterStoreItem partial;
    EXPECT_TRUE(store.FindDevice("0001ABCD", &partial));
    EXPECT_NE(partial.name.find("0001ABCD"), std::string::npos);
    EXPECT_NE(partial.name, "0001ABCD");
    EXPECT_EQ(partial.settings.GetString("WHO", nullptr), partial.name);
}

TEST_F(UpdaterStoreTest, FindDeviceMissesLeaveTheItemAlone)
{
    UpdaterStore store(root());
    store.AddDevice(0x00000001);
    LogCapture log(DEBUG_Updater);
    UpdaterStoreItem item;
    EXPECT_FALSE(store.FindDevice(0x00000002, &item));
    EXPECT_FALSE(item.IsValid());
    EXPECT_EQ(item.kind, STORE_ITEM_NONE);
    EXPECT_NE(log.Text().find("UpdaterStore: FindDevice Not Found 00000002.\n"), std::string::npos);
    // "." and ".." never match, not even a search for ".".
    EXPECT_FALSE(store.FindDevice(".", nullptr));

    // Without an item nothing is loaded, so nothing is created.
    ASSERT_EQ(mkdir((root() + "/0000000A").c_str(), 0755), 0);
    EXPECT_TRUE(store.FindDevice(0xA, nullptr));
    EXPECT_FALSE(PathExists(root() + "/0000000A/.settings"));

    UpdaterStore missing_root(tmp.sub("other"));
    ASSERT_EQ(aDirectory_Delete(tmp.sub("other").c_str()), aErrNone);
    EXPECT_FALSE(missing_root.FindDevice(0x00000001, &item));
}

TEST_F(UpdaterStoreTest, LocalBuildsSkipHiddenNames)
{
    UpdaterStore store(root());
    UpdaterStoreItem device = store.AddDevice(0x0001ABCD);
    ASSERT_EQ(device.WriteFile("1.bird", reinterpret_cast<const uint8_t*>("a"), 1), aErrNone);
    ASSERT_EQ(device.WriteFile("22.bird", reinterpret_cast<const uint8_t*>("b"), 1), aErrNone);
    WriteText(device.Path() + "/.hidden", "");

    std::vector<UpdaterStoreItem> items;
    LogCapture log(DEBUG_Updater);
    EXPECT_TRUE(store.FindLocalBuilds(0x0001ABCD, items));
    EXPECT_EQ(Names(items), (std::vector<std::string>{"1.bird", "22.bird"}));
    for (const UpdaterStoreItem& item : items) {
        EXPECT_EQ(item.base_path, device.Path());
        EXPECT_EQ(item.kind, STORE_ITEM_FILE);
    }
    EXPECT_NE(log.Text().find("_find_items([" + device.Path() + "/1.bird], 0, 1)\n"), std::string::npos);
    EXPECT_EQ(ListNames(device.Path()),
              (std::vector<std::string>{".hidden", ".settings", "1.bird", "22.bird"}));

    std::vector<UpdaterStoreItem> none;
    EXPECT_FALSE(store.FindLocalBuilds(0x0000BEEF, none));
    EXPECT_TRUE(none.empty());
}

TEST_F(UpdaterStoreTest, WriteFileWritesEveryByteAndReplacesWhole)
{
    UpdaterStore store(root());
    UpdaterStoreItem device = store.AddDevice(0x0001ABCD);
    const std::vector<uint8_t> bytes = {0x00, 0x01, 0x00, 0x00, 0xFF, 0x00};
    EXPECT_EQ(device.WriteFile("1.bird", bytes.data(), bytes.size()), aErrNone);
    EXPECT_EQ(ReadBytes(device.Path() + "/1.bird"), bytes);
    const std::vector<uint8_t> shorter = {0x42};
    EXPECT_EQ(device.WriteFile("1.bird", shorter.data(), shorter.size()), aErrNone);
    EXPECT_EQ(ReadBytes(device.Path() + "/1.bird"), shorter);
    EXPECT_EQ(device.WriteFile("empty.bird", shorter.data(), 0), aErrNone);
    EXPECT_EQ(ReadBytes(device.Path() + "/empty.bird"), std::vector<uint8_t>());

    // No bytes: no file.
    EXPECT_EQ(device.WriteFile("2.bird", nullptr, 10), aErrNotFound);
    EXPECT_FALSE(PathExists(device.Path() + "/2.bird"));
    // No directory to write into.
    UpdaterStoreItem gone(root(), "00000009", STORE_ITEM_DIRECTORY);
    EXPECT_EQ(gone.WriteFile("3.bird", bytes.data(), bytes.size()), aErrNotFound);
    UpdaterStoreItem invalid;
    EXPECT_EQ(invalid.WriteFile("3.bird", bytes.data(), bytes.size()), aErrNotFound);
    EXPECT_EQ(ListNames(device.Path()), (std::vector<std::string>{".settings", "1.bird", "empty.bird"}));
}

TEST_F(UpdaterStoreTest, FailedWriteNeverDestroysTheExistingFile)
{
    UpdaterStore store(root());
    UpdaterStoreItem device = store.AddDevice(0x0001ABCD);
    const std::vector<uint8_t> old_bytes = BirdBuilder::Counting(32);
    ASSERT_EQ(device.WriteFile("1.bird", old_bytes.data(), old_bytes.size()), aErrNone);
    const std::vector<uint8_t> big = BirdBuilder::Counting(4096, 9);

    // Cut short part way, as on a full disk.
    int status =
        WithFileSizeLimit(1000, [&]() { return int(device.WriteFile("1.bird", big.data(), big.size())); });
    EXPECT_EQ(status, int(aErrIO));
    EXPECT_EQ(ReadBytes(device.Path() + "/1.bird"), old_bytes);

    // The directory cannot take a new file at all.
    status = WithReadOnlyDirectory(device.Path(),
                                   [&]() { return int(device.WriteFile("1.bird", big.data(), big.size())); });
    if (status != kReadOnlyUnsupported) {
        EXPECT_EQ(status, int(aErrNotFound));
        EXPECT_EQ(ReadBytes(device.Path() + "/1.bird"), old_bytes);
    }
    EXPECT_EQ(ListNames(device.Path()), (std::vector<std::string>{".settings", "1.bird"}));
}

TEST_F(UpdaterStoreTest, ReadBirdFileChecksTheHeaderThenLoads)
{
    UpdaterStore store(root());
    UpdaterStoreItem device = store.AddDevice(0x0001ABCD);
    BirdBuilder b;
    b.Info("1234", "2.4.1", "0001ABCD", "USBHub3p").Firmware(0x4000, BirdBuilder::Counting(64));
    std::vector<uint8_t> good = b.File();
    ASSERT_EQ(device.WriteFile("1234.bird", good.data(), good.size()), aErrNone);
    BirdFile bird = device.ReadBirdFile("1234.bird");
    EXPECT_EQ(bird.GetBuild(), 1234u);
    EXPECT_EQ(bird.Filename(), device.Path() + "/1234.bird");

    std::vector<uint8_t> zero_version = good;
    zero_version[4] = 0;
    zero_version[5] = 0;
    ASSERT_EQ(device.WriteFile("1.bird", zero_version.data(), zero_version.size()), aErrNone);
    EXPECT_EQ(ErrorOf([&] { device.ReadBirdFile("1.bird"); }), "Invalid bird " + device.Path() + "/1.bird");
    EXPECT_EQ(ErrorOf([&] { device.ReadBirdFile("9.bird"); }), "Invalid bird " + device.Path() + "/9.bird");

    std::vector<uint8_t> bad_stream = {'b', 'i', 'r', 'd', 1, 1, 'n', 'o', 't', 'z'};
    ASSERT_EQ(device.WriteFile("2.bird", bad_stream.data(), bad_stream.size()), aErrNone);
    EXPECT_EQ(ErrorOf([&] { device.ReadBirdFile("2.bird"); }), "Failed to load bird data");
}

TEST_F(UpdaterStoreTest, FileExistsSearchesTheItemsDirectory)
{
    UpdaterStore store(root());
    UpdaterStoreItem device = store.AddDevice(0x0001ABCD);
    ASSERT_EQ(device.WriteFile("1234.bird", reinterpret_cast<const uint8_t*>("x"), 1), aErrNone);
    LogCapture log(DEBUG_Updater);
    EXPECT_TRUE(device.FileExists("1234.bird"));
    EXPECT_TRUE(device.FileExists("234"));
    EXPECT_FALSE(device.FileExists("99.bird"));
    EXPECT_NE(log.Text().find("UpdaterStore: FindDevice Found 1234.bird.\n"), std::string::npos);
    EXPECT_NE(log.Text().find("UpdaterStore: FindDevice Not Found 99.bird.\n"), std::string::npos);
}

TEST_F(UpdaterStoreTest, ItemsAreValues)
{
    UpdaterStoreItem none;
    EXPECT_FALSE(none.IsValid());
    EXPECT_EQ(none.kind, STORE_ITEM_NONE);
    EXPECT_TRUE(none.settings.Entries().empty());

    UpdaterStore store(root());
    UpdaterStoreItem device = store.AddDevice(0x0001ABCD);
    UpdaterStoreItem copy = device;
    copy.settings.Add("K", "v");
    EXPECT_EQ(copy.name, device.name);
    EXPECT_EQ(copy.settings.Filename(), device.settings.Filename());
    EXPECT_EQ(device.settings["K"], nullptr);
    none = copy;
    EXPECT_TRUE(none.IsValid());
    EXPECT_STREQ(none.settings["K"], "v");
}
