// PLACEHOLDER: not yet implemented.
#include "app/OrloDlg.h"

namespace orlo {

COrloDlg::COrloDlg(const OrloEnvironment& env) : m_comm(env.serial), m_env(env), m_wnd(env.window) {}

COrloDlg::~COrloDlg() {}

bool COrloDlg::OnInitDialog() { return true; }

void COrloDlg::DoDataExchange(CDataExchange*) {}

bool COrloDlg::UpdateData(bool) { return true; }

bool COrloDlg::PreTranslateMessage(const InputMessage&) { return false; }

intptr_t COrloDlg::WindowProc(uint32_t, uintptr_t, intptr_t) { return 0; }

bool COrloDlg::OnCommand(int, int) { return false; }

void COrloDlg::OnSysCommand(unsigned, intptr_t) {}

void COrloDlg::OnPaint() {}

intptr_t COrloDlg::OnQueryDragIcon() { return m_hIcon; }

void COrloDlg::OnMouseMove(unsigned, int, int) {}

void COrloDlg::OnReadLogAndSave() {}

bool COrloDlg::OnDeviceChange(unsigned, uintptr_t) { return true; }

int COrloDlg::IconOffset(int c, int i) { return (c - i + 1) / 2; }

std::time_t COrloDlg::Now() const { return m_env.now ? m_env.now() : std::time(nullptr); }

int COrloDlg::AfxMessageBox(const std::string& text, unsigned type) { return m_wnd->MessageBox(text, kAppTitle, type); }

}  // namespace orlo
