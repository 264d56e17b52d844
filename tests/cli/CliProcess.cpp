#include "CliProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

extern char** environ;

namespace orlo::cli::test {

std::string BinPath(const std::string& name) {
    const char* dir = std::getenv("ORLO_BIN_DIR");
    return std::string(dir ? dir : ".") + "/" + name;
}

Child::Child(const std::string& program, const std::vector<std::string>& args,
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

    std::vector<std::string> envStore;
    for (char** e = environ; *e; ++e) {
        const std::string entry(*e);
        bool replaced = false;
        for (const auto& extra : env)
            if (entry.substr(0, entry.find('=') + 1) == extra.substr(0, extra.find('=') + 1))
                replaced = true;
        if (!replaced) envStore.push_back(entry);
    }
    envStore.insert(envStore.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);

    // The child starts with default signal handling and nothing blocked.
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

Child::~Child() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }
    if (m_outFd >= 0) ::close(m_outFd);
    if (m_errFd >= 0) ::close(m_errFd);
}

void Child::Signal(int sig) {
    if (m_pid > 0) ::kill(m_pid, sig);
}

void Child::Pump(int timeoutMs) {
    pollfd fds[2] = {{m_outFd, POLLIN, 0}, {m_errFd, POLLIN, 0}};
    if (::poll(fds, 2, timeoutMs) <= 0) return;
    char buffer[4096];
    for (int i = 0; i < 2; ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
        const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
        if (n > 0) {
            (i == 0 ? m_out : m_err).append(buffer, static_cast<std::size_t>(n));
        } else {
            ::close(fds[i].fd);
            (i == 0 ? m_outFd : m_errFd) = -1;
        }
    }
}

void Child::Drain() {
    while (m_outFd >= 0 || m_errFd >= 0) {
        const std::size_t before = m_out.size() + m_err.size();
        const int outFd = m_outFd, errFd = m_errFd;
        Pump(0);
        if (m_out.size() + m_err.size() == before && outFd == m_outFd && errFd == m_errFd) break;
    }
}

bool Child::WaitForOutput(const std::string& text, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (m_out.find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline || (m_outFd < 0 && m_errFd < 0))
            return false;
        Pump(50);
    }
    return true;
}

RunResult Child::Wait(std::chrono::milliseconds limit) {
    RunResult result;
    if (m_pid <= 0) {
        result.err = "cannot start the program";
        return result;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (;;) {
        Pump(20);
        const pid_t done = ::waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid) break;
        if (std::chrono::steady_clock::now() >= deadline) {
            result.timedOut = true;
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, &status, 0);
            break;
        }
    }
    m_pid = -1;
    // Whatever is still in the pipes (the child has ended: each pipe reaches its end).
    for (int i = 0; i < 100 && (m_outFd >= 0 || m_errFd >= 0); ++i) Pump(100);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = m_out;
    result.err = m_err;
    return result;
}

RunResult RunOrlo(const std::vector<std::string>& args, const std::vector<std::string>& env,
                  std::chrono::milliseconds limit) {
    Child child(BinPath("orlo"), args, env);
    return child.Wait(limit);
}

}  // namespace orlo::cli::test
