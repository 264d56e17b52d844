// Data exchange between the dialog's members and its controls.
#include <charconv>
#include <string>
#include <system_error>

#include "app/OrloDlg.h"

namespace orlo {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// The text of an integer edit as a 32-bit signed number: optional blanks, an optional sign,
// decimal digits, optional blanks. Anything else, an empty text or a value out of range is
// not a number.
bool ParseInt32(const std::string& text, int32_t* value) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    if (begin < end && text[begin] == '+') {
        ++begin;
        if (begin < end && text[begin] == '-') return false;  // "+-5" is no number
    }
    if (begin == end) return false;
    int32_t parsed = 0;
    const char* first = text.data() + begin;
    const char* last = text.data() + end;
    const auto [ptr, ec] = std::from_chars(first, last, parsed, 10);
    if (ec != std::errc() || ptr != last) return false;
    *value = parsed;
    return true;
}

void DDX_Control(CDataExchange*, IWindow* wnd, int id, CWndControl& control) {
    control.Attach(wnd, id);
}

void DDX_Text(CDataExchange* pDX, IWindow* wnd, int id, std::string& value) {
    if (pDX->m_bSaveAndValidate)
        value = wnd->GetControlText(id);
    else
        wnd->SetControlText(id, value);
}

// A control that does not hold a number leaves its member as it was and marks the exchange
// failed; the other fields are still exchanged.
void DDX_Text(CDataExchange* pDX, IWindow* wnd, int id, int32_t& value) {
    if (pDX->m_bSaveAndValidate) {
        if (!ParseInt32(wnd->GetControlText(id), &value)) pDX->m_bFailed = true;
    } else {
        wnd->SetControlText(id, std::to_string(value));
    }
}

}  // namespace

void COrloDlg::DoDataExchange(CDataExchange* pDX) {
    DDX_Control(pDX, m_wnd, IDC_COMBO_PORT, m_comboPort);
    DDX_Control(pDX, m_wnd, IDC_OPEN, m_btnOpen);
    DDX_Control(pDX, m_wnd, IDC_CLOSE, m_btnClose);
    DDX_Text(pDX, m_wnd, IDC_MOUSE_X, m_mouseX);
    DDX_Text(pDX, m_wnd, IDC_MOUSE_Y, m_mouseY);
    DDX_Text(pDX, m_wnd, IDC_LOG_PATH, m_logPathText);
    DDX_Control(pDX, m_wnd, IDC_SAVE_AS, m_btnSaveAs);
    DDX_Control(pDX, m_wnd, IDC_LIST_LOG, m_listLog);
    DDX_Control(pDX, m_wnd, IDC_PROGRESS, m_progressBar);
    DDX_Text(pDX, m_wnd, IDC_STATUS, m_status);
    DDX_Text(pDX, m_wnd, IDC_CHECK_TEXT, m_checkText);
    DDX_Text(pDX, m_wnd, IDC_SWEEP_TIME, m_sweepTime);
    DDX_Text(pDX, m_wnd, IDC_SWEEP_MAX, m_sweepMax);
    DDX_Text(pDX, m_wnd, IDC_SWEEP_MIN, m_sweepMin);
    DDX_Text(pDX, m_wnd, IDC_TM, m_tm);
}

bool COrloDlg::UpdateData(bool bSaveAndValidate) {
    CDataExchange dx;
    dx.m_bSaveAndValidate = bSaveAndValidate;
    DoDataExchange(&dx);
    return !dx.m_bFailed;
}

}  // namespace orlo
