// Control, resource and message identifiers of the main window.
#pragma once

#include <cstdint>

namespace orlo {

// Window messages the dialog handles (values as the desktop framework numbers them).
constexpr uint32_t WM_PAINT = 0x000F;
constexpr uint32_t WM_QUERYDRAGICON = 0x0037;
constexpr uint32_t WM_KEYDOWN = 0x0100;
constexpr uint32_t WM_COMMAND = 0x0111;
constexpr uint32_t WM_SYSCOMMAND = 0x0112;
constexpr uint32_t WM_TIMER = 0x0113;
constexpr uint32_t WM_MOUSEMOVE = 0x0200;
constexpr uint32_t WM_DEVICECHANGE = 0x0219;
constexpr uint32_t WM_USER = 0x0400;
constexpr uint32_t WM_COMM_RX = WM_USER + 1;  // reader thread: bytes are waiting in the ring

constexpr int VK_RETURN = 0x0D;
constexpr int VK_ESCAPE = 0x1B;

// Notification codes carried with WM_COMMAND (high word of wParam).
constexpr int BN_CLICKED = 0;
constexpr int CBN_SELCHANGE = 1;
constexpr int CBN_DROPDOWN = 7;

constexpr unsigned IDM_ABOUTBOX = 0x0010;  // system-menu command of the About item
constexpr int IDOK = 1;
constexpr int IDYES = 6;  // answers of a Yes/No box
constexpr int IDNO = 7;
constexpr int IDR_MAINFRAME = 128;    // application icon
constexpr int IDD_ORLO_DIALOG = 102;  // main dialog template
constexpr int IDD_ABOUTBOX = 100;     // About box template
constexpr int IDB_PREVIEW = 131;      // bitmap on the hidden picture control
constexpr int IDS_ABOUTBOX = 101;     // "Orlo 정보(&A)..."

constexpr unsigned COUNTDOWN_TIMER_ID = 1;       // the only window timer
constexpr unsigned COUNTDOWN_TIMER_PERIOD_MS = 1000;

// Controls of the main dialog.
constexpr int IDC_OPEN = 1000;
constexpr int IDC_COMBO_PORT = 1001;
constexpr int IDC_CLOSE = 1002;
constexpr int IDC_TEST_TX = 1003;
constexpr int IDC_MOUSE_X = 1004;
constexpr int IDC_MOUSE_Y = 1005;
constexpr int IDC_SAVE_AS = 1006;
constexpr int IDC_LOG_PATH = 1007;
constexpr int IDC_LIST_LOG = 1008;
constexpr int IDC_READ_LOG_AND_SAVE = 1009;
constexpr int IDC_BMP_1BIT = 1010;
constexpr int IDC_PROGRAM_VOICE = 1011;
constexpr int IDC_PROGRESS = 1012;
constexpr int IDC_PROGRAM_MAP = 1013;
constexpr int IDC_PROGRAM_APPLICATION = 1014;
constexpr int IDC_STATUS = 1015;
constexpr int IDC_READ_APPLICATION = 1016;
constexpr int IDC_READ_MAP = 1017;
constexpr int IDC_READ_VOICE = 1018;
constexpr int IDC_PROGRAM_USER = 1019;
constexpr int IDC_READ_USER = 1020;
constexpr int IDC_CHECK_APPLICATION = 1021;
constexpr int IDC_CHECK_TEXT = 1022;
constexpr int IDC_SWEEP_MAX_PLUS100 = 1023;
constexpr int IDC_SWEEP_MAX_MINUS100 = 1024;
constexpr int IDC_SWEEP_MAX_PLUS10 = 1025;
constexpr int IDC_SWEEP_MAX_MINUS10 = 1026;
constexpr int IDC_SWEEP_MIN_PLUS100 = 1027;
constexpr int IDC_SWEEP_MIN_MINUS100 = 1028;
constexpr int IDC_SWEEP_MIN_PLUS10 = 1029;
constexpr int IDC_SWEEP_MIN_MINUS10 = 1030;
constexpr int IDC_SWEEP_MAX = 1031;
constexpr int IDC_SWEEP_MIN = 1032;
constexpr int IDC_SWEEP_TIME = 1033;
constexpr int IDC_SWEEP_READ = 1034;
constexpr int IDC_TM = 1035;
constexpr int IDC_BMP_4BIT = 1036;

// Message box styles (the values the desktop framework uses).
constexpr unsigned MB_OK = 0x00;
constexpr unsigned MB_YESNO = 0x04;          // Yes and No buttons (the box answers IDYES or IDNO)
constexpr unsigned MB_TYPEMASK = 0x0F;       // the buttons part of a style
constexpr unsigned MB_ICONQUESTION = 0x20;   // question-mark icon
constexpr unsigned MB_DEFBUTTON2 = 0x100;    // the second button (No) is the default
constexpr unsigned MB_ICONHAND = 0x10;         // stop / error icon
constexpr unsigned MB_ICONEXCLAMATION = 0x30;  // exclamation / warning icon
constexpr unsigned MB_ICONWARNING = 0x30;
constexpr unsigned MB_ICONINFORMATION = 0x40;

// File dialog option flags.
constexpr unsigned OFN_HIDEREADONLY = 0x04;
constexpr unsigned OFN_OVERWRITEPROMPT = 0x02;

}  // namespace orlo
