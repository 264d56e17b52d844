// What standard output is: a console that can take an updating progress line, or a pipe or
// file that gets plain lines.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"
#include "HelpFormat.h"
#include "win32/WinApi.h"

#include <shellapi.h>

namespace orlo::cli {

namespace {
constexpr std::size_t kDefaultColumns = 80;  // when the console does not tell its width
}

ReporterOptions MakeReporterOptions(const OutputOptions& output) {
    ReporterOptions options;
    options.json = output.json;
    options.quiet = output.quiet;
    options.progress = output.progress != ProgressMode::None;
    HANDLE out = ::GetStdHandle(output.toStderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    // The progress line is redrawn with terminal escape sequences: only a console that takes
    // them (Windows 10 and later) gets it.
    const bool console = out != INVALID_HANDLE_VALUE && out != nullptr &&
                         ::GetConsoleMode(out, &mode) &&
                         ::SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    switch (output.progress) {
        case ProgressMode::Auto:
            options.tty = !output.json && !output.verbose && console;
            break;
        case ProgressMode::Live:
            options.tty = !output.json;
            break;
        default:
            options.tty = false;
            break;
    }
    auto columnsOf = [out]() -> std::size_t {
        CONSOLE_SCREEN_BUFFER_INFO info{};
        if (::GetConsoleScreenBufferInfo(out, &info) && info.srWindow.Right > info.srWindow.Left)
            return static_cast<std::size_t>(info.srWindow.Right - info.srWindow.Left + 1);
        return 0;
    };
    if (options.tty) {
        const std::size_t columns = columnsOf();
        options.width = columns > 0 ? columns : kDefaultColumns;
        options.columns = columnsOf;
    }
    if (!output.json) {
        options.outColumns = help::TerminalColumns(output.toStderr ? 2 : 1);
        options.errColumns = help::TerminalColumns(2);
    }
    return options;
}

void BinaryStdout() {
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
}

bool StdoutIsTerminal() {
    return _isatty(_fileno(stdout)) != 0;
}

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
    // The narrow argv holds the arguments in the process's code page; the wide command line
    // holds them as typed.
    int count = 0;
    LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> args;
    for (int i = 0; i < count; ++i) {
        const int bytes =
            ::WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        std::string arg(bytes > 0 ? static_cast<std::size_t>(bytes) : 1, '\0');
        if (bytes > 0)
            ::WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, arg.data(), bytes, nullptr, nullptr);
        arg.resize(arg.size() - 1);  // the terminating null
        args.push_back(arg);
    }
    ::LocalFree(wide);
    return args;
}

void PrepareProcess() {
    // Every text is UTF-8; the console shows it as such.
    ::SetConsoleOutputCP(CP_UTF8);
}

}  // namespace orlo::cli
