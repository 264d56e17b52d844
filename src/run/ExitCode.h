// How a run ended, one number per kind of outcome (the command line's exit status), so a script or a
// station can tell a device failure from a port problem, a timeout or a bad file.
#pragma once

#include <string_view>

namespace orlo::run {

enum class ExitCode : int {
    Completed = 0,      // the run completed
    DeviceFailure = 1,  // the device refused or failed: "Tx Error", "Check Flash Memory ..."
    Usage = 2,          // bad command line; the usage is printed
    PortFailure = 3,    // the port cannot be found or opened
    Timeout = 4,        // the device stopped answering for --timeout seconds
    FileProblem = 5,    // missing or unreadable input, image too big, output not writable
    Interrupted = 130,  // Ctrl+C (SIGINT), SIGTERM or SIGHUP
};

constexpr int ToInt(ExitCode code) {
    return static_cast<int>(code);
}

// One word per code, used in the results table and in --json output.
constexpr std::string_view ExitName(ExitCode code) {
    switch (code) {
        case ExitCode::Completed:
            return "completed";
        case ExitCode::DeviceFailure:
            return "device-failure";
        case ExitCode::Usage:
            return "usage";
        case ExitCode::PortFailure:
            return "port-failure";
        case ExitCode::Timeout:
            return "timeout";
        case ExitCode::FileProblem:
            return "file-problem";
        case ExitCode::Interrupted:
            return "interrupted";
    }
    return "unknown";
}

}  // namespace orlo::run
