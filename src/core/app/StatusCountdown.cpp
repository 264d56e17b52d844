// The completion countdown after an application image: one tick a second counts the seconds
// the device still needs down in the status line, then tells the user to remove the device.
#include <string>

#include "app/OrloDlg.h"

namespace orlo {

void COrloDlg::OnTimer(uintptr_t id) {
    if (id == COUNTDOWN_TIMER_ID && m_countdown > 0) {
        --m_countdown;
        m_status = "Wait " + std::to_string(static_cast<int32_t>(m_countdown)) + " sec";
        if (m_countdown == 0) {
            m_status = "Ready";
            UpdateData(false);
            // Ticks keep coming while the box is open; they find the countdown at 0 and only
            // refresh the controls. The timer stops once the box is closed.
            AfxMessageBox("Programming completed of Application data, and Remove Target");
            m_wnd->KillTimer(COUNTDOWN_TIMER_ID);
        }
    }
    UpdateData(false);
}

}  // namespace orlo
