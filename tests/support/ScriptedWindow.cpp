#include "support/ScriptedWindow.h"

namespace orlo::test {

std::vector<std::string> ScriptedWindow::BoxTexts() const {
    std::vector<std::string> out;
    for (const auto& b : boxes) out.push_back(b.text);
    return out;
}

std::vector<RecordedBox> ScriptedWindow::ThreadBoxes() const {
    std::lock_guard<std::mutex> lock(m_threadMutex);
    return threadBoxes;
}

int ScriptedWindow::MessageBox(const std::string& text, const std::string& caption,
                               unsigned type) {
    boxes.push_back({text, caption, type});
    if (onMessageBox) onMessageBox(boxes.back());
    return 1;  // IDOK
}

void ScriptedWindow::ThreadMessageBox(const std::string& text, const std::string& caption,
                                      unsigned type) {
    std::lock_guard<std::mutex> lock(m_threadMutex);
    threadBoxes.push_back({text, caption, type});
}

FileDialogResult ScriptedWindow::DoFileDialog(const FileDialogRequest& request) {
    fileDialogs.push_back(request);
    if (m_fileAnswers.empty()) return {};  // nothing was asked for: cancelled
    const std::string path = m_fileAnswers.front();
    m_fileAnswers.pop_front();
    return ChosenFile(path);
}

int ScriptedWindow::ProgressSetPos(int id, int pos) {
    progressLog.push_back(pos);
    return WindowBase::ProgressSetPos(id, pos);
}

void ScriptedWindow::SetControlText(int id, const std::string& text) {
    if (GetControlText(id) != text) textLog.emplace_back(id, text);
    WindowBase::SetControlText(id, text);
}

void ScriptedWindow::FillSolidRect(int x, int y, int w, int h, uint32_t rgb) {
    paints.push_back({"fill", x, y, w, h, rgb, {}});
}

void ScriptedWindow::DrawBitmapFile(const std::string& path, int x, int y, int w, int h) {
    paints.push_back({"bitmap", x, y, w, h, 0, path});
}

}  // namespace orlo::test
