#include "app/DialogTemplate.h"

#include <array>

#include "app/Resource.h"

namespace orlo {

namespace {

using K = ControlKind;

constexpr unsigned kBorderedReadOnly = kStyleReadOnly | kStyleBorder;

// Only the port controls, the three Program buttons, the progress bar and the status line are
// shown; every other control is a service control whose handler stays live.
constexpr std::array<ControlTemplate, 46> kMainControls = {{
    {IDC_OPEN, K::PushButton, "Open", true, 67, 18, 28, 13, kStyleNone, 0},
    {IDC_COMBO_PORT, K::ComboBox, "", true, 10, 19, 55, 64, kStyleDropDown | kStyleVScroll, 0},
    {IDC_CLOSE, K::PushButton, "Close", true, 99, 18, 28, 13, kStyleNone, 0},
    {IDC_TEST_TX, K::PushButton, "Test_Tx", false, 375, 11, 53, 31, kStyleNone, 0},
    {IDC_STATIC, K::GroupBox, "Select Com Port", true, 7, 7, 124, 30, kStyleNone, 0},
    {IDC_MOUSE_X, K::Edit, "", false, 379, 19, 21, 13, kStyleBorder | kStyleRightAlign, 0},
    {IDC_MOUSE_Y, K::Edit, "", false, 405, 19, 21, 13, kStyleBorder | kStyleRightAlign, 0},
    {IDC_STATIC, K::GroupBox, "Mouse", false, 375, 8, 54, 30, kStyleNone, 0},
    {IDC_STATIC, K::GroupBox, "Log Data Save", false, 134, 7, 175, 30, kStyleNone, 0},
    {IDC_SAVE_AS, K::PushButton, "SaveAs", false, 276, 18, 28, 13, kStyleNone, 0},
    {IDC_LOG_PATH, K::Edit, "", false, 138, 18, 133, 13, kStyleReadOnly, 0},
    {IDC_LIST_LOG, K::ListBox, "", false, 322, 20, 86, 22,
     kStyleBorder | kStyleVScroll | kStyleHScroll | kStyleScrollAlways | kStyleUnsorted |
         kStyleNotify,
     0},
    {IDC_READ_LOG_AND_SAVE, K::PushButton, "Read Log and Save", false, 381, 13, 54, 23, kStyleNone,
     0},
    {IDC_BMP_1BIT, K::PushButton, "BMP ( 1Bit )", false, 362, 9, 70, 23, kStyleNone, 0},
    {IDC_PROGRAM_VOICE, K::PushButton, "Program Voice Data", true, 149, 42, 101, 23, kStyleNone, 0},
    {IDC_PROGRESS, K::ProgressBar, "", true, 7, 73, 421, 13, kStyleBorder | kStyleSmooth, 0},
    {IDC_PROGRAM_MAP, K::PushButton, "Program Map Data", true, 287, 42, 101, 23, kStyleNone, 0},
    {IDC_PROGRAM_APPLICATION, K::PushButton, "Program Application", true, 15, 42, 101, 23,
     kStyleNone, 0},
    {IDC_STATUS, K::Edit, "", true, 429, 74, 83, 12,
     kStyleReadOnly | kStyleAutoHScroll, 0},
    {IDC_READ_APPLICATION, K::PushButton, "Read Application", false, 370, 11, 70, 23, kStyleNone,
     0},
    {IDC_STATIC, K::Picture, "", false, 327, 9, 112, 50, kStyleNone, IDB_PREVIEW},
    {IDC_READ_MAP, K::PushButton, "Read Map Data", false, 357, 9, 70, 23, kStyleNone, 0},
    {IDC_READ_VOICE, K::PushButton, "Read Voice Data", false, 363, 7, 70, 23, kStyleNone, 0},
    {IDC_PROGRAM_USER, K::PushButton, "Program User Data", false, 337, 18, 70, 23, kStyleNone, 0},
    {IDC_READ_USER, K::PushButton, "Read User Data", false, 366, 8, 70, 23, kStyleNone, 0},
    {IDC_CHECK_APPLICATION, K::PushButton, "Check Application", false, 366, 10, 70, 23, kStyleNone,
     0},
    {IDC_CHECK_TEXT, K::Edit, "", false, 362, 15, 59, 12, kStyleReadOnly, 0},
    {IDC_SWEEP_MAX_PLUS100, K::PushButton, "+100", false, 383, 9, 21, 11, kStyleNone, 0},
    {IDC_STATIC, K::GroupBox, "Sweep Max", false, 341, 20, 55, 9, kStyleNone, 0},
    {IDC_SWEEP_MAX_MINUS100, K::PushButton, "-100", false, 393, 15, 21, 11, kStyleNone, 0},
    {IDC_SWEEP_MAX_PLUS10, K::PushButton, "+10", false, 346, 14, 21, 11, kStyleNone, 0},
    {IDC_SWEEP_MAX_MINUS10, K::PushButton, "-10", false, 399, 13, 21, 11, kStyleNone, 0},
    {IDC_SWEEP_MIN_PLUS100, K::PushButton, "+100", false, 362, 14, 21, 11, kStyleNone, 0},
    {IDC_STATIC, K::GroupBox, "Sweep Min", false, 366, 12, 55, 51, kStyleNone, 0},
    {IDC_SWEEP_MIN_MINUS100, K::PushButton, "-100", false, 361, 17, 21, 11, kStyleNone, 0},
    {IDC_SWEEP_MIN_PLUS10, K::PushButton, "+10", false, 370, 19, 21, 11, kStyleNone, 0},
    {IDC_SWEEP_MIN_MINUS10, K::PushButton, "-10", false, 341, 13, 21, 11, kStyleNone, 0},
    {IDC_SWEEP_MAX, K::Edit, "", false, 361, 19, 41, 12, kBorderedReadOnly | kStyleRightAlign, 0},
    {IDC_SWEEP_MIN, K::Edit, "", false, 334, 11, 41, 12, kBorderedReadOnly | kStyleRightAlign, 0},
    {IDC_STATIC, K::GroupBox, "Sweep Time", false, 315, 16, 55, 27, kStyleNone, 0},
    {IDC_SWEEP_TIME, K::Edit, "", false, 391, 13, 29, 12, kBorderedReadOnly, 0},
    {IDC_STATIC, K::Label, "ms", false, 408, 23, 10, 8, kStyleNone, 0},
    {IDC_SWEEP_READ, K::PushButton, "Read", false, 387, 11, 48, 13, kStyleNone, 0},
    {IDC_TM, K::Edit, "", false, 370, 15, 29, 12, kBorderedReadOnly, 0},
    {IDC_STATIC, K::Label, "Tm", false, 387, 17, 11, 8, kStyleNone, 0},
    {IDC_BMP_4BIT, K::PushButton, "BMP ( 4Bit )", false, 363, 13, 70, 23, kStyleNone, 0},
}};

// The icon takes its natural size, hence no width and height.
constexpr std::array<ControlTemplate, 3> kAboutControls = {{
    {IDC_STATIC, K::Icon, "", true, 14, 14, 0, 0, kStyleNone, IDR_MAINFRAME},
    {IDC_STATIC, K::Label, "Orlo, 버전 1.0", true, 42, 14, 114, 8, kStyleNone, 0},
    {IDOK, K::DefPushButton, "확인", true, 113, 41, 50, 14, kStyleNone, 0},
}};

}  // namespace

const DialogTemplate kMainDialogTemplate = {
    IDD_ORLO_DIALOG, "Orlo", 519, 93, "MS Shell Dlg", 9, kMainControls,
};

const DialogTemplate kAboutBoxTemplate = {
    IDD_ABOUTBOX, "Orlo 정보", 170, 62, "MS Shell Dlg", 9, kAboutControls,
};

const ControlTemplate* FindControlTemplate(int id) {
    if (id == IDC_STATIC) return nullptr;
    for (const auto& c : kMainControls)
        if (c.id == id) return &c;
    return nullptr;
}

}  // namespace orlo
