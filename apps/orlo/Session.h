// One port's run: a dialog on a console window with its own port table and serial backend.
// The session does what a user at the window would do - drop the port list down, choose the
// port, press Open, press the command's button and answer its file dialog - and decides from
// what the window then shows (message boxes, the status line, the check text, the sweep values)
// whether the run has completed. It adds the one thing a script needs and the window lacks: a
// limit on how long it waits for the device to answer.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "ConsoleWindow.h"
#include "Outcome.h"
#include "Reporter.h"
#include "app/OrloDlg.h"
#include "images/FlashRegion.h"
#include "serial/PortTable.h"
#include "serial/SerialTransport.h"
#include "window/EventLoop.h"

namespace orlo::cli {

enum class CommandKind { Program, Read, Check, Sweep, Log, TestTx };

struct CommandSpec {
    CommandKind kind = CommandKind::Program;
    RegionId region = RegionId::Application;  // program, read
    std::string path;  // program: the image; read: the output file; log: --output (may be empty)
    std::string shownPath;  // read: the output as the user named it when not `path` ("-")
    int button = 0;         // sweep: the button of the action
    std::chrono::milliseconds timeout{10000};  // no reply for this long ends the run (0: never)
    std::chrono::milliseconds duration{0};     // log: ends after this long (0: when interrupted)
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

// A port as the command line names it, with the table and backend that reach it.
struct PortEndpoint {
    std::string label;    // as the user wrote it: a device path or a COM name
    std::string comName;  // the name the port table gives it, as the port list shows it
    std::string path;     // its device
    std::string serialNumber;  // its USB adapter's serial number, where the table knows it
    std::unique_ptr<IPortTable> table;
    std::unique_ptr<ISerialBackend> backend;
};

// "file 300000 bytes, region limit 241664 bytes": what follows a too-big text.
std::string TooBigContext(uint64_t size, uint64_t limit);

class Session : private ConsoleWindowListener {
  public:
    using Clock = std::chrono::steady_clock;

    Session(EventLoop& loop, PortEndpoint endpoint, Reporter& reporter,
            std::function<Clock::time_point()> now = {});
    ~Session() override;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Opens the port and starts the command's run, as clicks on the window.
    void Start(const CommandSpec& command);
    // Ends a run whose time is up: no reply within the timeout, or the log's duration; starts
    // the command once the line has settled and confirms a run once its grace has passed.
    void Poll();
    // How long the loop may wait before Poll has something to do (settle or grace ending).
    Clock::duration TimeToNextPoll() const;
    // Ctrl+C: the run ends as interrupted.
    void Interrupt();
    bool Finished() const { return m_finished; }
    // Once the run has ended: closes the port (as the Close button does) and reports the
    // result. Does nothing the second time.
    void Close();
    bool Closed() const { return m_closed; }

    const Outcome& Result() const { return m_outcome; }
    const std::string& Label() const { return m_endpoint.label; }
    COrloDlg& Dialog() { return *m_dlg; }
    ConsoleWindow& Window() { return m_window; }

  private:
    // ConsoleWindowListener
    void OnMessageBox(const std::string& text, const std::string& caption, unsigned type) override;
    void OnStatusText(const std::string& text) override;
    void OnProgressPos(int pos) override;
    void OnLogEntry(const std::string& text) override;
    void OnPreviewDrawn(const std::string&) override {}
    bool SwallowMessage(uint32_t message) override;
    void OnBeforeMessage(uint32_t message) override;
    void OnAfterMessage(uint32_t message) override;

    void Click(int id, int notification = BN_CLICKED);
    void StartClick(int id);
    bool OpenPort();
    void BeginCommand();
    void OnReply(uint8_t code);
    void BeginConfirm(int repliesAllowed);
    void Confirmed();
    void NotConfirmed(const std::string& why);
    Clock::duration Grace() const;
    void Finish(ExitCode code, const std::string& message, const std::string& detail = {});
    void ReportProgress();
    bool AwaitingReply() const;
    bool LineGone() const;
    // The frame last sent, as a sentence names it; its phase, address and `sends` go into the
    // outcome.
    std::string LastFrame() const;
    void AddFrameContext(unsigned sends);

    EventLoop& m_loop;
    PortEndpoint m_endpoint;
    Reporter& m_reporter;
    int m_port;  // index in the reporter
    std::function<Clock::time_point()> m_now;
    ConsoleWindow m_window;
    std::unique_ptr<COrloDlg> m_dlg;

    CommandSpec m_command;
    std::string m_expectedCompletion;  // the message that completes the run
    bool m_inStartClick = false;
    bool m_started = false;
    bool m_running = false;        // the command's button has been pressed
    bool m_sawBlockPhase = false;  // a block of the run has gone out
    bool m_finished = false;
    bool m_closed = false;
    std::string m_logFileFailure;  // the box that said the log file cannot take lines
    Outcome m_outcome;
    Clock::time_point m_runStart{};
    Clock::time_point m_lastReply{};  // the last reply, or the start of the run
    bool m_nodeSeen = false;          // the port's device node existed at open
    bool m_inRx = false;              // inside a WM_COMM_RX
    int m_repliesInMessage = 0;       // replies (frames but the log start) it completed

    // Settling: the line must be quiet before the first frame.
    bool m_settling = false;
    Clock::time_point m_settleStart{};
    Clock::time_point m_lastRxAt{};
    // The slowest the device took to answer in this run: from the reply (or click) that sent
    // a frame to its answer, less the line time of both.
    Clock::time_point m_lastSendAt{};
    int32_t m_lastSentLen = 0;   // bytes of the frame last sent
    int32_t m_longestReply = 0;  // bytes of the longest reply
    Clock::duration m_slowestReply{};
    // Confirming: the run is complete, and no further reply may come.
    bool m_completionPending = false;  // the completion box came; its reply is being handled
    bool m_confirming = false;
    bool m_confirmedOnce = false;      // the grace has passed without a further reply
    int m_repliesAllowed = 0;          // replies still owed (the ACK to the finish frame)
    Clock::time_point m_confirmUntil{};
    std::string m_heldCompletion;      // the completion box, reported once confirmed
    bool m_waitNamed = false;          // this wait for a reply has been named to the user
};

}  // namespace orlo::cli
