// Runs the sessions of one command on one event loop - one UI thread for every dialog, as one
// desktop would run several windows - until each has ended and closed its port.
#pragma once

#include <chrono>
#include <functional>
#include <vector>

#include "ExitCodes.h"
#include "Session.h"
#include "window/EventLoop.h"

namespace orlo::cli {

class GangRunner {
  public:
    // `interrupted` is asked, and `afterTurn` (when given) called, after every turn of the loop.
    GangRunner(EventLoop& loop, std::function<bool()> interrupted,
               std::function<void()> afterTurn = {});

    // Starts every session, then runs the loop until all have closed. Returns the exit code:
    // 130 when interrupted, otherwise that of the first session (in the order given) that
    // did not complete, or 0.
    ExitCode Run(const std::vector<Session*>& sessions, const CommandSpec& command);
    // The same with several steps, each session carrying them out on its one connection.
    ExitCode Run(const std::vector<Session*>& sessions, const std::vector<CommandSpec>& steps);

    static ExitCode Combine(const std::vector<Outcome>& outcomes);

  private:
    EventLoop& m_loop;
    std::function<bool()> m_interrupted;
    std::function<void()> m_afterTurn;
};

}  // namespace orlo::cli
