// The wire watch of a port: the run layer's (src/run/WireWatch.h).
#pragma once

#include "run/WireWatch.h"

namespace orlo::cli {
using run::DescribeFrame;
using run::FormatWireUnit;
using run::FrameAddress;
using run::WatchedBackend;
using run::WireDirection;
using run::WirePhase;
using run::WireRefusal;
using run::WireUnit;
using run::WireWatch;
}  // namespace orlo::cli
