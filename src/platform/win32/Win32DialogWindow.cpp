#include "win32/Win32DialogWindow.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <vector>

#include "win32/Win32Text.h"

namespace orlo {

namespace {

using win32::Narrow;
using win32::Widen;

constexpr DWORD kFileNameChars = 32768;  // buffer of a file dialog: the longest path Windows has

// The framework's filter form "text|pattern|text|pattern|" as the file dialog takes it: each
// '|' becomes a terminating zero and the list ends with two.
std::wstring DialogFilter(const std::string& filter) {
    std::wstring out = Widen(filter);
    std::replace(out.begin(), out.end(), L'|', L'\0');
    if (out.empty() || out.back() != L'\0') out.push_back(L'\0');
    out.push_back(L'\0');
    return out;
}

INT_PTR CALLBACK AboutProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM) {
    switch (msg) {
        case WM_INITDIALOG:
            win32::CentreDialog(hwnd);  // on the main window
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
                ::EndDialog(hwnd, LOWORD(wParam));
                return TRUE;
            }
            return FALSE;
        case WM_CLOSE:
            ::EndDialog(hwnd, IDCANCEL);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

namespace win32 {

POINT CentredPosition(int width, int height, const RECT& centreOn, const RECT& area) {
    LONG x = (centreOn.left + centreOn.right) / 2 - width / 2;
    LONG y = (centreOn.top + centreOn.bottom) / 2 - height / 2;
    x = std::max(std::min(x, area.right - width), area.left);
    y = std::max(std::min(y, area.bottom - height), area.top);
    return POINT{x, y};
}

void CentreDialog(HWND dialog) {
    HWND owner = ::GetWindow(dialog, GW_OWNER);
    if (owner != nullptr && (!::IsWindowVisible(owner) || ::IsIconic(owner))) owner = nullptr;
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    HMONITOR screen = owner != nullptr ? ::MonitorFromWindow(owner, MONITOR_DEFAULTTONEAREST)
                                       : ::MonitorFromWindow(dialog, MONITOR_DEFAULTTOPRIMARY);
    if (!::GetMonitorInfoW(screen, &monitor)) return;
    RECT centreOn = monitor.rcWork;
    if (owner != nullptr) ::GetWindowRect(owner, &centreOn);
    RECT frame;
    if (!::GetWindowRect(dialog, &frame)) return;
    const POINT at = CentredPosition(frame.right - frame.left, frame.bottom - frame.top, centreOn,
                                     monitor.rcWork);
    ::SetWindowPos(dialog, nullptr, at.x, at.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace win32

Win32DialogWindow::Win32DialogWindow(HINSTANCE instance) : m_instance(instance) {}

Win32DialogWindow::~Win32DialogWindow() {
    Destroy();
    if (m_bigIcon != nullptr) ::DestroyIcon(m_bigIcon);
    if (m_smallIcon != nullptr) ::DestroyIcon(m_smallIcon);
}

bool Win32DialogWindow::Create(int templateId) {
    if (m_hwnd.load() != nullptr || m_destroyed.load()) return false;
    HWND hwnd =
        ::CreateDialogParamW(m_instance, MAKEINTRESOURCEW(templateId), nullptr,
                             &Win32DialogWindow::DialogProc, reinterpret_cast<LPARAM>(this));
    return hwnd != nullptr;
}

void Win32DialogWindow::Show(int showCommand) {
    if (HWND hwnd = m_hwnd.load()) {
        ::ShowWindow(hwnd, showCommand);
        ::UpdateWindow(hwnd);
    }
}

void Win32DialogWindow::SetPreTranslate(std::function<bool(const InputMessage&)> filter) {
    m_preTranslate = std::move(filter);
}

// --- messages -------------------------------------------------------------------------------

INT_PTR CALLBACK Win32DialogWindow::DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_INITDIALOG) {
        auto* self = reinterpret_cast<Win32DialogWindow*>(lParam);
        ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, lParam);
        self->m_hwnd = hwnd;
        win32::CentreDialog(hwnd);  // owned by no window: on the screen's work area
        return TRUE;                // Windows puts the focus on the first control
    }
    auto* self = reinterpret_cast<Win32DialogWindow*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self == nullptr) return FALSE;
    if (msg == WM_NCDESTROY) {
        ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        return FALSE;
    }
    return self->HandleMessage(hwnd, msg, wParam, lParam);
}

INT_PTR Win32DialogWindow::HandleMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    // The result of a routed message goes back to ::SendMessageW through DWLP_MSGRESULT.
    auto routed = [&](intptr_t result) {
        ::SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, result);
        return TRUE;
    };
    switch (msg) {
        case WM_CLOSE:
            // The close box, the system menu's Close and Alt+F4: the modal loop ends.
            m_closeRequested = true;
            return TRUE;
        case WM_COMMAND:
            // IDOK and IDCANCEL (Enter and Escape in a dialog) never end this window.
            if (lParam == 0 && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) return TRUE;
            return routed(Dispatch(msg, wParam, lParam));
        case WM_SYSCOMMAND:
            Dispatch(msg, wParam, lParam);
            // The About item is the dialog's; minimise, move and close are Windows' own.
            if ((wParam & 0xFFF0) == IDM_ABOUTBOX) return routed(0);
            return FALSE;
        case WM_PAINT:
            Dispatch(msg, wParam, lParam);
            if (::IsIconic(hwnd)) {
                PaintMinimised(hwnd);
                return routed(0);
            }
            return FALSE;
        case WM_QUERYDRAGICON:
            Dispatch(msg, wParam, lParam);
            return reinterpret_cast<INT_PTR>(m_bigIcon);  // returned as it is by a dialog
        case WM_COMM_RX:
        case WM_MOUSEMOVE:
        case WM_TIMER:
        case WM_DEVICECHANGE:
            return routed(Dispatch(msg, wParam, lParam));
        default:
            return FALSE;
    }
}

intptr_t Win32DialogWindow::Dispatch(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    if (m_destroyed.load() || !m_proc) return 0;
    return m_proc(msg, wParam, lParam);
}

void Win32DialogWindow::PaintMinimised(HWND hwnd) {
    PAINTSTRUCT ps;
    HDC dc = ::BeginPaint(hwnd, &ps);
    ::SendMessageW(hwnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client;
    ::GetClientRect(hwnd, &client);
    const int x = COrloDlg::IconOffset(client.right - client.left, ::GetSystemMetrics(SM_CXICON));
    const int y = COrloDlg::IconOffset(client.bottom - client.top, ::GetSystemMetrics(SM_CYICON));
    if (m_bigIcon != nullptr) ::DrawIcon(dc, x, y, m_bigIcon);
    ::EndPaint(hwnd, &ps);
}

intptr_t Win32DialogWindow::SendMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    HWND hwnd = m_hwnd.load();
    if (m_destroyed.load() || hwnd == nullptr) return 0;
    // From the reader thread Windows runs the dialog on the UI thread and waits; a window that
    // is gone (or goes while the call waits, see Destroy) answers 0 at once.
    return static_cast<intptr_t>(::SendMessageW(hwnd, msg, wParam, lParam));
}

void Win32DialogWindow::Destroy() {
    if (m_destroyed.exchange(true)) return;
    HWND hwnd = m_hwnd.exchange(nullptr);
    if (hwnd == nullptr) return;
    for (unsigned id : m_timers) ::KillTimer(hwnd, id);
    m_timers.clear();
    while (m_waitCursors > 0) EndWaitCursor();
    // Windows answers a notification that waits for the window when the window goes (with 0),
    // so the reader goes on and can end. Taking up this thread's sent messages once more
    // leaves nothing waiting for a thread that is about to wait for the reader.
    ::DestroyWindow(hwnd);
    MSG msg;
    ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}

bool Win32DialogWindow::IsWindow() const {
    HWND hwnd = m_hwnd.load();
    return !m_destroyed.load() && hwnd != nullptr && ::IsWindow(hwnd);
}

void Win32DialogWindow::HandleQueued(MSG& msg) {
    HWND hwnd = m_hwnd.load();
    if (hwnd != nullptr && (msg.hwnd == hwnd || ::IsChild(hwnd, msg.hwnd))) {
        InputMessage input;
        input.message = msg.message;
        input.wParam = msg.wParam;
        input.lParam = msg.lParam;
        HWND focus = ::GetFocus();
        input.focusId = focus != nullptr && ::IsChild(hwnd, focus) ? ::GetDlgCtrlID(focus) : 0;
        if (m_preTranslate && m_preTranslate(input)) return;
        if (::IsDialogMessageW(hwnd, &msg)) return;
    }
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
}

bool Win32DialogWindow::PumpMessages(std::chrono::milliseconds maxWait) {
    const DWORD wait = static_cast<DWORD>(std::max<long long>(maxWait.count(), 0));
    if (!m_closeRequested && m_hwnd.load() != nullptr)
        ::MsgWaitForMultipleObjectsEx(0, nullptr, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    MSG msg;
    while (!m_closeRequested && m_hwnd.load() != nullptr &&
           ::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            m_closeRequested = true;
            ::PostQuitMessage(static_cast<int>(msg.wParam));  // for the loop outside
            break;
        }
        HandleQueued(msg);
    }
    return m_closeRequested || m_hwnd.load() == nullptr;
}

void Win32DialogWindow::RunModalLoop() {
    while (!PumpMessages(std::chrono::milliseconds(INFINITE))) {
    }
}

// --- the window itself ----------------------------------------------------------------------

void Win32DialogWindow::SetTitle(const std::string& title) {
    if (HWND hwnd = m_hwnd.load()) ::SetWindowTextW(hwnd, Widen(title).c_str());
}

void Win32DialogWindow::SetIcon(int iconResource, bool big) {
    HWND hwnd = m_hwnd.load();
    if (hwnd == nullptr) return;
    const int cx = ::GetSystemMetrics(big ? SM_CXICON : SM_CXSMICON);
    const int cy = ::GetSystemMetrics(big ? SM_CYICON : SM_CYSMICON);
    auto icon = static_cast<HICON>(::LoadImageW(m_instance, MAKEINTRESOURCEW(iconResource),
                                                IMAGE_ICON, cx, cy, LR_DEFAULTCOLOR));
    if (icon == nullptr) return;
    HICON& slot = big ? m_bigIcon : m_smallIcon;
    ::SendMessageW(hwnd, WM_SETICON, big ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    if (slot != nullptr) ::DestroyIcon(slot);
    slot = icon;
}

void Win32DialogWindow::AppendSystemMenu(unsigned commandId, const std::string& text) {
    HWND hwnd = m_hwnd.load();
    HMENU menu = hwnd != nullptr ? ::GetSystemMenu(hwnd, FALSE) : nullptr;
    if (menu == nullptr || text.empty()) return;
    ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    ::AppendMenuW(menu, MF_STRING, commandId, Widen(text).c_str());
}

bool Win32DialogWindow::IsIconic() const {
    HWND hwnd = m_hwnd.load();
    return hwnd != nullptr && ::IsIconic(hwnd);
}

std::string Win32DialogWindow::LoadResourceString(int id) const {
    const wchar_t* text = nullptr;
    // Length 0: a read-only pointer to the resource's own text, which is not zero-terminated.
    const int n =
        ::LoadStringW(m_instance, static_cast<UINT>(id), reinterpret_cast<LPWSTR>(&text), 0);
    return n > 0 && text != nullptr ? Narrow(std::wstring(text, static_cast<std::size_t>(n)))
                                    : std::string();
}

// --- controls by id -------------------------------------------------------------------------

HWND Win32DialogWindow::Control(int id) const {
    HWND hwnd = m_hwnd.load();
    return hwnd != nullptr ? ::GetDlgItem(hwnd, id) : nullptr;
}

void Win32DialogWindow::SetControlText(int id, const std::string& text) {
    HWND control = Control(id);
    // The data exchange writes every bound text after each burst of received bytes: an
    // unchanged text is left alone, so the control neither flickers nor loses its caret.
    if (control == nullptr || GetControlText(id) == text) return;
    ::SetWindowTextW(control, Widen(text).c_str());
}

std::string Win32DialogWindow::GetControlText(int id) const {
    HWND control = Control(id);
    if (control == nullptr) return {};
    const int length = ::GetWindowTextLengthW(control);
    std::wstring text(static_cast<std::size_t>(std::max(length, 0)) + 1, L'\0');
    const int n = ::GetWindowTextW(control, text.data(), static_cast<int>(text.size()));
    text.resize(static_cast<std::size_t>(std::max(n, 0)));
    return Narrow(text);
}

void Win32DialogWindow::EnableControl(int id, bool enable) {
    if (HWND control = Control(id)) ::EnableWindow(control, enable ? TRUE : FALSE);
}

bool Win32DialogWindow::IsControlEnabled(int id) const {
    HWND control = Control(id);
    return control != nullptr && ::IsWindowEnabled(control);
}

void Win32DialogWindow::ShowControl(int id, bool show) {
    if (HWND control = Control(id)) ::ShowWindow(control, show ? SW_SHOW : SW_HIDE);
}

bool Win32DialogWindow::IsControlVisible(int id) const {
    HWND control = Control(id);
    // The control's own visible style: the dialog itself may not be shown yet.
    return control != nullptr && (::GetWindowLongW(control, GWL_STYLE) & WS_VISIBLE) != 0;
}

int Win32DialogWindow::ComboDeleteString(int id, int index) {
    HWND control = Control(id);
    if (control == nullptr) return CB_ERR;
    return static_cast<int>(
        ::SendMessageW(control, CB_DELETESTRING, static_cast<WPARAM>(index), 0));
}

int Win32DialogWindow::ComboAddString(int id, const std::string& text) {
    HWND control = Control(id);
    if (control == nullptr) return CB_ERR;
    const std::wstring wide = Widen(text);
    return static_cast<int>(
        ::SendMessageW(control, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide.c_str())));
}

int Win32DialogWindow::ComboSetCurSel(int id, int index) {
    HWND control = Control(id);
    if (control == nullptr) return CB_ERR;
    if (index < 0 || index >= ComboGetCount(id)) {
        // Out of range: an error, and no entry stays selected (as Windows documents it; some
        // versions and Wine would keep the old selection).
        ::SendMessageW(control, CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
        return CB_ERR;
    }
    return static_cast<int>(::SendMessageW(control, CB_SETCURSEL, static_cast<WPARAM>(index), 0));
}

int Win32DialogWindow::ComboGetCurSel(int id) const {
    HWND control = Control(id);
    if (control == nullptr) return CB_ERR;
    return static_cast<int>(::SendMessageW(control, CB_GETCURSEL, 0, 0));
}

int Win32DialogWindow::ComboGetCount(int id) const {
    HWND control = Control(id);
    if (control == nullptr) return 0;
    return std::max(0, static_cast<int>(::SendMessageW(control, CB_GETCOUNT, 0, 0)));
}

bool Win32DialogWindow::ComboGetLBText(int id, int index, std::string* text) const {
    HWND control = Control(id);
    if (control == nullptr) return false;
    const LRESULT length = ::SendMessageW(control, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == CB_ERR) return false;
    std::wstring buffer(static_cast<std::size_t>(length) + 1, L'\0');
    const LRESULT n = ::SendMessageW(control, CB_GETLBTEXT, static_cast<WPARAM>(index),
                                     reinterpret_cast<LPARAM>(buffer.data()));
    if (n == CB_ERR) return false;
    buffer.resize(static_cast<std::size_t>(n));
    *text = Narrow(buffer);
    return true;
}

int Win32DialogWindow::ListAddString(int id, const std::string& text) {
    HWND control = Control(id);
    if (control == nullptr) return LB_ERR;
    const std::wstring wide = Widen(text);
    return static_cast<int>(
        ::SendMessageW(control, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide.c_str())));
}

int Win32DialogWindow::ListSetCurSel(int id, int index) {
    HWND control = Control(id);
    if (control == nullptr) return LB_ERR;
    return static_cast<int>(::SendMessageW(control, LB_SETCURSEL, static_cast<WPARAM>(index), 0));
}

int Win32DialogWindow::ListDeleteString(int id, int index) {
    HWND control = Control(id);
    if (control == nullptr) return LB_ERR;
    return static_cast<int>(
        ::SendMessageW(control, LB_DELETESTRING, static_cast<WPARAM>(index), 0));
}

int Win32DialogWindow::ListGetCount(int id) const {
    HWND control = Control(id);
    if (control == nullptr) return 0;
    return std::max(0, static_cast<int>(::SendMessageW(control, LB_GETCOUNT, 0, 0)));
}

int Win32DialogWindow::ProgressSetPos(int id, int pos) {
    HWND control = Control(id);
    if (control == nullptr) return 0;
    return static_cast<int>(::SendMessageW(control, PBM_SETPOS, static_cast<WPARAM>(pos), 0));
}

// --- modal boxes and dialogs ----------------------------------------------------------------

int Win32DialogWindow::MessageBox(const std::string& text, const std::string& caption,
                                  unsigned type) {
    if (m_prompts.messageBox) return m_prompts.messageBox(text, caption, type);
    return ::MessageBoxW(m_hwnd.load(), Widen(text).c_str(), Widen(caption).c_str(), type | MB_OK);
}

void Win32DialogWindow::ThreadMessageBox(const std::string& text, const std::string& caption,
                                         unsigned type) {
    if (m_prompts.messageBox) {
        m_prompts.messageBox(text, caption, type);
        return;
    }
    // Owned by no window: the calling thread (the reader) shows it and waits for OK itself.
    ::MessageBoxW(nullptr, Widen(text).c_str(), Widen(caption).c_str(), type | MB_OK);
}

FileDialogResult Win32DialogWindow::DoFileDialog(const FileDialogRequest& request) {
    if (m_prompts.fileDialog) return m_prompts.fileDialog(request);
    const std::wstring filter = DialogFilter(request.filter);
    const std::wstring defaultExt = Widen(request.defaultExt);
    std::vector<wchar_t> file(kFileNameChars, L'\0');
    const std::wstring initial = Widen(request.initialName);
    std::copy_n(initial.begin(), std::min<std::size_t>(initial.size(), file.size() - 1),
                file.begin());

    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = request.ownedByDialog ? m_hwnd.load() : nullptr;
    ofn.lpstrFilter = request.filter.empty() ? nullptr : filter.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = file.data();
    ofn.nMaxFile = kFileNameChars;
    ofn.lpstrDefExt = defaultExt.empty() ? nullptr : defaultExt.c_str();
    // The new-style (Explorer) dialog; the process's current folder stays where it is.
    ofn.Flags = request.flags | OFN_EXPLORER | OFN_ENABLESIZING | OFN_NOCHANGEDIR;
    const BOOL ok = request.open ? ::GetOpenFileNameW(&ofn) : ::GetSaveFileNameW(&ofn);

    FileDialogResult result;
    if (!ok) return result;
    result.ok = true;
    result.fullPath = Narrow(file.data());
    result.fileName = ofn.nFileOffset < wcslen(file.data()) ? Narrow(file.data() + ofn.nFileOffset)
                                                            : result.fullPath;
    return result;
}

void Win32DialogWindow::ShowAboutBox() {
    if (m_prompts.aboutBox) {
        m_prompts.aboutBox();
        return;
    }
    ::DialogBoxParamW(m_instance, MAKEINTRESOURCEW(IDD_ABOUTBOX), m_hwnd.load(), &AboutProc, 0);
}

void Win32DialogWindow::BeginWaitCursor() {
    ++m_waitCursors;
    ::SetCursor(::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_WAIT)));
}

void Win32DialogWindow::EndWaitCursor() {
    if (m_waitCursors == 0) return;
    if (--m_waitCursors == 0)
        ::SetCursor(::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW)));
}

// --- timers ---------------------------------------------------------------------------------

bool Win32DialogWindow::SetTimer(unsigned id, unsigned periodMs) {
    HWND hwnd = m_hwnd.load();
    if (hwnd == nullptr || m_destroyed.load()) return false;
    if (::SetTimer(hwnd, id, periodMs, nullptr) == 0) return false;
    m_timers.insert(id);
    return true;
}

bool Win32DialogWindow::KillTimer(unsigned id) {
    HWND hwnd = m_hwnd.load();
    m_timers.erase(id);
    return hwnd != nullptr && ::KillTimer(hwnd, id);
}

// --- painting of the converter preview ------------------------------------------------------

void Win32DialogWindow::FillSolidRect(int x, int y, int w, int h, uint32_t rgb) {
    HWND hwnd = m_hwnd.load();
    if (hwnd == nullptr || w <= 0 || h <= 0) return;
    HDC dc = ::GetDC(hwnd);
    HBRUSH brush = ::CreateSolidBrush(static_cast<COLORREF>(rgb));  // 0x00BBGGRR
    const RECT rect{x, y, x + w, y + h};
    ::FillRect(dc, &rect, brush);
    ::DeleteObject(brush);
    ::ReleaseDC(hwnd, dc);
}

void Win32DialogWindow::DrawBitmapFile(const std::string& path, int x, int y, int w, int h) {
    HWND hwnd = m_hwnd.load();
    if (hwnd == nullptr || w <= 0 || h <= 0) return;
    auto bitmap = static_cast<HBITMAP>(
        ::LoadImageW(nullptr, Widen(path).c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE));
    if (bitmap == nullptr) return;
    HDC dc = ::GetDC(hwnd);
    HDC source = ::CreateCompatibleDC(dc);
    HGDIOBJ old = ::SelectObject(source, bitmap);
    ::BitBlt(dc, x, y, w, h, source, 0, 0, SRCCOPY);
    ::SelectObject(source, old);
    ::DeleteDC(source);
    ::ReleaseDC(hwnd, dc);
    ::DeleteObject(bitmap);
}

}  // namespace orlo
