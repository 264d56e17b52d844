#include "SelfTest.h"

#include <commctrl.h>

#include <chrono>
#include <functional>

#include "app/DialogTemplate.h"
#include "win32/Win32Text.h"

namespace orlo::win {

namespace {

using win32::Narrow;

constexpr auto kSettle = std::chrono::milliseconds(300);  // for posted input to be handled

class Report {
  public:
    explicit Report(std::string* out) : m_out(out) {}
    void Check(const std::string& what, bool ok, const std::string& detail = {}) {
        if (!ok) ++m_failed;
        ++m_total;
        if (m_out == nullptr) return;
        *m_out += (ok ? "ok      " : "FAILED  ") + what;
        if (!ok && !detail.empty()) *m_out += " (" + detail + ")";
        *m_out += "\n";
    }
    int Finish() {
        if (m_out != nullptr)
            *m_out += "selftest: " + std::to_string(m_total - m_failed) + " of " +
                      std::to_string(m_total) + " checks passed\n";
        return m_failed == 0 ? 0 : 1;
    }

  private:
    std::string* m_out;
    int m_total = 0;
    int m_failed = 0;
};

std::string WindowText(HWND hwnd) {
    wchar_t text[256] = {};
    ::GetWindowTextW(hwnd, text, 256);
    return Narrow(text);
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

// Handles the input that is waiting for a while, then says whether the window has been closed.
bool Settle(Win32DialogWindow& window) {
    const auto end = std::chrono::steady_clock::now() + kSettle;
    while (std::chrono::steady_clock::now() < end)
        if (window.PumpMessages(std::chrono::milliseconds(20))) return true;
    return window.CloseRequested();
}

}  // namespace

int RunSelfTest(Win32DialogWindow& window, HINSTANCE, std::string* out) {
    Report report(out);
    HWND hwnd = window.Handle();
    report.Check("the main dialog exists", hwnd != nullptr && window.IsWindow());
    if (hwnd == nullptr) return report.Finish();

    const std::string title = WindowText(hwnd);
    report.Check("the title reads \"for RDX-5812LQ Ver 1.0\"", title == "for RDX-5812LQ Ver 1.0",
                 "it reads " + Quoted(title));
    const std::string status = window.GetControlText(IDC_STATUS);
    report.Check("the status reads \"Ready\"", status == "Ready", "it reads " + Quoted(status));
    report.Check("Open and Close are disabled",
                 !window.IsControlEnabled(IDC_OPEN) && !window.IsControlEnabled(IDC_CLOSE));
    report.Check(
        "the port list is enabled and empty",
        window.IsControlEnabled(IDC_COMBO_PORT) && window.ComboGetCount(IDC_COMBO_PORT) == 0);
    const LRESULT position = ::SendMessageW(::GetDlgItem(hwnd, IDC_PROGRESS), PBM_GETPOS, 0, 0);
    report.Check("the progress bar is empty", position == 0,
                 "position " + std::to_string(position));

    std::string wrongVisibility;
    for (const ControlTemplate& control : kMainDialogTemplate.controls) {
        if (control.id == IDC_STATIC) continue;
        if (window.IsControlVisible(control.id) != control.shown)
            wrongVisibility += " " + std::to_string(control.id);
    }
    report.Check("only the main controls are shown, the service controls hidden",
                 wrongVisibility.empty(), "wrong:" + wrongVisibility);

    HMENU menu = ::GetSystemMenu(hwnd, FALSE);
    const int items = menu != nullptr ? ::GetMenuItemCount(menu) : 0;
    wchar_t item[128] = {};
    if (items > 0) ::GetMenuStringW(menu, static_cast<UINT>(items - 1), item, 128, MF_BYPOSITION);
    const bool separator =
        items > 1 &&
        (::GetMenuState(menu, static_cast<UINT>(items - 2), MF_BYPOSITION) & MF_SEPARATOR) != 0;
    const bool aboutLast =
        items > 0 && ::GetMenuItemID(menu, items - 1) == static_cast<UINT>(IDM_ABOUTBOX);
    report.Check("the system menu ends with a separator and \"Orlo 정보(&A)...\"",
                 separator && aboutLast && Narrow(item) == kAboutMenuText,
                 "last item " + Quoted(Narrow(item)));
    report.Check("string resource 101 is the menu item's text",
                 window.LoadResourceString(IDS_ABOUTBOX) == kAboutMenuText,
                 "it is " + Quoted(window.LoadResourceString(IDS_ABOUTBOX)));
    report.Check("the window has its big and small icons",
                 ::SendMessageW(hwnd, WM_GETICON, ICON_BIG, 0) != 0 &&
                     ::SendMessageW(hwnd, WM_GETICON, ICON_SMALL, 0) != 0);

    window.Show();
    report.Check("the window is shown", ::IsWindowVisible(hwnd) != FALSE);
    ::PostMessageW(hwnd, WM_KEYDOWN, VK_RETURN, 0);
    ::PostMessageW(hwnd, WM_KEYDOWN, VK_ESCAPE, 0);
    report.Check("Enter and Escape do not close the window", !Settle(window) && window.IsWindow());
    ::PostMessageW(hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
    report.Check("the close box closes it", Settle(window));
    return report.Finish();
}

int SaveScreenshot(Win32DialogWindow& window, const std::wstring& path, std::string* report) {
    HWND hwnd = window.Handle();
    window.Show();
    Settle(window);
    RECT rect;
    ::GetWindowRect(hwnd, &rect);
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;

    BITMAPINFOHEADER info{};
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height;  // bottom-up, as a bitmap file keeps its rows
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
    info.biSizeImage = stride * static_cast<DWORD>(height);

    HDC screen = ::GetDC(nullptr);
    HDC memory = ::CreateCompatibleDC(screen);
    void* bits = nullptr;
    HBITMAP bitmap = ::CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&info),
                                        DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = ::SelectObject(memory, bitmap);
    ::BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    ::SelectObject(memory, old);

    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = file.bfOffBits + info.biSizeImage;
    HANDLE out = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    const bool ok = out != INVALID_HANDLE_VALUE && bits != nullptr &&
                    ::WriteFile(out, &file, sizeof file, &written, nullptr) &&
                    ::WriteFile(out, &info, sizeof info, &written, nullptr) &&
                    ::WriteFile(out, bits, info.biSizeImage, &written, nullptr);
    if (out != INVALID_HANDLE_VALUE) ::CloseHandle(out);
    ::DeleteObject(bitmap);
    ::DeleteDC(memory);
    ::ReleaseDC(nullptr, screen);
    if (!ok && report != nullptr) *report = "orlo-gui: the picture could not be saved\n";
    return ok ? 0 : 1;
}

}  // namespace orlo::win
