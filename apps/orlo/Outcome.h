// How one port's run ended: the run layer's outcome (src/run/Outcome.h).
#pragma once

#include "ExitCodes.h"
#include "run/Outcome.h"

namespace orlo::cli {
using run::Outcome;
}  // namespace orlo::cli
