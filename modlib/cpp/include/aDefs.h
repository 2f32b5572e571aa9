#ifndef KS_ADEFS_H
#define KS_ADEFS_H

#include <cstdint>

// Name of a module model number ("Ironwood" for 19); "Unknown" for numbers
// without a name. The text is static.
const char* aDefs_GetModelName(uint32_t model);

#endif
