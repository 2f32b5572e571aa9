#include "UpdaterStoreItem.h"

#include <stdexcept>

#include "AtomicFile.h"
#include "Log.h"
#include "UpdaterStore.h"
#include "aDirectory.h"

UpdaterStoreItem::UpdaterStoreItem() : kind(STORE_ITEM_NONE) {}

UpdaterStoreItem::UpdaterStoreItem(const std::string& base, const std::string& item_name,
                                   store_item_t item_kind)
    : base_path(base), name(item_name), kind(item_kind)
{
    settings.Load(
        BuildPath(base_path.c_str(), name.c_str(), KeyValueStore::DEFAULT_FILENAME, nullptr).c_str());
}

bool UpdaterStoreItem::IsValid() const
{
    return !base_path.empty() && !name.empty();
}

std::string UpdaterStoreItem::Path() const
{
    return BuildPath(base_path.c_str(), name.c_str(), nullptr);
}

aErr UpdaterStoreItem::WriteFile(const std::string& file, const uint8_t* bytes, size_t length, Cause* cause)
{
    // An invalid item has no directory; never write relative to "/".
    if (bytes == nullptr || !IsValid()) return aErrNotFound;
    AtomicFile out(BuildPath(base_path.c_str(), name.c_str(), file.c_str(), nullptr));
    if (out.Open() != aErrNone) {
        Log::log(DEBUG_Updater, "UpdaterStore: cannot create [%s]\n", out.Target().c_str());
        if (cause != nullptr) *cause = Cause::FromErrno(out.Errno(), out.Target());
        return aErrNotFound;
    }
    aErr err = out.Write(bytes, length);
    if (err == aErrNone) err = out.Commit();
    if (err != aErrNone) {
        Log::log(DEBUG_Updater, "UpdaterStore: writing [%s] failed (%d), file left as it was\n",
                 out.Target().c_str(), int(err));
        if (cause != nullptr) *cause = Cause::FromErrno(out.Errno(), out.Target());
    }
    return err;
}

BirdFile UpdaterStoreItem::ReadBirdFile(const std::string& file) const
{
    const std::string path = BuildPath(base_path.c_str(), name.c_str(), file.c_str(), nullptr);
    if (!BirdFile::VerifyFile(path.c_str()))
        throw CausedError("Invalid bird " + path, BirdFile::HeaderCause(path.c_str()));
    return BirdFile(path);
}

bool UpdaterStoreItem::FileExists(const std::string& file) const
{
    bool found = UpdaterStore::FindItem(Path(), file, nullptr);
    Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", found ? "Found" : "Not Found", file.c_str());
    return found;
}
