// One run on one port, supervised the same way for every front-end. The run owns the dialog
// and puts its own window (RunWindow) between the dialog and the front-end's window, so it
// sees every message box, status text, frame and log line the dialog produces; it decides the
// outcome once, names the frame a failure happened at, and keeps the wire watch.
//
// A run is driven by a program (the command line, a station: Start with one or more steps,
// which it carries out with clicks as a user would, on one connection) under a policy: how
// long the device may stay silent before the run gives up (never, in the window, which shows a
// waiting hint instead). Observers hear its progress, its state and its outcome.
#pragma once

#include <chrono>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/OrloDlg.h"
#include "images/FlashRegion.h"
#include "run/Boxes.h"
#include "run/Outcome.h"
#include "run/RunWindow.h"
#include "serial/PortTable.h"
#include "serial/SerialTransport.h"

namespace orlo::run {

enum class StepKind { Program, Read, Check, Sweep, Log, TestTx };

// One thing a run does on its connection, as a button of the window does it.
struct RunStep {
    StepKind kind = StepKind::Program;
    RegionId region = RegionId::Application;  // program, read
    std::string path;  // program: the image; read: the output file; log: the log file (or empty)
    std::string shownPath;  // read: the output as the user named it when not `path` ("-")
    int button = 0;         // sweep: the button of the action
    std::chrono::milliseconds duration{0};  // log: ends after this long (0: when interrupted)
    uint32_t length = 0;    // read: only the first `length` bytes (0: the whole region)
};

// How a front-end wants its runs supervised.
struct RunPolicy {
    std::chrono::milliseconds timeout{10000};  // no answer for this long ends the run (0: never)
    std::chrono::milliseconds waitHint{2000};  // silence after which the wait is named
    // Before the first frame the line must have been quiet this long; whatever arrives
    // meanwhile (the late reply of an earlier run) is discarded and the wait starts again, for
    // at most `settleLimit` in all.
    std::chrono::milliseconds settle{10};
    std::chrono::milliseconds settleLimit{1000};
    // After the reply that completes the run, any further reply makes the outcome "not
    // confirmed". The run listens this long at least, and three times the slowest reply of
    // the run when that is longer (never longer than the timeout, or 10 s without one).
    std::chrono::milliseconds grace{10};
};

// Where a run is. One state at a time.
enum class RunState {
    Idle,        // nothing started
    Settling,    // the port is open; waiting for a quiet line before the first frame
    Running,     // a step's frames are under way
    Confirming,  // the step's last reply has come; making sure nothing follows it
    Ended,       // the outcome is decided (Finished); the port may still be open
    Closed,      // the port is closed and the outcome reported
};
const char* StateName(RunState state);

// The progress of a block phase, as the run sees it after every frame.
struct RunProgress {
    std::string region;        // "application", "voice", "map", "user"
    std::string status;        // the status line as the window shows it
    bool hasData = false;      // a block phase is running: the fields below are meaningful
    std::string phase;         // "Programming", "Verifying", "Reading"
    int percent = 0;           // the window's percentage of the phase
    uint64_t phaseDone = 0;    // bytes of the phase sent or received
    uint64_t phaseTotal = 0;   // bytes of the phase
    // Bytes of the whole run: every step of it (programming: writes and verifies).
    uint64_t overallDone = 0;
    uint64_t overallTotal = 0;
    uint64_t inFlight = 0;      // of overallDone: sent, not yet answered
    double elapsedSeconds = 0;  // since the run started
};

// What a front-end, a station or a record hears of a run. UI thread only. Every method has an
// empty default, so an observer implements what it shows.
class RunObserver {
  public:
    virtual ~RunObserver() = default;
    virtual void OnOpened(const std::string& /*comName*/, const std::string& /*path*/) {}
    virtual void OnState(RunState) {}
    virtual void OnStep(std::size_t /*index*/, const RunStep&) {}  // a step begins
    virtual void OnProgress(const RunProgress&) {}
    // A message box of the dialog, with what the run adds after it (empty: nothing).
    virtual void OnBox(const std::string& /*text*/, BoxKind, const std::string& /*context*/) {}
    // `hint`: what to check, said apart.
    virtual void OnError(const std::string& /*sentence*/, const std::string& /*hint*/) {}
    virtual void OnNote(const std::string& /*sentence*/) {}
    // The run has waited a while for the device: what for (once per wait).
    virtual void OnWaiting(const std::string& /*sentence*/) {}
    // A device line, printable; `logging`: the run is a log (the lines are its output).
    virtual void OnDeviceLine(const std::string& /*line*/, bool /*logging*/) {}
    virtual void OnCheckText(const std::string&) {}
    virtual void OnSweep(int /*max*/, int /*min*/, int /*timeMs*/, int /*tm*/) {}
    // The outcome, once, when the run has closed.
    virtual void OnOutcome(const Outcome&) {}
};

// What a run is given: its front-end's window, the system's serial backend and port table, and
// the port. `now` is the run's clock (tests drive it); `wallClock` stamps the log.
struct RunSetup {
    IWindow* window = nullptr;
    ISerialBackend* serial = nullptr;
    IPortTable* ports = nullptr;
    std::string comName;  // the port as the port list shows it (empty: the table gives none)
    std::string path;     // its device node (port loss), may be empty
    // The entry to choose in the port list when it is not `comName`: a name of this run's own
    // list for a port without a COM name (a gang beyond COM99).
    std::string listName;
    std::function<std::chrono::steady_clock::time_point()> now;
    std::function<std::time_t()> wallClock;
};

// "file 300000 bytes, region limit 241664 bytes": what follows a too-big text.
std::string TooBigContext(uint64_t size, uint64_t limit);

class Run : private RunWindowListener {
  public:
    using Clock = std::chrono::steady_clock;

    explicit Run(RunSetup setup, RunPolicy policy = {});
    ~Run() override;
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    void AddObserver(RunObserver* observer);
    void SetPolicy(const RunPolicy& policy) { m_policy = policy; }
    const RunPolicy& Policy() const { return m_policy; }

    // Opens the port and carries out the steps in order on that one connection; the next
    // step begins when the one before has completed. The application's programming ends the
    // connection (the device restarts), so it can only be the last step.
    void Start(std::vector<RunStep> steps);
    // Ends a step whose time is up (no answer within the timeout, the log's duration), starts
    // a step once the line has settled and confirms one once its grace has passed.
    void Poll();
    // How long the loop may wait before Poll has something to do.
    Clock::duration TimeToNextPoll() const;
    // Ctrl+C, a station's stop: the run ends as interrupted.
    void Interrupt();
    // The front-end ends the run for a reason of its own (its output has gone away).
    void Stop(ExitCode code, const std::string& detail = {});
    bool Finished() const { return m_state == RunState::Ended || m_state == RunState::Closed; }
    // Once the run has ended: closes the port (as the Close button does) and reports the
    // outcome. Does nothing the second time.
    void Close();
    bool Closed() const { return m_state == RunState::Closed; }

    RunState State() const { return m_state; }
    const Outcome& Result() const { return m_outcome; }
    // The outcome of every step carried out so far (the last one may have failed).
    const std::vector<Outcome>& StepResults() const { return m_stepResults; }
    COrloDlg& Dialog() { return *m_dlg; }
    RunWindow& Window() { return m_window; }

  private:
    // RunWindowListener
    void OnMessageBox(const std::string& text) override;
    void OnStatusText(const std::string& text) override;
    void OnProgressPos(int pos) override;
    void OnLogEntry(const std::string& text) override;
    bool SwallowMessage(uint32_t message) override;
    void OnBeforeMessage(uint32_t message) override;
    void OnAfterMessage(uint32_t message) override;

    template <typename F>
    void Notify(F&& call) {
        for (RunObserver* o : m_observers) call(*o);
    }
    void SetState(RunState state);
    void Click(int id, int notification = BN_CLICKED);
    void StartClick(int id);
    bool OpenPort();
    void BeginStep();
    void StepCompleted(const std::string& message);
    void TakeThreadBoxes();
    void OnReply(uint8_t code);
    void BeginConfirm(int repliesAllowed);
    void Confirmed();
    void NotConfirmed(const std::string& why);
    Clock::duration Grace() const;
    void Finish(ExitCode code, const std::string& message, const std::string& detail = {});
    void ReportProgress();
    bool AwaitingReply() const;
    bool LineGone() const;
    std::string LastFrame() const;
    // How messages name the port: its COM name, else its device.
    std::string ShownName() const { return m_setup.comName.empty() ? m_setup.path : m_setup.comName; }
    void AddFrameContext(unsigned sends);
    const RunStep& Step() const { return m_steps[m_stepIndex]; }

    RunSetup m_setup;
    RunPolicy m_policy;
    std::vector<RunObserver*> m_observers;
    RunWindow m_window;
    std::unique_ptr<COrloDlg> m_dlg;
    RunState m_state = RunState::Idle;

    std::vector<RunStep> m_steps;
    std::size_t m_stepIndex = 0;
    std::vector<Outcome> m_stepResults;
    std::vector<uint64_t> m_stepBytes;  // wire bytes of each step's blocks (programming)
    Clock::time_point m_runStart{};
    std::string m_expectedCompletion;  // the message that completes the step
    bool m_inStartClick = false;
    bool m_clicked = false;        // the step's button has been pressed
    bool m_sawBlockPhase = false;  // a block of the step has gone out
    std::string m_logFileFailure;  // the box that said the log file cannot take lines
    Outcome m_outcome;
    Clock::time_point m_stepStart{};
    Clock::time_point m_lastReply{};  // the last reply, or the start of the step
    bool m_nodeSeen = false;          // the port's device node existed at open
    bool m_inRx = false;              // inside a WM_COMM_RX
    int m_repliesInMessage = 0;       // replies (frames but the log start) it completed

    Clock::time_point m_settleStart{};
    Clock::time_point m_lastRxAt{};
    // The slowest the device took to answer in this run: from the reply (or click) that sent
    // a frame to its answer, less the line time of both.
    Clock::time_point m_lastSendAt{};
    int32_t m_lastSentLen = 0;   // bytes of the frame last sent
    int32_t m_longestReply = 0;  // bytes of the longest reply
    Clock::duration m_slowestReply{};
    bool m_completionPending = false;  // the completion box came; its reply is being handled
    bool m_confirmedOnce = false;      // the grace has passed without a further reply
    int m_repliesAllowed = 0;          // replies still owed (the ACK to the finish frame)
    Clock::time_point m_confirmUntil{};
    std::string m_heldCompletion;  // the completion box, reported once confirmed
    bool m_waitNamed = false;      // this wait for an answer has been named
};

}  // namespace orlo::run
