#include "aVersion.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

constexpr uint8_t kMajor = 2;
constexpr uint8_t kMinor = 9;
constexpr uint32_t kPatch = 29;
constexpr const char* kPhase = ".";

struct Feature {
    const char* name;
    const char* description;
};

const Feature kFeatures[] = {
    {"VERSION", "Version Query API"},
};

}  // namespace

uint8_t aVersion_ParseMajor(uint32_t version)
{
    return static_cast<uint8_t>((version >> 28) & 0xF);
}
uint8_t aVersion_ParseMinor(uint32_t version)
{
    return static_cast<uint8_t>((version >> 24) & 0xF);
}
uint32_t aVersion_ParsePatch(uint32_t version)
{
    return version & 0x00FFFFFFu;
}

int aVersion_ParseString(uint32_t version, char* buffer, size_t size)
{
    return snprintf(buffer, size, "%d.%d.%d", aVersion_ParseMajor(version), aVersion_ParseMinor(version),
                    static_cast<int>(aVersion_ParsePatch(version)));
}

uint8_t aVersion_GetMajor(void)
{
    return kMajor;
}
uint8_t aVersion_GetMinor(void)
{
    return kMinor;
}
uint32_t aVersion_GetPatch(void)
{
    return kPatch;
}

const char* aVersion_GetString(void)
{
    static char text[15];
    static std::once_flag once;
    std::call_once(once, [] {
        snprintf(text, sizeof text, "%d.%d%s%d", kMajor, kMinor, kPhase, static_cast<int>(kPatch));
    });
    return text;
}

bool aVersion_IsAtLeastCompare(uint8_t aMajor, uint8_t aMinor, uint8_t aPatch, uint8_t bMajor, uint8_t bMinor,
                               uint8_t bPatch)
{
    if (aMajor != bMajor) return aMajor > bMajor;
    if (aMinor != bMinor) return aMinor > bMinor;
    return aPatch >= bPatch;
}

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch)
{
    return aVersion_IsAtLeastCompare(kMajor, kMinor, static_cast<uint8_t>(kPatch), major, minor, patch);
}

bool aVersion_HasFeature(const char* name)
{
    if (name == nullptr) return false;
    for (const Feature& f : kFeatures)
        if (strcmp(f.name, name) == 0) return true;
    return false;
}

char* aVersion_GetFeatureList(void)
{
    size_t total = 1;
    for (const Feature& f : kFeatures) total += strlen(f.name) + 3 + strlen(f.description) + 1;
    char* list = static_cast<char*>(calloc(total, 1));
    if (list == nullptr) return nullptr;
    size_t used = 0;
    for (size_t i = 0; i < sizeof kFeatures / sizeof kFeatures[0]; ++i) {
        used += static_cast<size_t>(snprintf(list + used, total - used, "%s%s - %s", i ? "\n" : "",
                                             kFeatures[i].name, kFeatures[i].description));
    }
    return list;
}

void aVersion_DestroyFeatureList(char** list)
{
    if (list == nullptr) return;
    free(*list);
    *list = nullptr;
}
