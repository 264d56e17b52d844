// The fault matrix's rig: the built programs orlo and orlo-devsim as child processes on a
// pseudo-terminal, a scratch folder, recognisable flash contents, and bounded waits throughout.
// A child that outlives its bound is killed and the case fails as a hang.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/ChildProcess.h"

namespace orlo::faults {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// Every child is bounded by this; generous because the same cases run under AddressSanitizer
// and ThreadSanitizer. A run that needs it has hung.
constexpr std::chrono::seconds kHangLimit{120};
// The --timeout given to orlo where a fault leaves an answer owed (seconds, as text).
inline const std::string kTimeoutArg = "3";

// Flash region addresses and sizes, as the device has them.
constexpr uint32_t kApplicationBase = 0x3C3000;
constexpr uint32_t kApplicationSize = 241664;
constexpr uint32_t kVoiceSize = 2048000;
constexpr uint32_t kUserBase = 0x3C2000;
constexpr uint32_t kBlock = 4096;
constexpr uint32_t kFlashSize = 0x400000;

using ::orlo::test::BinPath;
using ::orlo::test::RunResult;
// One child process with its standard output and error captured; standard input /dev/null.
using Process = ::orlo::test::ChildProcess;

// orlo-devsim with the given options, serving on its own pseudo-terminal.
class SimulatedDevice {
  public:
    explicit SimulatedDevice(std::vector<std::string> args);
    ~SimulatedDevice();

    bool Ready() const { return !m_port.empty(); }
    const std::string& Port() const { return m_port; }
    std::string Output() const;  // what the device printed so far
    // SIGTERM and wait: the device saves its flash when started with --save-flash. Returns the
    // device's exit status.
    int Stop();
    // The device process vanishes at once (SIGKILL): its end of the line closes.
    void Kill();
    Process& Proc() { return *m_process; }

  private:
    std::unique_ptr<Process> m_process;
    std::string m_port;
    bool m_stopped = false;
};

// A recognisable pattern: no two neighbouring blocks alike, no run of 0xFF.
Bytes Pattern(std::size_t size, uint32_t seed);
Bytes ReadFile(const fs::path& path);
void WriteFile(const fs::path& path, const Bytes& bytes);

// Bytes [from, from + count) of `bytes`.
Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t count);

class FaultTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // orlo ARGS..., bounded; a run that hangs fails the case.
    RunResult Orlo(const std::vector<std::string>& args,
                   std::chrono::milliseconds limit = kHangLimit);
    // A device whose flash holds `flash` (4 MiB), saving it to `savedFlash` on Stop().
    std::unique_ptr<SimulatedDevice> Device(std::vector<std::string> faults);

    fs::path dir;
    fs::path flashIn;     // the device's flash at start
    fs::path savedFlash;  // the device's flash at its end
    Bytes flash;          // contents of flashIn
};

// "partial read-back: N of M bytes kept in PATH", as orlo reports a read-back that stopped.
std::string PartialReport(std::size_t kept, std::size_t expected, const std::string& path);

}  // namespace orlo::faults
