// The commands that talk to a device: each resolves its ports, runs one session per port on
// one event loop and reports the outcome.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <system_error>

#include <unistd.h>

#include "Commands.h"
#include "GangRunner.h"
#include "Interrupt.h"
#include "PlatformPorts.h"
#include "app/OutputFile.h"

namespace orlo::cli {

namespace {

namespace fs = std::filesystem;

// Whole milliseconds; a positive time never rounds down to 0, which means "no limit".
std::chrono::milliseconds Millis(double seconds) {
    if (seconds <= 0) return std::chrono::milliseconds(0);
    return std::chrono::milliseconds(std::max<long long>(1, std::llround(seconds * 1000.0)));
}

std::string Absolute(const std::string& path) {
    std::error_code ec;
    const fs::path p = fs::absolute(path, ec);
    return ec ? path : p.lexically_normal().string();
}

// A file the command reads: it must exist and be a regular, readable file.
bool CheckInput(Reporter& reporter, const std::string& path) {
    std::error_code ec;
    const auto status = fs::status(path, ec);
    std::string problem;
    if (!fs::exists(status))
        problem = "no such file";
    else if (fs::is_directory(status))
        problem = "it is a directory";
    else if (::access(path.c_str(), R_OK) != 0)
        problem = "permission denied";
    if (problem.empty()) return true;
    reporter.Error(-1, "cannot read " + path + ": " + problem);
    return false;
}

// A file the command writes: its folder must exist, and when it exists it must be a regular
// file (or a link to one). Refused before any port is opened: a pipe would hold the command in
// its open and a device node would receive the data.
bool CheckOutput(Reporter& reporter, const std::string& path) {
    std::error_code ec;
    const fs::path p(path);
    std::string problem = OutputRefusal(path);
    if (problem.empty() && !p.parent_path().empty() && !fs::is_directory(p.parent_path(), ec))
        problem = "no such directory " + p.parent_path().string();
    if (problem.empty()) return true;
    reporter.Error(-1, "cannot write " + path + ": " + problem);
    return false;
}

int RunOnPorts(const DeviceArgs& device, CommandSpec command, Reporter& reporter) {
    command.timeout = Millis(device.timeoutSeconds);

    // Name every port first: a device given twice is a mistake on the command line.
    Endpoints named = MakeEndpoints(device.ports);
    if (!named.usageError.empty()) {
        reporter.Error(-1, named.usageError);
        reporter.Finish({}, ToInt(ExitCode::Usage));
        return ToInt(ExitCode::Usage);
    }
    std::vector<std::optional<PortEndpoint>>& endpoints = named.ports;
    const std::vector<EndpointError>& errors = named.errors;

    EventLoop loop;
    // Before any port is opened: every reader thread inherits the blocked signals.
    InterruptWatcher interrupts([&loop] { loop.Post([] {}); });

    struct Entry {
        std::unique_ptr<Session> session;
        Outcome failed;  // when the port could not even be named
    };
    std::vector<Entry> entries;
    for (std::size_t i = 0; i < endpoints.size(); ++i) {
        if (endpoints[i]) {
            entries.push_back(
                {std::make_unique<Session>(loop, std::move(*endpoints[i]), reporter), {}});
            continue;
        }
        const int port = reporter.AddPort(device.ports[i]);
        reporter.Error(port, errors[i].sentence);
        Outcome failed;
        failed.code = errors[i].code;
        failed.detail = errors[i].sentence;
        reporter.Result(port, failed);
        entries.push_back({nullptr, failed});
    }

    std::vector<Session*> sessions;
    for (const Entry& e : entries)
        if (e.session) sessions.push_back(e.session.get());
    GangRunner runner(
        loop, [&interrupts] { return interrupts.Interrupted(); }, [&reporter] { reporter.Refresh(); });
    runner.Run(sessions, command);

    std::vector<Outcome> outcomes;
    for (const Entry& e : entries) outcomes.push_back(e.session ? e.session->Result() : e.failed);
    const ExitCode code = GangRunner::Combine(outcomes);
    reporter.Finish(outcomes, ToInt(code));
    return reporter.Conclude(ToInt(code));
}

}  // namespace

int RunProgram(const OutputOptions& output, const DeviceArgs& device, RegionId region,
               const std::string& image) {
    Reporter reporter(std::cout, std::cerr, MakeReporterOptions(output));
    if (!CheckInput(reporter, image)) {
        reporter.Finish({}, ToInt(ExitCode::FileProblem));
        return ToInt(ExitCode::FileProblem);
    }
    CommandSpec command;
    command.kind = CommandKind::Program;
    command.region = region;
    command.path = Absolute(image);
    return RunOnPorts(device, command, reporter);
}

int RunRead(const OutputOptions& output, const DeviceArgs& device, RegionId region,
            const std::string& outFile) {
    Reporter reporter(std::cout, std::cerr, MakeReporterOptions(output));
    if (!CheckOutput(reporter, outFile)) {
        reporter.Finish({}, ToInt(ExitCode::FileProblem));
        return ToInt(ExitCode::FileProblem);
    }
    CommandSpec command;
    command.kind = CommandKind::Read;
    command.region = region;
    command.path = Absolute(outFile);
    return RunOnPorts(device, command, reporter);
}

int RunCheck(const OutputOptions& output, const DeviceArgs& device) {
    Reporter reporter(std::cout, std::cerr, MakeReporterOptions(output));
    CommandSpec command;
    command.kind = CommandKind::Check;
    return RunOnPorts(device, command, reporter);
}

int RunSweep(const OutputOptions& output, const DeviceArgs& device, int button) {
    Reporter reporter(std::cout, std::cerr, MakeReporterOptions(output));
    CommandSpec command;
    command.kind = CommandKind::Sweep;
    command.button = button;
    return RunOnPorts(device, command, reporter);
}

int RunLog(const OutputOptions& output, const DeviceArgs& device, const std::string& outFile,
           double durationSeconds) {
    Reporter reporter(std::cout, std::cerr, MakeReporterOptions(output));
    if (!outFile.empty() && !CheckOutput(reporter, outFile)) {
        reporter.Finish({}, ToInt(ExitCode::FileProblem));
        return ToInt(ExitCode::FileProblem);
    }
    CommandSpec command;
    command.kind = CommandKind::Log;
    command.path = outFile.empty() ? std::string() : Absolute(outFile);
    command.duration = Millis(durationSeconds);
    return RunOnPorts(device, command, reporter);
}

int RunTestTx(const OutputOptions& output, const DeviceArgs& device) {
    Reporter reporter(std::cout, std::cerr, MakeReporterOptions(output));
    CommandSpec command;
    command.kind = CommandKind::TestTx;
    return RunOnPorts(device, command, reporter);
}

}  // namespace orlo::cli
