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
    std::vector<record::RegionResult> regions;
    for (const auto& r : result.regions) regions.push_back({r.passed, r.message});
    row.regions = record::RegionRuns(bundle, regions);
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
