// Data exchange between members and controls, and the keyboard filter that runs it.
#include <gtest/gtest.h>

#include "app/OrloDlg.h"
#include "support/DialogFixture.h"

namespace orlo::test {
namespace {

TEST(DataExchange, MembersGoOutAndComeBackThroughTheirControls) {
    DialogFixture f;
    COrloDlg& d = f.dlg();
    d.m_mouseX = -7;
    d.m_mouseY = 35;
    d.m_logPathText = "/tmp/log.txt";
    d.m_status = "Programming 42 %";
    d.m_checkText = "de ad be ef ";
    d.m_sweepTime = 41;
    d.m_sweepMax = 2100;
    d.m_sweepMin = -50;
    d.m_tm = 19999;
    ASSERT_TRUE(d.UpdateData(false));

    ScriptedWindow& w = f.wnd();
    EXPECT_EQ(w.GetControlText(IDC_MOUSE_X), "-7");
    EXPECT_EQ(w.GetControlText(IDC_MOUSE_Y), "35");
    EXPECT_EQ(w.GetControlText(IDC_LOG_PATH), "/tmp/log.txt");
    EXPECT_EQ(w.GetControlText(IDC_STATUS), "Programming 42 %");
    EXPECT_EQ(w.GetControlText(IDC_CHECK_TEXT), "de ad be ef ");
    EXPECT_EQ(w.GetControlText(IDC_SWEEP_TIME), "41");
    EXPECT_EQ(w.GetControlText(IDC_SWEEP_MAX), "2100");
    EXPECT_EQ(w.GetControlText(IDC_SWEEP_MIN), "-50");
    EXPECT_EQ(w.GetControlText(IDC_TM), "19999");

    // The user (or a front-end) changes the controls; TRUE reads every one back.
    w.SetControlText(IDC_MOUSE_X, "120");
    w.SetControlText(IDC_LOG_PATH, "other");
    w.SetControlText(IDC_STATUS, "typed");
    w.SetControlText(IDC_SWEEP_MIN, "  -2147483648 ");
    w.SetControlText(IDC_TM, "+300");
    ASSERT_TRUE(d.UpdateData(true));
    EXPECT_EQ(d.m_mouseX, 120);
    EXPECT_EQ(d.m_logPathText, "other");
    EXPECT_EQ(d.m_status, "typed");
    EXPECT_EQ(d.m_sweepMin, INT32_MIN);
    EXPECT_EQ(d.m_tm, 300);
    EXPECT_EQ(d.m_sweepMax, 2100);
}

TEST(DataExchange, IntegerControlWithoutANumberLeavesItsMemberAndFails) {
    DialogFixture f;
    COrloDlg& d = f.dlg();
    const char* const notNumbers[] = {"abc", "",           " ",           "12abc", "1 2", "0x10",
                                      "+-1", "2147483648", "-2147483649", "1.5",   "--3"};
    for (const char* text : notNumbers) {
        SCOPED_TRACE(text);
        d.m_sweepTime = 40;
        f.wnd().SetControlText(IDC_SWEEP_TIME, text);
        f.wnd().SetControlText(IDC_TM, "777");
        EXPECT_FALSE(d.UpdateData(true));
        EXPECT_EQ(d.m_sweepTime, 40);
        EXPECT_EQ(d.m_tm, 777);  // the fields after it are still read
    }
}

InputMessage Key(int vk, int focus) {
    InputMessage m;
    m.message = WM_KEYDOWN;
    m.wParam = static_cast<uintptr_t>(vk);
    m.focusId = focus;
    return m;
}

TEST(KeyboardFilter, EnterPassesOnlyFromControlOneAndEscapeNever) {
    DialogFixture f;
    COrloDlg& d = f.dlg();
    EXPECT_TRUE(d.PreTranslateMessage(Key(VK_RETURN, 0)));
    EXPECT_TRUE(d.PreTranslateMessage(Key(VK_RETURN, IDC_OPEN)));
    EXPECT_TRUE(d.PreTranslateMessage(Key(VK_RETURN, IDC_PROGRAM_APPLICATION)));
    EXPECT_FALSE(d.PreTranslateMessage(Key(VK_RETURN, IDOK)));
    EXPECT_TRUE(d.PreTranslateMessage(Key(VK_ESCAPE, 0)));
    EXPECT_TRUE(d.PreTranslateMessage(Key(VK_ESCAPE, IDOK)));
    EXPECT_FALSE(d.PreTranslateMessage(Key('A', IDC_COMBO_PORT)));
    InputMessage move;
    move.message = WM_MOUSEMOVE;
    move.wParam = VK_RETURN;  // not a key-down: the key code means nothing here
    EXPECT_FALSE(d.PreTranslateMessage(move));
}

TEST(KeyboardFilter, EveryQueuedMessageFirstReadsTheControlsBack) {
    DialogFixture f;
    COrloDlg& d = f.dlg();
    f.wnd().SetControlText(IDC_SWEEP_MAX, "1500");
    f.wnd().SetControlText(IDC_SWEEP_TIME, "abc");
    EXPECT_TRUE(d.PreTranslateMessage(Key(VK_ESCAPE, 0)));
    EXPECT_EQ(d.m_sweepMax, 1500);
    EXPECT_EQ(d.m_sweepTime, 40);
}

}  // namespace
}  // namespace orlo::test
