// The device's text lines: the log list box and the log file, with start-time stamps.
#include <algorithm>
#include <ctime>
#include <optional>

#include "app/OrloDlg.h"
#include "app/OutputFile.h"
#include "log/RLine.h"

namespace orlo {

namespace {

constexpr const char* kStartTimeLabel = "Start Time : ";
constexpr const char* kSaveAsDefExt = "Text file";
constexpr const char* kSaveAsInitName = "*.txt";
// The Korean word means "all files".
constexpr const char* kSaveAsFilter = "Text File(*.txt) | *.txt | 모든파일(*.*) | *.*|";

// Appends one line to the log file. The file is opened and closed for every line, so a line
// already written stays in the file whatever happens later. Binary mode with our own CR LF,
// so the file looks the same on every platform. Only the file SaveAs created or emptied takes
// the lines: when the name leads elsewhere now (another file, a link, a device), nothing is
// written. False when the line could not be stored whole.
bool AppendLogText(const OwnFile& file, const std::string& text) {
    if (file.path.empty()) return false;
    const std::string stored = LogFileText(text);
    return AppendOwned(file, stored.data(), stored.size());
}

// Appends the strftime result of `format` for `when`; an empty result adds nothing.
void AppendFormatted(std::string* text, const char* format, const std::tm& when) {
    char buffer[128];
    const std::size_t n = std::strftime(buffer, sizeof buffer, format, &when);
    text->append(buffer, n);
}

// Two decimal digits with a leading zero: tens digit, then units digit.
void AppendTwoDigits(std::string* text, int value) {
    *text += static_cast<char>('0' + value / 10 % 10);
    *text += static_cast<char>('0' + value % 10);
}

}  // namespace

void COrloDlg::OnSaveAs() {
    FileDialogRequest request;
    request.open = false;
    request.defaultExt = kSaveAsDefExt;
    request.initialName = kSaveAsInitName;
    request.flags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT;
    request.filter = kSaveAsFilter;
    request.ownedByDialog = false;
    const FileDialogResult chosen = m_wnd->DoFileDialog(request);
    // A cancelled dialog leaves the log as it was: the file chosen before keeps receiving lines.
    if (chosen.ok && !chosen.fileName.empty() && !chosen.fullPath.empty()) {
        // Only a regular file takes the lines: a pipe would hold this thread in the open.
        // A link is followed here, once, by the rule the system keeps for links; the lines
        // then go to the file it led to.
        std::string why;
        const std::optional<OwnFile> file = OpenEmptied(chosen.fullPath, &why);
        if (file) {
            m_outputPath = file->path;
            m_logFileId = file->id;
            m_logPathText = chosen.fullPath;
            m_logEnabled = 1;
        } else {
            // Logging stays as it was rather than pointing at a file nobody can write.
            AfxMessageBox("Can not write " + chosen.fullPath + (why.empty() ? "" : ": " + why));
        }
    }
    UpdateData(false);
}

void COrloDlg::OnDeviceLine() {
    m_lineText.clear();
    // The line is the unit the receive assembler completed: its length is m_rxExpected.
    const std::size_t len = std::min<std::size_t>(m_rxExpected, m_rxFrame.size());
    // Only a number report is rewritten; every other line is shown as the device sent it.
    if (IsNumberReport(m_rxFrame.data(), len)) {
        m_lineText = RewriteRLine(m_rxFrame.data(), len);
    } else {
        m_lineText.assign(reinterpret_cast<const char*>(m_rxFrame.data()), len);
    }
    m_listLog.SetCurSel(m_listLog.AddString(m_lineText));
    if (m_logEnabled == 1) LogToFile(m_lineText);
}

void COrloDlg::LogToFile(const std::string& text) {
    if (AppendLogText({m_outputPath, m_logFileId}, text)) return;
    // Lines must not vanish in silence: say so once and stop logging to that file; the list
    // keeps showing the lines, and a new SaveAs starts logging again.
    m_logEnabled = 0;
    AfxMessageBox("Can not write " + m_outputPath);
}

void COrloDlg::OnLogStart() {
    // From the last entry down: each deletion then moves nothing.
    for (int n = m_listLog.GetCount(); n > 0; --n) m_listLog.DeleteString(n - 1);
    m_lineText = kStartTimeLabel;
    StampStartTime();
    m_lineText.clear();
}

void COrloDlg::StampStartTime() {
    m_startTime = static_cast<int64_t>(Now());
    const std::time_t when = static_cast<std::time_t>(m_startTime);
    // std::localtime hands back a shared buffer; it is copied at once, and every dialog's
    // handlers run on the one user-interface thread.
    const std::tm* converted = std::localtime(&when);
    if (converted) {
        const std::tm local = *converted;
        AppendFormatted(&m_lineText, "%Y:", local);
        AppendTwoDigits(&m_lineText, local.tm_mon + 1);
        m_lineText += ':';
        AppendTwoDigits(&m_lineText, local.tm_mday);
        m_lineText += ':';
        AppendFormatted(&m_lineText, "%H:%M:%S", local);
    } else {
        // The moment has no local date (far outside the calendar the C library knows):
        // the stamp carries the seconds since 1970 instead, so the log still says when.
        m_lineText += std::to_string(m_startTime);
    }
    m_listLog.SetCurSel(m_listLog.AddString(m_lineText));
    m_lineText += '\n';
    if (m_logEnabled == 1) LogToFile(m_lineText);
}

}  // namespace orlo
