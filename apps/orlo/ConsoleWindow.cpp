#include "ConsoleWindow.h"

#include "app/Resource.h"

namespace orlo::cli {

ConsoleWindow::ConsoleWindow(EventLoop& loop, ConsoleWindowListener* listener)
    : WindowBase(loop), m_listener(listener) {}

ConsoleWindow::~ConsoleWindow() {
    *m_alive = false;
}

void ConsoleWindow::SetWndProc(WndProc proc) {
    if (m_listener == nullptr) {
        WindowBase::SetWndProc(std::move(proc));
        return;
    }
    WindowBase::SetWndProc([this, proc = std::move(proc)](uint32_t msg, uintptr_t w, intptr_t l) {
        if (m_listener->SwallowMessage(msg)) return intptr_t{1};
        m_listener->OnBeforeMessage(msg);
        const intptr_t result = proc ? proc(msg, w, l) : 0;
        m_listener->OnAfterMessage(msg);
        return result;
    });
}

int ConsoleWindow::MessageBox(const std::string& text, const std::string& caption, unsigned type) {
    if (m_listener) m_listener->OnMessageBox(text, caption, type);
    return IDOK;
}

void ConsoleWindow::ThreadMessageBox(const std::string& text, const std::string& caption,
                                     unsigned type) {
    if (m_listener == nullptr) return;
    // The reader thread must not print past the UI thread's progress line: hand it over.
    std::weak_ptr<bool> alive = m_alive;
    Loop().Post([this, alive, text, caption, type] {
        const auto a = alive.lock();
        if (a && *a) m_listener->OnMessageBox(text, caption, type);
    });
}

FileDialogResult ConsoleWindow::DoFileDialog(const FileDialogRequest&) {
    ++m_fileDialogs;
    if (m_fileAnswers.empty()) return {};  // nothing was asked for: cancelled
    const std::string path = m_fileAnswers.front();
    m_fileAnswers.pop_front();
    return ChosenFile(path);
}

int ConsoleWindow::ListAddString(int id, const std::string& text) {
    if (id == IDC_LIST_LOG) {
        // Every line is printed as it arrives; the list itself is never shown. Only the latest
        // entries are kept, so a device that talks for hours does not fill the memory. Old
        // entries go in batches: the cost per line stays constant.
        auto& items = Mutable(id).items;
        if (items.size() >= 2 * kLogEntriesKept) {
            items.erase(items.begin(), items.end() - static_cast<long>(kLogEntriesKept));
            Mutable(id).curSel = -1;
        }
    }
    const int index = WindowBase::ListAddString(id, text);
    if (id == IDC_LIST_LOG && m_listener) m_listener->OnLogEntry(text);
    return index;
}

int ConsoleWindow::ProgressSetPos(int id, int pos) {
    const int old = WindowBase::ProgressSetPos(id, pos);
    if (id == IDC_PROGRESS && m_listener) m_listener->OnProgressPos(Control(id).pos);
    return old;
}

void ConsoleWindow::DrawBitmapFile(const std::string& path, int, int, int, int) {
    if (m_listener) m_listener->OnPreviewDrawn(path);
}

void ConsoleWindow::OnControlChanged(int id) {
    if (id == IDC_STATUS && m_listener) m_listener->OnStatusText(Control(id).text);
}

}  // namespace orlo::cli
