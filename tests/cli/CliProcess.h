// Runs the built programs (orlo, orlo-devsim) as child processes with their output captured,
// for the command-line tests. Every wait is bounded: a hung child is killed and reported.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace orlo::cli::test {

// $ORLO_BIN_DIR/NAME (the build's bin folder).
std::string BinPath(const std::string& name);

struct RunResult {
    int exitCode = -1;  // the exit status; 128 + signal when the child was killed
    bool timedOut = false;
    std::string out;
    std::string err;
};

class Child {
  public:
    // Starts `program` with `args`; `env` entries (NAME=VALUE) are added to the environment.
    Child(const std::string& program, const std::vector<std::string>& args,
          const std::vector<std::string>& env = {});
    ~Child();  // kills a child that still runs
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool Started() const { return m_pid > 0; }
    void Signal(int sig);
    // Collects output that has arrived, without waiting.
    void Drain();
    const std::string& Out() const { return m_out; }
    const std::string& Err() const { return m_err; }
    // Collects output until standard output holds `text` or the limit passes.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds limit);
    // Waits for the end (killing the child after `limit`) and returns everything.
    RunResult Wait(std::chrono::milliseconds limit);

  private:
    void Pump(int timeoutMs);

    pid_t m_pid = -1;
    int m_outFd = -1;
    int m_errFd = -1;
    std::string m_out;
    std::string m_err;
};

// Generous bounds: the same tests run under AddressSanitizer and ThreadSanitizer.
constexpr std::chrono::seconds kRunLimit{180};

// Runs `orlo ARGS...` to its end.
RunResult RunOrlo(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                  std::chrono::milliseconds limit = kRunLimit);

}  // namespace orlo::cli::test
