// The command-line tests' names for the shared child-process runner, and RunOrlo. Every wait
// is bounded: a hung child is killed and reported.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "support/ChildProcess.h"

namespace orlo::cli::test {

using ::orlo::test::BinPath;
using ::orlo::test::RunResult;
using Child = ::orlo::test::ChildProcess;

// Generous bounds: the same tests run under AddressSanitizer and ThreadSanitizer.
constexpr std::chrono::seconds kRunLimit{180};

// Runs `orlo ARGS...` to its end.
inline RunResult RunOrlo(const std::vector<std::string>& args,
                         const std::vector<std::string>& env = {},
                         std::chrono::milliseconds limit = kRunLimit) {
    Child child(BinPath("orlo"), args, env);
    return child.Wait(limit);
}

}  // namespace orlo::cli::test
