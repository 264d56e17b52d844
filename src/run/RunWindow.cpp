#include "run/RunWindow.h"

#include <filesystem>
#include <utility>

#include "app/Resource.h"

namespace orlo::run {

RunWindow::RunWindow(IWindow& inner, RunWindowListener& listener)
    : m_inner(inner), m_listener(listener) {}

void RunWindow::SetWndProc(WndProc proc) {
    m_inner.SetWndProc([this, proc = std::move(proc)](uint32_t msg, uintptr_t w, intptr_t l) {
        if (m_listener.SwallowMessage(msg, w)) return intptr_t{1};
        m_listener.OnBeforeMessage(msg);
        const intptr_t result = proc ? proc(msg, w, l) : 0;
        m_listener.OnAfterMessage(msg);
        return result;
    });
}

void RunWindow::Click(int id, int notification) {
    const uintptr_t wParam =
        (static_cast<uintptr_t>(notification & 0xFFFF) << 16) | static_cast<uintptr_t>(id & 0xFFFF);
    m_inner.SendMessage(WM_COMMAND, wParam, 0);
}

std::vector<std::string> RunWindow::TakeThreadBoxes() {
    std::lock_guard<std::mutex> lock(m_threadBoxMutex);
    return std::exchange(m_threadBoxes, {});
}

void RunWindow::SetControlText(int id, const std::string& text) {
    const bool changed = id == IDC_STATUS && m_inner.GetControlText(id) != text;
    m_inner.SetControlText(id, text);
    if (changed) m_listener.OnStatusText(text);
}

int RunWindow::ListAddString(int id, const std::string& text) {
    const int index = m_inner.ListAddString(id, text);
    if (id == IDC_LIST_LOG) m_listener.OnLogEntry(text);
    return index;
}

int RunWindow::ProgressSetPos(int id, int pos) {
    const int old = m_inner.ProgressSetPos(id, pos);
    if (id == IDC_PROGRESS) m_listener.OnProgressPos(pos);
    return old;
}

int RunWindow::MessageBox(const std::string& text, const std::string& caption, unsigned type) {
    m_listener.OnMessageBox(text);
    return m_inner.MessageBox(text, caption, type);
}

int RunWindow::DetailedMessageBox(const std::string& text, const std::string& detail,
                                  const std::string& caption, unsigned type) {
    m_listener.OnMessageBox(text);
    return m_inner.DetailedMessageBox(text, detail, caption, type);
}

void RunWindow::ThreadMessageBox(const std::string& text, const std::string& caption,
                                 unsigned type) {
    {
        std::lock_guard<std::mutex> lock(m_threadBoxMutex);
        m_threadBoxes.push_back(text);
    }
    m_inner.ThreadMessageBox(text, caption, type);
}

FileDialogResult RunWindow::DoFileDialog(const FileDialogRequest& request) {
    if (m_fileAnswers.empty()) return m_inner.DoFileDialog(request);
    const std::string path = m_fileAnswers.front();
    m_fileAnswers.pop_front();
    FileDialogResult result;
    if (path.empty()) return result;  // cancelled
    result.ok = true;
    result.fullPath = path;
    std::string separators = "/";
    separators += static_cast<char>(std::filesystem::path::preferred_separator);
    const auto slash = path.find_last_of(separators);
    result.fileName = slash == std::string::npos ? path : path.substr(slash + 1);
    return result;
}

}  // namespace orlo::run
