#include "QtWindow.h"

#include <algorithm>
#include <iterator>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QScopedValueRollback>
#include <QThread>
#include <QTimer>

#include "AboutBox.h"
#include "AppIcon.h"
#include "Controls.h"
#include "FileFilter.h"
#include "PreviewCanvas.h"

namespace orlo::gui {

namespace {

constexpr int kListRefresh = 50;  // ms between refreshes of a list widget, at most

uintptr_t CommandParam(int id, int notification) {
    return (static_cast<uintptr_t>(notification & 0xFFFF) << 16) |
           static_cast<uintptr_t>(id & 0xFFFF);
}

QString Text(const std::string& text) {
    return QString::fromStdString(text);
}

QMessageBox::Icon IconOf(unsigned type) {
    switch (type & 0xF0) {
        case MB_ICONHAND:
            return QMessageBox::Critical;
        case MB_ICONQUESTION:
            return QMessageBox::Question;
        case MB_ICONEXCLAMATION:
            return QMessageBox::Warning;
        case MB_ICONINFORMATION:
            return QMessageBox::Information;
        default:
            return QMessageBox::NoIcon;
    }
}

}  // namespace

QtWindow::QtWindow() : WindowBase(loop), m_send(this) {}

QtWindow::~QtWindow() {
    Destroy();
    m_bindings.clear();
}

// --- wiring ---------------------------------------------------------------------------------

void QtWindow::Bind(int id, QWidget* widget, bool serviceControl) {
    m_bindings[id] = Binding{widget, serviceControl};
    ControlState& state = Mutable(id);
    if (auto* button = qobject_cast<QAbstractButton*>(widget))
        state.text = button->text().toStdString();
    else if (auto* edit = qobject_cast<QLineEdit*>(widget))
        state.text = edit->text().toStdString();
    state.visible = serviceControl ? false : !widget->isHidden();
    state.enabled = widget->isEnabled();
    Connect(id, widget);
}

QWidget* QtWindow::Widget(int id) const {
    auto it = m_bindings.find(id);
    return it == m_bindings.end() ? nullptr : it->second.widget.data();
}

int QtWindow::IdOf(const QWidget* widget) const {
    for (const QWidget* w = widget; w != nullptr; w = w->parentWidget()) {
        for (const auto& [id, binding] : m_bindings)
            if (binding.widget == w) return id;
        if (w == m_main) break;
    }
    return 0;
}

void QtWindow::SetPortDetails(std::function<QString(const std::string&)> details, QLabel* label) {
    m_portDetails = std::move(details);
    m_portLabel = label;
}

void QtWindow::SetPreTranslate(std::function<bool(const InputMessage&)> filter) {
    m_preTranslate = std::move(filter);
}

bool QtWindow::PreTranslate(const InputMessage& msg) {
    if (!IsWindow() || !m_preTranslate) return false;
    return m_preTranslate(msg);
}

void QtWindow::Connect(int id, QWidget* widget) {
    if (auto* combo = qobject_cast<QComboBox*>(widget)) {
        if (auto* ports = dynamic_cast<PortCombo*>(combo))
            ports->onDropDown = [this, id] { Command(id, CBN_DROPDOWN); };
        // A choice of the user (mouse or keys): the selection moves, then the dialog hears.
        QObject::connect(combo, &QComboBox::activated, this, [this, id](int index) {
            if (m_syncing) return;
            Mutable(id).curSel = index;
            UpdatePortDetails(id);
            Command(id, CBN_SELCHANGE);
        });
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        QObject::connect(button, &QAbstractButton::clicked, this,
                         [this, id] { Command(id, BN_CLICKED); });
    } else if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        // Typed text is the control's text; the dialog reads it at its next data exchange.
        QObject::connect(edit, &QLineEdit::textEdited, this, [this, id](const QString& text) {
            if (!m_syncing) Mutable(id).text = text.toStdString();
        });
    } else if (auto* list = qobject_cast<QListWidget*>(widget)) {
        QObject::connect(list, &QListWidget::currentRowChanged, this, [this, id](int row) {
            if (!m_syncing) Mutable(id).curSel = row;
        });
    }
}

// --- mirroring the control state into the widgets -------------------------------------------

void QtWindow::OnControlChanged(int id) {
    auto it = m_bindings.find(id);
    if (it == m_bindings.end() || it->second.widget.isNull()) return;
    QWidget* widget = it->second.widget;
    const ControlState& state = Control(id);
    QScopedValueRollback<bool> syncing(m_syncing, true);

    widget->setEnabled(state.enabled && m_locked.count(id) == 0);
    if (!it->second.service) widget->setVisible(state.visible);

    if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        if (button->text().toStdString() != state.text) button->setText(Text(state.text));
    } else if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        if (edit->text().toStdString() != state.text) edit->setText(Text(state.text));
    } else if (auto* combo = qobject_cast<QComboBox*>(widget)) {
        QStringList items;
        for (const auto& item : state.items) items << Text(item);
        QStringList shown;
        for (int i = 0; i < combo->count(); ++i) shown << combo->itemText(i);
        if (shown != items) {
            combo->clear();
            combo->addItems(items);
        }
        if (combo->currentIndex() != state.curSel || state.curSel < 0) {
            combo->setCurrentIndex(state.curSel);
            if (state.curSel < 0 && combo->isEditable()) combo->setEditText(QString());
        }
        UpdatePortDetails(id);
    } else if (qobject_cast<QListWidget*>(widget)) {
        // Entries and selection reach the widget at the next refresh, all at once.
        m_listsDirty.insert(id);
        if (!m_listTimer) {
            m_listTimer = new QTimer(this);
            m_listTimer->setSingleShot(true);
            m_listTimer->setInterval(kListRefresh);
            QObject::connect(m_listTimer, &QTimer::timeout, this, [this] { FlushLists(); });
        }
        if (!m_listTimer->isActive()) m_listTimer->start();
    } else if (auto* bar = qobject_cast<QProgressBar*>(widget)) {
        bar->setValue(state.pos);
    }
}

void QtWindow::SetLocked(const std::set<int>& ids) {
    std::set<int> changed;
    std::set_symmetric_difference(m_locked.begin(), m_locked.end(), ids.begin(), ids.end(),
                                  std::inserter(changed, changed.begin()));
    m_locked = ids;
    for (int id : changed)
        if (QWidget* widget = Widget(id)) widget->setEnabled(Control(id).enabled && ids.count(id) == 0);
}

int QtWindow::ListDeleteString(int id, int index) {
    // Rows from `index` on no longer match the entries; the rows before it still do.
    auto it = m_listRowsValid.find(id);
    if (it != m_listRowsValid.end() && index >= 0)
        it->second = std::min(it->second, static_cast<std::size_t>(index));
    return WindowBase::ListDeleteString(id, index);
}

void QtWindow::FlushLists() {
    if (m_listTimer) m_listTimer->stop();
    const std::set<int> dirty = std::move(m_listsDirty);
    m_listsDirty.clear();
    for (int id : dirty) FlushList(id);
}

// Adding entries costs the new rows only; emptying the list costs one clear. Rows that may
// differ from the entries (after a deletion) are taken off from the end and added again.
void QtWindow::FlushList(int id) {
    auto* list = qobject_cast<QListWidget*>(Widget(id));
    if (list == nullptr) return;
    QScopedValueRollback<bool> syncing(m_syncing, true);
    const ControlState& state = Control(id);
    const std::size_t count = state.items.size();
    std::size_t valid = std::min({m_listRowsValid[id], static_cast<std::size_t>(list->count()),
                                  count});
    if (valid == 0) {
        list->clear();
    } else {
        while (static_cast<std::size_t>(list->count()) > valid)
            delete list->takeItem(list->count() - 1);
    }
    QStringList rows;
    rows.reserve(static_cast<int>(count - valid));
    for (std::size_t i = valid; i < count; ++i) rows << Text(state.items[i]);
    list->addItems(rows);
    m_listRowsValid[id] = count;
    if (list->currentRow() != state.curSel) {
        list->setCurrentRow(state.curSel);
        if (state.curSel >= 0) list->scrollToItem(list->item(state.curSel));
    }
}

void QtWindow::UpdatePortDetails(int id) {
    auto* combo = qobject_cast<QComboBox*>(Widget(id));
    if (combo == nullptr || !m_portDetails) return;
    const int sel = Control(id).curSel;
    const QString details = sel >= 0 && sel < static_cast<int>(Control(id).items.size())
                                ? m_portDetails(Control(id).items[static_cast<size_t>(sel)])
                                : QString();
    combo->setToolTip(details);
    if (m_portLabel) m_portLabel->setText(details);
}

// --- messages -------------------------------------------------------------------------------

void QtWindow::SetWndProc(WndProc proc) {
    m_proc = proc;
    WindowBase::SetWndProc(std::move(proc));
}

intptr_t QtWindow::Dispatch(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    if (!IsWindow() || !m_proc) return 0;
    ++m_depth;
    const intptr_t result = m_proc(msg, wParam, lParam);
    --m_depth;
    if (m_depth == 0 && !m_afterHandlers.empty()) {
        auto pending = std::move(m_afterHandlers);
        m_afterHandlers.clear();
        for (auto& fn : pending) fn();
    }
    return result;
}

intptr_t QtWindow::SendMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    if (!IsWindow()) return 0;
    // Off the GUI thread this waits for the GUI thread, and gives up at once when the window
    // goes: the reader never blocks a closing window.
    return m_send.Send([this, msg, wParam, lParam] { return Dispatch(msg, wParam, lParam); })
        .value_or(0);
}

void QtWindow::AfterHandlers(std::function<void()> fn) {
    if (m_depth == 0)
        fn();
    else
        m_afterHandlers.push_back(std::move(fn));
}

void QtWindow::Command(int id, int notification) {
    SendMessage(WM_COMMAND, CommandParam(id, notification), 0);
}

void QtWindow::Destroy() {
    if (!IsWindow()) return;
    m_send.Cancel();
    for (auto& [id, timer] : m_timers) {
        timer->stop();
        timer->deleteLater();
    }
    m_timers.clear();
    if (m_listTimer) m_listTimer->stop();
    while (m_waitCursors > 0) EndWaitCursor();
    WindowBase::Destroy();
}

void QtWindow::SetTitle(const std::string& title) {
    WindowBase::SetTitle(title);
    if (m_main) m_main->setWindowTitle(Text(title));
}

void QtWindow::SetIcon(int iconResource, bool big) {
    WindowBase::SetIcon(iconResource, big);
    if (m_main && iconResource == IDR_MAINFRAME) m_main->setWindowIcon(AppIcon());
}

bool QtWindow::IsIconic() const {
    return m_main && m_main->isMinimized();
}

// --- boxes and dialogs ----------------------------------------------------------------------

int QtWindow::ShowMessageBox(QWidget* parent, const std::string& text, const std::string& caption,
                             unsigned type, const std::string& detail) {
    if (m_prompts.messageBox)
        return m_prompts.messageBox(BoxTextWithDetail(text, detail), caption, type);
    const bool yesNo = (type & MB_TYPEMASK) == MB_YESNO;
    QMessageBox box(IconOf(type), Text(caption), Text(text),
                    yesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, parent);
    if (!detail.empty()) box.setInformativeText(Text(detail));
    if (yesNo) {
        box.setDefaultButton((type & MB_DEFBUTTON2) ? QMessageBox::No : QMessageBox::Yes);
        box.setEscapeButton(QMessageBox::No);  // Escape and the close box answer No
    }
    const int answer = box.exec();
    if (!yesNo) return IDOK;
    return answer == QMessageBox::Yes ? IDYES : IDNO;
}

int QtWindow::MessageBox(const std::string& text, const std::string& caption, unsigned type) {
    return ShowMessageBox(m_main, text, caption, type);
}

int QtWindow::DetailedMessageBox(const std::string& text, const std::string& detail,
                                 const std::string& caption, unsigned type) {
    return ShowMessageBox(m_main, text, caption, type, detail);
}

void QtWindow::ThreadMessageBox(const std::string& text, const std::string& caption,
                                unsigned type) {
    if (QThread::currentThread() == thread()) {
        ShowMessageBox(nullptr, text, caption, type);
        return;
    }
    // Widgets live on the GUI thread; the calling thread does not wait for the box, so it can
    // never hold up a window that is waiting for it.
    QMetaObject::invokeMethod(
        this, [this, text, caption, type] { ShowMessageBox(nullptr, text, caption, type); },
        Qt::QueuedConnection);
}

FileDialogResult QtWindow::DoFileDialog(const FileDialogRequest& request) {
    FileDialogResult result = m_prompts.fileDialog ? m_prompts.fileDialog(request)
                                                   : RunFileDialog(request);
    if (result.ok) m_lastChosenFile = result.fullPath;
    return result;
}

FileDialogResult QtWindow::RunFileDialog(const FileDialogRequest& request) {
    QFileDialog dialog(request.ownedByDialog ? m_main.data() : nullptr);
    dialog.setAcceptMode(request.open ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
    dialog.setFileMode(request.open ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    // The dialog's descriptions name their patterns themselves ("Text File(*.txt)"): the list
    // of file types shows each description alone, and the pattern part still filters.
    dialog.setOption(QFileDialog::HideNameFilterDetails);
    const QStringList filters = QtNameFilters(request.filter);
    if (!filters.isEmpty()) dialog.setNameFilters(filters);
    dialog.setDefaultSuffix(DefaultSuffix(request.defaultExt));
    // A wildcard in the initial name is the filter again, not a name to propose.
    const QString initial = Text(request.initialName);
    if (!initial.isEmpty() && !initial.contains(u'*') && !initial.contains(u'?'))
        dialog.selectFile(initial);
    if (!request.open && !(request.flags & OFN_OVERWRITEPROMPT))
        dialog.setOption(QFileDialog::DontConfirmOverwrite);
    FileDialogResult result;
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return result;
    const QString path = dialog.selectedFiles().first();
    result.ok = true;
    result.fullPath = path.toStdString();
    result.fileName = QFileInfo(path).fileName().toStdString();
    return result;
}

void QtWindow::ShowAboutBox() {
    if (m_prompts.aboutBox) {
        m_prompts.aboutBox();
        return;
    }
    AboutBox box(m_main);
    box.exec();
}

void QtWindow::BeginWaitCursor() {
    WindowBase::BeginWaitCursor();
    ++m_waitCursors;
    QApplication::setOverrideCursor(Qt::WaitCursor);
}

void QtWindow::EndWaitCursor() {
    WindowBase::EndWaitCursor();
    if (m_waitCursors == 0) return;
    --m_waitCursors;
    QApplication::restoreOverrideCursor();
}

// --- timers ---------------------------------------------------------------------------------

bool QtWindow::SetTimer(unsigned id, unsigned periodMs) {
    if (!IsWindow()) return false;
    QTimer*& timer = m_timers[id];
    if (timer == nullptr) {
        timer = new QTimer(this);
        QObject::connect(timer, &QTimer::timeout, this, [this, id] { FireTimer(id); });
    }
    timer->setInterval(static_cast<int>(periodMs));
    if (!m_manualTimers) timer->start();
    return true;
}

bool QtWindow::KillTimer(unsigned id) {
    auto it = m_timers.find(id);
    if (it == m_timers.end()) return false;
    // The timer may be killed from inside its own tick: let the QTimer go after the tick.
    it->second->stop();
    it->second->deleteLater();
    m_timers.erase(it);
    return true;
}

bool QtWindow::FireTimer(unsigned id) {
    if (!IsWindow() || m_timers.count(id) == 0) return false;
    // A tick is a queued message: it passes the filter first, like any other.
    InputMessage msg;
    msg.message = WM_TIMER;
    msg.wParam = id;
    if (PreTranslate(msg)) return true;
    SendMessage(WM_TIMER, id, 0);
    return true;
}

// --- painting of the converter preview ------------------------------------------------------

void QtWindow::FillSolidRect(int x, int y, int w, int h, uint32_t rgb) {
    if (m_preview) m_preview->FillSolidRect(x, y, w, h, rgb);
}

void QtWindow::DrawBitmapFile(const std::string& path, int x, int y, int w, int h) {
    if (m_preview) m_preview->DrawBitmapFile(path, x, y, w, h);
}

}  // namespace orlo::gui
