// A programming run of a bundle as it goes on record: what each region came to, and the run
// database's row of one device.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "Outcome.h"
#include "record/Bundle.h"
#include "record/RunDatabase.h"
#include "run/RunRecord.h"

namespace orlo::cli {

// Each region of `bundle` with the outcome of its step: `steps` holds the steps carried out, in
// order (the last one may have failed); the regions after it were not run.
std::vector<run::RegionOutcome> RegionOutcomes(const record::Bundle& bundle,
                                               const std::vector<Outcome>& steps);

// What the command line knows of one device's run besides its outcome.
struct DeviceRun {
    std::string port;  // as given: the slot of `orlo program`
    std::string path;
    std::string vendor, product, serial;
    std::chrono::system_clock::time_point start, end;
    std::vector<run::WireRefusal> refusals;
};

record::RunRow DatabaseRow(const record::Bundle& bundle,
                           const std::vector<run::RegionOutcome>& regions, const Outcome& outcome,
                           const DeviceRun& device);

}  // namespace orlo::cli
