// Ctrl+C for the command line, without a signal handler: SIGINT, SIGTERM and SIGHUP are
// blocked in every thread and taken by a thread of this object with sigtimedwait, which then
// wakes the event loop. The run ends cleanly at its next turn; a second signal ends the process
// at once.
#pragma once

#include <signal.h>

#include <atomic>
#include <functional>
#include <thread>

namespace orlo::cli {

class InterruptWatcher {
  public:
    // Construct before any other thread is started, so that every thread inherits the mask.
    // `wake` is called on the watcher's thread after the first signal.
    explicit InterruptWatcher(std::function<void()> wake);
    ~InterruptWatcher();
    InterruptWatcher(const InterruptWatcher&) = delete;
    InterruptWatcher& operator=(const InterruptWatcher&) = delete;

    bool Interrupted() const { return m_interrupted.load(); }

  private:
    void Watch();

    std::function<void()> m_wake;
    sigset_t m_signals{};
    sigset_t m_previous{};
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_interrupted{false};
    std::thread m_thread;
};

}  // namespace orlo::cli
