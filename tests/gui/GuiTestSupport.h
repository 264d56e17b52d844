// Helpers of the window's tests: one QApplication for the test program (offscreen, so no display
// is needed), waiting on the event loop with a deadline, and stand-ins for the modal boxes that
// record what the dialog asked.
#pragma once

#include <QCoreApplication>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "QtWindow.h"

namespace orlo::gui::test {

// Processes events until `done` holds (true) or `timeout` passes (false).
bool PumpUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(20));

struct Box {
    std::string text;
    std::string caption;
    unsigned type = 0;
};

// Ends the test program with a message when it is still alive after `limit`: a deadlock then
// shows as a failure that names itself, not as a test that never ends.
class HangGuard {
  public:
    HangGuard(std::chrono::milliseconds limit, std::string what);
    ~HangGuard();

  private:
    struct State;
    std::shared_ptr<State> m_state;
};

// Records every message box, file dialog and About box, answers file dialogs from a queue of
// paths (an empty queue cancels) and Yes/No boxes from a queue of answers.
class RecordingPrompts {
  public:
    Prompts Make();
    std::vector<Box> boxes;
    std::vector<FileDialogRequest> fileDialogs;
    std::vector<std::string> answers;
    // Answers of Yes/No boxes, in order (IDYES or IDNO); No when none is left.
    std::vector<int> replies;
    int aboutBoxes = 0;
    // Runs inside a message box, as the box's own event loop would run (may be empty).
    std::function<void(const Box&)> whileBoxOpen;
};

// A file in a fresh temporary folder, removed with it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    std::string Path(const std::string& name) const { return m_dir + "/" + name; }
    std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) const;

  private:
    std::string m_dir;
};

// The widget of control `id` in the window of `layer`, cast to W.
template <class W>
W* ControlWidget(QtWindow& layer, int id) {
    return qobject_cast<W*>(layer.Widget(id));
}

}  // namespace orlo::gui::test
