#include "Session.h"

namespace orlo::cli {

Session::Session(EventLoop& loop, PortEndpoint endpoint, Reporter& reporter,
                 std::function<Clock::time_point()> now)
    : m_endpoint(std::move(endpoint)),
      m_reporter(reporter),
      m_port(reporter.AddPort(m_endpoint.label, m_endpoint.comName)),
      m_window(loop, nullptr) {
    run::RunSetup setup;
    setup.window = &m_window;
    setup.serial = m_endpoint.backend.get();
    setup.ports = m_endpoint.table.get();
    setup.comName = m_endpoint.comName;
    setup.listName = m_endpoint.listName;
    setup.path = m_endpoint.path;
    setup.now = std::move(now);
    m_run = std::make_unique<run::Run>(std::move(setup));
    m_run->AddObserver(this);
}

Session::~Session() {
    m_run.reset();
}

void Session::Start(const CommandSpec& command) {
    Start(std::vector<CommandSpec>{command});
}

void Session::Start(const std::vector<CommandSpec>& steps) {
    if (steps.empty()) {
        m_run->Start({});
        return;
    }
    const CommandSpec& command = steps.front();
    run::RunPolicy policy;
    policy.timeout = command.timeout;
    m_run->SetPolicy(policy);
    m_kind = command.kind;
    m_run->Start(std::vector<run::RunStep>(steps.begin(), steps.end()));
}

void Session::Poll() {
    // The log's lines have nowhere to go: it ends (the exit status says why, see Conclude).
    if (m_kind == CommandKind::Log && !m_run->Finished() &&
        m_run->State() != run::RunState::Idle && m_reporter.OutputBroken())
        m_run->Stop(ExitCode::Completed);
    m_run->Poll();
}

void Session::OnOpened(const std::string& comName, const std::string& path) {
    m_reporter.Opened(m_port, comName, path);
}

void Session::OnProgress(const run::RunProgress& p) {
    ProgressSnapshot s;
    s.label = m_endpoint.label;
    s.region = p.region;
    s.status = p.status;
    s.hasData = p.hasData;
    s.phase = p.phase;
    s.percent = p.percent;
    s.phaseDone = p.phaseDone;
    s.phaseTotal = p.phaseTotal;
    s.overallDone = p.overallDone;
    s.overallTotal = p.overallTotal;
    s.inFlight = p.inFlight;
    s.elapsedSeconds = p.elapsedSeconds;
    s.countdownSeconds = p.countdownSeconds;
    m_reporter.Progress(m_port, s);
}

void Session::OnBox(const std::string& text, BoxKind kind, const std::string& context) {
    m_reporter.Box(m_port, text, kind, context);
}

void Session::OnError(const std::string& sentence, const std::string& hint) {
    m_reporter.Error(m_port, sentence, hint);
}

void Session::OnNote(const std::string& sentence) {
    m_reporter.Note(m_port, sentence);
}

void Session::OnWaiting(const std::string& sentence) {
    m_reporter.Waiting(m_port, sentence);
}

void Session::OnDeviceLine(const std::string& line, bool logging) {
    m_reporter.DeviceLine(m_port, line, logging);
}

void Session::OnCheckText(const std::string& text) {
    m_reporter.CheckText(m_port, text);
}

void Session::OnSweep(int max, int min, int timeMs, int tm) {
    m_reporter.Sweep(m_port, max, min, timeMs, tm);
}

void Session::OnOutcome(const Outcome& outcome) {
    m_reporter.Result(m_port, outcome);
}

}  // namespace orlo::cli
