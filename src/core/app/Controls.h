// Thin control objects bound to the window layer by id, as the dialog's data exchange attaches
// them. They hold no state of their own.
#pragma once

#include <string>

#include "app/Window.h"

namespace orlo {

class CWndControl {
public:
    void Attach(IWindow* wnd, int id) {
        m_wnd = wnd;
        m_id = id;
    }
    int GetDlgCtrlID() const { return m_id; }
    bool IsAttached() const { return m_wnd != nullptr; }
    void EnableWindow(bool enable) {
        if (m_wnd) m_wnd->EnableControl(m_id, enable);
    }
    bool IsWindowEnabled() const { return m_wnd && m_wnd->IsControlEnabled(m_id); }

protected:
    IWindow* m_wnd = nullptr;
    int m_id = 0;
};

class CButton : public CWndControl {};

class CComboBox : public CWndControl {
public:
    int DeleteString(int index) { return m_wnd ? m_wnd->ComboDeleteString(m_id, index) : CB_ERR; }
    int AddString(const std::string& text) {
        return m_wnd ? m_wnd->ComboAddString(m_id, text) : CB_ERR;
    }
    int SetCurSel(int index) { return m_wnd ? m_wnd->ComboSetCurSel(m_id, index) : CB_ERR; }
    int GetCurSel() const { return m_wnd ? m_wnd->ComboGetCurSel(m_id) : CB_ERR; }
    int GetCount() const { return m_wnd ? m_wnd->ComboGetCount(m_id) : 0; }
    bool GetLBText(int index, std::string* text) const {
        return m_wnd && m_wnd->ComboGetLBText(m_id, index, text);
    }
};

class CListBox : public CWndControl {
public:
    int AddString(const std::string& text) {
        return m_wnd ? m_wnd->ListAddString(m_id, text) : LB_ERR;
    }
    int SetCurSel(int index) { return m_wnd ? m_wnd->ListSetCurSel(m_id, index) : LB_ERR; }
    int DeleteString(int index) { return m_wnd ? m_wnd->ListDeleteString(m_id, index) : LB_ERR; }
    int GetCount() const { return m_wnd ? m_wnd->ListGetCount(m_id) : 0; }
};

class CProgressCtrl : public CWndControl {
public:
    int SetPos(int pos) { return m_wnd ? m_wnd->ProgressSetPos(m_id, pos) : 0; }
};

}  // namespace orlo
