// What the technician's window shows beside the status line while a run is under way: the
// file, the bytes done of the phase, the rate and the time left of the whole run; and which
// buttons cannot act while it runs (they are shown disabled, so nobody presses them to be told
// so). Read from the dialog's own members a few times a second; the status texts stay theirs.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <set>
#include <string>

class QLabel;
class QTimer;

namespace orlo {
class COrloDlg;
}

namespace orlo::gui {

class QtWindow;

// One look at a run: the phase's bytes and the whole run's.
struct RunProgress {
    std::string file;         // the image or the read-back file; empty when not known
    bool reading = false;     // a read-back (else a programming run: writes, then verifies)
    bool verifying = false;   // programming: the verify pass
    uint64_t phaseDone = 0;   // bytes of the phase the device has answered
    uint64_t phaseTotal = 0;
    uint64_t runDone = 0;     // of the whole run (programming: writes and verifies)
    uint64_t runTotal = 0;
};

// The run under way on `dlg`, or false when none is. `chosenImage` is the file the last
// programming start was given.
bool ReadRunProgress(const COrloDlg& dlg, const std::string& chosenImage, RunProgress* out);

// Three short lines: the file's name, "120.0 KiB of 236.0 KiB", "11.2 KiB/s, 0:09 left".
// Before a rate is known the time left is left out.
QString RunDetailsText(const RunProgress& p, double elapsedSeconds);

// The controls a run makes useless: the starts of other runs (which the dialog refuses) and
// the buttons that would send a frame of their own into the middle of the run.
const std::set<int>& ControlsLockedDuringRun();

// Polls the dialog while the window lives and keeps the label and the locked buttons current.
class RunDetails : public QObject {
  public:
    RunDetails(QtWindow& layer, QLabel& label, std::function<const COrloDlg*()> dialog);
    // Looks at the dialog now (the timer does so every kPollMs).
    void Poll();

  private:
    QtWindow& m_layer;
    QLabel& m_label;
    std::function<const COrloDlg*()> m_dialog;
    QTimer* m_timer = nullptr;
    QElapsedTimer m_clock;
    bool m_running = false;
};

}  // namespace orlo::gui
