// What standard output is: a terminal that can take an updating progress line, or a pipe or
// file that gets plain lines.
#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>

#include <cstdlib>
#include <cstring>

#include "Commands.h"

namespace orlo::cli {

ReporterOptions MakeReporterOptions(const OutputOptions& output) {
    ReporterOptions options;
    options.json = output.json;
    options.quiet = output.quiet;
    const char* term = std::getenv("TERM");
    const bool dumb = term == nullptr || std::strcmp(term, "dumb") == 0;
    options.tty = !output.json && !dumb && ::isatty(STDOUT_FILENO) == 1;
    if (options.tty) {
        winsize size{};
        if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
            options.width = size.ws_col;
        else
            options.width = 80;
    }
    return options;
}

void PrepareProcess() {
    // A reader that goes away (orlo ... | head) must not kill a run in the middle.
    std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace orlo::cli
