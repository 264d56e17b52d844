// Interrupts on POSIX systems, without a signal handler: SIGINT, SIGTERM and SIGHUP are blocked
// in every thread and taken by a thread of the watcher with sigwait. The watcher sleeps until a
// signal comes; to end it, the destructor sends its thread one of the watched signals itself
// (pthread_kill), so leaving never waits for a time slice.
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <csignal>
#include <thread>

#include "Interrupt.h"

namespace orlo::cli {

namespace {

constexpr int kWakeSignal = SIGHUP;  // one of the watched signals, sent to end the watcher

}  // namespace

struct InterruptWatcher::System {
    sigset_t signals{};
    sigset_t previous{};
    std::atomic<bool> stop{false};
    std::thread thread;
};

InterruptWatcher::InterruptWatcher(std::function<void()> wake, bool secondEnds)
    : m_wake(std::move(wake)), m_secondEnds(secondEnds), m_system(std::make_unique<System>()) {
    System& s = *m_system;
    sigemptyset(&s.signals);
    sigaddset(&s.signals, SIGINT);
    sigaddset(&s.signals, SIGTERM);
    sigaddset(&s.signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &s.signals, &s.previous);
    s.thread = std::thread([this] {
        for (;;) {
            int signal = 0;
            if (sigwait(&m_system->signals, &signal) != 0) continue;
            // The destructor's own wake-up, or a signal that came while leaving: not an
            // interrupt of the run.
            if (m_system->stop.load()) return;
            OnInterrupt();
        }
    });
}

InterruptWatcher::~InterruptWatcher() {
    m_system->stop = true;
    if (m_system->thread.joinable()) {
        // Pending on the watcher's thread alone (blocked there), so sigwait takes it even when
        // the thread has not reached its wait yet.
        pthread_kill(m_system->thread.native_handle(), kWakeSignal);
        m_system->thread.join();
    }
    pthread_sigmask(SIG_SETMASK, &m_system->previous, nullptr);
}

}  // namespace orlo::cli
