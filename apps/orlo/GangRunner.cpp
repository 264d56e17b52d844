#include "GangRunner.h"

#include <algorithm>

namespace orlo::cli {

namespace {

constexpr auto kLoopSlice = std::chrono::milliseconds(50);  // longest wait between checks

}  // namespace

GangRunner::GangRunner(EventLoop& loop, std::function<bool()> interrupted,
                       std::function<void()> afterTurn)
    : m_loop(loop), m_interrupted(std::move(interrupted)), m_afterTurn(std::move(afterTurn)) {}

ExitCode GangRunner::Run(const std::vector<Session*>& sessions, const CommandSpec& command) {
    return Run(sessions, std::vector<CommandSpec>{command});
}

ExitCode GangRunner::Run(const std::vector<Session*>& sessions,
                         const std::vector<CommandSpec>& steps) {
    for (Session* s : sessions) {
        if (m_interrupted && m_interrupted()) break;
        s->Start(steps);
    }
    bool interruptSeen = false;
    for (;;) {
        if (!interruptSeen && m_interrupted && m_interrupted()) {
            interruptSeen = true;
            for (Session* s : sessions) s->Interrupt();
        }
        bool open = false;
        for (Session* s : sessions) {
            s->Poll();
            if (s->Finished()) s->Close();
            if (!s->Closed()) open = true;
        }
        if (m_afterTurn) m_afterTurn();
        if (!open) break;
        // A settle or a grace that ends sooner than the slice is polled when it ends.
        Session::Clock::duration wait = kLoopSlice;
        for (Session* s : sessions)
            if (!s->Closed()) wait = std::min(wait, s->TimeToNextPoll());
        m_loop.RunOnce(std::chrono::ceil<std::chrono::milliseconds>(wait));
    }
    std::vector<Outcome> outcomes;
    for (Session* s : sessions) outcomes.push_back(s->Result());
    return Combine(outcomes);
}

ExitCode GangRunner::Combine(const std::vector<Outcome>& outcomes) {
    for (const Outcome& o : outcomes)
        if (o.code == ExitCode::Interrupted) return ExitCode::Interrupted;
    for (const Outcome& o : outcomes)
        if (o.code != ExitCode::Completed) return o.code;
    return ExitCode::Completed;
}

}  // namespace orlo::cli
