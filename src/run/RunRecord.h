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
};

}  // namespace orlo::run
