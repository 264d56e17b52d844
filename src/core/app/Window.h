// The window layer: everything the dialog needs from a desktop toolkit, addressed by control
// id. The command line, the Qt window and the test window each implement it; the dialog talks
// to the screen only through this interface.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace orlo {

constexpr int CB_ERR = -1;  // combo/list box error or "no selection"
constexpr int LB_ERR = -1;

struct FileDialogRequest {
    bool open = true;           // true: open dialog; false: save dialog
    std::string defaultExt;     // default-extension argument, passed as written
    std::string initialName;    // initial file name, passed as written
    unsigned flags = 0;         // OFN_* option flags
    std::string filter;         // "description|pattern|..." as written
    bool ownedByDialog = true;  // false where no owner window is passed
};

struct FileDialogResult {
    bool ok = false;        // closed with OK
    std::string fullPath;   // chosen full path (empty when cancelled)
    std::string fileName;   // name part of the chosen path (empty when cancelled)
};

// A box's text with its detail in one text, for windows that show a single text: the detail
// under the text, after an empty line.
inline std::string BoxTextWithDetail(const std::string& text, const std::string& detail) {
    return detail.empty() ? text : text + "\n\n" + detail;
}

// Window procedure of the dialog: message, wParam, lParam -> result.
using WndProc = std::function<intptr_t(uint32_t, uintptr_t, intptr_t)>;

class IWindow {
public:
    virtual ~IWindow() = default;

    // --- the window itself -------------------------------------------------------------
    // Where messages for this window go. Set by the dialog on construction.
    virtual void SetWndProc(WndProc proc) = 0;
    // Runs the window procedure on the UI thread and returns its result. Callable from any
    // thread; from the UI thread it calls straight through. Returns 0 at once when the window
    // is gone (after Destroy) or goes while the call waits.
    virtual intptr_t SendMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) = 0;
    // The window is gone: later and pending SendMessage calls return at once.
    virtual void Destroy() = 0;
    virtual bool IsWindow() const = 0;
    virtual void SetTitle(const std::string& title) = 0;
    virtual void SetIcon(int iconResource, bool big) = 0;
    virtual void AppendSystemMenu(unsigned commandId, const std::string& text) = 0;
    virtual bool IsIconic() const { return false; }

    // --- controls by id ----------------------------------------------------------------
    virtual void SetControlText(int id, const std::string& text) = 0;
    virtual std::string GetControlText(int id) const = 0;
    virtual void EnableControl(int id, bool enable) = 0;
    virtual bool IsControlEnabled(int id) const = 0;
    virtual void ShowControl(int id, bool show) = 0;
    virtual bool IsControlVisible(int id) const = 0;

    // Combo box (CB_* messages): results as the toolkit reports them.
    virtual int ComboDeleteString(int id, int index) = 0;  // remaining count, or CB_ERR
    virtual int ComboAddString(int id, const std::string& text) = 0;  // new index
    virtual int ComboSetCurSel(int id, int index) = 0;  // index, or CB_ERR when out of range
    virtual int ComboGetCurSel(int id) const = 0;       // CB_ERR when nothing is selected
    virtual int ComboGetCount(int id) const = 0;
    virtual bool ComboGetLBText(int id, int index, std::string* text) const = 0;

    // List box (LB_* messages).
    virtual int ListAddString(int id, const std::string& text) = 0;  // new index
    virtual int ListSetCurSel(int id, int index) = 0;
    virtual int ListDeleteString(int id, int index) = 0;  // remaining count, or LB_ERR
    virtual int ListGetCount(int id) const = 0;

    // Progress bar (PBM_SETPOS): returns the previous position.
    virtual int ProgressSetPos(int id, int pos) = 0;

    // --- modal boxes and dialogs (UI thread) -------------------------------------------
    // A message box with an OK button, or Yes and No when `type` says MB_YESNO (the answer is
    // then IDYES or IDNO). `type` carries MB_ICON* bits.
    virtual int MessageBox(const std::string& text, const std::string& caption, unsigned type) = 0;
    // A box whose text is followed by `detail`: what the system said and what to do about it.
    // A window shows the detail under the text; a front-end that reports the detail in its own
    // way (the command line, on a line naming the port) may show the text alone.
    virtual int DetailedMessageBox(const std::string& text, const std::string& detail,
                                   const std::string& caption, unsigned type) = 0;
    // A message box from a thread that is not the UI thread, owned by no window.
    virtual void ThreadMessageBox(const std::string& text, const std::string& caption,
                                  unsigned type) = 0;
    virtual FileDialogResult DoFileDialog(const FileDialogRequest& request) = 0;
    virtual void ShowAboutBox() = 0;
    virtual void BeginWaitCursor() = 0;
    virtual void EndWaitCursor() = 0;

    // --- timers: WM_TIMER with the id as wParam, every periodMs, until killed ------------
    virtual bool SetTimer(unsigned id, unsigned periodMs) = 0;
    virtual bool KillTimer(unsigned id) = 0;

    // --- painting of the converter preview (client coordinates) ------------------------
    virtual void FillSolidRect(int x, int y, int w, int h, uint32_t rgb) = 0;
    // Draws w x h pixels of the bitmap file at `path` at (x, y); nothing when it cannot load.
    virtual void DrawBitmapFile(const std::string& path, int x, int y, int w, int h) = 0;
};

}  // namespace orlo
