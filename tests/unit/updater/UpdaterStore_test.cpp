#include "UpdaterStore.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "BirdBuilder.h"
#include "ChildProcess.h"
#include "TempDir.h"
#include "aDirectory.h"

namespace {

class UpdaterStoreTest : public ::testing::Test {
protected:
    std::string root() const { return tmp.sub("home/.orvantis/updater"); }

    TempDir tmp;
};

}  // namespace

TEST_F(UpdaterStoreTest, AddDeviceMakesTheDirectoryAndItsSettingsOnce)
{
    UpdaterStore store(root());
    UpdaterStoreItem item = store.AddDevice(0x0001ABCD);
    const std::string dir = root() + "/0001ABCD";
    EXPECT_EQ(item.Path(), dir);
    const std::string created = item.settings.GetString("CREATED_TIME", nullptr);
    const std::string text = ReadText(dir + "/.settings");
    EXPECT_EQ(text, "CREATED_TIME=" + created + "\nUPDATED_TIME=" + created + "\n");

    UpdaterStoreItem second = store.AddDevice("0001ABCD");
    EXPECT_EQ(second.settings.GetString("CREATED_TIME", nullptr), created);
    EXPECT_EQ(ReadText(dir + "/.settings"), text);

    // A plain file where the device directory belongs is left alone.
    WriteText(root() + "/0002BEEF", "not a directory");
    EXPECT_THROW(store.AddDevice(0x0002BEEF), std::runtime_error);
    EXPECT_EQ(ReadText(root() + "/0002BEEF"), "not a directory");
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
    UpdaterStoreItem found;
    EXPECT_TRUE(store.FindDevice(0x1ABCD, &found));
    EXPECT_EQ(found.Path(), root() + "/0001ABCD");
    EXPECT_EQ(found.settings.GetString("WHO", nullptr), "0001ABCD");

    // Without the exact entry a name containing it is taken.
    ASSERT_EQ(aDirectory_DeleteTree((root() + "/0001ABCD").c_str()), aErrNone);
    UpdaterStoreItem partial;
    EXPECT_TRUE(store.FindDevice("0001ABCD", &partial));
    EXPECT_NE(partial.name, "0001ABCD");
    EXPECT_EQ(partial.settings.GetString("WHO", nullptr), partial.name);

    // ".." is never a device (an unknown one is the inventory's "unknown" row).
    EXPECT_FALSE(store.FindDevice("..", nullptr));
}

// Which names count as builds (hidden ones do not) shows in the inventory's
// exact output (tests/e2e/test_check_and_inventory.py).
TEST_F(UpdaterStoreTest, WriteFileReplacesTheWholeFileOrNothing)
{
    UpdaterStore store(root());
    UpdaterStoreItem device = store.AddDevice(0x0001ABCD);
    const std::string path = device.Path() + "/1.bird";
    const std::vector<uint8_t> old_bytes = {0x00, 0x01, 0x00, 0x00, 0xFF, 0x00};
    EXPECT_EQ(device.WriteFile("1.bird", BirdBuilder::Counting(64).data(), 64), aErrNone);
    EXPECT_EQ(device.WriteFile("1.bird", old_bytes.data(), old_bytes.size()), aErrNone);
    EXPECT_EQ(ReadBytes(path), old_bytes);

    // Cut short part way, as on a full disk; a directory that takes no new
    // file; no bytes; an item without a directory.
    const std::vector<uint8_t> big = BirdBuilder::Counting(4096, 9);
    EXPECT_EQ(
        WithFileSizeLimit(1000, [&]() { return int(device.WriteFile("1.bird", big.data(), big.size())); }),
        int(aErrIO));
    int status = WithReadOnlyDirectory(
        device.Path(), [&]() { return int(device.WriteFile("1.bird", big.data(), big.size())); });
    if (status != kReadOnlyUnsupported) {
        EXPECT_EQ(status, int(aErrNotFound));
    }
    EXPECT_EQ(device.WriteFile("1.bird", nullptr, 10), aErrNotFound);
    EXPECT_EQ(UpdaterStoreItem().WriteFile("1.bird", big.data(), big.size()), aErrNotFound);
    EXPECT_EQ(ReadBytes(path), old_bytes);
    EXPECT_EQ(ListNames(device.Path()), (std::vector<std::string>{".settings", "1.bird"}));
}
