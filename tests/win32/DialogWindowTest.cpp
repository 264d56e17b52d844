// The native dialog window layer: the dialog built from template 102 matches the layout table
// control by control (kind, place, caption, visibility, styles, tab order); the window layer's
// combo box, text and send semantics; WM_COMM_RX sent from another thread; a window destroyed
// while a notification waits; and the whole dialog on the native window with a fake port.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <thread>

#include "app/DialogTemplate.h"
#include "OrloApp.h"
#include "app/OrloDlg.h"
#include "devsim/Device.h"
#include "images/FlashRegion.h"
#include "protocol/Crc16.h"
#include "protocol/Protocol.h"
#include "run/Guards.h"
#include "support/FakeSerial.h"
#include "win32/Win32DialogWindow.h"
#include "win32/Win32Text.h"
#include "window/WindowBase.h"

#include <commctrl.h>

namespace orlo::test {
namespace {

using namespace std::chrono_literals;

class NativeDialog : public ::testing::Test {
  protected:
    void SetUp() override {
        INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_WIN95_CLASSES};
        ::InitCommonControlsEx(&controls);
        ASSERT_TRUE(window.Create(IDD_ORLO_DIALOG));
        hwnd = window.Handle();
    }
    bool Pump(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5s) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            window.PumpMessages(5ms);
        }
        return true;
    }

    Win32DialogWindow window{::GetModuleHandleW(nullptr)};
    HWND hwnd = nullptr;
};

std::string ClassOf(HWND control) {
    wchar_t name[64] = {};
    ::GetClassNameW(control, name, 64);
    return win32::Narrow(name);
}

std::string TextOf(HWND control) {
    wchar_t text[128] = {};
    ::GetWindowTextW(control, text, 128);
    return win32::Narrow(text);
}

const char* ClassFor(ControlKind kind) {
    switch (kind) {
        case ControlKind::PushButton:
        case ControlKind::DefPushButton:
        case ControlKind::GroupBox:
            return "Button";
        case ControlKind::ComboBox:
            return "ComboBox";
        case ControlKind::Edit:
            return "Edit";
        case ControlKind::ListBox:
            return "ListBox";
        case ControlKind::ProgressBar:
            return "msctls_progress32";
        default:
            return "Static";
    }
}

// A file of `bytes` in the temporary folder, named `stem`, the process id and `extension`.
std::wstring TempImage(const std::wstring& stem, const std::wstring& extension,
                       const std::vector<uint8_t>& bytes) {
    wchar_t temp[MAX_PATH] = {};
    if (::GetTempPathW(MAX_PATH, temp) == 0) return {};
    const std::wstring path =
        std::wstring(temp) + stem + std::to_wstring(::GetCurrentProcessId()) + extension;
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    DWORD written = 0;
    const bool ok = ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                                nullptr) && written == bytes.size();
    ::CloseHandle(file);
    return ok ? path : std::wstring();
}

// The dialog's fake COM3: the boxes it showed, and the file its file dialogs choose.
struct OnePort {
    OnePort() {
        PortInfo com3;
        com3.valueName = "\\Device\\Serial0";
        com3.comName = "COM3";
        com3.devicePath = "\\\\.\\COM3";
        ports.ports.push_back(com3);
    }
    // The window's prompts: boxes recorded and answered OK (the system's own when
    // `systemBoxes`), file dialogs answered with `file`.
    Win32Prompts Prompts(bool systemBoxes = false) {
        Win32Prompts prompts;
        if (!systemBoxes)
            prompts.messageBox = [this](const std::string& text, const std::string&, unsigned) {
                boxes.push_back(text);
                return IDOK;
            };
        prompts.fileDialog = [this](const FileDialogRequest&) {
            return ChosenFile(win32::Narrow(file));
        };
        return prompts;
    }
    OrloEnvironment Environment(IWindow& window) {
        OrloEnvironment env;
        env.window = &window;
        env.serial = &serial;
        env.ports = &ports;
        return env;
    }
    // Drops the port list down, chooses COM3 and presses Open.
    void Open(IWindow& window) {
        window.SendMessage(WM_COMMAND, MAKEWPARAM(IDC_COMBO_PORT, CBN_DROPDOWN), 0);
        window.ComboSetCurSel(IDC_COMBO_PORT, 1);
        window.SendMessage(WM_COMMAND, MAKEWPARAM(IDC_COMBO_PORT, CBN_SELCHANGE), 0);
        window.SendMessage(WM_COMMAND, MAKEWPARAM(IDC_OPEN, BN_CLICKED), 0);
    }

    FakeSerialBackend serial;
    FakePortTable ports;
    std::vector<std::string> boxes;
    std::wstring file;
};

// The styles of a dialog template's controls as the resource holds them (Windows adjusts some
// when it creates the control: a combo box hands its scroll bar to its list, a bordered edit
// gets a sunken edge instead).
struct ItemStyle {
    DWORD style = 0;
    DWORD exStyle = 0;
};

const WORD* SkipNameOrOrdinal(const WORD* p) {
    if (*p == 0x0000) return p + 1;
    if (*p == 0xFFFF) return p + 2;
    while (*p != 0) ++p;
    return p + 1;
}

const WORD* AlignToDword(const WORD* p) {
    return reinterpret_cast<const WORD*>((reinterpret_cast<uintptr_t>(p) + 3) & ~uintptr_t{3});
}

std::vector<ItemStyle> TemplateItemStyles(int dialogId) {
    HMODULE module = ::GetModuleHandleW(nullptr);
    HRSRC res = ::FindResourceW(module, MAKEINTRESOURCEW(dialogId), MAKEINTRESOURCEW(5));
    if (res == nullptr) return {};
    const auto* p = static_cast<const WORD*>(::LockResource(::LoadResource(module, res)));
    if (p == nullptr || p[0] != 1 || p[1] != 0xFFFF) return {};  // DLGTEMPLATEEX only
    DWORD style;
    std::memcpy(&style, p + 6, 4);
    const WORD count = p[8];
    p = SkipNameOrOrdinal(p + 13);                              // menu
    p = SkipNameOrOrdinal(p);                                   // window class
    p += std::wcslen(reinterpret_cast<const wchar_t*>(p)) + 1;  // caption
    if (style & DS_SETFONT) {
        p += 3;
        p += std::wcslen(reinterpret_cast<const wchar_t*>(p)) + 1;
    }
    std::vector<ItemStyle> items;
    for (WORD i = 0; i < count; ++i) {
        p = AlignToDword(p);
        ItemStyle item;
        std::memcpy(&item.exStyle, p + 2, 4);
        std::memcpy(&item.style, p + 4, 4);
        items.push_back(item);
        p = SkipNameOrOrdinal(p + 12);  // after help id, styles, place and id: the class
        p = SkipNameOrOrdinal(p);       // title
        const WORD extra = *p++;
        p = reinterpret_cast<const WORD*>(reinterpret_cast<const BYTE*>(p) + extra);
    }
    return items;
}

// Checks one control of a dialog against its row of a layout table and its template item.
void ExpectControl(HWND dialog, HWND control, const ControlTemplate& row, ItemStyle item) {
    SCOPED_TRACE(::testing::Message() << "control " << row.id << " \"" << row.caption << "\"");
    EXPECT_EQ(::GetDlgCtrlID(control), row.id);
    EXPECT_EQ(ClassOf(control), ClassFor(row.kind));
    EXPECT_EQ((::GetWindowLongW(control, GWL_STYLE) & WS_VISIBLE) != 0, row.shown);
    const DWORD style = item.style;
    const DWORD exStyle = item.exStyle;
    EXPECT_EQ((style & WS_VISIBLE) != 0, row.shown);
    const bool border = (style & WS_BORDER) != 0;

    // Place in dialog units, as the dialog's font turns them into pixels (Windows converts the
    // position and the size each on its own).
    RECT units{row.x, row.y, row.w, row.h};
    ::MapDialogRect(dialog, &units);
    const RECT expected{units.left, units.top, units.left + units.right, units.top + units.bottom};
    RECT actual;
    ::GetWindowRect(control, &actual);
    ::MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&actual), 2);
    EXPECT_EQ(actual.left, expected.left);
    EXPECT_EQ(actual.top, expected.top);
    // A combo box's height is its closed field; pictures and icons take their image's size.
    if (row.kind != ControlKind::Picture && row.kind != ControlKind::Icon) {
        EXPECT_EQ(actual.right, expected.right);
        if (row.kind != ControlKind::ComboBox) {
            EXPECT_EQ(actual.bottom, expected.bottom);
        }
    }

    const auto has = [&](unsigned flag) { return (row.style & flag) != 0; };
    switch (row.kind) {
        case ControlKind::PushButton:
            EXPECT_EQ(style & BS_TYPEMASK, BS_PUSHBUTTON);
            EXPECT_EQ(TextOf(control), row.caption);
            break;
        case ControlKind::DefPushButton:
            EXPECT_EQ(style & BS_TYPEMASK, BS_DEFPUSHBUTTON);
            EXPECT_EQ(TextOf(control), row.caption);
            break;
        case ControlKind::GroupBox:
            EXPECT_EQ(style & BS_TYPEMASK, BS_GROUPBOX);
            EXPECT_EQ(TextOf(control), row.caption);
            break;
        case ControlKind::Label:
            EXPECT_EQ(style & SS_TYPEMASK, SS_LEFT);
            EXPECT_EQ(TextOf(control), row.caption);
            break;
        case ControlKind::Picture:
            EXPECT_EQ(style & SS_TYPEMASK, SS_BITMAP);
            EXPECT_NE(::SendMessageW(control, STM_GETIMAGE, IMAGE_BITMAP, 0), 0);
            break;
        case ControlKind::Icon:
            EXPECT_EQ(style & SS_TYPEMASK, SS_ICON);
            EXPECT_NE(::SendMessageW(control, STM_GETICON, 0, 0), 0);
            break;
        case ControlKind::ComboBox: {
            EXPECT_EQ((style & 3) == CBS_DROPDOWN, has(kStyleDropDown));
            EXPECT_EQ((style & WS_VSCROLL) != 0, has(kStyleVScroll));
            break;
        }
        case ControlKind::Edit:
            EXPECT_EQ((style & ES_READONLY) != 0, has(kStyleReadOnly));
            EXPECT_EQ(border, has(kStyleBorder));
            EXPECT_EQ((style & ES_RIGHT) != 0 || (exStyle & WS_EX_RIGHT) != 0,
                      has(kStyleRightAlign));
            EXPECT_EQ((style & ES_AUTOHSCROLL) != 0, has(kStyleAutoHScroll));
            break;
        case ControlKind::ListBox:
            EXPECT_EQ(border, has(kStyleBorder));
            EXPECT_EQ((style & WS_VSCROLL) != 0, has(kStyleVScroll));
            EXPECT_EQ((style & WS_HSCROLL) != 0, has(kStyleHScroll));
            EXPECT_EQ((style & LBS_DISABLENOSCROLL) != 0, has(kStyleScrollAlways));
            EXPECT_EQ((style & LBS_SORT) == 0, has(kStyleUnsorted));
            EXPECT_EQ((style & LBS_NOTIFY) != 0, has(kStyleNotify));
            break;
        case ControlKind::ProgressBar:
            EXPECT_EQ(border, has(kStyleBorder));
            EXPECT_EQ((style & PBS_SMOOTH) != 0, has(kStyleSmooth));
            break;
    }
}

// The children of a dialog in tab order.
std::vector<HWND> Children(HWND dialog) {
    std::vector<HWND> out;
    for (HWND c = ::GetWindow(dialog, GW_CHILD); c != nullptr; c = ::GetWindow(c, GW_HWNDNEXT))
        out.push_back(c);
    return out;
}

TEST_F(NativeDialog, EveryControlFollowsTheLayoutTableInTabOrder) {
    const std::vector<HWND> children = Children(hwnd);
    const std::vector<ItemStyle> items = TemplateItemStyles(IDD_ORLO_DIALOG);
    ASSERT_EQ(children.size(), kMainDialogTemplate.controls.size());
    ASSERT_EQ(items.size(), kMainDialogTemplate.controls.size());
    for (std::size_t i = 0; i < children.size(); ++i)
        ExpectControl(hwnd, children[i], kMainDialogTemplate.controls[i], items[i]);
}

TEST_F(NativeDialog, TheWindowIsAFixedPopUpWithCaptionSystemMenuAndMinimiseBoxInTheTaskBar) {
    const LONG style = ::GetWindowLongW(hwnd, GWL_STYLE);
    const LONG exStyle = ::GetWindowLongW(hwnd, GWL_EXSTYLE);
    EXPECT_TRUE(style & WS_POPUP);
    EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_TRUE(style & WS_MINIMIZEBOX);
    EXPECT_FALSE(style & WS_MAXIMIZEBOX);
    EXPECT_FALSE(style & WS_THICKFRAME);
    EXPECT_TRUE(exStyle & WS_EX_APPWINDOW);
    EXPECT_EQ(TextOf(hwnd), "Orlo");  // the template's caption, until the dialog sets its title

    RECT expected{0, 0, kMainDialogTemplate.width, kMainDialogTemplate.height};
    ::MapDialogRect(hwnd, &expected);
    RECT client;
    ::GetClientRect(hwnd, &client);
    EXPECT_EQ(client.right, expected.right);
    EXPECT_EQ(client.bottom, expected.bottom);
}

TEST_F(NativeDialog, TheAboutBoxFollowsItsTable) {
    HWND about = ::CreateDialogParamW(
        ::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_ABOUTBOX), hwnd,
        [](HWND, UINT, WPARAM, LPARAM) -> INT_PTR { return FALSE; }, 0);
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(TextOf(about), kAboutBoxTemplate.caption);
    EXPECT_EQ(TextOf(about), "Orlo 정보");
    const std::vector<HWND> children = Children(about);
    const std::vector<ItemStyle> items = TemplateItemStyles(IDD_ABOUTBOX);
    ASSERT_EQ(children.size(), kAboutBoxTemplate.controls.size());
    ASSERT_EQ(items.size(), kAboutBoxTemplate.controls.size());
    for (std::size_t i = 0; i < children.size(); ++i)
        ExpectControl(about, children[i], kAboutBoxTemplate.controls[i], items[i]);
    RECT expected{0, 0, kAboutBoxTemplate.width, kAboutBoxTemplate.height};
    ::MapDialogRect(about, &expected);
    RECT client;
    ::GetClientRect(about, &client);
    EXPECT_EQ(client.right, expected.right);
    EXPECT_EQ(client.bottom, expected.bottom);
    const LONG style = ::GetWindowLongW(about, GWL_STYLE);
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_FALSE(style & WS_MINIMIZEBOX);
    ::DestroyWindow(about);
}

POINT Centre(const RECT& r) {
    return POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
}

TEST_F(NativeDialog, TheWindowOpensCentredOnTheWorkAreaAndTheAboutBoxOnTheWindow) {
    RECT work{};
    ASSERT_TRUE(::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0));
    RECT main;
    ::GetWindowRect(hwnd, &main);
    EXPECT_LE(std::abs(Centre(main).x - Centre(work).x), 1);
    EXPECT_LE(std::abs(Centre(main).y - Centre(work).y), 1);

    // Away from the middle, shown: the About box is centred on it, not on the screen.
    ::SetWindowPos(hwnd, nullptr, work.left + 40, work.top + 30, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    window.Show();
    ::GetWindowRect(hwnd, &main);
    RECT about{};
    std::thread closer([&] {
        const std::wstring caption = win32::Widen(kAboutBoxTemplate.caption);
        for (int i = 0; i < 500; ++i, std::this_thread::sleep_for(10ms)) {
            HWND box = ::FindWindowW(nullptr, caption.c_str());
            if (box == nullptr || !::IsWindowVisible(box)) continue;
            ::GetWindowRect(box, &about);
            ::PostMessageW(box, WM_COMMAND, IDOK, 0);
            return;
        }
    });
    window.ShowAboutBox();
    closer.join();
    ASSERT_GT(about.right, about.left);
    EXPECT_LE(std::abs(Centre(about).x - Centre(main).x), 1);
    EXPECT_LE(std::abs(Centre(about).y - Centre(main).y), 1);
}

TEST_F(NativeDialog, KoreanTextsPassBothWaysUnchanged) {
    window.SetControlText(IDC_STATUS, "한국어 상태 정보");
    EXPECT_EQ(window.GetControlText(IDC_STATUS), "한국어 상태 정보");
    wchar_t text[32] = {};
    ::GetDlgItemTextW(hwnd, IDC_STATUS, text, 32);
    EXPECT_EQ(std::wstring(text), L"\xD55C\xAD6D\xC5B4 \xC0C1\xD0DC \xC815\xBCF4");
    window.SetTitle("Orlo 정보");
    EXPECT_EQ(TextOf(hwnd), "Orlo 정보");
    EXPECT_EQ(window.LoadResourceString(IDS_ABOUTBOX), kAboutMenuText);
}

TEST_F(NativeDialog, ComboAndListResultsAreTheControlsOwn) {
    EXPECT_EQ(window.ComboDeleteString(IDC_COMBO_PORT, 0), CB_ERR);  // empty
    EXPECT_EQ(window.ComboAddString(IDC_COMBO_PORT, "Select Com Port"), 0);
    EXPECT_EQ(window.ComboAddString(IDC_COMBO_PORT, "COM3"), 1);
    EXPECT_EQ(window.ComboAddString(IDC_COMBO_PORT, "COM12"), 2);  // unsorted: added at the end
    EXPECT_EQ(window.ComboGetCount(IDC_COMBO_PORT), 3);
    EXPECT_EQ(window.ComboGetCurSel(IDC_COMBO_PORT), CB_ERR);
    EXPECT_EQ(window.ComboSetCurSel(IDC_COMBO_PORT, 1), 1);
    EXPECT_EQ(window.ComboGetCurSel(IDC_COMBO_PORT), 1);
    // Out of range: an error, and the selection is gone.
    EXPECT_EQ(window.ComboSetCurSel(IDC_COMBO_PORT, 3), CB_ERR);
    EXPECT_EQ(window.ComboGetCurSel(IDC_COMBO_PORT), CB_ERR);
    std::string text;
    EXPECT_TRUE(window.ComboGetLBText(IDC_COMBO_PORT, 2, &text));
    EXPECT_EQ(text, "COM12");
    EXPECT_FALSE(window.ComboGetLBText(IDC_COMBO_PORT, 3, &text));
    EXPECT_EQ(window.ComboDeleteString(IDC_COMBO_PORT, 0), 2);  // the entries left

    EXPECT_EQ(window.ListAddString(IDC_LIST_LOG, "first"), 0);
    EXPECT_EQ(window.ListAddString(IDC_LIST_LOG, "second"), 1);
    EXPECT_EQ(window.ListSetCurSel(IDC_LIST_LOG, 1), 1);
    EXPECT_EQ(window.ListGetCount(IDC_LIST_LOG), 2);
    EXPECT_EQ(window.ListDeleteString(IDC_LIST_LOG, 0), 1);

    EXPECT_EQ(window.ProgressSetPos(IDC_PROGRESS, 40), 0);
    EXPECT_EQ(window.ProgressSetPos(IDC_PROGRESS, 100), 40);  // the previous position

    window.EnableControl(IDC_OPEN, false);
    EXPECT_FALSE(window.IsControlEnabled(IDC_OPEN));
    window.ShowControl(IDC_TEST_TX, true);
    EXPECT_TRUE(window.IsControlVisible(IDC_TEST_TX));
}

TEST_F(NativeDialog, ANotificationFromAnotherThreadRunsOnTheUiThreadWhileTheSenderWaits) {
    const DWORD uiThread = ::GetCurrentThreadId();
    std::atomic<DWORD> handledOn{0};
    std::atomic<bool> senderBack{false};
    window.SetWndProc([&](uint32_t msg, uintptr_t, intptr_t) -> intptr_t {
        if (msg != WM_COMM_RX) return 0;
        handledOn = ::GetCurrentThreadId();
        std::this_thread::sleep_for(50ms);
        EXPECT_FALSE(senderBack.load());  // the reader is still inside its send
        return 42;
    });
    intptr_t result = 0;
    std::thread reader([&] {
        result = window.SendMessage(WM_COMM_RX, 0, 0);
        senderBack = true;
    });
    EXPECT_TRUE(Pump([&] { return senderBack.load(); }));
    reader.join();
    EXPECT_EQ(handledOn.load(), uiThread);
    EXPECT_EQ(result, 42);
}

TEST_F(NativeDialog, DestroyingTheWindowReleasesANotificationThatWaitsForIt) {
    std::atomic<int> handled{0};
    window.SetWndProc([&](uint32_t, uintptr_t, intptr_t) -> intptr_t {
        ++handled;
        return 1;
    });
    std::atomic<bool> senderBack{false};
    intptr_t result = -1;
    std::thread reader([&] {
        result = window.SendMessage(WM_COMM_RX, 0, 0);
        senderBack = true;
    });
    std::this_thread::sleep_for(200ms);  // the send waits: this thread takes no messages
    EXPECT_FALSE(senderBack.load());
    window.Destroy();
    const auto end = std::chrono::steady_clock::now() + 2s;
    while (!senderBack.load() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(senderBack.load());
    if (!senderBack.load()) window.PumpMessages(0ms);  // do not leave the thread hanging
    reader.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(handled.load(), 0);
    EXPECT_FALSE(window.IsWindow());
    EXPECT_EQ(window.SendMessage(WM_COMM_RX, 0, 0), 0);  // later sends return at once
}

TEST_F(NativeDialog, QueuedMessagesPassTheFilterFirstAndEnterAndEscapeNeverClose) {
    std::vector<uint32_t> filtered;
    std::vector<uint32_t> handled;
    window.SetPreTranslate([&](const InputMessage& msg) {
        filtered.push_back(msg.message);
        return msg.message == WM_KEYDOWN;  // as the dialog: Enter and Escape go no further
    });
    window.SetWndProc([&](uint32_t msg, uintptr_t, intptr_t) -> intptr_t {
        handled.push_back(msg);
        return 0;
    });
    window.Show();
    ASSERT_TRUE(window.SetTimer(COUNTDOWN_TIMER_ID, 10));
    EXPECT_TRUE(Pump([&] { return std::count(handled.begin(), handled.end(), WM_TIMER) >= 2; }));
    EXPECT_TRUE(window.KillTimer(COUNTDOWN_TIMER_ID));
    EXPECT_NE(std::find(filtered.begin(), filtered.end(), WM_TIMER), filtered.end());

    ::PostMessageW(hwnd, WM_KEYDOWN, VK_ESCAPE, 0);
    ::PostMessageW(hwnd, WM_KEYDOWN, VK_RETURN, 0);
    ::PostMessageW(hwnd, WM_COMMAND, IDCANCEL, 0);  // what Escape becomes in a plain dialog
    ::PostMessageW(hwnd, WM_COMMAND, IDOK, 0);
    EXPECT_FALSE(window.PumpMessages(100ms));
    EXPECT_EQ(std::count(filtered.begin(), filtered.end(), WM_KEYDOWN), 2);
    EXPECT_FALSE(window.CloseRequested());
    EXPECT_TRUE(window.IsWindow());

    ::PostMessageW(hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);  // the close box, the menu, Alt+F4
    EXPECT_TRUE(Pump([&] { return window.CloseRequested(); }));
}

TEST_F(NativeDialog, TheAboutItemOfTheSystemMenuOpensTheAboutBox) {
    int aboutBoxes = 0;
    Win32Prompts prompts;
    prompts.aboutBox = [&] { ++aboutBoxes; };
    window.SetPrompts(prompts);
    OrloEnvironment env;
    env.window = &window;
    COrloDlg dlg(env);
    dlg.OnInitDialog();
    ::PostMessageW(hwnd, WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
    EXPECT_TRUE(Pump([&] { return aboutBoxes == 1; }));
    EXPECT_FALSE(window.CloseRequested());
}

// The whole dialog on the native window, with an in-memory port: the reader thread's
// notifications arrive through ::SendMessageW and the dialog's answers reach the controls.
TEST_F(NativeDialog, TheDialogRunsOnTheNativeWindowWithTheReaderNotifyingIt) {
    OnePort port;
    FakeSerialBackend& serial = port.serial;
    window.SetPrompts(port.Prompts());
    auto dlg = std::make_unique<COrloDlg>(port.Environment(window));
    window.SetPreTranslate([&](const InputMessage& msg) { return dlg->PreTranslateMessage(msg); });
    dlg->OnInitDialog();
    EXPECT_EQ(TextOf(hwnd), "for RDX-5812LQ Ver 1.0");
    EXPECT_EQ(window.GetControlText(IDC_STATUS), "Ready");

    auto command = [&](int id, int notification) {
        ::SendMessageW(hwnd, WM_COMMAND, MAKEWPARAM(id, notification),
                       reinterpret_cast<LPARAM>(::GetDlgItem(hwnd, id)));
    };
    command(IDC_COMBO_PORT, CBN_DROPDOWN);
    EXPECT_EQ(window.ComboGetCount(IDC_COMBO_PORT), 2);
    window.ComboSetCurSel(IDC_COMBO_PORT, 1);
    command(IDC_COMBO_PORT, CBN_SELCHANGE);
    EXPECT_TRUE(window.IsControlEnabled(IDC_OPEN));
    command(IDC_OPEN, BN_CLICKED);
    ASSERT_NE(serial.last, nullptr);
    EXPECT_TRUE(window.IsControlEnabled(IDC_CLOSE));
    EXPECT_FALSE(window.IsControlEnabled(IDC_COMBO_PORT));
    EXPECT_TRUE(port.boxes.empty());

    command(IDC_CHECK_APPLICATION, BN_CLICKED);
    ASSERT_EQ(serial.last->Writes().size(), 1u);
    EXPECT_EQ(serial.last->Writes()[0][3], CMD_CHECK);

    std::vector<uint8_t> reply(27, 0);
    reply[0] = FRAME_START;
    reply[2] = 27;
    reply[3] = CMD_CHECK;
    reply[5] = 0x3F;  // the check block's address, 0x3FE000, echoed as a device does
    reply[6] = 0xE0;
    for (int i = 0; i < 16; ++i) reply[8 + i] = static_cast<uint8_t>(0xA0 + i);
    SealFrame(reply.data(), reply.size());
    serial.last->Inject(reply);  // the reader reads it and sends WM_COMM_RX to the window
    EXPECT_TRUE(Pump([&] { return !window.GetControlText(IDC_CHECK_TEXT).empty(); }));
    EXPECT_EQ(window.GetControlText(IDC_CHECK_TEXT),
              "a0 a1 a2 a3 a4 a5 a6 a7 a8 a9 aa ab ac ad ae af ");

    command(IDC_CLOSE, BN_CLICKED);
    EXPECT_TRUE(serial.last->Closed());
    EXPECT_FALSE(window.IsControlEnabled(IDC_CLOSE));
    EXPECT_TRUE(window.IsControlEnabled(IDC_OPEN));
    dlg.reset();  // destroys the window, then waits for the reader
    EXPECT_FALSE(window.IsWindow());
}

// A file name in Korean, chosen in the file dialog (UTF-16), reaches the image loading as
// UTF-8 and opens: the start frame goes out.
TEST_F(NativeDialog, AnImageWithAKoreanFileNameIsProgrammed) {
    const std::vector<uint8_t> image(5000, 0x5A);
    const std::wstring path = TempImage(L"\xC774\xBBF8\xC9C0-", L".bin", image);  // 이미지
    ASSERT_FALSE(path.empty());

    OnePort port;
    FakeSerialBackend& serial = port.serial;
    port.file = path;
    window.SetPrompts(port.Prompts());
    {
        COrloDlg dlg(port.Environment(window));
        dlg.OnInitDialog();
        port.Open(window);
        ASSERT_NE(serial.last, nullptr);
        window.SendMessage(WM_COMMAND, MAKEWPARAM(IDC_PROGRAM_APPLICATION, BN_CLICKED), 0);
        EXPECT_TRUE(port.boxes.empty()) << port.boxes.front();
        EXPECT_EQ(serial.last->Writes(),
                  (std::vector<std::vector<uint8_t>>{{0x04, 0x00, 0x07, 0x10, 0xC2, 0x63, 0x03}}));
        EXPECT_EQ(dlg.m_imageSize, image.size());
    }
    ::DeleteFileW(path.c_str());
}

// A file with another region's extension is asked about in a native Yes/No box whose default
// is No: No sends nothing, Yes programs the file.
TEST_F(NativeDialog, AnotherRegionsExtensionIsAskedInANativeYesNoBox) {
    const std::vector<uint8_t> image(100, 0x5A);
    const std::wstring path = TempImage(L"voice-", L".adm", image);
    ASSERT_FALSE(path.empty());

    OnePort port;
    FakeSerialBackend& serial = port.serial;
    port.file = path;
    window.SetPrompts(port.Prompts(true));  // the boxes are the system's own
    OrloEnvironment env = port.Environment(window);
    env.imageQuestion = run::ImageQuestion;
    {
        COrloDlg dlg(env);
        dlg.OnInitDialog();
        port.Open(window);
        ASSERT_NE(serial.last, nullptr);

        // Answers the box (caption "Orlo") from another thread while the click waits in it.
        std::atomic<int> answer{IDNO};
        std::atomic<int> defaultButton{0};
        std::atomic<bool> stop{false};
        std::thread clicker([&] {
            while (!stop) {
                if (HWND box = ::FindWindowW(L"#32770", L"Orlo")) {
                    // The box may be found before it has chosen its default button.
                    LRESULT id = 0;
                    for (int i = 0; i < 200 && HIWORD(id) != DC_HASDEFID; ++i) {
                        id = ::SendMessageW(box, DM_GETDEFID, 0, 0);
                        if (HIWORD(id) != DC_HASDEFID) ::Sleep(10);
                    }
                    defaultButton = LOWORD(id);
                    ::PostMessageW(box, WM_COMMAND, static_cast<WPARAM>(answer.load()), 0);
                    ::Sleep(100);
                }
                ::Sleep(5);
            }
        });
        window.SendMessage(WM_COMMAND, MAKEWPARAM(IDC_PROGRAM_MAP, BN_CLICKED), 0);
        EXPECT_TRUE(serial.last->Writes().empty()) << "No sent a frame";
        // Windows answers DM_GETDEFID with the default button (No); Wine's box answers IDOK.
        EXPECT_TRUE(defaultButton.load() == IDNO || defaultButton.load() == IDOK)
            << defaultButton.load();
        answer = IDYES;
        window.SendMessage(WM_COMMAND, MAKEWPARAM(IDC_PROGRAM_MAP, BN_CLICKED), 0);
        stop = true;
        clicker.join();
        EXPECT_EQ(serial.last->Writes(),
                  (std::vector<std::vector<uint8_t>>{{0x04, 0x00, 0x07, 0x30, 0x42, 0xA0, 0x03}}));
        EXPECT_EQ(dlg.m_imageSize, image.size());
    }
    ::DeleteFileW(path.c_str());
}

// orlo-gui.exe's dialog, built as the program builds it (inside the run layer), against the
// simulated device fed from the fake port's writes while the window handles its messages. The
// run proves the line in step at both edges (check requests 1B around 40 41 42), and a reply
// that comes twice, the second time just after the verify left, is never taken for a
// completion: the verify's NAK answers the closing check request, and the box says the run
// must be repeated. A port that goes away in the middle of the run is closed and named.
TEST_F(NativeDialog, TheProgramsRunIsCompleteOnlyWhenTheDeviceConfirmedItInStep) {
    const std::vector<uint8_t> image(100, 0x5A);
    const std::wstring path = TempImage(L"user-", L".dat", image);
    ASSERT_FALSE(path.empty());
    struct Case {
        const char* device;
        uint32_t duplicateFrame;  // its reply goes again, ahead of the next frame's reply
        uint32_t nakFrame;
        uint32_t lostAfter;  // the device hangs up once this frame is answered
        const char* box;
    };
    const Case cases[] = {
        {"that answers each frame once", 0, 0, 0, "Programming completed of User data"},
        {"that answers the write twice and NAKs the verify", 2, 3, 0,
         "This run is not confirmed: the device's answers came out of step with the frames "
         "sent, so what it stored cannot be trusted. Repeat the run."},
        {"that goes away after the write", 0, 0, 2,
         "The serial port COM3 went away: the line was hung up, the device node vanished or "
         "the device ended the connection. Nothing more can be sent to it: plug the device in, "
         "choose its port and press Open."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.device);
        Win32DialogWindow native(::GetModuleHandleW(nullptr));
        ASSERT_TRUE(native.Create(IDD_ORLO_DIALOG));
        OnePort port;
        FakeSerialBackend& serial = port.serial;
        const std::vector<std::string>& boxes = port.boxes;
        port.file = path;
        native.SetPrompts(port.Prompts());
        devsim::DeviceOptions options;
        options.faults.duplicateFrame = c.duplicateFrame;
        options.faults.nakFrame = c.nakFrame;
        options.faults.hangUpAfter = c.lostAfter;
        devsim::Device device(options);
        std::size_t fed = 0;
        std::vector<uint8_t> lateDuplicate;
        auto answer = [&] {  // the device answers what the port has been given
            if (serial.last->lineLost) return;
            const auto writes = serial.last->Writes();
            for (; fed < writes.size(); ++fed) {
                for (devsim::Exchange& ex : device.FeedFrames(writes[fed].data(), writes[fed].size())) {
                    std::vector<uint8_t> out = lateDuplicate;
                    lateDuplicate.clear();
                    if (ex.out.size() == 2) {
                        lateDuplicate = ex.out.back();
                        ex.out.pop_back();
                    }
                    for (const auto& frame : ex.out) out.insert(out.end(), frame.begin(), frame.end());
                    if (!out.empty()) serial.last->Inject(out);
                    if (ex.hangUp) {
                        serial.last->lineLost = true;  // nothing more comes through
                        return;
                    }
                }
            }
        };

        auto run = win::MakeWindowRun(native, serial, port.ports);
        port.Open(native);
        ASSERT_NE(serial.last, nullptr);
        native.SendMessage(WM_COMMAND, MAKEWPARAM(IDC_PROGRAM_USER, BN_CLICKED), 0);
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (boxes.empty() && std::chrono::steady_clock::now() < end) {
            answer();
            native.PumpMessages(5ms);
        }
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0], c.box);
        std::vector<uint8_t> codes;
        for (const auto& frame : serial.last->Writes()) codes.push_back(frame.at(3));
        if (c.lostAfter == 0) {
            EXPECT_EQ(codes, (std::vector<uint8_t>{0x1B, 0x40, 0x41, 0x42, 0x1B}));
        }
        if (c.nakFrame == 0 && c.lostAfter == 0) {
            EXPECT_EQ(device.ReadFlash(Region(RegionId::User).base, image.size()), image);
            EXPECT_EQ(native.GetControlText(IDC_STATUS), "Ready ");
        } else {
            EXPECT_TRUE(serial.last->Closed()) << "the port was left open";
            EXPECT_EQ(native.GetControlText(IDC_STATUS), "Ready");
        }
        run.reset();  // closes the window, then the port
        EXPECT_FALSE(native.IsWindow());
    }
    ::DeleteFileW(path.c_str());
}

}  // namespace
}  // namespace orlo::test
