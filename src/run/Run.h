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

#include <atomic>
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

enum class StepKind { Program, Read, Check, Sweep, Log, TestTx, Verify };

// One thing a run does on its connection, as a button of the window does it.
struct RunStep {
    StepKind kind = StepKind::Program;
    RegionId region = RegionId::Application;  // program, read
    std::string path;  // program: the image; read: the output file; log: the log file (or empty)
    std::string shownPath;  // read: the output as the user named it when not `path` ("-")
    int button = 0;         // sweep: the button of the action
    std::chrono::milliseconds duration{0};  // log: ends after this long (0: when interrupted)
    uint32_t length = 0;    // read: only the first `length` bytes (0: the whole region)
    // verify: the bytes `path` held when it was read (the front-end reads it once, so every
    // device of a gang is compared with the same bytes, and a file that changes meanwhile
    // cannot change them).
    std::shared_ptr<const std::vector<uint8_t>> image;
};

// How a front-end wants its runs supervised.
struct RunPolicy {
    std::chrono::milliseconds timeout{10000};  // no answer for this long ends the run (0: never)
    std::chrono::milliseconds waitHint{2000};  // silence after which the wait is named
    // The run polls itself on a window timer of this period (0: the front-end calls Poll, as
    // the command line's loop does). The window has no loop of its own to ask.
    std::chrono::milliseconds pollPeriod{0};
};

// The policy of a desktop window's runs: the window never gives up waiting (it names the wait
// instead), and the run polls itself on a window timer for its hints and a lost port.
RunPolicy WindowPolicy();

// Where a run is. One state at a time.
enum class RunState {
    Idle,       // no step under way (the window's runs start here when a button sends a frame)
    Starting,   // a step's button is pressed; its first frame is awaited
    Aligning,   // the check request went out before the step's first frame; its answer is
                // awaited, and every reply before it (left over from before) is discarded
    Running,    // the step's frames are under way, each answer drives the next
    ProvingResend,  // a NAK came: the check request is out before the NAK is acted on
    ProvingEnd,     // the step's last reply came: the check request is out before it counts
    Countdown,  // the application's finish frame is out; the device restarts
    Ended,      // the outcome is decided (Finished); the port may still be open
    Closed,     // the port is closed and the outcome reported
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
    // The application's countdown still to come after the blocks, or still running: part of
    // the time left.
    uint32_t countdownSeconds = 0;
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
    // The windows' question about a file chosen for another region (OrloEnvironment).
    std::function<std::string(const FlashRegion& region, const std::string& path)> imageQuestion;
};

// "file 300000 bytes, region limit 241664 bytes": what follows a too-big text.
std::string TooBigContext(uint64_t size, uint64_t limit);

class Run : private RunWindowListener {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr unsigned kPollTimerId = 0x5255;  // the run's window timer (the dialog uses 1)

    explicit Run(RunSetup setup, RunPolicy policy = {});
    ~Run() override;
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    void AddObserver(RunObserver* observer);
    void SetPolicy(const RunPolicy& policy);
    const RunPolicy& Policy() const { return m_policy; }

    // Opens the port and carries out the steps in order on that one connection; the next
    // step begins when the one before has completed. The application's programming ends the
    // connection (the device restarts), so it can only be the last step.
    void Start(std::vector<RunStep> steps);
    // Ends a step whose time is up (no answer within the timeout, the log's duration, a port
    // that went away) and names a long wait; starts the next step.
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
    class Backend;
    // RunWindowListener
    void OnMessageBox(const std::string& text) override;
    void OnStatusText(const std::string& text) override;
    void OnProgressPos(int pos) override;
    void OnLogEntry(const std::string& text) override;
    bool SwallowMessage(uint32_t message, uintptr_t wParam) override;
    void OnBeforeMessage(uint32_t) override {}
    void OnAfterMessage(uint32_t) override {}

    template <typename F>
    void Notify(F&& call) {
        for (RunObserver* o : m_observers) call(*o);
    }
    void SetState(RunState state);
    void Click(int id, int notification = BN_CLICKED);
    void StartClick(int id);
    bool OpenPort();
    void BeginStep();
    void TakeThreadBoxes();
    // The transport's write of the dialog's frames (false: held back).
    bool OnWrite(const uint8_t* data, std::size_t count);
    // Every complete frame before the dialog routes it (false: taken away).
    bool OnFrame(const uint8_t* frame, uint32_t length);
    bool Answers(const uint8_t* frame, uint32_t length);
    // The frame just assembled began before the frame awaited was written, or ended while the
    // driver was still sending it: the device sent it before it had that frame, so it answers
    // something earlier.
    bool CameBeforeTheFrameAwaited(uint32_t length) const;
    bool IsLastReply(uint8_t code) const;
    void SendCheckRequest(RunState proving);
    void AfterProvenReply(uint8_t code, bool wroteAgain);
    void FinishVerify(const std::string& text);
    void UserRunBegins(uint8_t code);
    void NotConfirmed(const std::string& why);
    // The window's run cannot go on: the port closes and the status returns to "Ready".
    void WindowBackToClosed();
    // The window's open port went away: closed, and a box names it.
    void WindowPortGone();
    void Finish(ExitCode code, const std::string& message, const std::string& detail = {});
    void ReportProgress();
    bool Waiting() const;
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
    std::unique_ptr<Backend> m_backend;
    std::unique_ptr<COrloDlg> m_dlg;
    RunState m_state = RunState::Idle;

    std::vector<RunStep> m_steps;
    std::size_t m_stepIndex = 0;
    std::vector<Outcome> m_stepResults;
    std::vector<uint64_t> m_stepBytes;  // wire bytes of each step's blocks (programming)
    Clock::time_point m_runStart{};
    // Who drives the runs: nobody yet (a window before its first button), the window's user
    // (a button sent the frame) or the program (Start).
    enum class Driver { None, User, Program };
    Driver m_driver = Driver::None;
    std::string m_expectedCompletion;  // the message that completes the step
    bool m_inStartClick = false;
    bool m_clicked = false;        // the step's button has been pressed
    bool m_sawBlockPhase = false;  // a block of the step has gone out
    bool m_routingProven = false;  // the step's last reply is being routed, its alignment proven
    bool m_sendingOwn = false;     // the run's own check request is being written
    std::string m_logFileFailure;  // the box that said the log file cannot take lines
    Outcome m_outcome;
    Clock::time_point m_stepStart{};
    Clock::time_point m_lastReply{};  // the last answer to the frame awaited, or the send
    bool m_nodeSeen = false;          // the port's device node existed at open
    std::vector<uint8_t> m_heldFrame;  // the step's first frame, while the line is aligned
    std::vector<uint8_t> m_heldReply;  // the NAK or last reply, while its alignment is proven
    bool m_ackCrcFilled = false;  // the device has shown that it fills the CRC of ACK and NAK
    bool m_waitNamed = false;     // this wait for an answer has been named
    bool m_timerArmed = false;
    bool m_nextStepPending = false;  // a step completed; Poll begins the next
    uint64_t m_writes = 0;           // frames the dialog has written
    // Bytes the reader has taken from the port (reader thread), and how many had arrived, taken
    // or waiting in the driver, when the last frame was written (UI thread).
    std::atomic<uint64_t> m_received{0};
    uint64_t m_arrivedBeforeWrite = 0;
    // Writes handed on to the port, the run's own check requests included (UI thread), and
    // the bytes taken while the driver was still sending the last of them (reader thread):
    // none of those answers it.
    std::atomic<uint64_t> m_portWrites{0};
    std::atomic<uint64_t> m_receivedWhileSending{0};
    unsigned m_alignResends = 0;  // the aligning check request sent again after a NAK
};

}  // namespace orlo::run
