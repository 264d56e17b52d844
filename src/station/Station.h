// A production station: every device plugged into one of its slots is programmed once, and the
// slot then waits for it to go away before it takes the next one.
//
//   SlotWatcher  ──Present()──►  Station  ──RunFactory──►  one IDeviceRun per plugged device
//   (a folder of links, udev,     │  per slot: waiting → settling (500 ms) → programming →
//    the port table)              │  passed/failed ("remove the device") → waiting
//                                 ▼
//                          StationObserver (the terminal board, --json, the window's tiles)
//                          RunRecorder     (one record per finished device)
//
// Everything runs on the thread that owns the EventLoop the runs are built on: Turn() looks at
// the watcher, the runs and the clocks and never waits; RunOnce() adds the wait. Observers are
// called from inside Turn(), on that thread. Nothing is global: two stations side by side work.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "station/SlotWatcher.h"

namespace orlo::station {

using Clock = std::chrono::steady_clock;

// A running device program as the station drives it: built for one device in one slot, polled
// on the station's loop until it has finished.
struct RunProgress {
    double fraction = 0;  // of the whole run (every region, writing and verifying), 0..1
    std::string text;     // what the device is doing, as a status line says it
};

// One region of the run, in the order they were programmed (those after a failed one are
// left out).
struct RegionResult {
    std::string region;   // "voice", "map", "user", "application"
    bool passed = false;
    std::string message;  // the completion text, or why it failed
};

struct RunResult {
    bool passed = false;
    bool abandoned = false;  // ended by the operator (a second Ctrl+C, the window closed)
    std::string reason;      // a failure in a few words, for the board ("Tx Error", "unplugged")
    std::string message;     // the whole sentence
    unsigned naks = 0;
    unsigned resends = 0;
    std::vector<RegionResult> regions;
};

class IDeviceRun {
  public:
    virtual ~IDeviceRun() = default;
    // Moves the run on: timeouts, settle and grace of the run layer. Never waits.
    virtual void Poll() = 0;
    // How long the station may wait before Poll has something to do.
    virtual Clock::duration TimeToNextPoll() const = 0;
    virtual bool Finished() const = 0;
    virtual RunProgress Progress() const = 0;
    // Ends the run now as failed with `why` (the device went away, the operator gave up);
    // `byOperator` marks the record as abandoned. Finished() is true afterwards.
    virtual void Abandon(const std::string& why, bool byOperator) = 0;
    virtual RunResult Result() const = 0;
};

// Makes the run for the device that has settled in `slot`; nullptr with `error` set when it
// cannot (the slot then shows FAILED with that reason).
using RunFactory = std::function<std::unique_ptr<IDeviceRun>(
    const std::string& slot, const SlotDevice& device, std::string* error)>;

enum class SlotState {
    Waiting,      // no device
    Settling,     // a device came; it is programmed once it has stayed for the settle time
    Programming,  // its run is under way
    Passed,       // its run completed; waits for the device to go away
    Failed,       // its run failed (or could not start); waits for the device to go away
};

// What one slot shows.
struct SlotView {
    std::string name;
    SlotState state = SlotState::Waiting;
    SlotDevice device;              // while a device is plugged
    RunProgress progress;           // Programming
    std::optional<double> etaSeconds;  // Programming, once there is enough to tell
    std::string reason;             // Failed: in a few words
    bool abandoned = false;         // Failed: ended by the operator
    unsigned devices = 0;           // devices this slot has finished
};

// "waiting", "settling", "programming 42 % 1:10 left", "PASSED - remove the device", ...:
// the one text of a slot's state that every front-end shows.
std::string StateWord(SlotState state);
std::string SlotStateText(const SlotView& slot);
// 75 s -> "1:15", 3725 s -> "1:02:05".
std::string FormatDuration(double seconds);

struct Totals {
    unsigned passed = 0;
    unsigned failed = 0;     // abandoned ones included
    unsigned abandoned = 0;
    unsigned running = 0;
    double perHour = 0;      // finished devices per hour since the station started
    double elapsedSeconds = 0;
};

// One finished device, as it goes on record.
struct FinishedDevice {
    std::string slot;
    SlotDevice device;
    std::chrono::system_clock::time_point started;
    std::chrono::system_clock::time_point ended;
    double seconds = 0;
    RunResult result;
};

class StationObserver {
  public:
    virtual ~StationObserver() = default;
    virtual void OnSlotAppeared(const SlotView&) {}  // a device came (settling)
    virtual void OnSlotSettled(const SlotView&) {}   // it stayed for the settle time
    virtual void OnSlotStarted(const SlotView&) {}   // its run began
    virtual void OnSlotProgress(const SlotView&) {}  // the run's percentage or text changed
    virtual void OnSlotFinished(const SlotView&, const FinishedDevice&) {}
    virtual void OnSlotRemoved(const SlotView&) {}   // the device went away (waiting again)
    virtual void OnTotals(const Totals&) {}          // after any change of the totals
    virtual void OnNotice(const std::string&) {}     // a watcher problem, an entry left alone
    virtual void OnStopping(bool /*abandoning*/) {}  // no new devices from now on
};

// Puts a finished device on record; returns an error sentence, empty when it was written.
using RunRecorder = std::function<std::string(const FinishedDevice&)>;

struct StationOptions {
    std::chrono::milliseconds settle{500};
    unsigned count = 0;  // end after this many devices have finished; 0: no limit
    std::function<Clock::time_point()> now;                       // empty: steady_clock
    std::function<std::chrono::system_clock::time_point()> wallNow;  // empty: system_clock
};

class Station {
  public:
    Station(std::unique_ptr<ISlotWatcher> watcher, RunFactory runs, StationOptions options = {},
            StationObserver* observer = nullptr, RunRecorder recorder = {});
    ~Station();
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    // One look at the watcher, every run and every clock; never waits.
    void Turn();
    // How long the caller may wait before the next Turn has something to do (at most
    // `ceiling`): a settle ending, a run's own time; the watcher's period.
    Clock::duration TimeToNextTurn(Clock::duration ceiling) const;

    // Takes no new devices; the running ones finish. Done() once they have.
    void Stop();
    // Ends the running ones now; their records say they were abandoned.
    void Abandon();
    bool Stopping() const { return m_stopping; }
    bool Done() const;

    std::vector<SlotView> Slots() const;  // by slot name
    Totals GetTotals() const;
    // 0 when every finished device passed, 1 when any failed, 130 when runs were abandoned.
    int ExitStatus() const;

  private:
    struct Slot {
        SlotView view;
        std::string identity;  // of the device in it
        Clock::time_point appearedAt{};
        std::unique_ptr<IDeviceRun> run;
        Clock::time_point runStart{};
        std::chrono::system_clock::time_point wallStart{};
        std::string lastProgressKey;
    };

    Clock::time_point Now() const;
    void Watch();
    void Unplugged(Slot& slot, const std::string& why);
    void StartRun(Slot& slot);
    void PollRun(Slot& slot);
    void FinishRun(Slot& slot);
    void EmitTotals();
    bool Taking() const;

    std::unique_ptr<ISlotWatcher> m_watcher;
    RunFactory m_runs;
    StationOptions m_options;
    StationObserver* m_observer;
    RunRecorder m_recorder;
    std::map<std::string, Slot> m_slots;
    Clock::time_point m_started;
    unsigned m_begun = 0;      // runs started
    unsigned m_finished = 0;   // devices finished
    unsigned m_passed = 0;
    unsigned m_failed = 0;
    unsigned m_abandoned = 0;
    bool m_stopping = false;
    bool m_abandoning = false;
    std::string m_lastProblem;
};

}  // namespace orlo::station
