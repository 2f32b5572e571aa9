#ifndef KS_AVERSION_H
#define KS_AVERSION_H

#include <cstddef>
#include <cstdint>

// Packed version word: major in bits 31..28, minor in 27..24, patch in 23..0.
uint8_t aVersion_ParseMajor(uint32_t version);
uint8_t aVersion_ParseMinor(uint32_t version);
uint32_t aVersion_ParsePatch(uint32_t version);

// Writes "major.minor.patch" with snprintf; returns snprintf's result.
int aVersion_ParseString(uint32_t version, char* buffer, size_t size);

// The module library's own version (2.9.29).
uint8_t aVersion_GetMajor(void);
uint8_t aVersion_GetMinor(void);
uint32_t aVersion_GetPatch(void);
// Static text "2.9.29"; never free it.
const char* aVersion_GetString(void);

// True when the library's version is at least the given one.
bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);
// True when a > b in major, or equal major and a > b in minor, or equal major
// and minor and a's patch >= b's patch.
bool aVersion_IsAtLeastCompare(uint8_t aMajor, uint8_t aMinor, uint8_t aPatch, uint8_t bMajor, uint8_t bMinor,
                               uint8_t bPatch);

// True when name is exactly one of the feature names.
bool aVersion_HasFeature(const char* name);
// New text "NAME - Description" per feature; free with
// aVersion_DestroyFeatureList. Null when memory runs out.
char* aVersion_GetFeatureList(void);
void aVersion_DestroyFeatureList(char** list);

#endif
