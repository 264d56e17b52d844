// How one port's run ended.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "run/ExitCode.h"

namespace orlo::run {

// A comparison of a region with an image (a verify step), as the device read it back.
struct VerifyResult {
    std::string region;       // "voice"
    std::string image;        // the image file, as given
    uint32_t imageBytes = 0;  // bytes compared (the last block padded with 0xFF)
    uint32_t blocks = 0;
    uint32_t differingBlocks = 0;
    uint32_t firstDifference = 0;        // flash address; meaningful when differingBlocks > 0
    uint32_t firstDifferenceOffset = 0;  // its offset in the region
};

struct Outcome {
    ExitCode code = ExitCode::Completed;
    std::string message;  // the dialog's message that decided it, verbatim (may be empty)
    std::string detail;   // our own sentence: the open error, the timeout, ...
    // Where a device failure happened: the phase of the frame last sent ("start", "write",
    // "verify", "read", "check", "sweep", "finish"), its flash address, how often it was sent.
    std::string phase;
    std::optional<uint32_t> address;
    unsigned sends = 0;
    // A file too big for its region: its size and the region's limit, in bytes.
    std::optional<uint64_t> fileSize;
    std::optional<uint64_t> limit;
    // Read-back: what the output file holds.
    std::string file;
    bool partial = false;
    uint64_t fileBytes = 0;
    uint64_t expectedBytes = 0;
    // Verify: what the comparison found (set once the device's blocks have all been compared).
    std::optional<VerifyResult> verify;
};

}  // namespace orlo::run
