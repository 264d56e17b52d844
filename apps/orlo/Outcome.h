// How one port's run ended.
#pragma once

#include <cstdint>
#include <string>

#include "ExitCodes.h"

namespace orlo::cli {

struct Outcome {
    ExitCode code = ExitCode::Completed;
    std::string message;  // the dialog's message that decided it, verbatim (may be empty)
    std::string detail;   // our own sentence: the open error, the timeout, ...
    // Read-back: what the output file holds.
    std::string file;
    bool partial = false;
    uint64_t fileBytes = 0;
    uint64_t expectedBytes = 0;
};

}  // namespace orlo::cli
