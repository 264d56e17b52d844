// The commands of `orlo`, each returning the process's exit status. main.cpp parses the
// command line into these arguments; everything after that happens here.
#pragma once

#include <string>
#include <vector>

#include "Reporter.h"
#include "Session.h"

namespace orlo::cli {

enum class ProgressMode {
    Auto,   // the live line on a terminal, plain lines elsewhere
    Live,   // the live line, whatever the output is
    Plain,  // plain lines, whatever the output is
    None,   // no progress at all
};

struct OutputOptions {
    bool json = false;
    bool quiet = false;
    ProgressMode progress = ProgressMode::Auto;
    bool verbose = false;                  // the wire trace on standard error
    bool toStderr = false;                 // standard output carries data (read-back to "-")
    std::string report;                    // --report FILE (empty: none)
    std::vector<std::string> commandLine;  // as given, for the report
};

struct DeviceArgs {
    std::vector<std::string> ports;  // one, or several for gang programming
    double timeoutSeconds = 10;      // no answer for this long ends the run; 0: wait forever
};

class RunReport;

// What one command did on every port of a gang: the exit status and each port's outcome.
struct PortsRun {
    int code = 0;
    std::vector<Outcome> outcomes;
    std::vector<std::string> recordProblems;  // rows the run database did not take
};
// Runs `command` on every port of `device` at once (DeviceCommands.cpp); adds each port to
// `report` when there is one.
PortsRun RunCommandOnPorts(const OutputOptions& output, const DeviceArgs& device,
                           const CommandSpec& command, Reporter& reporter, RunReport* report);
// The end of every command: the record (a record that cannot be written fails a run that
// completed) and the reporter's last words; returns the exit status.
int Conclude(Reporter& reporter, const RunReport* report, const std::vector<Outcome>& outcomes,
             int code);

// How the reporter prints, from the options and what its stream (standard output, or standard
// error when `output.toStderr`) is.
ReporterOptions MakeReporterOptions(const OutputOptions& output);
// Readies standard output before main does anything else (posix/ or win32/Terminal.cpp).
void PrepareProcess();
// Standard output is a terminal (or console).
bool StdoutIsTerminal();
// Standard output takes raw bytes from now on (no line-end translation where the system has it).
void BinaryStdout();
// The command line as UTF-8 strings (on Windows from the wide command line, so that arguments
// outside the system's code page arrive intact).
std::vector<std::string> CommandLineArguments(int argc, char** argv);

int RunPorts(const OutputOptions& output);
// Checks what could stop a run on `ports` (every listed port when empty); 0 when nothing does.
int RunDoctor(const OutputOptions& output, const std::vector<std::string>& ports);
struct ProgramArgs {
    std::vector<std::string> pairs;  // REGION FILE pairs, as given
    std::string manifest;            // --manifest FILE (instead of the pairs)
    std::string db;                  // --db FILE: the run database that gets a row per device
    bool force = false;              // take an image whose extension belongs to another region
};
// Programs the bundle of images into every device of `device`, each on one connection.
int RunProgram(const OutputOptions& output, const DeviceArgs& device, const ProgramArgs& what);
// `outFile` "-": the region goes to standard output. `length`: only the first `length` bytes
// (0: the whole region).
int RunRead(const OutputOptions& output, const DeviceArgs& device, RegionId region,
            const std::string& outFile, uint32_t length = 0);
int RunCheck(const OutputOptions& output, const DeviceArgs& device);
int RunSweep(const OutputOptions& output, const DeviceArgs& device, int button);
int RunLog(const OutputOptions& output, const DeviceArgs& device, const std::string& outFile,
           double durationSeconds);
int RunTestTx(const OutputOptions& output, const DeviceArgs& device);
int RunBmp2h(const OutputOptions& output, int bits, const std::string& bitmap);
// Compares each region of the REGION FILE `pairs`, or of the manifest at `manifest`, with the
// device on every port: 0 when every region is equal, 1 when blocks differ.
int RunVerify(const OutputOptions& output, const DeviceArgs& device,
              const std::vector<std::string>& pairs, const std::string& manifest);
// Reads every region into `dir` (one file per region, named by its word and extension) and
// writes `dir`/manifest.json beside them.
int RunDump(const OutputOptions& output, const DeviceArgs& device, const std::string& dir);
// Writes the manifest of the REGION FILE `pairs` to `outputPath`; `name` empty: the file's stem.
int RunManifest(const OutputOptions& output, const std::vector<std::string>& pairs,
                const std::string& outputPath, const std::string& name);
// Prints the run database's yields and latest failures; `db` empty: the default database,
// `since` empty: every run.
int RunHistory(const OutputOptions& output, const std::string& db, const std::string& since,
               int failures);

}  // namespace orlo::cli
