// The station's run of one device: every image of the bundle, one after another on one
// connection, through the run layer (src/run) with the station's timeout. The dialog runs on a
// window of its own that shows nothing: what a slot shows comes from the run's progress and
// outcome. Every front-end that hosts a station (the command line, the window's station view)
// makes its runs here.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "record/Bundle.h"
#include "station/Station.h"
#include "window/EventLoop.h"

namespace orlo::station {

// The bundle's images with their sizes, in programming order.
struct StationImages {
    record::Bundle bundle;
    std::vector<uint64_t> sizes;
};

// The images of a station: REGION FILE pairs, or a manifest's (its files checked against their
// SHA-256). Each must be a file the region can hold; the paths become absolute and every image
// is hashed. False with a sentence.
bool LoadStationImages(const std::vector<std::string>& pairs, const std::string& manifest,
                       StationImages* images, std::string* error);

struct BundleRunOptions {
    std::chrono::milliseconds timeout{10000};  // no answer for this long fails the run (0: never)
    // Compare each device with the images instead of programming it (a quality-control
    // line): `images` holds each image's bytes, in the bundle's order, read once for all.
    bool verify = false;
    std::vector<std::shared_ptr<const std::vector<uint8_t>>> images;
};

// Runs of `bundle` (whose images are files of `sizes` bytes, in the bundle's order) on `loop`,
// the station's own. The bundle, sizes and loop must outlive every run.
RunFactory BundleRuns(EventLoop& loop, const record::Bundle& bundle,
                      const std::vector<uint64_t>& sizes, BundleRunOptions options = {});

}  // namespace orlo::station
