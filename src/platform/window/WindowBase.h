// The common part of every window-layer implementation: control state addressed by id (texts,
// enabled and visible flags, combo and list items, progress position), the synchronous send and
// the window timers over an EventLoop. Front-ends derive from it and supply the boxes and
// dialogs; they may watch changes through OnControlChanged.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "app/Window.h"
#include "window/EventLoop.h"

namespace orlo {

struct ControlState {
    std::string text;
    bool enabled = true;
    bool visible = true;
    std::vector<std::string> items;  // combo box or list box entries
    int curSel = -1;
    int pos = 0;  // progress bar position
};

// The answer of a file dialog closed with `fullPath` chosen; an empty path is a cancel.
FileDialogResult ChosenFile(const std::string& fullPath);

class WindowBase : public IWindow {
public:
    explicit WindowBase(EventLoop& loop) : m_loop(loop), m_owner(loop.NewOwner()) {}
    ~WindowBase() override;

    EventLoop& Loop() { return m_loop; }

    void SetWndProc(WndProc proc) override;
    intptr_t SendMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) override;
    void Destroy() override;
    bool IsWindow() const override;
    void SetTitle(const std::string& title) override;
    void SetIcon(int iconResource, bool big) override;
    void AppendSystemMenu(unsigned commandId, const std::string& text) override;

    void SetControlText(int id, const std::string& text) override;
    std::string GetControlText(int id) const override;
    void EnableControl(int id, bool enable) override;
    bool IsControlEnabled(int id) const override;
    void ShowControl(int id, bool show) override;
    bool IsControlVisible(int id) const override;

    int ComboDeleteString(int id, int index) override;
    int ComboAddString(int id, const std::string& text) override;
    int ComboSetCurSel(int id, int index) override;
    int ComboGetCurSel(int id) const override;
    int ComboGetCount(int id) const override;
    bool ComboGetLBText(int id, int index, std::string* text) const override;

    int ListAddString(int id, const std::string& text) override;
    int ListSetCurSel(int id, int index) override;
    int ListDeleteString(int id, int index) override;
    int ListGetCount(int id) const override;

    int ProgressSetPos(int id, int pos) override;

    // The detail under the text, in the one text of MessageBox.
    int DetailedMessageBox(const std::string& text, const std::string& detail,
                           const std::string& caption, unsigned type) override {
        return MessageBox(BoxTextWithDetail(text, detail), caption, type);
    }
    void BeginWaitCursor() override { ++m_waitCursor; }
    void EndWaitCursor() override {
        if (m_waitCursor > 0) --m_waitCursor;
    }
    bool SetTimer(unsigned id, unsigned periodMs) override;
    bool KillTimer(unsigned id) override;
    void FillSolidRect(int, int, int, int, uint32_t) override {}
    void DrawBitmapFile(const std::string&, int, int, int, int) override {}

    // Read access for front-ends and tests.
    const ControlState& Control(int id) const;
    std::vector<std::string> ListItems(int id) const { return Control(id).items; }
    const std::string& Title() const { return m_title; }
    const std::vector<std::pair<unsigned, std::string>>& SystemMenu() const { return m_sysMenu; }
    int WaitCursorDepth() const { return m_waitCursor; }

    // Delivers a click or notification from a control to the dialog, as a toolkit would.
    intptr_t Click(int id, int notification = 0);

protected:
    // Called on the UI thread after any change of control `id`.
    virtual void OnControlChanged(int /*id*/) {}
    ControlState& Mutable(int id) { return m_controls[id]; }

private:
    unsigned TimerKey(unsigned id) const;

    EventLoop& m_loop;
    uint64_t m_owner;
    std::set<unsigned> m_timers;
    WndProc m_proc;
    std::atomic<bool> m_destroyed{false};
    std::map<int, ControlState> m_controls;
    std::string m_title;
    std::vector<std::pair<unsigned, std::string>> m_sysMenu;
    int m_waitCursor = 0;
};

}  // namespace orlo
