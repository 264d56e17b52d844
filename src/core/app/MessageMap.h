// The dialog's message map: one constant table that names, for each window message and each
// control notification, the handler that serves it. COrloDlg::WindowProc routes by it, so a
// front-end delivers every click by control id and notification code.
#pragma once

#include <cstdint>
#include <span>

namespace orlo {

class COrloDlg;

struct MessageMapEntry {
    uint32_t message;             // WM_COMMAND for control entries, else the window message
    int id;                       // control id of a WM_COMMAND entry, 0 otherwise
    int notification;             // BN_CLICKED, CBN_DROPDOWN or CBN_SELCHANGE of a WM_COMMAND entry
    void (COrloDlg::*command)();  // handler of a WM_COMMAND entry, else nullptr
    // Handler of a window message: unpacks wParam and lParam and returns the message's result.
    intptr_t (*dispatch)(COrloDlg&, uintptr_t, intptr_t);
    const char* name;  // the handler's name, for diagnostics
};

// The entries in routing order. WindowProc takes the first entry that matches; a WM_COMMAND
// is answered with 1 when a handler ran and 0 when no entry names the control and code.
std::span<const MessageMapEntry> OrloMessageMap();

}  // namespace orlo
