// The command line's exit status is the run's outcome code (src/run/ExitCode.h).
#pragma once

#include "run/ExitCode.h"

namespace orlo::cli {
using run::ExitCode;
using run::ExitName;
using run::ToInt;
}  // namespace orlo::cli
