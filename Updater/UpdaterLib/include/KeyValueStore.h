#ifndef UPDATER_KEYVALUESTORE_H
#define UPDATER_KEYVALUESTORE_H

#include <cstdint>
#include <map>
#include <string>

#include "Cause.h"

// Settings of one store item: an ordered map of text keys to text values,
// kept in a file of key=value lines. A value type; nothing is saved unless
// Save is called. Not thread-safe: one thread uses one store at a time.
class KeyValueStore {
public:
    static constexpr const char* DEFAULT_FILENAME = ".settings";
    static constexpr const char* KEY_CREATED_TIME = "CREATED_TIME";
    static constexpr const char* KEY_UPDATED_TIME = "UPDATED_TIME";

    // Empty store; loads path when it is given (see Load).
    explicit KeyValueStore(const char* path = nullptr);

    // Stored value text, or null when the key is absent. The pointer is valid
    // until the entry is changed or removed.
    const char* operator[](const std::string& key) const;

    // Numeric getters: the default for an absent key or an empty value. An
    // absent key is then recorded with an empty value (dirty is not set), so
    // the next save lists it.
    int GetInt(const std::string& key, int def);
    // Base 16, optional 0x prefix, cut to 32 bits.
    uint32_t GetHex(const std::string& key, uint32_t def);
    // Stored as the integers 0 and 1.
    bool GetBOOL(const std::string& key, bool def);
    double GetDouble(const std::string& key, double def);
    // The stored value whenever the key exists (an empty one included), else
    // def ("" for null). Never adds an entry.
    std::string GetString(const std::string& key, const char* def) const;

    // Setters store the formatted value and set dirty when it differs from
    // the current one (an absent key counts as empty). The numeric ones
    // return true.
    bool Add(const std::string& key, int value);          // "%d"
    bool Add(const std::string& key, double value);       // "%f"
    bool AddHex(const std::string& key, uint32_t value);  // "0x%08X"
    void Add(const std::string& key, const char* value);  // null stores ""
    void Add(const std::string& key, const std::string& value);
    // Copies every entry of other, replacing equal keys; sets dirty when
    // other is not empty. Returns true.
    bool Add(const KeyValueStore& other);
    // Removes every entry and sets dirty. Returns true.
    bool Clear();

    // Merges the settings of path into the entries; path becomes the file
    // name and the store is clean. A file that cannot be opened is created
    // (with CREATED_TIME and UPDATED_TIME) instead. A line longer than 2046
    // characters is skipped and reading goes on. Failures are only logged.
    void Load(const char* path);
    // Writes every entry, sorted, to path (or the file name last used, else
    // ".settings"), stamping UPDATED_TIME when something changed. The file is
    // replaced atomically: a failed save keeps the old file and leaves the
    // store dirty. aErrNone, else aErrWrite with the cause in *cause (when
    // cause is not null).
    aErr Save(const char* path, Cause* cause = nullptr);

    const std::string& Filename() const { return filename; }
    bool IsDirty() const { return dirty; }
    const std::map<std::string, std::string>& Entries() const { return entries; }

private:
    // Common path of the setters.
    void Set(const std::string& key, const std::string& value);
    // Value of key for the numeric getters; null (after recording the key
    // with an empty value) when absent or empty.
    const char* NumericValue(const std::string& key);
    void ParseLine(const char* line, size_t length);
    // Save with now as the UPDATED_TIME stamp.
    aErr SaveStamped(const char* path, const std::string& now, Cause* cause = nullptr);

    std::string filename;
    std::map<std::string, std::string> entries;
    bool dirty = false;
};

#endif
