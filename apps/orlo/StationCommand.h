// `orlo station`: programs every device plugged into a slot, shows the board and keeps the
// record. The slots, their life and the totals are the station library's (src/station); this
// is its terminal front-end: the options, the board, --json and Ctrl+C.
#pragma once

#include <string>
#include <vector>

#include "Commands.h"

namespace orlo::cli {

struct StationArgs {
    std::vector<std::string> images;    // REGION FILE pairs, as given
    std::string manifest;               // --manifest FILE
    std::vector<std::string> matches;   // --match VID:PID[:SERIAL] (Windows: also COM names)
    std::string slotsDir;               // --slots-dir DIR
    std::string db;                     // --db FILE (empty: the default record)
    unsigned count = 0;                 // --count N (0: until Ctrl+C)
    double timeoutSeconds = 10;         // --timeout: per device, as for `orlo program`
    double settleSeconds = 0.5;         // --settle: a device must stay this long
    bool verify = false;                // --verify: compare each device with the images
};

int RunStation(const OutputOptions& output, const StationArgs& args);

}  // namespace orlo::cli
