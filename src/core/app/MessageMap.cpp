// Routing of window messages and control notifications to the dialog's handlers.
#include "app/MessageMap.h"

#include <array>
#include <exception>

#include "app/OrloDlg.h"

namespace orlo {

namespace {

// Signed 16-bit halves of a packed point, as the toolkit packs mouse positions.
int LowSigned(intptr_t value) {
    return static_cast<int16_t>(static_cast<uint16_t>(value));
}
int HighSigned(intptr_t value) {
    return static_cast<int16_t>(static_cast<uint16_t>(value >> 16));
}

intptr_t DispatchSysCommand(COrloDlg& dlg, uintptr_t w, intptr_t l) {
    dlg.OnSysCommand(static_cast<unsigned>(w), l);
    return 0;
}
intptr_t DispatchPaint(COrloDlg& dlg, uintptr_t, intptr_t) {
    dlg.OnPaint();
    return 0;
}
intptr_t DispatchQueryDragIcon(COrloDlg& dlg, uintptr_t, intptr_t) {
    return dlg.OnQueryDragIcon();
}
intptr_t DispatchCommRx(COrloDlg& dlg, uintptr_t w, intptr_t l) {
    return dlg.OnCommRx(w, l);
}
intptr_t DispatchMouseMove(COrloDlg& dlg, uintptr_t w, intptr_t l) {
    dlg.OnMouseMove(static_cast<unsigned>(w), LowSigned(l), HighSigned(l));
    return 0;
}
intptr_t DispatchTimer(COrloDlg& dlg, uintptr_t w, intptr_t) {
    dlg.OnTimer(w);
    return 0;
}
intptr_t DispatchDeviceChange(COrloDlg& dlg, uintptr_t w, intptr_t l) {
    return dlg.OnDeviceChange(static_cast<unsigned>(w), static_cast<uintptr_t>(l)) ? 1 : 0;
}

constexpr MessageMapEntry Message(uint32_t message,
                                  intptr_t (*dispatch)(COrloDlg&, uintptr_t, intptr_t),
                                  const char* name) {
    return {message, 0, 0, nullptr, dispatch, name};
}
constexpr MessageMapEntry Command(int id, int notification, void (COrloDlg::*handler)(),
                                  const char* name) {
    return {WM_COMMAND, id, notification, handler, nullptr, name};
}

const std::array<MessageMapEntry, 34> kMessageMap = {{
    Message(WM_SYSCOMMAND, DispatchSysCommand, "OnSysCommand"),
    Message(WM_PAINT, DispatchPaint, "OnPaint"),
    Message(WM_QUERYDRAGICON, DispatchQueryDragIcon, "OnQueryDragIcon"),
    Message(WM_COMM_RX, DispatchCommRx, "OnCommRx"),
    Command(IDC_COMBO_PORT, CBN_DROPDOWN, &COrloDlg::OnPortDropDown, "OnPortDropDown"),
    Command(IDC_COMBO_PORT, CBN_SELCHANGE, &COrloDlg::OnPortSelChange, "OnPortSelChange"),
    Command(IDC_OPEN, BN_CLICKED, &COrloDlg::OnOpenPort, "OnOpenPort"),
    Command(IDC_CLOSE, BN_CLICKED, &COrloDlg::OnClosePort, "OnClosePort"),
    Command(IDC_TEST_TX, BN_CLICKED, &COrloDlg::OnTestTx, "OnTestTx"),
    Message(WM_MOUSEMOVE, DispatchMouseMove, "OnMouseMove"),
    Command(IDC_SAVE_AS, BN_CLICKED, &COrloDlg::OnSaveAs, "OnSaveAs"),
    Command(IDC_READ_LOG_AND_SAVE, BN_CLICKED, &COrloDlg::OnReadLogAndSave, "OnReadLogAndSave"),
    Command(IDC_BMP_1BIT, BN_CLICKED, &COrloDlg::OnBmp1Bit, "OnBmp1Bit"),
    Command(IDC_PROGRAM_VOICE, BN_CLICKED, &COrloDlg::OnProgramVoice, "OnProgramVoice"),
    Command(IDC_PROGRAM_MAP, BN_CLICKED, &COrloDlg::OnProgramMap, "OnProgramMap"),
    Command(IDC_PROGRAM_APPLICATION, BN_CLICKED, &COrloDlg::OnProgramApplication,
            "OnProgramApplication"),
    Message(WM_TIMER, DispatchTimer, "OnTimer"),
    Command(IDC_READ_APPLICATION, BN_CLICKED, &COrloDlg::OnReadApplication, "OnReadApplication"),
    Command(IDC_READ_MAP, BN_CLICKED, &COrloDlg::OnReadMap, "OnReadMap"),
    Command(IDC_READ_VOICE, BN_CLICKED, &COrloDlg::OnReadVoice, "OnReadVoice"),
    Command(IDC_CHECK_APPLICATION, BN_CLICKED, &COrloDlg::OnCheckApplication, "OnCheckApplication"),
    Message(WM_DEVICECHANGE, DispatchDeviceChange, "OnDeviceChange"),
    Command(IDC_READ_USER, BN_CLICKED, &COrloDlg::OnReadUser, "OnReadUser"),
    Command(IDC_PROGRAM_USER, BN_CLICKED, &COrloDlg::OnProgramUser, "OnProgramUser"),
    Command(IDC_SWEEP_MAX_PLUS100, BN_CLICKED, &COrloDlg::OnSweepMaxPlus100, "OnSweepMaxPlus100"),
    Command(IDC_SWEEP_MAX_PLUS10, BN_CLICKED, &COrloDlg::OnSweepMaxPlus10, "OnSweepMaxPlus10"),
    Command(IDC_SWEEP_MAX_MINUS100, BN_CLICKED, &COrloDlg::OnSweepMaxMinus100,
            "OnSweepMaxMinus100"),
    Command(IDC_SWEEP_MAX_MINUS10, BN_CLICKED, &COrloDlg::OnSweepMaxMinus10, "OnSweepMaxMinus10"),
    Command(IDC_SWEEP_MIN_PLUS100, BN_CLICKED, &COrloDlg::OnSweepMinPlus100, "OnSweepMinPlus100"),
    Command(IDC_SWEEP_MIN_PLUS10, BN_CLICKED, &COrloDlg::OnSweepMinPlus10, "OnSweepMinPlus10"),
    Command(IDC_SWEEP_MIN_MINUS100, BN_CLICKED, &COrloDlg::OnSweepMinMinus100,
            "OnSweepMinMinus100"),
    Command(IDC_SWEEP_MIN_MINUS10, BN_CLICKED, &COrloDlg::OnSweepMinMinus10, "OnSweepMinMinus10"),
    Command(IDC_SWEEP_READ, BN_CLICKED, &COrloDlg::OnSweepRead, "OnSweepRead"),
    Command(IDC_BMP_4BIT, BN_CLICKED, &COrloDlg::OnBmp4Bit, "OnBmp4Bit"),
}};

}  // namespace

std::span<const MessageMapEntry> OrloMessageMap() {
    return kMessageMap;
}

bool COrloDlg::OnCommand(int id, int notification) {
    for (const auto& entry : kMessageMap) {
        if (entry.message == WM_COMMAND && entry.id == id && entry.notification == notification) {
            (this->*entry.command)();
            return true;
        }
    }
    return false;
}

intptr_t COrloDlg::WindowProc(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    // A handler that fails (an index outside the staging buffer) is reported to the user and
    // the dialog carries on, as the desktop framework does with its own exceptions.
    try {
        if (message == WM_COMMAND) {
            const int id = static_cast<int>(wParam & 0xFFFF);
            const int notification = static_cast<int>((wParam >> 16) & 0xFFFF);
            return OnCommand(id, notification) ? 1 : 0;
        }
        for (const auto& entry : kMessageMap)
            if (entry.message == message) return entry.dispatch(*this, wParam, lParam);
    } catch (const std::exception& e) {
        m_wnd->MessageBox(e.what(), kAppTitle, MB_ICONHAND);
    }
    return 0;
}

}  // namespace orlo
