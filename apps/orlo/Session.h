// One port's run on the command line: the run layer's run (src/run/Run.h) on a console window,
// with the port table and serial backend of its port, reported through the Reporter. The run
// does what a user at the window would do - choose the port, press Open, press the command's
// button and answer its file dialog - and decides the outcome; the session adds what the
// command line shows and the one thing a script needs: a limit on how long it waits.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ConsoleWindow.h"
#include "Outcome.h"
#include "Reporter.h"
#include "run/Run.h"
#include "serial/PortTable.h"
#include "serial/SerialTransport.h"
#include "window/EventLoop.h"

namespace orlo::cli {

using CommandKind = run::StepKind;
using run::TooBigContext;

// A command: the run's step, and how the command line supervises it.
struct CommandSpec : run::RunStep {
    std::chrono::milliseconds timeout{10000};  // no reply for this long ends the run (0: never)
};

// A port as the command line names it, with the table and backend that reach it.
struct PortEndpoint {
    std::string label;    // as the user wrote it: a device path or a COM name
    std::string comName;  // the name the port table gives it (empty: it has none)
    // The entry the session chooses in its own port list: the COM name, or (for a port the
    // table lists without one, as in a large gang) a name of that session's list alone.
    std::string listName;
    // How messages name the port: its COM name, else its device.
    std::string ShownName() const { return comName.empty() ? path : comName; }
    std::string path;     // its device
    std::string serialNumber;  // its USB adapter's serial number, where the table knows it
    std::string vendorId, productId;  // its USB adapter's ids, where the table knows them
    std::unique_ptr<IPortTable> table;
    std::unique_ptr<ISerialBackend> backend;
};

class Session : private run::RunObserver {
  public:
    using Clock = std::chrono::steady_clock;

    Session(EventLoop& loop, PortEndpoint endpoint, Reporter& reporter,
            std::function<Clock::time_point()> now = {});
    ~Session() override;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void Start(const CommandSpec& command);
    // Several steps on one connection (a bundle of regions); the policy is the first one's.
    void Start(const std::vector<CommandSpec>& steps);
    void Poll();
    Clock::duration TimeToNextPoll() const { return m_run->TimeToNextPoll(); }
    void Interrupt() { m_run->Interrupt(); }
    bool Finished() const { return m_run->Finished(); }
    void Close() { m_run->Close(); }
    bool Closed() const { return m_run->Closed(); }

    const Outcome& Result() const { return m_run->Result(); }
    const std::string& Label() const { return m_endpoint.label; }
    COrloDlg& Dialog() { return m_run->Dialog(); }
    ConsoleWindow& Window() { return m_window; }
    run::Run& Run() { return *m_run; }

  private:
    // run::RunObserver: everything the run tells goes to the reporter under this port.
    void OnOpened(const std::string& comName, const std::string& path) override;
    void OnProgress(const run::RunProgress& progress) override;
    void OnBox(const std::string& text, BoxKind kind, const std::string& context) override;
    void OnError(const std::string& sentence, const std::string& hint) override;
    void OnNote(const std::string& sentence) override;
    void OnWaiting(const std::string& sentence) override;
    void OnDeviceLine(const std::string& line, bool logging) override;
    void OnCheckText(const std::string& text) override;
    void OnSweep(int max, int min, int timeMs, int tm) override;
    void OnOutcome(const Outcome& outcome) override;

    PortEndpoint m_endpoint;
    Reporter& m_reporter;
    int m_port;  // index in the reporter
    ConsoleWindow m_window;
    std::unique_ptr<run::Run> m_run;
    CommandKind m_kind = CommandKind::Program;
};

}  // namespace orlo::cli
