#include "Interrupt.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "ExitCodes.h"

namespace orlo::cli {

namespace {

constexpr long kWatchSliceNs = 100L * 1000 * 1000;  // how often the watcher looks at m_stop

}  // namespace

InterruptWatcher::InterruptWatcher(std::function<void()> wake) : m_wake(std::move(wake)) {
    sigemptyset(&m_signals);
    sigaddset(&m_signals, SIGINT);
    sigaddset(&m_signals, SIGTERM);
    sigaddset(&m_signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &m_signals, &m_previous);
    m_thread = std::thread([this] { Watch(); });
}

InterruptWatcher::~InterruptWatcher() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
}

void InterruptWatcher::Watch() {
    const timespec slice{0, kWatchSliceNs};
    while (!m_stop.load()) {
        siginfo_t info;
        const int sig = sigtimedwait(&m_signals, &info, &slice);
        if (sig < 0) continue;  // EAGAIN (nothing yet) or EINTR
        if (m_interrupted.exchange(true)) {
            // The second signal: the user does not want to wait for a clean end.
            static const char kLine[] = "\norlo: interrupted again, stopping now\n";
            [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, kLine, sizeof kLine - 1);
            ::_exit(ToInt(ExitCode::Interrupted));
        }
        if (m_wake) m_wake();
    }
}

}  // namespace orlo::cli
