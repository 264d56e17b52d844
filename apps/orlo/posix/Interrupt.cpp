// Interrupts on POSIX systems, without a signal handler: SIGINT, SIGTERM and SIGHUP are blocked
// in every thread and taken by a thread of the watcher with sigtimedwait.
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <thread>

#include "Interrupt.h"

namespace orlo::cli {

namespace {

constexpr long kWatchSliceNs = 100L * 1000 * 1000;  // how often the watcher looks at `stop`

}  // namespace

struct InterruptWatcher::System {
    sigset_t signals{};
    sigset_t previous{};
    std::atomic<bool> stop{false};
    std::thread thread;
};

InterruptWatcher::InterruptWatcher(std::function<void()> wake)
    : m_wake(std::move(wake)), m_system(std::make_unique<System>()) {
    System& s = *m_system;
    sigemptyset(&s.signals);
    sigaddset(&s.signals, SIGINT);
    sigaddset(&s.signals, SIGTERM);
    sigaddset(&s.signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &s.signals, &s.previous);
    s.thread = std::thread([this] {
        const timespec slice{0, kWatchSliceNs};
        while (!m_system->stop.load()) {
            siginfo_t info;
            if (sigtimedwait(&m_system->signals, &info, &slice) < 0)
                continue;  // EAGAIN (nothing yet) or EINTR
            OnInterrupt();
        }
    });
}

InterruptWatcher::~InterruptWatcher() {
    m_system->stop = true;
    if (m_system->thread.joinable()) m_system->thread.join();
    pthread_sigmask(SIG_SETMASK, &m_system->previous, nullptr);
}

}  // namespace orlo::cli
