// How the window's station programs a device: one run of the bundle's images on the slot's
// port, on a window that shows nothing.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "record/Bundle.h"
#include "station/Station.h"

namespace orlo {
class EventLoop;
}

namespace orlo::gui {

// False, with the region's too-big text and the sizes, when an image cannot go into its
// region or is empty.
bool CheckBundleSizes(const record::Bundle& bundle, std::string* error);

// Runs for the station built on `loop` (its thread's loop).
station::RunFactory MakeStationRuns(EventLoop& loop, const record::Bundle& bundle,
                                    std::chrono::milliseconds timeout);

}  // namespace orlo::gui
