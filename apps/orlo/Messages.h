// What a message box of the dialog means to the command line: the run layer's table
// (src/run/Boxes.h).
#pragma once

#include "ExitCodes.h"
#include "run/Boxes.h"

namespace orlo::cli {
using run::BoxKind;
using run::BoxVerdict;
using run::ClassifyBox;
using run::ProgramCompletedText;
using run::ReadCompletedText;
}  // namespace orlo::cli
