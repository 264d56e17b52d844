// orlo verify and orlo dump: a device compared with image files, and a device's regions read
// into files with a manifest, so the dump can be programmed back and verified.
#pragma once

#include <nlohmann/json.hpp>

#include "run/Outcome.h"

namespace orlo::cli {

// The comparison as --json and --report carry it: region, image, blocks, differing blocks,
// the first difference (address and region offset, null when every block is equal).
nlohmann::json VerifyJson(const run::VerifyResult& verify);

}  // namespace orlo::cli
