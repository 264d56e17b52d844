// The window layer on a native Win32 dialog, created from a dialog template of the program's
// resources (the main window is template 102). Every control is the real Windows control of its
// id: texts, enabled and visible flags, list entries and the progress position live in the
// controls, exactly as the dialog's data exchange expects. Every text crosses to Windows through
// the wide-character functions (UTF-8 inside the program, UTF-16 at the API), so the Korean
// texts are right on any system whatever its code page.
//
// The main window and the About box open centred (win32::CentreDialog): the main window on the
// screen's work area, the About box on the main window.
//
// Messages reach the dialog's window procedure through the dialog box procedure; the reader
// thread's WM_COMM_RX arrives by ::SendMessageW, so Windows runs OnCommRx on the UI thread while
// the reader waits. The modal loop gives every queued message to the dialog's
// PreTranslateMessage first (which keeps Enter and Escape away), as the framework's modal loop
// does; the window ends only by its close box, the system menu's Close or Alt+F4.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <set>
#include <string>

#include "app/OrloDlg.h"
#include "win32/WinApi.h"

namespace orlo {

namespace win32 {

// The top-left corner of a `width` x `height` window centred on `centreOn` and then moved into
// `area`: first its right and bottom edges, then its left and top edges, so that on a screen too
// small for it the caption and the top-left corner stay reachable.
POINT CentredPosition(int width, int height, const RECT& centreOn, const RECT& area);

// Places a top-level dialog where dialogs of the desktop framework open: centred on its owner
// when the owner is shown and not minimised, otherwise on the work area of the monitor it is on
// (the primary one when it is on none), and kept inside that monitor's work area. The size and
// the z-order are left alone.
void CentreDialog(HWND dialog);

}  // namespace win32

// Stand-ins for the modal boxes, so a test can answer them without a person at the screen.
struct Win32Prompts {
    std::function<int(const std::string& text, const std::string& caption, unsigned type)>
        messageBox;
    std::function<FileDialogResult(const FileDialogRequest& request)> fileDialog;
    std::function<void()> aboutBox;
};

class Win32DialogWindow : public IWindow {
  public:
    // `instance` holds the dialog templates, the icon and the strings (the program's module).
    explicit Win32DialogWindow(HINSTANCE instance);
    ~Win32DialogWindow() override;
    Win32DialogWindow(const Win32DialogWindow&) = delete;
    Win32DialogWindow& operator=(const Win32DialogWindow&) = delete;

    // Creates the dialog from template `templateId`, not yet shown. False when the template is
    // missing or the dialog cannot be created.
    bool Create(int templateId);
    HWND Handle() const { return m_hwnd.load(); }
    void Show(int showCommand = SW_SHOWNORMAL);

    // Queued messages for the dialog and its controls pass this filter first; true consumes
    // them (the dialog's PreTranslateMessage).
    void SetPreTranslate(std::function<bool(const InputMessage&)> filter);
    // Runs the modal loop until the window is closed (or destroyed).
    void RunModalLoop();
    // Handles the messages that are waiting, waiting up to `maxWait` for the first; true when
    // the window has been closed.
    bool PumpMessages(std::chrono::milliseconds maxWait);
    // True once the user has closed the window (close box, system menu Close, Alt+F4).
    bool CloseRequested() const { return m_closeRequested; }

    void SetPrompts(Win32Prompts prompts) { m_prompts = std::move(prompts); }

    // --- IWindow ----------------------------------------------------------------------
    void SetWndProc(WndProc proc) override { m_proc = std::move(proc); }
    intptr_t SendMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) override;
    void Destroy() override;
    bool IsWindow() const override;
    void SetTitle(const std::string& title) override;
    void SetIcon(int iconResource, bool big) override;
    void AppendSystemMenu(unsigned commandId, const std::string& text) override;
    bool IsIconic() const override;

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

    int MessageBox(const std::string& text, const std::string& caption, unsigned type) override;
    int DetailedMessageBox(const std::string& text, const std::string& detail,
                           const std::string& caption, unsigned type) override {
        return MessageBox(BoxTextWithDetail(text, detail), caption, type);
    }
    void ThreadMessageBox(const std::string& text, const std::string& caption,
                          unsigned type) override;
    FileDialogResult DoFileDialog(const FileDialogRequest& request) override;
    void ShowAboutBox() override;
    void BeginWaitCursor() override;
    void EndWaitCursor() override;

    bool SetTimer(unsigned id, unsigned periodMs) override;
    bool KillTimer(unsigned id) override;

    void FillSolidRect(int x, int y, int w, int h, uint32_t rgb) override;
    void DrawBitmapFile(const std::string& path, int x, int y, int w, int h) override;

    // The text of string resource `id` of the program's module ("" when there is none).
    std::string LoadResourceString(int id) const;

  private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    INT_PTR HandleMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    // Runs the dialog's window procedure; 0 once the window is gone.
    intptr_t Dispatch(uint32_t msg, uintptr_t wParam, intptr_t lParam);
    // Gives a queued message to the filter and then to the dialog or Windows.
    void HandleQueued(MSG& msg);
    void PaintMinimised(HWND hwnd);
    HWND Control(int id) const;

    HINSTANCE m_instance;
    std::atomic<HWND> m_hwnd{nullptr};
    std::atomic<bool> m_destroyed{false};
    bool m_closeRequested = false;
    WndProc m_proc;
    std::function<bool(const InputMessage&)> m_preTranslate;
    Win32Prompts m_prompts;
    std::set<unsigned> m_timers;
    HICON m_bigIcon = nullptr;
    HICON m_smallIcon = nullptr;
    int m_waitCursors = 0;
};

}  // namespace orlo
