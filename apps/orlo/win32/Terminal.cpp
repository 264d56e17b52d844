// What standard output is: a console that can take an updating progress line, or a pipe or
// file that gets plain lines.
#include "Commands.h"
#include "win32/WinApi.h"

namespace orlo::cli {

namespace {
constexpr std::size_t kDefaultColumns = 80;  // when the console does not tell its width
}

ReporterOptions MakeReporterOptions(const OutputOptions& output) {
    ReporterOptions options;
    options.json = output.json;
    options.quiet = output.quiet;
    HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    // The progress line is redrawn with terminal escape sequences: only a console that takes
    // them (Windows 10 and later) gets it.
    options.tty = !output.json && out != INVALID_HANDLE_VALUE && out != nullptr &&
                  ::GetConsoleMode(out, &mode) &&
                  ::SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    if (options.tty) {
        CONSOLE_SCREEN_BUFFER_INFO info{};
        if (::GetConsoleScreenBufferInfo(out, &info) && info.srWindow.Right > info.srWindow.Left)
            options.width = static_cast<std::size_t>(info.srWindow.Right - info.srWindow.Left + 1);
        else
            options.width = kDefaultColumns;
    }
    return options;
}

void PrepareProcess() {
    // Every text is UTF-8; the console shows it as such.
    ::SetConsoleOutputCP(CP_UTF8);
}

}  // namespace orlo::cli
