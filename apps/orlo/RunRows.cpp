#include "RunRows.h"

#include "Version.h"

namespace orlo::cli {

namespace {

// The sentence of a step's outcome: the dialog's message and our own detail.
std::string Sentence(const Outcome& o) {
    if (o.message.empty()) return o.detail.empty() ? std::string(ExitName(o.code)) : o.detail;
    return o.detail.empty() ? o.message : o.message + " (" + o.detail + ")";
}

}  // namespace

std::vector<run::RegionOutcome> RegionOutcomes(const record::Bundle& bundle,
                                               const std::vector<Outcome>& steps) {
    std::vector<run::RegionOutcome> regions;
    for (std::size_t i = 0; i < bundle.images.size(); ++i) {
        run::RegionOutcome r;
        r.region = std::string(Region(bundle.images[i].region).word);
        if (i < steps.size()) {
            r.outcome = steps[i].code == ExitCode::Completed ? "passed" : "failed";
            r.message = Sentence(steps[i]);
        } else {
            r.outcome = "not run";
        }
        regions.push_back(std::move(r));
    }
    return regions;
}

record::RunRow DatabaseRow(const record::Bundle& bundle,
                           const std::vector<run::RegionOutcome>& regions, const Outcome& outcome,
                           const DeviceRun& device) {
    record::RunRow row;
    row.start = device.start;
    row.end = device.end;
    row.slot = device.port;
    row.port = device.path;
    row.usbVendor = device.vendor;
    row.usbProduct = device.product;
    row.usbSerial = device.serial;
    row.manifestName = bundle.manifestName;
    row.manifestSha256 = bundle.manifestSha256;
    row.toolVersion = ToolVersion();
    std::vector<record::RegionResult> results;
    for (const run::RegionOutcome& r : regions)
        if (r.outcome != "not run") results.push_back({r.outcome == "passed", r.message});
    row.regions = record::RegionRuns(bundle, results);
    // Every NAK is answered by sending the frame again, except a NAK to a start frame (the
    // device refuses to begin) and the fifth in a row ("Tx Error").
    row.naks = static_cast<int64_t>(device.refusals.size());
    for (const run::WireRefusal& r : device.refusals)
        if (r.phase != "start") ++row.resends;
    if (outcome.message == "Tx Error" && row.resends > 0) --row.resends;
    row.passed = outcome.code == ExitCode::Completed;
    if (row.passed) {
        row.message = "every region completed";
    } else {
        row.message = Sentence(outcome);
        for (const run::RegionOutcome& r : regions)
            if (r.outcome == "failed") row.message = r.region + ": " + row.message;
    }
    return row;
}

}  // namespace orlo::cli
