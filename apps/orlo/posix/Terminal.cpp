// What standard output is: a terminal that can take an updating progress line, or a pipe or
// file that gets plain lines.
#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Commands.h"
#include "HelpFormat.h"

namespace orlo::cli {

namespace {

constexpr std::size_t kDefaultColumns = 80;  // when the output does not tell its width

std::size_t ColumnsOf(int fd) {
    winsize size{};
    if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 0;
}

}  // namespace

ReporterOptions MakeReporterOptions(const OutputOptions& output) {
    ReporterOptions options;
    options.json = output.json;
    options.quiet = output.quiet;
    options.progress = output.progress != ProgressMode::None;
    const int fd = output.toStderr ? STDERR_FILENO : STDOUT_FILENO;
    const char* term = std::getenv("TERM");
    const bool dumb = term == nullptr || std::strcmp(term, "dumb") == 0;
    switch (output.progress) {
        case ProgressMode::Auto:
            // The wire trace shares the terminal: plain lines keep both readable.
            options.tty = !output.json && !dumb && !output.verbose && ::isatty(fd) == 1;
            break;
        case ProgressMode::Live:
            options.tty = !output.json;
            break;
        case ProgressMode::Plain:
        case ProgressMode::None:
            options.tty = false;
            break;
    }
    if (options.tty) {
        const std::size_t columns = ColumnsOf(fd);
        options.width = columns > 0 ? columns : kDefaultColumns;
        options.columns = [fd] { return ColumnsOf(fd); };
    }
    if (!output.json) {
        options.outColumns = help::TerminalColumns(fd);
        options.errColumns = help::TerminalColumns(2);
    }
    return options;
}

void BinaryStdout() {}

bool StdoutIsTerminal() {
    return ::isatty(STDOUT_FILENO) == 1;
}

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

void PrepareProcess() {
    // A reader that goes away (orlo ... | head) must not kill a run in the middle.
    std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace orlo::cli
