// A built program run as a child process with its standard output and error captured and
// standard input on /dev/null. Every wait is bounded: a child that outlives its bound is killed
// and reported as timed out. POSIX only.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace orlo::test {

// $ORLO_BIN_DIR/NAME (the build's bin folder); without it, NAME beside the test program.
std::string BinPath(const std::string& name);

struct RunResult {
    int exitCode = -1;      // the exit status; 128 + signal when the child was killed
    bool timedOut = false;  // killed after the limit given to Wait: the child hung
    std::string out;
    std::string err;
};

class ChildProcess {
  public:
    // Starts `program` with `args`; `env` entries (NAME=VALUE) replace or add to the inherited
    // environment.
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& env = {});
    ~ChildProcess();  // kills a child that still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return m_pid > 0; }
    pid_t Pid() const { return m_pid; }
    void Signal(int sig);
    // Collects output that has arrived, without waiting.
    void Drain();
    const std::string& Out() const { return m_out; }
    const std::string& Err() const { return m_err; }
    // Collects output until standard output holds `text` (true) or the limit passes.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds limit);
    // Collects output until standard output holds `count` complete lines (true) or the limit
    // passes.
    bool WaitForLines(std::size_t count, std::chrono::milliseconds limit);
    // Waits for the end (killing the child after `limit`) and returns everything.
    RunResult Wait(std::chrono::milliseconds limit);

  private:
    // Collects output until `done` holds (true), the limit passes or both pipes have ended.
    template <typename Done>
    bool PumpUntil(Done done, std::chrono::milliseconds limit);
    void Pump(int timeoutMs);

    pid_t m_pid = -1;
    int m_outFd = -1;
    int m_errFd = -1;
    std::string m_out;
    std::string m_err;
};

}  // namespace orlo::test
