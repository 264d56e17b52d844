// What a message box of the dialog means to a run: the texts are the dialog's own, shown
// verbatim; this table only decides whether a text ends the run, and how.
#pragma once

#include <string>
#include <string_view>

#include "run/ExitCode.h"
#include "images/FlashRegion.h"

namespace orlo::run {

enum class BoxKind {
    Completion,  // the run the command started has completed
    Failure,     // the run has ended without completing
    Warning,     // shown, the run goes on ("Incorrect Mono")
    Info,        // shown, means nothing to the run
};

struct BoxVerdict {
    BoxKind kind = BoxKind::Info;
    ExitCode code = ExitCode::Completed;  // for failures
};

// The message that completes programming of a region (application: after the countdown).
std::string_view ProgramCompletedText(RegionId region);
// The message that completes reading a region back.
std::string_view ReadCompletedText(RegionId region);

// What the dialog's message `text` means for a command. `expectedCompletion` is the text that
// completes the command's run (empty for commands that end otherwise); `duringStart` is true
// when the box came up inside the click that starts the run (loading the image, creating the
// output file), where an unknown text can only be a problem with the file.
BoxVerdict ClassifyBox(std::string_view text, std::string_view expectedCompletion,
                       bool duringStart);

}  // namespace orlo::run
