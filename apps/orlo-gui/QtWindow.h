// The window layer on Qt Widgets. The control state (texts, flags, list entries, positions)
// lives in WindowBase, exactly as for every other front-end; each change is mirrored into the
// widget bound to the control's id, and what the user does in a widget goes back into that
// state before the dialog hears of it. Messages from other threads reach the dialog through a
// cancellable synchronous send (GuiSend), timers are QTimers, and the boxes and file dialogs
// are Qt's, unless a test puts stand-ins in their place.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <map>
#include <memory>
#include <set>

#include "GuiSend.h"
#include "PreviewCanvas.h"
#include "app/OrloDlg.h"
#include "window/EventLoop.h"
#include "window/WindowBase.h"

class QLabel;
class QTimer;
class QWidget;

namespace orlo::gui {

class PreviewCanvas;

// Stand-ins for the modal boxes: a test answers them without a nested event loop.
struct Prompts {
    std::function<int(const std::string& text, const std::string& caption, unsigned type)>
        messageBox;
    std::function<FileDialogResult(const FileDialogRequest& request)> fileDialog;
    std::function<void()> aboutBox;
};

namespace detail {
// WindowBase keeps its send on an EventLoop; this window serves sends through Qt's event queue
// instead, so the loop is only there for the base class.
struct LoopHolder {
    EventLoop loop;
};
}  // namespace detail

class QtWindow : public QObject, private detail::LoopHolder, public WindowBase {
  public:
    QtWindow();
    ~QtWindow() override;

    // --- wiring by the window's builder --------------------------------------------------
    // Binds the widget that shows control `id` and seeds the control's state from the widget's
    // caption. A service control's widget is shown and hidden with its panel, not by the
    // control's visible flag.
    void Bind(int id, QWidget* widget, bool serviceControl = false);
    QWidget* Widget(int id) const;
    int IdOf(const QWidget* widget) const;  // 0 when no control shows it
    void SetMainWidget(QWidget* window) { m_main = window; }
    void SetPreview(PreviewCanvas* canvas) { m_preview = canvas; }
    // Tells the port list's details (device path, description) for a list entry; they show
    // in the list's tooltip and in `label`.
    void SetPortDetails(std::function<QString(const std::string& entry)> details, QLabel* label);
    // Queued input passes this filter before it is handled (the dialog's PreTranslateMessage).
    void SetPreTranslate(std::function<bool(const InputMessage&)> filter);
    bool PreTranslate(const InputMessage& msg);

    void SetPrompts(Prompts prompts) { m_prompts = std::move(prompts); }
    // With manual timers nothing fires by itself; FireTimer delivers one tick (tests).
    void SetManualTimers(bool manual) { m_manualTimers = manual; }
    bool FireTimer(unsigned id);
    bool TimerActive(unsigned id) const { return m_timers.count(id) > 0; }

    // True while a message is being handled (possibly inside a nested box's event loop).
    bool InHandler() const { return m_depth > 0; }
    // Runs `fn` as soon as no message is being handled (at once when none is).
    void AfterHandlers(std::function<void()> fn);
    GuiSend& Sender() { return m_send; }

    // Controls shown disabled whatever the dialog says (a run is under way); their state in
    // the window layer is not touched.
    void SetLocked(const std::set<int>& ids);
    // The file the last file dialog was answered with (empty before any).
    const std::string& LastChosenFile() const { return m_lastChosenFile; }

    // A click or notification from a control, delivered as WM_COMMAND.
    void Command(int id, int notification);

    // --- IWindow ----------------------------------------------------------------------
    void SetWndProc(WndProc proc) override;
    intptr_t SendMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) override;
    void Destroy() override;
    bool IsWindow() const override { return WindowBase::IsWindow(); }
    void SetTitle(const std::string& title) override;
    void SetIcon(int iconResource, bool big) override;
    bool IsIconic() const override;

    int MessageBox(const std::string& text, const std::string& caption, unsigned type) override;
    // The detail goes under the text (the box's informative text).
    int DetailedMessageBox(const std::string& text, const std::string& detail,
                           const std::string& caption, unsigned type) override;
    void ThreadMessageBox(const std::string& text, const std::string& caption,
                          unsigned type) override;
    FileDialogResult DoFileDialog(const FileDialogRequest& request) override;
    void ShowAboutBox() override;
    void BeginWaitCursor() override;
    void EndWaitCursor() override;
    bool SetTimer(unsigned id, unsigned periodMs) override;
    bool KillTimer(unsigned id) override;
    void FillSolidRect(int x, int y, int w, int h, uint32_t rgb) override;
    int ListDeleteString(int id, int index) override;

    // Brings every list widget up to date with its entries now, instead of at the next
    // refresh (tests and benchmarks read the widgets).
    void FlushLists();
    void DrawBitmapFile(const std::string& path, int x, int y, int w, int h) override;

  protected:
    void OnControlChanged(int id) override;

  private:
    struct Binding {
        QPointer<QWidget> widget;
        bool service = false;
    };
    intptr_t Dispatch(uint32_t msg, uintptr_t wParam, intptr_t lParam);
    void Connect(int id, QWidget* widget);
    void UpdatePortDetails(int id);
    void FlushList(int id);
    FileDialogResult RunFileDialog(const FileDialogRequest& request);
    int ShowMessageBox(QWidget* parent, const std::string& text, const std::string& caption,
                       unsigned type, const std::string& detail = {});

    GuiSend m_send;
    WndProc m_proc;
    std::function<bool(const InputMessage&)> m_preTranslate;
    std::function<QString(const std::string&)> m_portDetails;
    Prompts m_prompts;
    std::map<int, Binding> m_bindings;
    std::set<int> m_locked;
    std::string m_lastChosenFile;
    QPointer<QWidget> m_main;
    QPointer<PreviewCanvas> m_preview;
    QPointer<QLabel> m_portLabel;
    std::map<unsigned, QTimer*> m_timers;  // children of this object
    std::vector<std::function<void()>> m_afterHandlers;
    // List widgets are refreshed at most every kListRefresh: a device may add thousands of
    // entries a second. Per list, how many leading rows are known to equal the entries.
    std::map<int, std::size_t> m_listRowsValid;
    std::set<int> m_listsDirty;
    QTimer* m_listTimer = nullptr;
    bool m_manualTimers = false;
    bool m_syncing = false;  // mirroring into widgets: their signals are not the user's
    int m_depth = 0;
    int m_waitCursors = 0;
};

}  // namespace orlo::gui
