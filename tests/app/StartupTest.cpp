// Construction and start-up of the dialog, the layout table, and two dialogs side by side.
#include <gtest/gtest.h>

#include <set>

#include "app/DialogTemplate.h"
#include "app/OrloDlg.h"
#include "support/DialogFixture.h"

namespace orlo::test {
namespace {

struct BareDialog {
    EventLoop loop;
    ScriptedWindow window{loop};
    FakeSerialBackend serial;
    FakePortTable ports = FakePortTable::WithNames({"COM3"});
    std::unique_ptr<COrloDlg> dlg;
    BareDialog() {
        OrloEnvironment env;
        env.window = &window;
        env.serial = &serial;
        env.ports = &ports;
        dlg = std::make_unique<COrloDlg>(env);
    }
};

TEST(Startup, ConstructionSetsTheStartValuesAndTouchesNoControl) {
    BareDialog b;
    const COrloDlg& d = *b.dlg;
    EXPECT_EQ(d.m_hIcon, IDR_MAINFRAME);
    EXPECT_EQ(d.m_comm.m_rxHead, 0);
    EXPECT_EQ(d.m_comm.m_rxTail, 0);
    EXPECT_FALSE(d.m_comm.m_hComm);
    EXPECT_EQ(d.m_rxLen, 0);
    EXPECT_EQ(d.m_rxExpected, 0u);
    EXPECT_TRUE(d.m_lineText.empty());
    EXPECT_EQ(d.m_image.GetSize(), 0u);
    EXPECT_TRUE(d.m_status.empty());
    EXPECT_EQ(d.m_sweepTime, 0);
    EXPECT_EQ(d.m_tm, 0);
    EXPECT_EQ(d.m_startTime, 0);
    EXPECT_FALSE(d.m_btnOpen.IsAttached());
    EXPECT_TRUE(b.window.Title().empty());
    EXPECT_TRUE(b.window.textLog.empty());
    EXPECT_TRUE(b.window.SystemMenu().empty());
    // The window already routes to the dialog.
    EXPECT_EQ(b.window.SendMessage(WM_QUERYDRAGICON, 0, 0), IDR_MAINFRAME);
}

TEST(Startup, InitDialogShowsTheReadyWindow) {
    DialogFixture f;
    const COrloDlg& d = f.dlg();
    ScriptedWindow& w = f.wnd();

    EXPECT_EQ(w.Title(), "for RDX-5812LQ Ver 1.0");
    EXPECT_EQ(d.m_status, "Ready");
    EXPECT_EQ(w.GetControlText(IDC_STATUS), "Ready");
    EXPECT_EQ(w.Control(IDC_PROGRESS).pos, 0);
    EXPECT_EQ(w.progressLog, std::vector<int>{0});
    EXPECT_FALSE(w.IsControlEnabled(IDC_OPEN));
    EXPECT_FALSE(w.IsControlEnabled(IDC_CLOSE));
    EXPECT_EQ(w.ComboGetCount(IDC_COMBO_PORT), 0);
    EXPECT_EQ(f.ports().ports.size(), 1u);  // there is a port, but the list waits for a drop

    ASSERT_EQ(w.SystemMenu().size(), 1u);
    EXPECT_EQ(w.SystemMenu()[0].first, IDM_ABOUTBOX);
    EXPECT_EQ(w.SystemMenu()[0].second, "Orlo 정보(&A)...");

    EXPECT_EQ(d.m_image.GetSize(), 0x800000u);
    EXPECT_EQ(d.m_imageSize, 0u);
    EXPECT_EQ(d.m_imageOffset, 0u);
    EXPECT_EQ(d.m_sweepTime, 40);
    EXPECT_EQ(d.m_tm, 20000);
    EXPECT_EQ(w.GetControlText(IDC_SWEEP_TIME), "40");
    EXPECT_EQ(w.GetControlText(IDC_TM), "20000");
    EXPECT_EQ(w.GetControlText(IDC_MOUSE_X), "0");
    EXPECT_TRUE(w.boxes.empty());
}

TEST(Startup, OnlyThePortControlsProgramButtonsBarAndStatusAreShown) {
    DialogFixture f;
    const std::set<int> shown = {
        IDC_OPEN,        IDC_COMBO_PORT,          IDC_CLOSE, IDC_PROGRAM_VOICE, IDC_PROGRESS,
        IDC_PROGRAM_MAP, IDC_PROGRAM_APPLICATION, IDC_STATUS};
    for (int id = IDC_OPEN; id <= IDC_BMP_4BIT; ++id) {
        SCOPED_TRACE(id);
        EXPECT_EQ(f.wnd().IsControlVisible(id), shown.count(id) == 1);
    }
}

TEST(Startup, LayoutTableHoldsEveryControlOnceInTabOrder) {
    std::vector<int> ids;
    int decorations = 0;
    for (const auto& c : kMainDialogTemplate.controls) {
        if (c.id == IDC_STATIC)
            ++decorations;
        else
            ids.push_back(c.id);
    }
    std::vector<int> expected;
    for (int id = IDC_OPEN; id <= IDC_BMP_4BIT; ++id) expected.push_back(id);
    EXPECT_EQ(ids, expected);  // ids 1000..1036 are also the tab order
    EXPECT_EQ(decorations, 9);
    EXPECT_EQ(kMainDialogTemplate.width, 519);
    EXPECT_EQ(kMainDialogTemplate.height, 93);

    const ControlTemplate* status = FindControlTemplate(IDC_STATUS);
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->kind, ControlKind::Edit);
    EXPECT_TRUE(status->style & kStyleReadOnly);
    EXPECT_EQ(FindControlTemplate(IDC_STATIC), nullptr);
    EXPECT_STREQ(FindControlTemplate(IDC_READ_LOG_AND_SAVE)->caption, "Read Log and Save");

    ASSERT_EQ(kAboutBoxTemplate.controls.size(), 3u);
    EXPECT_STREQ(kAboutBoxTemplate.caption, "Orlo 정보");
    EXPECT_STREQ(kAboutBoxTemplate.controls[1].caption, "Orlo, 버전 1.0");
    EXPECT_EQ(kAboutBoxTemplate.controls[2].id, IDOK);
    EXPECT_STREQ(kAboutBoxTemplate.controls[2].caption, "확인");
}

TEST(Startup, TwoDialogsOnOneLoopKeepTheirOwnState) {
    EventLoop loop;
    auto now = EventLoop::Clock::time_point{};
    loop.SetClock([&] { return now; });
    ScriptedWindow wa{loop}, wb{loop};
    FakeSerialBackend serial;
    FakePortTable ports = FakePortTable::WithNames({"COM3"});
    OrloEnvironment env;
    env.serial = &serial;
    env.ports = &ports;
    env.window = &wa;
    COrloDlg a(env);
    env.window = &wb;
    COrloDlg b(env);
    a.OnInitDialog();
    b.OnInitDialog();

    // Bytes for one dialog's port reach that dialog only.
    const std::string line = "only a\r\n";
    for (char c : line) {
        a.m_comm.m_rxRing[a.m_comm.m_rxTail++] = static_cast<uint8_t>(c);
    }
    wa.SendMessage(WM_COMM_RX, 0, 0);
    EXPECT_EQ(wa.ListItems(IDC_LIST_LOG), std::vector<std::string>{line});
    EXPECT_TRUE(wb.ListItems(IDC_LIST_LOG).empty());

    // Both run timer 1 on the one loop; each counts its own seconds.
    a.m_countdown = 3;
    b.m_countdown = 5;
    wa.SetTimer(COUNTDOWN_TIMER_ID, COUNTDOWN_TIMER_PERIOD_MS);
    wb.SetTimer(COUNTDOWN_TIMER_ID, COUNTDOWN_TIMER_PERIOD_MS);
    now += std::chrono::seconds(1);
    loop.RunOnce(std::chrono::milliseconds(0));
    EXPECT_EQ(a.m_status, "Wait 2 sec");
    EXPECT_EQ(b.m_status, "Wait 4 sec");
    for (int i = 0; i < 2; ++i) {
        now += std::chrono::seconds(1);
        loop.RunOnce(std::chrono::milliseconds(0));
    }
    EXPECT_EQ(a.m_status, "Ready");
    EXPECT_EQ(wa.boxes.size(), 1u);
    EXPECT_EQ(b.m_status, "Wait 2 sec");
    EXPECT_TRUE(wb.boxes.empty());
}

}  // namespace
}  // namespace orlo::test
