#include "support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

extern char** environ;

namespace orlo::test {

std::string BinPath(const std::string& name) {
    if (const char* dir = std::getenv("ORLO_BIN_DIR")) return std::string(dir) + "/" + name;
    // Run by hand, the programs sit next to the test program.
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ((ec ? std::filesystem::path(".") : self.parent_path()) / name).string();
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
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

ChildProcess::~ChildProcess() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }
    if (m_outFd >= 0) ::close(m_outFd);
    if (m_errFd >= 0) ::close(m_errFd);
}

void ChildProcess::Signal(int sig) {
    if (m_pid > 0) ::kill(m_pid, sig);
}

void ChildProcess::Pump(int timeoutMs) {
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

void ChildProcess::Drain() {
    // Bounded, so a child that writes without pause cannot keep the caller here.
    for (int i = 0; i < 1000 && (m_outFd >= 0 || m_errFd >= 0); ++i) {
        const std::size_t before = m_out.size() + m_err.size();
        const int outFd = m_outFd, errFd = m_errFd;
        Pump(0);
        if (m_out.size() + m_err.size() == before && outFd == m_outFd && errFd == m_errFd) break;
    }
}

template <typename Done>
bool ChildProcess::PumpUntil(Done done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline || (m_outFd < 0 && m_errFd < 0))
            return false;
        Pump(50);
    }
    return true;
}

bool ChildProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds limit) {
    return PumpUntil([&] { return m_out.find(text) != std::string::npos; }, limit);
}

bool ChildProcess::WaitForLines(std::size_t count, std::chrono::milliseconds limit) {
    return PumpUntil(
        [&] {
            return static_cast<std::size_t>(std::count(m_out.begin(), m_out.end(), '\n')) >= count;
        },
        limit);
}

RunResult ChildProcess::Wait(std::chrono::milliseconds limit) {
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
            result.timedOut = true;
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, &status, 0);
            break;
        }
    }
    m_pid = -1;
    // The child has ended; whatever is left in the pipes arrives now. A grandchild holding a
    // pipe open cannot keep us here for more than a few seconds.
    for (int i = 0; i < 100 && (m_outFd >= 0 || m_errFd >= 0); ++i) Pump(100);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = m_out;
    result.err = m_err;
    return result;
}

}  // namespace orlo::test
