#include "faults/FaultRig.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>

extern char** environ;

namespace orlo::faults {

std::string BinPath(const std::string& name) {
    const char* dir = std::getenv("ORLO_BIN_DIR");
    return std::string(dir ? dir : ".") + "/" + name;
}

Process::Process(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& env) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);

    std::vector<std::string> argStore{program};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);

    // The environment as inherited, with `env` entries replacing those of the same name.
    std::vector<std::string> envStore;
    auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=') + 1); };
    for (char** e = environ; *e; ++e) {
        const std::string entry(*e);
        const bool replaced = std::any_of(env.begin(), env.end(), [&](const std::string& x) {
            return nameOf(x) == nameOf(entry);
        });
        if (!replaced) envStore.push_back(entry);
    }
    envStore.insert(envStore.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);

    // Default signal handling and nothing blocked in the child, whatever the test runner has.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    if (posix_spawn(&m_pid, program.c_str(), &actions, &attr, argv.data(), envp.data()) != 0)
        m_pid = -1;
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    m_outFd = out[0];
    m_errFd = err[0];
}

Process::~Process() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }
    if (m_outFd >= 0) ::close(m_outFd);
    if (m_errFd >= 0) ::close(m_errFd);
}

void Process::Signal(int sig) {
    if (m_pid > 0) ::kill(m_pid, sig);
}

void Process::Pump(int timeoutMs) {
    pollfd fds[2] = {{m_outFd, POLLIN, 0}, {m_errFd, POLLIN, 0}};
    if (::poll(fds, 2, timeoutMs) <= 0) return;
    char buffer[4096];
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
        if (n > 0) {
            (i == 0 ? m_out : m_err).append(buffer, static_cast<std::size_t>(n));
        } else {
            ::close(fds[i].fd);
            (i == 0 ? m_outFd : m_errFd) = -1;
        }
    }
}

void Process::Drain() {
    for (int i = 0; i < 1000 && (m_outFd >= 0 || m_errFd >= 0); ++i) {
        const std::size_t before = m_out.size() + m_err.size();
        Pump(0);
        if (m_out.size() + m_err.size() == before) break;
    }
}

bool Process::WaitForLines(std::size_t count, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (static_cast<std::size_t>(std::count(m_out.begin(), m_out.end(), '\n')) < count) {
        if (std::chrono::steady_clock::now() >= deadline || (m_outFd < 0 && m_errFd < 0))
            return false;
        Pump(50);
    }
    return true;
}

RunResult Process::Wait(std::chrono::milliseconds limit) {
    RunResult result;
    if (m_pid <= 0) {
        result.err = "the program could not be started";
        return result;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (;;) {
        Pump(20);
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) break;
        if (std::chrono::steady_clock::now() >= deadline) {
            result.hung = true;
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, &status, 0);
            break;
        }
    }
    m_pid = -1;
    // The child has ended; whatever is left in the pipes arrives now. A grandchild holding a
    // pipe open cannot keep us here for more than a few seconds.
    for (int i = 0; i < 50 && (m_outFd >= 0 || m_errFd >= 0); ++i) Pump(100);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = m_out;
    result.err = m_err;
    return result;
}

SimulatedDevice::SimulatedDevice(std::vector<std::string> args)
    : m_process(std::make_unique<Process>(BinPath("orlo-devsim"), args)) {
    // First line: the port; second: the export line. Both are flushed at once.
    if (m_process->Started() && m_process->WaitForLines(2, std::chrono::seconds(30))) {
        const std::string& out = m_process->Out();
        m_port = out.substr(0, out.find('\n'));
    }
}

SimulatedDevice::~SimulatedDevice() {
    if (!m_stopped) Stop();
}

std::string SimulatedDevice::Output() const {
    m_process->Drain();
    return m_process->Out() + m_process->Err();
}

int SimulatedDevice::Stop() {
    m_stopped = true;
    m_process->Signal(SIGTERM);
    return m_process->Wait(std::chrono::seconds(60)).exitCode;
}

void SimulatedDevice::Kill() {
    m_stopped = true;
    m_process->Signal(SIGKILL);
    m_process->Wait(std::chrono::seconds(60));
}

Bytes Pattern(std::size_t size, uint32_t seed) {
    Bytes bytes(size);
    uint32_t x = 0x9E3779B9u * seed + 17;
    for (std::size_t i = 0; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        bytes[i] = static_cast<uint8_t>(x >> 24);
        if (bytes[i] == 0xFF) bytes[i] = static_cast<uint8_t>(i);  // no erased-looking runs
    }
    return bytes;
}

Bytes ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t count) {
    if (from >= bytes.size()) return {};
    count = std::min(count, bytes.size() - from);
    return Bytes(bytes.begin() + static_cast<long>(from),
                 bytes.begin() + static_cast<long>(from + count));
}

void FaultTest::SetUp() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "-" + info->name();
    std::replace(name.begin(), name.end(), '/', '_');
    dir = fs::temp_directory_path() / ("orlo-faults-" + std::to_string(::getpid()) + "-" + name);
    fs::remove_all(dir);
    fs::create_directories(dir);
    flash = Pattern(kFlashSize, 5812);
    flashIn = dir / "flash-in.bin";
    savedFlash = dir / "flash-out.bin";
    WriteFile(flashIn, flash);
}

void FaultTest::TearDown() {
    std::error_code ec;
    fs::remove_all(dir, ec);
}

RunResult FaultTest::Orlo(const std::vector<std::string>& args, std::chrono::milliseconds limit) {
    Process orlo(BinPath("orlo"), args, {"ORLO_EXTRA_PORTS=", "ORLO_PORT="});
    RunResult r = orlo.Wait(limit);
    EXPECT_FALSE(r.hung) << "orlo hung; output so far:\n" << r.out << r.err;
    return r;
}

std::unique_ptr<SimulatedDevice> FaultTest::Device(std::vector<std::string> faults) {
    std::vector<std::string> args = {"--flash-in", flashIn.string(), "--save-flash",
                                     savedFlash.string()};
    args.insert(args.end(), faults.begin(), faults.end());
    auto device = std::make_unique<SimulatedDevice>(args);
    EXPECT_TRUE(device->Ready()) << device->Output();
    return device;
}

std::string PartialReport(std::size_t kept, std::size_t expected, const std::string& path) {
    return "partial read-back: " + std::to_string(kept) + " of " + std::to_string(expected) +
           " bytes kept in " + path;
}

}  // namespace orlo::faults
