// The commands of `orlo`, each returning the process's exit status. main.cpp parses the
// command line into these arguments; everything after that happens here.
#pragma once

#include <string>
#include <vector>

#include "Reporter.h"
#include "Session.h"

namespace orlo::cli {

struct OutputOptions {
    bool json = false;
    bool quiet = false;
};

struct DeviceArgs {
    std::vector<std::string> ports;  // one, or several for gang programming
    double timeoutSeconds = 10;      // no answer for this long ends the run; 0: wait forever
};

// How the reporter prints, from the options and what standard output is.
ReporterOptions MakeReporterOptions(const OutputOptions& output);
// Readies standard output before main does anything else (posix/ or win32/Terminal.cpp).
void PrepareProcess();

int RunPorts(const OutputOptions& output);
// Checks what could stop a run on `ports` (every listed port when empty); 0 when nothing does.
int RunDoctor(const OutputOptions& output, const std::vector<std::string>& ports);
int RunProgram(const OutputOptions& output, const DeviceArgs& device, RegionId region,
               const std::string& image);
int RunRead(const OutputOptions& output, const DeviceArgs& device, RegionId region,
            const std::string& outFile);
int RunCheck(const OutputOptions& output, const DeviceArgs& device);
int RunSweep(const OutputOptions& output, const DeviceArgs& device, int button);
int RunLog(const OutputOptions& output, const DeviceArgs& device, const std::string& outFile,
           double durationSeconds);
int RunTestTx(const OutputOptions& output, const DeviceArgs& device);
int RunBmp2h(const OutputOptions& output, int bits, const std::string& bitmap);

}  // namespace orlo::cli
