// The message map and the window procedure: every message and click reaches its handler.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "app/MessageMap.h"
#include "app/OrloDlg.h"
#include "support/DialogFixture.h"

namespace orlo::test {
namespace {

struct Route {
    uint32_t message;
    int id;
    int notification;
    void (COrloDlg::*command)();
    const char* name;
};

// The routing of the main window, in message-map order.
const Route kRoutes[] = {
    {WM_SYSCOMMAND, 0, 0, nullptr, "OnSysCommand"},
    {WM_PAINT, 0, 0, nullptr, "OnPaint"},
    {WM_QUERYDRAGICON, 0, 0, nullptr, "OnQueryDragIcon"},
    {0x401, 0, 0, nullptr, "OnCommRx"},
    {WM_COMMAND, 1001, CBN_DROPDOWN, &COrloDlg::OnPortDropDown, "OnPortDropDown"},
    {WM_COMMAND, 1001, CBN_SELCHANGE, &COrloDlg::OnPortSelChange, "OnPortSelChange"},
    {WM_COMMAND, 1000, BN_CLICKED, &COrloDlg::OnOpenPort, "OnOpenPort"},
    {WM_COMMAND, 1002, BN_CLICKED, &COrloDlg::OnClosePort, "OnClosePort"},
    {WM_COMMAND, 1003, BN_CLICKED, &COrloDlg::OnTestTx, "OnTestTx"},
    {WM_MOUSEMOVE, 0, 0, nullptr, "OnMouseMove"},
    {WM_COMMAND, 1006, BN_CLICKED, &COrloDlg::OnSaveAs, "OnSaveAs"},
    {WM_COMMAND, 1009, BN_CLICKED, &COrloDlg::OnReadLogAndSave, "OnReadLogAndSave"},
    {WM_COMMAND, 1010, BN_CLICKED, &COrloDlg::OnBmp1Bit, "OnBmp1Bit"},
    {WM_COMMAND, 1011, BN_CLICKED, &COrloDlg::OnProgramVoice, "OnProgramVoice"},
    {WM_COMMAND, 1013, BN_CLICKED, &COrloDlg::OnProgramMap, "OnProgramMap"},
    {WM_COMMAND, 1014, BN_CLICKED, &COrloDlg::OnProgramApplication, "OnProgramApplication"},
    {WM_TIMER, 0, 0, nullptr, "OnTimer"},
    {WM_COMMAND, 1016, BN_CLICKED, &COrloDlg::OnReadApplication, "OnReadApplication"},
    {WM_COMMAND, 1017, BN_CLICKED, &COrloDlg::OnReadMap, "OnReadMap"},
    {WM_COMMAND, 1018, BN_CLICKED, &COrloDlg::OnReadVoice, "OnReadVoice"},
    {WM_COMMAND, 1021, BN_CLICKED, &COrloDlg::OnCheckApplication, "OnCheckApplication"},
    {WM_DEVICECHANGE, 0, 0, nullptr, "OnDeviceChange"},
    {WM_COMMAND, 1020, BN_CLICKED, &COrloDlg::OnReadUser, "OnReadUser"},
    {WM_COMMAND, 1019, BN_CLICKED, &COrloDlg::OnProgramUser, "OnProgramUser"},
    {WM_COMMAND, 1023, BN_CLICKED, &COrloDlg::OnSweepMaxPlus100, "OnSweepMaxPlus100"},
    {WM_COMMAND, 1025, BN_CLICKED, &COrloDlg::OnSweepMaxPlus10, "OnSweepMaxPlus10"},
    {WM_COMMAND, 1024, BN_CLICKED, &COrloDlg::OnSweepMaxMinus100, "OnSweepMaxMinus100"},
    {WM_COMMAND, 1026, BN_CLICKED, &COrloDlg::OnSweepMaxMinus10, "OnSweepMaxMinus10"},
    {WM_COMMAND, 1027, BN_CLICKED, &COrloDlg::OnSweepMinPlus100, "OnSweepMinPlus100"},
    {WM_COMMAND, 1029, BN_CLICKED, &COrloDlg::OnSweepMinPlus10, "OnSweepMinPlus10"},
    {WM_COMMAND, 1028, BN_CLICKED, &COrloDlg::OnSweepMinMinus100, "OnSweepMinMinus100"},
    {WM_COMMAND, 1030, BN_CLICKED, &COrloDlg::OnSweepMinMinus10, "OnSweepMinMinus10"},
    {WM_COMMAND, 1034, BN_CLICKED, &COrloDlg::OnSweepRead, "OnSweepRead"},
    {WM_COMMAND, 1036, BN_CLICKED, &COrloDlg::OnBmp4Bit, "OnBmp4Bit"},
};

TEST(MessageMap, EveryEntryNamesItsHandlerInRoutingOrder) {
    const auto map = OrloMessageMap();
    ASSERT_EQ(map.size(), std::size(kRoutes));
    for (std::size_t i = 0; i < map.size(); ++i) {
        SCOPED_TRACE(kRoutes[i].name);
        EXPECT_EQ(map[i].message, kRoutes[i].message);
        EXPECT_EQ(map[i].id, kRoutes[i].id);
        EXPECT_EQ(map[i].notification, kRoutes[i].notification);
        EXPECT_STREQ(map[i].name, kRoutes[i].name);
        if (kRoutes[i].command) {
            EXPECT_TRUE(map[i].command == kRoutes[i].command);  // the very member function
            EXPECT_EQ(map[i].dispatch, nullptr);
        } else {
            EXPECT_EQ(map[i].command, nullptr);
            EXPECT_NE(map[i].dispatch, nullptr);
        }
    }
}

TEST(MessageMap, ClicksAreRoutedByIdAndNotification) {
    DialogFixture f;
    ScriptedWindow& w = f.wnd();
    // Every routed control answers its click through the window (handlers run; file dialogs
    // are answered "cancelled").
    for (const auto& r : kRoutes) {
        if (r.message != WM_COMMAND) continue;
        SCOPED_TRACE(r.name);
        EXPECT_EQ(w.Click(r.id, r.notification), 1);
    }
    // Nothing is routed for these.
    EXPECT_EQ(w.Click(IDC_COMBO_PORT, BN_CLICKED), 0);
    EXPECT_EQ(w.Click(IDC_MOUSE_X), 0);
    EXPECT_EQ(w.Click(IDC_PROGRESS), 0);
    EXPECT_EQ(w.Click(IDC_OPEN, CBN_DROPDOWN), 0);
    EXPECT_FALSE(f.dlg().OnCommand(IDOK, BN_CLICKED));
    EXPECT_EQ(w.SendMessage(0x9999, 1, 2), 0);
}

TEST(MessageMap, ReadLogAndSaveClickOpensTheCsvDialog) {
    DialogFixture f;
    f.wnd().Click(IDC_READ_LOG_AND_SAVE);
    ASSERT_EQ(f.wnd().fileDialogs.size(), 1u);
    const FileDialogRequest& r = f.wnd().fileDialogs[0];
    EXPECT_TRUE(r.open);
    EXPECT_EQ(r.defaultExt, "");
    EXPECT_EQ(r.initialName, "");
    EXPECT_EQ(r.flags, 0u);
    EXPECT_EQ(r.filter, "csv file(*.csv), csv file(*.csv)|*.csv;*.csv");
}

TEST(WindowMessages, SystemMenuAboutItemOpensTheAboutBoxOnly) {
    DialogFixture f;
    f.wnd().SendMessage(WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
    f.wnd().SendMessage(WM_SYSCOMMAND, IDM_ABOUTBOX | 0x3, 0);  // low bits are the system's
    EXPECT_EQ(f.wnd().aboutBoxes, 2);
    f.wnd().SendMessage(WM_SYSCOMMAND, 0xF020, 0);  // minimise
    f.wnd().SendMessage(WM_SYSCOMMAND, 0xF060, 0);  // close
    EXPECT_EQ(f.wnd().aboutBoxes, 2);
}

TEST(WindowMessages, MouseMoveUnpacksSignedCoordinates) {
    DialogFixture f;
    f.wnd().SendMessage(WM_MOUSEMOVE, 0, (35 << 16) | 120);
    EXPECT_EQ(f.dlg().m_mouseX, 120);
    EXPECT_EQ(f.dlg().m_mouseY, 35);
    EXPECT_EQ(f.wnd().GetControlText(IDC_MOUSE_X), "120");
    EXPECT_EQ(f.wnd().GetControlText(IDC_MOUSE_Y), "35");

    f.wnd().SendMessage(WM_MOUSEMOVE, 0, static_cast<intptr_t>((0xFFFEu << 16) | 0xFFFBu));
    EXPECT_EQ(f.dlg().m_mouseX, -5);
    EXPECT_EQ(f.dlg().m_mouseY, -2);
    EXPECT_EQ(f.wnd().GetControlText(IDC_MOUSE_Y), "-2");
}

TEST(WindowMessages, OtherMessagesReachTheirHandlers) {
    DialogFixture f;
    ScriptedWindow& w = f.wnd();
    EXPECT_EQ(w.SendMessage(WM_QUERYDRAGICON, 0, 0), IDR_MAINFRAME);
    EXPECT_EQ(w.SendMessage(WM_DEVICECHANGE, 0x8000, 0), 1);
    EXPECT_EQ(w.SendMessage(WM_PAINT, 0, 0), 0);

    f.dlg().m_countdown = 2;
    w.SendMessage(WM_TIMER, COUNTDOWN_TIMER_ID, 0);
    EXPECT_EQ(w.GetControlText(IDC_STATUS), "Wait 1 sec");

    auto& comm = f.dlg().m_comm;
    for (char c : std::string("hi\r\n")) comm.m_rxRing[comm.m_rxTail++] = static_cast<uint8_t>(c);
    EXPECT_EQ(w.SendMessage(WM_COMM_RX, 0, 0), 1);
    EXPECT_EQ(w.ListItems(IDC_LIST_LOG), std::vector<std::string>{"hi\r\n"});
}

TEST(WindowMessages, HandlerErrorIsReportedInABoxAndTheDialogCarriesOn) {
    DialogFixture f;
    bool thrown = false;
    f.wnd().onMessageBox = [&](const RecordedBox&) {
        if (thrown) return;
        thrown = true;
        throw std::invalid_argument("Invalid argument.");
    };
    f.dlg().m_countdown = 1;
    EXPECT_EQ(f.wnd().SendMessage(WM_TIMER, COUNTDOWN_TIMER_ID, 0), 0);
    ASSERT_EQ(f.wnd().boxes.size(), 2u);
    EXPECT_EQ(f.wnd().boxes[1].text, "Invalid argument.");
    EXPECT_EQ(f.wnd().boxes[1].caption, "Orlo");
    EXPECT_EQ(f.wnd().boxes[1].type, MB_ICONHAND);
    f.wnd().SendMessage(WM_MOUSEMOVE, 0, (2 << 16) | 1);
    EXPECT_EQ(f.dlg().m_mouseX, 1);
}

}  // namespace
}  // namespace orlo::test
