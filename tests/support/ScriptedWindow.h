// The test window: a window layer that records every control change, message box and progress
// position, and answers file dialogs from a queue (an empty queue answers "cancelled").
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "window/EventLoop.h"
#include "window/WindowBase.h"

namespace orlo::test {

struct RecordedBox {
    std::string text;
    std::string caption;
    unsigned type = 0;
};

class ScriptedWindow : public WindowBase {
public:
    explicit ScriptedWindow(EventLoop& loop) : WindowBase(loop) {}

    // --- scripting ---------------------------------------------------------------------
    // Queues the answer for the next file dialog: the chosen full path (empty = cancel).
    void QueueFileDialog(const std::string& fullPath) { m_fileAnswers.push_back(fullPath); }
    // Runs inside the next message boxes (for example a timer tick while a box is open).
    std::function<void(const RecordedBox&)> onMessageBox;

    // --- records -----------------------------------------------------------------------
    std::vector<RecordedBox> boxes;               // message boxes in order
    std::vector<RecordedBox> threadBoxes;         // boxes from other threads (guarded)
    std::vector<FileDialogRequest> fileDialogs;   // file dialogs in order
    std::vector<int> progressLog;                 // every position set on the progress bar
    std::vector<std::pair<int, std::string>> textLog;  // every text change (id, text)
    int aboutBoxes = 0;
    struct Paint {
        std::string what;  // "fill" or "bitmap"
        int x, y, w, h;
        uint32_t rgb;
        std::string path;
    };
    std::vector<Paint> paints;

    std::vector<std::string> BoxTexts() const;
    std::vector<RecordedBox> ThreadBoxes() const;

    int MessageBox(const std::string& text, const std::string& caption, unsigned type) override;
    void ThreadMessageBox(const std::string& text, const std::string& caption,
                          unsigned type) override;
    FileDialogResult DoFileDialog(const FileDialogRequest& request) override;
    void ShowAboutBox() override { ++aboutBoxes; }
    int ProgressSetPos(int id, int pos) override;
    void SetControlText(int id, const std::string& text) override;
    void FillSolidRect(int x, int y, int w, int h, uint32_t rgb) override;
    void DrawBitmapFile(const std::string& path, int x, int y, int w, int h) override;

private:
    std::deque<std::string> m_fileAnswers;
    mutable std::mutex m_threadMutex;
};

}  // namespace orlo::test
