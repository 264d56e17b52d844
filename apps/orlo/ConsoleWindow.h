// The window layer of the command line. The dialog runs on it exactly as on a desktop window;
// what a desktop shows on screen goes to a listener instead: message boxes, the status line,
// the progress bar, new log list entries. File dialogs are answered from the command's
// arguments, queued before the click that opens them.
#pragma once

#include <deque>
#include <memory>
#include <string>

#include "window/EventLoop.h"
#include "window/WindowBase.h"

namespace orlo::cli {

// Everything of the window that a console shows. Called on the UI thread only.
class ConsoleWindowListener {
  public:
    virtual ~ConsoleWindowListener() = default;
    // A message box (from the UI thread or, passed on, from the reader thread).
    virtual void OnMessageBox(const std::string& text, const std::string& caption,
                              unsigned type) = 0;
    virtual void OnStatusText(const std::string& text) = 0;  // status line 1015 changed
    virtual void OnProgressPos(int pos) = 0;                 // every position set on 1012
    virtual void OnLogEntry(const std::string& text) = 0;    // entry added to list box 1008
    virtual void OnPreviewDrawn(const std::string& path) = 0;
    // True when a message is to be taken from the window before the dialog sees it (the
    // session discards what arrives while the line settles). Asked first, for every message.
    virtual bool SwallowMessage(uint32_t) { return false; }
    // Around every message the window procedure handles (WM_COMMAND, WM_COMM_RX, WM_TIMER).
    virtual void OnBeforeMessage(uint32_t message) = 0;
    virtual void OnAfterMessage(uint32_t message) = 0;
};

// The listener may be null: a run (src/run) then sees the window through its own RunWindow.
class ConsoleWindow : public WindowBase {
  public:
    // Entries of the log list box kept at least (and at most twice as many).
    static constexpr std::size_t kLogEntriesKept = 64;

    ConsoleWindow(EventLoop& loop, ConsoleWindowListener* listener);
    ~ConsoleWindow() override;

    // The answer of the next file dialog: the chosen full path (empty: cancelled).
    void QueueFileAnswer(const std::string& fullPath) { m_fileAnswers.push_back(fullPath); }
    std::size_t FileDialogsShown() const { return m_fileDialogs; }

    void SetWndProc(WndProc proc) override;
    int MessageBox(const std::string& text, const std::string& caption, unsigned type) override;
    // The text alone: the session reports the detail itself, on a line that names the port.
    int DetailedMessageBox(const std::string& text, const std::string& detail,
                           const std::string& caption, unsigned type) override {
        (void)detail;
        return MessageBox(text, caption, type);
    }
    void ThreadMessageBox(const std::string& text, const std::string& caption,
                          unsigned type) override;
    FileDialogResult DoFileDialog(const FileDialogRequest& request) override;
    void ShowAboutBox() override {}
    int ListAddString(int id, const std::string& text) override;
    int ProgressSetPos(int id, int pos) override;
    void DrawBitmapFile(const std::string& path, int x, int y, int w, int h) override;

  protected:
    void OnControlChanged(int id) override;

  private:
    ConsoleWindowListener* m_listener;
    std::deque<std::string> m_fileAnswers;
    std::size_t m_fileDialogs = 0;
    // Work posted from the reader thread checks this before touching the window.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

}  // namespace orlo::cli
