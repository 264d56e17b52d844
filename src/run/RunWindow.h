// The window a run puts between the dialog and its front-end's window. Every call passes through
// unchanged to the front-end's window (the Qt window, the command line's console window, a
// test window); on the way the run sees what it needs to supervise: the messages the dialog's
// window procedure handles, the message boxes, the status line, the progress bar (set once
// after every complete frame), the log list. It also answers the file dialogs a run driven by a
// program asked for (the command line's arguments) and clicks buttons as a user would.
#pragma once

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "app/Window.h"

namespace orlo::run {

// What the run hears from its window. UI thread only (thread boxes are handed over, see
// RunWindow::TakeThreadBoxes).
class RunWindowListener {
  public:
    virtual ~RunWindowListener() = default;
    virtual void OnMessageBox(const std::string& text) = 0;
    virtual void OnStatusText(const std::string& text) = 0;
    virtual void OnProgressPos(int pos) = 0;
    virtual void OnLogEntry(const std::string& text) = 0;
    // True when the message is to be taken away before the dialog sees it.
    virtual bool SwallowMessage(uint32_t /*message*/, uintptr_t /*wParam*/) { return false; }
    virtual void OnBeforeMessage(uint32_t message) = 0;
    virtual void OnAfterMessage(uint32_t message) = 0;
};

class RunWindow : public IWindow {
  public:
    RunWindow(IWindow& inner, RunWindowListener& listener);

    IWindow& Inner() { return m_inner; }
    // The answer of the next file dialog (the full path; empty: cancelled). Without one queued
    // the front-end's own dialog is shown.
    void QueueFileAnswer(const std::string& fullPath) { m_fileAnswers.push_back(fullPath); }
    // A click (or another notification) of control `id`, through the window procedure.
    void Click(int id, int notification);
    // Message boxes raised on the reader thread since the last call (UI thread).
    std::vector<std::string> TakeThreadBoxes();

    void SetWndProc(WndProc proc) override;
    intptr_t SendMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) override {
        return m_inner.SendMessage(msg, wParam, lParam);
    }
    void Destroy() override { m_inner.Destroy(); }
    bool IsWindow() const override { return m_inner.IsWindow(); }
    void SetTitle(const std::string& title) override { m_inner.SetTitle(title); }
    void SetIcon(int iconResource, bool big) override { m_inner.SetIcon(iconResource, big); }
    void AppendSystemMenu(unsigned commandId, const std::string& text) override {
        m_inner.AppendSystemMenu(commandId, text);
    }
    bool IsIconic() const override { return m_inner.IsIconic(); }
    void SetControlText(int id, const std::string& text) override;
    std::string GetControlText(int id) const override { return m_inner.GetControlText(id); }
    void EnableControl(int id, bool enable) override { m_inner.EnableControl(id, enable); }
    bool IsControlEnabled(int id) const override { return m_inner.IsControlEnabled(id); }
    void ShowControl(int id, bool show) override { m_inner.ShowControl(id, show); }
    bool IsControlVisible(int id) const override { return m_inner.IsControlVisible(id); }
    int ComboDeleteString(int id, int index) override { return m_inner.ComboDeleteString(id, index); }
    int ComboAddString(int id, const std::string& text) override {
        return m_inner.ComboAddString(id, text);
    }
    int ComboSetCurSel(int id, int index) override { return m_inner.ComboSetCurSel(id, index); }
    int ComboGetCurSel(int id) const override { return m_inner.ComboGetCurSel(id); }
    int ComboGetCount(int id) const override { return m_inner.ComboGetCount(id); }
    bool ComboGetLBText(int id, int index, std::string* text) const override {
        return m_inner.ComboGetLBText(id, index, text);
    }
    int ListAddString(int id, const std::string& text) override;
    int ListSetCurSel(int id, int index) override { return m_inner.ListSetCurSel(id, index); }
    int ListDeleteString(int id, int index) override { return m_inner.ListDeleteString(id, index); }
    int ListGetCount(int id) const override { return m_inner.ListGetCount(id); }
    int ProgressSetPos(int id, int pos) override;
    int MessageBox(const std::string& text, const std::string& caption, unsigned type) override;
    // The run hears the text; the front-end's window shows the detail its own way.
    int DetailedMessageBox(const std::string& text, const std::string& detail,
                           const std::string& caption, unsigned type) override;
    void ThreadMessageBox(const std::string& text, const std::string& caption,
                          unsigned type) override;
    FileDialogResult DoFileDialog(const FileDialogRequest& request) override;
    void ShowAboutBox() override { m_inner.ShowAboutBox(); }
    void BeginWaitCursor() override { m_inner.BeginWaitCursor(); }
    void EndWaitCursor() override { m_inner.EndWaitCursor(); }
    bool SetTimer(unsigned id, unsigned periodMs) override { return m_inner.SetTimer(id, periodMs); }
    bool KillTimer(unsigned id) override { return m_inner.KillTimer(id); }
    void FillSolidRect(int x, int y, int w, int h, uint32_t rgb) override {
        m_inner.FillSolidRect(x, y, w, h, rgb);
    }
    void DrawBitmapFile(const std::string& path, int x, int y, int w, int h) override {
        m_inner.DrawBitmapFile(path, x, y, w, h);
    }

  private:
    IWindow& m_inner;
    RunWindowListener& m_listener;
    std::deque<std::string> m_fileAnswers;
    std::mutex m_threadBoxMutex;
    std::vector<std::string> m_threadBoxes;  // under m_threadBoxMutex
};

}  // namespace orlo::run
