#ifndef UPDATER_BIRDFILECHECK_H
#define UPDATER_BIRDFILECHECK_H

#include <string>

#include "UpdaterDisplayInterface.h"

// The -C report: checks one BIRD file and describes it through the display
// (header verdict, information block, block table, serial-number offsets,
// structure consistency).
class BirdFileCheck {
public:
    // True when the header is valid and the file loads with a consistent
    // structure; otherwise the reasons are reported at level Error.
    static bool Run(UpdaterDisplayInterface& display, const std::string& path);
};

#endif
