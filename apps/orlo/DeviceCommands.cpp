// The commands that talk to a device: each resolves its ports, runs one session per port on
// one event loop and reports the outcome.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "Commands.h"
#include "GangRunner.h"
#include "Interrupt.h"
#include "PlatformPorts.h"
#include "app/OutputFile.h"
#include "RunReport.h"
#include "RunRows.h"
#include "record/Manifest.h"
#include "record/RunDatabase.h"
#include "record/Sha256.h"
#include "run/Guards.h"
#include "run/WireWatch.h"

namespace orlo::cli {

using run::FormatWireUnit;
using run::WatchedBackend;
using run::WireUnit;
using run::WireWatch;

namespace {

namespace fs = std::filesystem;

// Whole milliseconds; a positive time never rounds down to 0, which means "no limit".
std::chrono::milliseconds Millis(double seconds) {
    if (seconds <= 0) return std::chrono::milliseconds(0);
    return std::chrono::milliseconds(std::max<long long>(1, std::llround(seconds * 1000.0)));
}

// Names from the command line are UTF-8 (on Windows too, see CommandLineArguments): every path
// made from one says so, and every path turned back into text is UTF-8 again.
std::string Utf8Text(const fs::path& p) {
    const std::u8string text = p.u8string();
    return std::string(text.begin(), text.end());
}

std::string Absolute(const std::string& path) {
    std::error_code ec;
    const fs::path p = fs::absolute(Utf8Path(path), ec);
    return ec ? path : Utf8Text(p.lexically_normal());
}

// Whether the process may read `path` (never opened: a pipe would hold the open).
bool Readable(const std::string& path) {
#ifdef _WIN32
    return ::_waccess(Utf8Path(path).wstring().c_str(), 4) == 0;
#else
    return ::access(path.c_str(), R_OK) == 0;
#endif
}

// A file the command reads: it must exist and be a regular, readable file.
bool CheckInput(Reporter& reporter, const std::string& path) {
    std::error_code ec;
    const auto status = fs::status(Utf8Path(path), ec);
    std::string problem;
    if (!fs::exists(status))
        problem = "no such file";
    else if (fs::is_directory(status))
        problem = "it is a directory";
    else if (!Readable(path))
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
    const fs::path p = Utf8Path(path);
    std::string problem = OutputRefusal(path);
    if (problem.empty() && !p.parent_path().empty() && !fs::is_directory(p.parent_path(), ec))
        problem = "no such directory " + Utf8Text(p.parent_path());
    if (problem.empty()) return true;
    reporter.Error(-1, "cannot write " + path + ": " + problem);
    return false;
}

// The wire trace of -v: one line per frame on standard error, from the UI thread and the
// readers alike.
class TracePrinter {
  public:
    void Print(const std::string& label, const WireUnit& unit) {
        const std::string line = (label.empty() ? "" : label + ": ") + FormatWireUnit(unit) + "\n";
        std::lock_guard<std::mutex> lock(m_mutex);
        std::fputs(line.c_str(), stderr);
        std::fflush(stderr);
    }

  private:
    std::mutex m_mutex;
};

// Notes when a run has ended, for its record.
struct RunEndClock : run::RunObserver {
    void OnOutcome(const Outcome&) override { ended = std::chrono::system_clock::now(); }
    std::optional<std::chrono::system_clock::time_point> ended;
};

}  // namespace

// The end of every run: the record (when asked for) and the reporter's last words. A record
// that cannot be written fails a run that otherwise completed.
int Conclude(Reporter& reporter, const RunReport* report, const std::vector<Outcome>& outcomes,
             int code) {
    if (report != nullptr) {
        const std::string problem = report->Write(code);
        if (!problem.empty()) {
            reporter.Error(-1, problem);
            if (code == ToInt(ExitCode::Completed)) code = ToInt(ExitCode::FileProblem);
        }
    }
    reporter.Finish(outcomes, code);
    return reporter.Conclude(code);
}

// What a bundle's run puts on record beside the --report document: its images and, given
// --db, the database that gets one row per device.
struct BundleRecord {
    const record::Bundle* bundle = nullptr;
    record::RunDatabase* db = nullptr;
};

PortsRun RunOnPorts(const OutputOptions& output, const DeviceArgs& device,
                    std::vector<CommandSpec> commands, Reporter& reporter, RunReport* report,
                    const BundleRecord& bundle = {}) {
    for (CommandSpec& c : commands) c.timeout = Millis(device.timeoutSeconds);
    const CommandSpec& command = commands.front();

    // Name every port first: a device given twice is a mistake on the command line.
    Endpoints named = MakeEndpoints(device.ports);
    if (!named.usageError.empty()) {
        reporter.Error(-1, named.usageError);
        return {ToInt(ExitCode::Usage), {}};
    }
    std::vector<std::optional<PortEndpoint>>& endpoints = named.ports;
    const std::vector<EndpointError>& errors = named.errors;

    EventLoop loop;
    // Before any port is opened: every reader thread inherits the blocked signals.
    InterruptWatcher interrupts([&loop] { loop.Post([] {}); });

    TracePrinter tracer;
    const bool gang = device.ports.size() > 1;
    struct Entry {
        std::unique_ptr<Session> session;
        Outcome failed;  // when the port could not even be named
        std::shared_ptr<WireWatch> watch;
        std::string path, com, serial, vendor, product;
        std::unique_ptr<RunEndClock> end;
    };
    const auto started = std::chrono::system_clock::now();
    std::vector<Entry> entries;
    for (std::size_t i = 0; i < endpoints.size(); ++i) {
        if (endpoints[i]) {
            Entry entry;
            const std::string label = gang ? endpoints[i]->label : std::string();
            std::function<void(const WireUnit&)> trace;
            if (output.verbose)
                trace = [&tracer, label](const WireUnit& u) { tracer.Print(label, u); };
            entry.watch = std::make_shared<WireWatch>(std::move(trace));
            endpoints[i]->backend =
                std::make_unique<WatchedBackend>(std::move(endpoints[i]->backend), entry.watch);
            entry.path = endpoints[i]->path;
            entry.com = endpoints[i]->comName;
            entry.serial = endpoints[i]->serialNumber;
            entry.vendor = endpoints[i]->vendorId;
            entry.product = endpoints[i]->productId;
            entry.session = std::make_unique<Session>(loop, std::move(*endpoints[i]), reporter);
            entry.end = std::make_unique<RunEndClock>();
            entry.session->Run().AddObserver(entry.end.get());
            entries.push_back(std::move(entry));
            continue;
        }
        const int port = reporter.AddPort(device.ports[i]);
        reporter.Error(port, errors[i].sentence);
        Outcome failed;
        failed.code = errors[i].code;
        failed.detail = errors[i].sentence;
        reporter.Result(port, failed);
        entries.push_back({nullptr, failed, nullptr, {}, {}, {}, {}, {}, nullptr});
    }

    std::vector<Session*> sessions;
    for (const Entry& e : entries)
        if (e.session) sessions.push_back(e.session.get());
    GangRunner runner(
        loop, [&interrupts] { return interrupts.Interrupted(); }, [&reporter] { reporter.Refresh(); });
    runner.Run(sessions, commands);

    PortsRun run;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const Entry& e = entries[i];
        const Outcome& outcome = e.session ? e.session->Result() : e.failed;
        run.outcomes.push_back(outcome);
        std::vector<run::RegionOutcome> regions;
        if (bundle.bundle != nullptr)
            regions = RegionOutcomes(*bundle.bundle,
                                     e.session ? e.session->Run().StepResults()
                                               : std::vector<Outcome>{outcome});
        if (bundle.db != nullptr) {
            DeviceRun facts;
            facts.port = device.ports[i];
            facts.path = e.path.empty() ? device.ports[i] : e.path;
            facts.vendor = e.vendor;
            facts.product = e.product;
            facts.serial = e.serial;
            facts.start = started;
            facts.end = e.end && e.end->ended ? *e.end->ended : std::chrono::system_clock::now();
            if (e.watch) facts.refusals = e.watch->Refusals();
            const std::string problem =
                bundle.db->Insert(DatabaseRow(*bundle.bundle, regions, outcome, facts));
            if (!problem.empty()) run.recordProblems.push_back(problem);
        }
        if (report == nullptr) continue;
        DeviceRecord record;
        record.port = device.ports[i];
        record.path = e.path;
        record.com = e.com;
        if (!e.serial.empty()) record.usbSerial = e.serial;
        record.outcome = outcome;
        if (e.watch) {
            record.refusals = e.watch->Refusals();
            record.blocks = e.watch->Blocks();
            record.blockSeconds = e.watch->BlockSeconds();
        }
        if (!outcome.file.empty()) {
            record.readBackPath = command.shownPath.empty() ? outcome.file : command.shownPath;
            record.readBackSha256 = orlo::record::FileSha256(command.path);
        }
        record.regions = std::move(regions);
        report->AddDevice(std::move(record));
    }
    run.code = ToInt(GangRunner::Combine(run.outcomes));
    return run;
}

PortsRun RunCommandOnPorts(const OutputOptions& output, const DeviceArgs& device,
                           const CommandSpec& command, Reporter& reporter, RunReport* report) {
    return RunOnPorts(output, device, {command}, reporter, report);
}

namespace {

std::optional<RunReport> MakeReport(const OutputOptions& output, const std::string& command) {
    if (output.report.empty()) return std::nullopt;
    return RunReport(output.report, output.commandLine, command);
}

// The commands without files of their own: the record, when asked for, and the run.
int RunSimple(const OutputOptions& output, const DeviceArgs& device, const CommandSpec& command,
              Reporter& reporter, const std::string& name) {
    std::optional<RunReport> report = MakeReport(output, name);
    if (report) {
        const std::string problem = report->Probe();
        if (!problem.empty()) {
            reporter.Error(-1, problem);
            reporter.Finish({}, ToInt(ExitCode::FileProblem));
            return ToInt(ExitCode::FileProblem);
        }
    }
    RunReport* record = report ? &*report : nullptr;
    const PortsRun run = RunOnPorts(output, device, {command}, reporter, record);
    return Conclude(reporter, record, run.outcomes, run.code);
}

// A new folder of our own in the system's temporary folder (only we may enter it) for a
// read-back that goes to standard output; the dialog writes its file inside. Empty when none
// can be made.
fs::path PrivateTempFolder() {
    std::random_device random;
    std::error_code ec;
    const fs::path base = fs::temp_directory_path(ec);
    if (ec) return {};
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[48];
        std::snprintf(name, sizeof name, "orlo-read-%08x", static_cast<unsigned>(random()));
        const fs::path folder = base / name;
        if (!fs::create_directory(folder, ec)) continue;  // taken (or not creatable): another
        fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace, ec);
        if (!ec) return folder;
        fs::remove(folder, ec);
    }
    return {};
}

// The bytes of `path` on standard output; empty on success, else the sentence why not.
std::string CopyToStdout(const std::string& path) {
    std::ifstream in(Utf8Path(path), std::ios::binary);
    if (!in) return {};  // nothing was read: nothing to pass on
    BinaryStdout();
    std::vector<char> buffer(64 * 1024);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const auto got = static_cast<std::size_t>(in.gcount());
        if (got > 0 && std::fwrite(buffer.data(), 1, got, stdout) != got)
            return std::string("cannot write to standard output: ") + std::strerror(errno);
    }
    if (std::fflush(stdout) != 0)
        return std::string("cannot write to standard output: ") + std::strerror(errno);
    return {};
}

// Names the region in the run's record and makes sure the record can be written; false (the
// problem said) when it cannot.
bool ProbeReport(RunReport* record, Reporter& reporter, RegionId region) {
    if (record == nullptr) return true;
    record->SetRegion(std::string(Region(region).word));
    const std::string problem = record->Probe();
    if (problem.empty()) return true;
    reporter.Error(-1, problem);
    reporter.Finish({}, ToInt(ExitCode::FileProblem));
    return false;
}

}  // namespace

int RunProgram(const OutputOptions& output, const DeviceArgs& device, const ProgramArgs& what) {
    Reporter reporter(std::cout, std::cerr, MakeReporterOptions(output));
    std::optional<RunReport> report = MakeReport(output, "program");
    RunReport* record = report ? &*report : nullptr;
    auto refuse = [&](ExitCode code) { return Conclude(reporter, record, {}, ToInt(code)); };
    auto refusal = [&](ExitCode code, const std::string& sentence) {
        reporter.Error(-1, sentence);
        if (report) report->SetRefusal(sentence);
        return refuse(code);
    };

    // The images: REGION FILE pairs, or a manifest whose every file is the pinned one.
    std::optional<record::Bundle> bundle;
    std::string error;
    if (!what.manifest.empty() && !what.pairs.empty())
        return refusal(ExitCode::Usage, "give REGION FILE pairs or --manifest, not both");
    if (!what.manifest.empty()) {
        record::ManifestLoad load = record::LoadManifest(what.manifest);
        if (!load.bundle) return refusal(ExitCode::FileProblem, load.error);
        bundle = std::move(load.bundle);
    } else {
        bundle = record::BundleFromPairs(what.pairs, &error);
        if (!bundle)
            return refusal(ExitCode::Usage,
                           what.pairs.empty() ? "name a REGION and its FILE, or a --manifest"
                                              : error);
    }
    std::string regionWords;
    for (const record::BundleImage& i : bundle->images)
        regionWords += (regionWords.empty() ? "" : "+") + std::string(Region(i.region).word);
    if (report) {
        report->SetRegion(regionWords);
        if (const std::string problem = report->Probe(); !problem.empty()) {
            reporter.Error(-1, problem);
            reporter.Finish({}, ToInt(ExitCode::FileProblem));
            return ToInt(ExitCode::FileProblem);
        }
    }

    // What can be refused without the device is refused before its port opens.
    for (record::BundleImage& image : bundle->images) {
        const RegionId region = image.region;
        if (!CheckInput(reporter, image.path)) return refuse(ExitCode::FileProblem);
        // The guard the windows ask about.
        if (const auto doubt = run::DoubtAboutImage(Region(region), image.path);
            doubt && !what.force)
            return refusal(ExitCode::Usage, doubt->sentence + "; give --force to program it into " +
                                                std::string(Region(region).word) + " anyway");
        std::error_code ec;
        const uint64_t size = fs::file_size(Utf8Path(image.path), ec);
        // Only a regular file is read here: a pipe would hold the command before the dialog
        // refuses it.
        std::error_code kind;
        if (image.sha256.empty() && fs::is_regular_file(image.path, kind))
            image.sha256 = record::FileSha256(image.path).value_or("");
        image.path = Absolute(image.path);
        if (report) report->AddImage(std::string(Region(region).word), image.path, ec ? 0 : size, image.sha256);
        const FlashRegion& flash = Region(region);
        if (!ec && size > flash.maxSize) {
            Outcome tooBig;
            tooBig.code = ExitCode::FileProblem;
            tooBig.message = flash.tooBig;
            tooBig.detail = TooBigContext(size, flash.maxSize);
            tooBig.fileSize = size;
            tooBig.limit = flash.maxSize;
            reporter.Box(-1, tooBig.message, BoxKind::Failure, tooBig.detail);
            reporter.Result(-1, tooBig);
            if (report) report->SetRefusal(tooBig.message + " (" + tooBig.detail + ")");
            return Conclude(reporter, record, {tooBig}, ToInt(ExitCode::FileProblem));
        }
    }
    // The database takes its rows at the end: it is tried now, before any port opens.
    std::unique_ptr<record::RunDatabase> db;
    if (!what.db.empty()) {
        db = record::RunDatabase::Open(what.db, record::RunDatabase::Access::ReadWrite, &error);
        if (!db) return refusal(ExitCode::FileProblem, error);
    }

    // For the line that ends each device's run: one image is named by its SHA-256.
    uint64_t imageBytes = 0;
    for (const record::BundleImage& image : bundle->images) {
        std::error_code ec;
        imageBytes += fs::file_size(image.path, ec);
    }
    reporter.SetImage(regionWords, imageBytes,
                      bundle->images.size() == 1 ? bundle->images.front().sha256 : std::string());
    std::vector<CommandSpec> steps;
    for (const record::BundleImage& image : bundle->images) {
        CommandSpec step;
        step.kind = CommandKind::Program;
        step.region = image.region;
        step.path = image.path;
        steps.push_back(step);
    }
    PortsRun run = RunOnPorts(output, device, steps, reporter, record, {&*bundle, db.get()});
    // A run that is not on record has not completed as the line asked.
    for (const std::string& problem : run.recordProblems) {
        reporter.Error(-1, problem);
        if (run.code == ToInt(ExitCode::Completed)) run.code = ToInt(ExitCode::FileProblem);
    }
    return Conclude(reporter, record, run.outcomes, run.code);
}

int RunRead(const OutputOptions& output, const DeviceArgs& device, RegionId region,
            const std::string& outFile, uint32_t length) {
    Reporter reporter(output.toStderr ? std::cerr : std::cout, std::cerr,
                      MakeReporterOptions(output));
    std::optional<RunReport> report = MakeReport(output, "read");
    RunReport* record = report ? &*report : nullptr;
    if (!ProbeReport(record, reporter, region)) return ToInt(ExitCode::FileProblem);
    const bool toStdout = outFile == "-";
    if (toStdout && StdoutIsTerminal()) {
        // Flash bytes would land on the screen as control sequences.
        reporter.Error(-1,
                       "standard output is a terminal: redirect it to a file or a program "
                       "to read a region to -");
        return Conclude(reporter, record, {}, ToInt(ExitCode::Usage));
    }
    if (length > Region(region).maxSize) {
        reporter.Error(-1, "--length " + std::to_string(length) + " is more than the " +
                               std::string(Region(region).word) + " region holds (" +
                               std::to_string(Region(region).maxSize) + " bytes)");
        return Conclude(reporter, record, {}, ToInt(ExitCode::Usage));
    }
    if (!toStdout && !CheckOutput(reporter, outFile))
        return Conclude(reporter, record, {}, ToInt(ExitCode::FileProblem));

    CommandSpec command;
    command.kind = CommandKind::Read;
    command.region = region;
    command.length = length;
    // Standard output: the region is read into a file of its own first, in a folder of our
    // own, so the dialog writes a file as it always does; it goes out when the run completes.
    // A run that does not complete sends nothing and keeps nothing: standard output takes
    // only a whole region.
    fs::path folder;
    if (toStdout) {
        folder = PrivateTempFolder();
        if (folder.empty()) {
            reporter.Error(-1, "cannot make a temporary folder for the region read to -");
            return Conclude(reporter, record, {}, ToInt(ExitCode::FileProblem));
        }
    }
    command.path = toStdout ? Utf8Text(folder / "region.bin") : Absolute(outFile);
    if (toStdout) command.shownPath = "-";
    PortsRun run = RunOnPorts(output, device, {command}, reporter, record);
    if (toStdout) {
        const bool whole = run.code == ToInt(ExitCode::Completed);
        const std::string problem = whole ? CopyToStdout(command.path) : std::string();
        std::error_code ec;
        fs::remove_all(folder, ec);
        if (!problem.empty()) {
            reporter.Error(-1, problem);
            if (run.code == ToInt(ExitCode::Completed)) run.code = ToInt(ExitCode::FileProblem);
        } else if (run.code == ToInt(ExitCode::Completed) && !run.outcomes.empty()) {
            reporter.Note(-1, "Wrote " + std::to_string(run.outcomes.front().fileBytes) +
                                  " bytes to standard output.");
        }
    }
    return Conclude(reporter, record, run.outcomes, run.code);
}

int RunCheck(const OutputOptions& output, const DeviceArgs& device) {
    Reporter reporter(std::cout, std::cerr, MakeReporterOptions(output));
    CommandSpec command;
    command.kind = CommandKind::Check;
    return RunSimple(output, device, command, reporter, "check");
}

int RunSweep(const OutputOptions& output, const DeviceArgs& device, int button) {
    Reporter reporter(std::cout, std::cerr, MakeReporterOptions(output));
    CommandSpec command;
    command.kind = CommandKind::Sweep;
    command.button = button;
    return RunSimple(output, device, command, reporter, "sweep");
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
    return RunSimple(output, device, command, reporter, "log");
}

int RunTestTx(const OutputOptions& output, const DeviceArgs& device) {
    Reporter reporter(std::cout, std::cerr, MakeReporterOptions(output));
    CommandSpec command;
    command.kind = CommandKind::TestTx;
    return RunSimple(output, device, command, reporter, "test-tx");
}

}  // namespace orlo::cli
