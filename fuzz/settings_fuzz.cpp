// The settings file parser (KeyValueStore) on the input as a file: entries
// as the file rules read them (for files without NUL), the same entries after
// a save and load (less what the format cannot carry), getters and setters
// agreeing with the entries and keeping the dirty flag.
#include <cctype>
#include <cstring>
#include <map>
#include <string>

#include "FuzzSupport.h"
#include "KeyValueStore.h"

namespace {

// The reader holds 2046 characters and the newline.
const size_t kMaxLine = 2047;

typedef std::map<std::string, std::string> Entries;

std::string Trim(const std::string& text)
{
    size_t begin = 0, end = text.size();
    while (begin < end && isspace(static_cast<unsigned char>(text[begin]))) begin++;
    while (end > begin && isspace(static_cast<unsigned char>(text[end - 1]))) end--;
    return text.substr(begin, end - begin);
}

Entries ReadByRules(const std::string& file)
{
    Entries entries;
    size_t pos = 0;
    while (pos < file.size()) {
        size_t newline = file.find('\n', pos);
        bool terminated = newline != std::string::npos;
        size_t end = terminated ? newline + 1 : file.size();
        std::string line = file.substr(pos, end - pos);
        pos = end;
        if (line.size() > (terminated ? kMaxLine : kMaxLine - 1)) continue;
        if (line.size() < 3 || line[0] == '#') continue;
        size_t equals = line.find('=');
        std::string key = Trim(line.substr(0, equals));
        std::string value = equals == std::string::npos ? "" : Trim(line.substr(equals + 1));
        entries[key] = value;
    }
    return entries;
}

// Entries as they survive a save and a load.
Entries Representable(const Entries& entries)
{
    Entries kept;
    for (const auto& e : entries) {
        size_t line = e.first.size() + 1 + e.second.size() + 1;
        if (!e.first.empty() && e.first[0] == '#') continue;
        if (line < 3 || line > kMaxLine) continue;
        kept.insert(e);
    }
    return kept;
}

void CheckAccessors(KeyValueStore& store)
{
    const Entries entries = store.Entries();
    for (const auto& e : entries) {
        FUZZ_CHECK(e.first.find('\n') == std::string::npos && e.second.find('\n') == std::string::npos);
        FUZZ_CHECK(e.first.find('=') == std::string::npos);
        FUZZ_CHECK(store.GetString(e.first, "default") == e.second);
        const char* raw = store[e.first];
        FUZZ_CHECK(raw != nullptr && e.second == raw);
        store.GetInt(e.first, 7);
        store.GetHex(e.first, 7);
        store.GetBOOL(e.first, true);
        store.GetDouble(e.first, 7.0);
        if (e.second.empty()) {
            FUZZ_CHECK(store.GetInt(e.first, 7) == 7 && store.GetHex(e.first, 8) == 8);
            FUZZ_CHECK(store.GetDouble(e.first, 2.5) == 2.5 && store.GetBOOL(e.first, true));
        }
    }
    FUZZ_CHECK(store.Entries() == entries && !store.IsDirty());

    // An absent key is recorded with an empty value, the store still clean.
    std::string absent =
        "\x01"
        "absent";
    while (entries.count(absent) != 0) absent += "x";
    FUZZ_CHECK(store.GetString(absent, "d") == "d" && store[absent] == nullptr);
    FUZZ_CHECK(store.GetInt(absent, -3) == -3);
    FUZZ_CHECK(store[absent] != nullptr && *store[absent] == '\0' && !store.IsDirty());

    // Setting a value a key already holds changes nothing.
    if (!entries.empty()) {
        const auto& first = *entries.begin();
        store.Add(first.first, first.second);
        FUZZ_CHECK(!store.IsDirty());
        store.Add(first.first, first.second + "!");
        FUZZ_CHECK(store.IsDirty() && store.GetString(first.first, nullptr) == first.second + "!");
        store.Add(first.first, first.second);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string path = FuzzTempPath("settings");
    static const std::string saved = FuzzTempPath("saved");
    FuzzWriteFile(path, data, size);
    const std::string file(reinterpret_cast<const char*>(data), size);

    KeyValueStore store(path.c_str());
    FUZZ_CHECK(store.Filename() == path && !store.IsDirty());
    const Entries loaded = store.Entries();
    if (file.find('\0') == std::string::npos) FUZZ_CHECK(loaded == ReadByRules(file));

    // Loading the same file again merges nothing new.
    store.Load(path.c_str());
    FUZZ_CHECK(store.Entries() == loaded);

    CheckAccessors(store);

    // Save and load back; a clean store is written without a new stamp.
    KeyValueStore clean(path.c_str());
    clean.Save(saved.c_str());
    FUZZ_CHECK(!clean.IsDirty() && clean.Filename() == saved);
    KeyValueStore reloaded(saved.c_str());
    FUZZ_CHECK(reloaded.Entries() == Representable(loaded));

    // The typed setters store their documented texts.
    clean.Add("INT", -42);
    clean.AddHex("HEX", 0xBEEFu);
    clean.Add("DBL", 0.5);
    FUZZ_CHECK(clean.GetString("INT", nullptr) == "-42" && clean.GetInt("INT", 0) == -42);
    FUZZ_CHECK(clean.GetString("HEX", nullptr) == "0x0000BEEF" && clean.GetHex("HEX", 0) == 0xBEEFu);
    FUZZ_CHECK(clean.GetString("DBL", nullptr) == "0.500000");
    return 0;
}
