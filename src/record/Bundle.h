// A bundle: the images of one run, each for its own region, programmed one after another on one
// connection. The order is the flash's (voice, map, user, application), whatever order they
// were named in: the application goes last because its finish frame restarts the device.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "images/FlashRegion.h"

namespace orlo::record {


struct BundleImage {
    RegionId region = RegionId::Application;
    std::string path;    // the file the run reads (UTF-8)
    std::string sha256;  // 64 lowercase hex digits of its bytes; empty until hashed
};

struct Bundle {
    std::vector<BundleImage> images;  // in programming order
    // Set when the bundle comes from a manifest: its "name", its path, and the SHA-256 of the
    // document's bytes.
    std::string manifestName;
    std::string manifestPath;
    std::string manifestSha256;
};

// Puts `images` into programming order. Empty on success; a sentence when a region is named
// twice (nothing is reordered then).
std::string OrderBundle(std::vector<BundleImage>& images);

// The bundle of "REGION FILE [REGION FILE ...]" as given on the command line, in programming
// order; nullopt with a usage sentence in `error` for an odd count, an unknown region or a
// region twice. The files are not looked at.
std::optional<Bundle> BundleFromPairs(const std::vector<std::string>& words, std::string* error);

// Hashes every image that has no SHA-256 yet. Empty on success, else a sentence that names the
// file that cannot be read.
std::string HashImages(Bundle& bundle);

}  // namespace orlo::record
