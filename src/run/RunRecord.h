// The record of one device's run: what a run record (the command line's --report document, a
// station's database) keeps of it. Filled from the run's outcome and its wire watch.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "run/Outcome.h"
#include "run/WireWatch.h"

namespace orlo::run {

// What one region of a bundle came to on a device, in the order the regions were programmed.
struct RegionOutcome {
    std::string region;   // "voice", "map", "user", "application"
    std::string outcome;  // "passed", "failed", or "not run" (after a region that failed)
    std::string message;  // the completion text, or what failed
};

struct DeviceRecord {
    std::string port;  // as given
    std::string path;  // empty when the port could not be named
    std::string com;
    std::optional<std::string> usbSerial;
    Outcome outcome;
    std::string readBackPath;  // as the user named it ("-": standard output)
    std::optional<std::string> readBackSha256;
    std::vector<WireRefusal> refusals;
    uint64_t blocks = 0;
    double blockSeconds = 0;
    std::vector<RegionOutcome> regions;  // a programming run: each region's outcome
};

}  // namespace orlo::run
