// The port list and the Open and Close buttons: the list is refilled from the system's table of
// serial ports each time it drops down, Open connects the chosen COM port at 115200 8N1 and
// Close (or the end of an application run) disconnects it again.
#include <string>

#include "app/OrloDlg.h"

namespace orlo {

namespace {

constexpr const char* kPortPlaceholder = "Select Com Port";
constexpr int kMaxListDeletions = 30;      // entries deleted per refill, at most
constexpr std::size_t kPortDataMax = 255;  // bytes of the buffer a port name is read into

// The list entry of one port: "COM" and the port name's characters 3 and 4, so "COM3" and
// "COM12" come out whole and "COM123" becomes "COM12". A name that does not fit the read
// buffer, or is too short to carry a digit at position 3, gives no entry at all: an entry
// without a number could only open a port nobody chose.
bool PortEntryText(const std::string& comName, std::string* entry) {
    if (comName.size() >= kPortDataMax) return false;
    const std::string data = comName.substr(0, comName.find('\0'));
    if (data.size() < 4) return false;
    *entry = "COM";
    *entry += data[3];
    if (data.size() > 4) *entry += data[4];
    return true;
}

// Character i of an entry, or 0 past its end (the entry's terminating zero).
char EntryChar(const std::string& text, std::size_t i) {
    return i < text.size() ? text[i] : '\0';
}

}  // namespace

void COrloDlg::OnPortDropDown() {
    IPortTable* table = m_env.ports;
    if (table == nullptr || !table->Open()) return;  // the table cannot be read: nothing changes

    for (int i = 0; i < kMaxListDeletions; ++i)
        if (m_comboPort.DeleteString(0) == CB_ERR) break;
    UpdateData(false);
    m_comboPort.AddString(kPortPlaceholder);

    int k = 0;
    for (const PortInfo& port : table->Enumerate()) {
        std::string entry;
        if (!PortEntryText(port.comName, &entry)) continue;
        // The selection moves before the entry is added: it rests on the entry added in the
        // pass before, so after the refill it sits on the next-to-last port (or the placeholder).
        m_comboPort.SetCurSel(k);
        m_comboPort.AddString(entry);
        ++k;
    }

    if (k == 0) m_wnd->MessageBox("The port is not ready. Try again!", "Error", MB_ICONHAND);
    UpdateData(false);
}

void COrloDlg::OnPortSelChange() {
    m_btnOpen.EnableWindow(m_comboPort.GetCurSel() != 0);
}

void COrloDlg::OnOpenPort() {
    std::string text;
    const int selection = m_comboPort.GetCurSel();
    if (selection == CB_ERR || !m_comboPort.GetLBText(selection, &text)) {
        // No entry is chosen (a refill found no ports after an earlier choice): nothing to
        // open. The controls stay disconnected, with Open off until a port is chosen.
        m_comboPort.EnableWindow(true);
        m_btnOpen.EnableWindow(false);
        m_btnClose.EnableWindow(false);
        return;
    }

    m_comboPort.EnableWindow(false);
    m_btnOpen.EnableWindow(false);
    m_btnClose.EnableWindow(true);

    // Port number from the entry's characters 3 and 4, digit values in unsigned 8 bits.
    m_portNumber = static_cast<uint8_t>(EntryChar(text, 3) - '0');
    if (text.size() > 4)
        m_portNumber = m_portNumber * 10 + static_cast<uint8_t>(EntryChar(text, 4) - '0');

    m_comm.m_parity = 0;    // none
    m_comm.m_stopBits = 0;  // one stop bit
    m_comm.m_nPort = static_cast<uint8_t>(m_portNumber);
    m_comm.m_baudRate = LINE_BAUD;
    m_comm.m_byteSize = 8;

    m_comm.m_olWrite.Offset = 0;
    m_comm.m_olWrite.OffsetHigh = 0;
    m_comm.m_olRead.Offset = 0;
    m_comm.m_olRead.OffsetHigh = 0;

    // The two transfer events; the open goes ahead whether or not they could be created.
    if (m_env.serial != nullptr) {
        m_comm.m_olRead.hEvent = m_env.serial->CreateTransferEvent();
        if (m_comm.m_olRead.hEvent) {
            m_comm.m_olWrite.hEvent = m_env.serial->CreateTransferEvent();
            if (!m_comm.m_olWrite.hEvent) m_comm.m_olRead.hEvent.reset();
        }
    }

    m_comm.m_hNotifyWnd = m_wnd;
    if (!m_comm.OpenPort()) {
        // What the system said follows the text: the port, why and what to do.
        m_wnd->DetailedMessageBox("Can not use COM port!", m_comm.LastOpenResult().message,
                                  kAppTitle, MB_OK);
        OnClosePort();
    }

    // Each connection learns afresh which reply fields its device fills.
    m_readTrust.Reset();
    m_checkTrust.Reset();
    m_sweepTrust.Reset();
    m_unfilledTold = 0;

    m_rxLen = 0;
    m_rxExpected = RX_EXPECT_AFTER_OPEN;
    m_lineText.clear();
}

void COrloDlg::OnClosePort() {
    m_comm.ClosePort();
    // Close ends any run: no reply can reach it any more. A read-back leaves the chosen file as
    // it was, and the user is told where the blocks read so far are.
    m_programmingActive = false;
    const std::string stopped = AbandonReadBack();
    if (!stopped.empty()) AfxMessageBox(stopped);
    m_btnClose.EnableWindow(false);
    m_comboPort.EnableWindow(true);
    m_btnOpen.EnableWindow(m_comboPort.GetCurSel() != 0);
}

}  // namespace orlo
