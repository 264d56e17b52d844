#include "station/StationRecord.h"

namespace orlo::station {

record::RunRow RowOf(const FinishedDevice& device, const record::Bundle& bundle,
                     const std::string& toolVersion) {
    record::RunRow row;
    row.start = device.started;
    row.end = device.ended;
    row.slot = device.slot;
    row.port = device.device.node.empty() ? device.device.path : device.device.node;
    row.usbVendor = device.device.vendorId;
    row.usbProduct = device.device.productId;
    row.usbSerial = device.device.serialNumber;
    row.manifestName = bundle.manifestName;
    row.manifestSha256 = bundle.manifestSha256;
    row.toolVersion = toolVersion;
    const RunResult& result = device.result;
    for (std::size_t i = 0; i < bundle.images.size(); ++i) {
        const record::BundleImage& image = bundle.images[i];
        record::RegionRun region;
        region.region = std::string(record::RegionWord(image.region));
        region.file = image.path;
        region.sha256 = image.sha256;
        if (i < result.regions.size()) {
            region.outcome = result.regions[i].passed ? "passed" : "failed";
            region.message = result.regions[i].message;
        } else {
            region.outcome = "not run";
        }
        row.regions.push_back(std::move(region));
    }
    row.naks = result.naks;
    row.resends = result.resends;
    row.passed = result.passed;
    row.message = result.message;
    return row;
}

RunRecorder DatabaseRecorder(record::RunDatabase& database, const record::Bundle& bundle,
                             std::string toolVersion) {
    return [&database, &bundle, toolVersion](const FinishedDevice& device) {
        const std::string problem = database.Insert(RowOf(device, bundle, toolVersion));
        return problem.empty() ? problem : "the record of slot " + device.slot +
                                               " was not written: " + problem;
    };
}

}  // namespace orlo::station
