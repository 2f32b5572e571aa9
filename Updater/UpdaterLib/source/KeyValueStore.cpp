#include "KeyValueStore.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "AtomicFile.h"
#include "Log.h"
#include "aFile.h"

namespace {

// A line holds at most 2046 characters and its newline.
constexpr size_t kLineBuffer = 2048;

// Local time in the 24-character ctime form, without its newline.
std::string Now()
{
    time_t now = time(nullptr);
    char text[32];
    if (ctime_r(&now, text) == nullptr) return std::string();
    std::string result(text);
    if (!result.empty() && result.back() == '\n') result.pop_back();
    return result;
}

std::string Trim(const char* begin, const char* end)
{
    while (begin < end && isspace(static_cast<unsigned char>(*begin))) ++begin;
    while (end > begin && isspace(static_cast<unsigned char>(end[-1]))) --end;
    return std::string(begin, end);
}

}  // namespace

KeyValueStore::KeyValueStore(const char* path)
{
    if (path != nullptr) Load(path);
}

const char* KeyValueStore::operator[](const std::string& key) const
{
    auto it = entries.find(key);
    return it == entries.end() ? nullptr : it->second.c_str();
}

const char* KeyValueStore::NumericValue(const std::string& key)
{
    auto it = entries.find(key);
    if (it == entries.end()) {
        entries.emplace(key, std::string());
        return nullptr;
    }
    return it->second.empty() ? nullptr : it->second.c_str();
}

int KeyValueStore::GetInt(const std::string& key, int def)
{
    const char* value = NumericValue(key);
    return value != nullptr ? atoi(value) : def;
}

uint32_t KeyValueStore::GetHex(const std::string& key, uint32_t def)
{
    const char* value = NumericValue(key);
    return value != nullptr ? uint32_t(strtol(value, nullptr, 16)) : def;
}

bool KeyValueStore::GetBOOL(const std::string& key, bool def)
{
    const char* value = NumericValue(key);
    return value != nullptr ? atoi(value) != 0 : def;
}

double KeyValueStore::GetDouble(const std::string& key, double def)
{
    const char* value = NumericValue(key);
    return value != nullptr ? atof(value) : def;
}

std::string KeyValueStore::GetString(const std::string& key, const char* def) const
{
    auto it = entries.find(key);
    if (it != entries.end()) return it->second;
    return def != nullptr ? def : "";
}

void KeyValueStore::Set(const std::string& key, const std::string& value)
{
    std::string& current = entries[key];
    if (current != value) {
        dirty = true;
        current = value;
    }
}

bool KeyValueStore::Add(const std::string& key, int value)
{
    Set(key, std::to_string(value));
    return true;
}

bool KeyValueStore::Add(const std::string& key, double value)
{
    char text[512];
    snprintf(text, sizeof text, "%f", value);
    Set(key, text);
    return true;
}

bool KeyValueStore::AddHex(const std::string& key, uint32_t value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%08X", value);
    Set(key, text);
    return true;
}

void KeyValueStore::Add(const std::string& key, const char* value)
{
    Set(key, value != nullptr ? value : "");
}

void KeyValueStore::Add(const std::string& key, const std::string& value)
{
    Set(key, value);
}

bool KeyValueStore::Add(const KeyValueStore& other)
{
    for (const auto& entry : other.entries) {
        entries[entry.first] = entry.second;
        dirty = true;
    }
    return true;
}

bool KeyValueStore::Clear()
{
    entries.clear();
    dirty = true;
    return true;
}

void KeyValueStore::ParseLine(const char* line, size_t length)
{
    if (length < 3 || line[0] == '#') return;
    const char* end = line + length;
    const char* equals = line;
    while (equals < end && *equals != '=') ++equals;
    // A line without "=" names a key with an empty value.
    std::string key = Trim(line, equals);
    std::string value = equals < end ? Trim(equals + 1, end) : std::string();
    entries[key] = value;
}

void KeyValueStore::Load(const char* path)
{
    if (path == nullptr) return;
    aFileRef* file = aFile_Open(path, aFileModeReadOnly);
    if (file == nullptr) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", path,
                 errno);
        // One time for both stamps: a new file's CREATED_TIME and UPDATED_TIME agree.
        const std::string now = Now();
        Add(KEY_CREATED_TIME, now);
        SaveStamped(path, now);
        return;
    }
    filename = path;
    dirty = false;

    char line[kLineBuffer];
    size_t length = 0;
    // Each call consumes at least one byte, so the loop ends with the file.
    for (;;) {
        aErr err = aFile_ReadLine(file, line, sizeof line, &length);
        if (err == aErrNone) {
            ParseLine(line, length);
            continue;
        }
        if (err != aErrOverrun) break;
        // Too long for the buffer: drop the whole line, keep what follows, so
        // the next save does not lose the settings after it.
        Log::log(DEBUG_Attributes, "Attibutes: skipping over-long line in '%s'\n", path);
        do {
            err = aFile_ReadLine(file, line, sizeof line, &length);
        } while (err == aErrOverrun);
        if (err != aErrNone) break;
    }
    aFile_Close(&file);
}

aErr KeyValueStore::Save(const char* path, Cause* cause)
{
    return SaveStamped(path, Now(), cause);
}

aErr KeyValueStore::SaveStamped(const char* path, const std::string& now, Cause* cause)
{
    if (path != nullptr) {
        filename = path;
    } else if (filename.empty()) {
        filename = DEFAULT_FILENAME;
        Log::log(DEBUG_Attributes, "Attibutes: no filename given for attributes, using default:[%s]\n",
                 filename.c_str());
    }
    if (dirty) entries[KEY_UPDATED_TIME] = now;

    std::string text;
    for (const auto& entry : entries) text += entry.first + "=" + entry.second + "\n";

    AtomicFile out(filename);
    if (out.Open() != aErrNone) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                 filename.c_str(), out.Errno());
    } else if (out.Write(text.data(), text.size()) != aErrNone || out.Commit() != aErrNone) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot write attributes file: '%s' (%d)\n",
                 filename.c_str(), out.Errno());
    } else {
        dirty = false;
        return aErrNone;
    }
    if (cause != nullptr) *cause = Cause::FromErrno(out.Errno(), filename);
    return aErrWrite;
}
