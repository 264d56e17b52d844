// Ctrl+C for the command line: the first interrupt wakes the event loop and the run ends
// cleanly at its next turn; a second one ends the process at once. One implementation per
// operating system (posix/Interrupt.cpp: signals taken by a thread of this object;
// win32/Interrupt.cpp: the console's control handler).
#pragma once

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>

#include "ExitCodes.h"

namespace orlo::cli {

class InterruptWatcher {
  public:
    // Construct before any other thread is started, so that every thread inherits the signal
    // mask where the system has one. `wake` is called, on a thread of the watcher, after the
    // first interrupt. With `secondEnds` (the default) a second interrupt ends the process
    // at once; without, every interrupt is counted and wakes, and the caller decides.
    explicit InterruptWatcher(std::function<void()> wake, bool secondEnds = true);
    ~InterruptWatcher();
    InterruptWatcher(const InterruptWatcher&) = delete;
    InterruptWatcher& operator=(const InterruptWatcher&) = delete;

    bool Interrupted() const { return m_interrupted.load(); }
    unsigned Count() const { return m_count.load(); }

  private:
    struct System;  // what the system's implementation keeps

    // Called by the system's implementation, on a thread of its own, for every interrupt.
    void OnInterrupt() {
        ++m_count;
        if (m_interrupted.exchange(true) && m_secondEnds) {
            // The second interrupt: the user does not want to wait for a clean end.
            std::fputs("\norlo: interrupted again, stopping now\n", stderr);
            std::fflush(stderr);
            std::_Exit(ToInt(ExitCode::Interrupted));
        }
        if (m_wake) m_wake();
    }

    std::function<void()> m_wake;
    bool m_secondEnds = true;
    std::atomic<bool> m_interrupted{false};
    std::atomic<unsigned> m_count{0};
    std::unique_ptr<System> m_system;
};

}  // namespace orlo::cli
