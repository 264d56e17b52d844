// The port list, Open and Close on the scripted window with the fake serial backend.
#include <gtest/gtest.h>

#include "support/DialogFixture.h"

namespace orlo::test {
namespace {

using Items = std::vector<std::string>;
constexpr const char* kPlaceholder = "Select Com Port";

ControlState Combo(DialogFixture& f) {
    return f.wnd().Control(IDC_COMBO_PORT);
}
bool Enabled(DialogFixture& f, int id) {
    return f.wnd().IsControlEnabled(id);
}

TEST(PortListTest, RefillShowsPlaceholderThenPortsWithSelectionOnTheNextToLast) {
    DialogFixture f({"COM1", "COM3", "COM12"});
    f.dlg().OnPortDropDown();
    EXPECT_EQ(Combo(f).items, (Items{kPlaceholder, "COM1", "COM3", "COM12"}));
    EXPECT_EQ(Combo(f).curSel, 2);  // COM3
    EXPECT_TRUE(f.wnd().boxes.empty());

    // A second drop-down rebuilds the same list rather than appending to it.
    f.dlg().OnPortDropDown();
    EXPECT_EQ(Combo(f).items, (Items{kPlaceholder, "COM1", "COM3", "COM12"}));
}

TEST(PortListTest, EntryTakesCharactersThreeAndFourOfThePortName) {
    DialogFixture f({"COM3", "COM12", "COM123", "COM", "", "XYZ7"});
    f.dlg().OnPortDropDown();
    // Names too short to carry a number give no entry; characters 0..2 are not looked at.
    EXPECT_EQ(Combo(f).items, (Items{kPlaceholder, "COM3", "COM12", "COM12", "COM7"}));
}

TEST(PortListTest, OnePortLeavesTheSelectionOnThePlaceholderAndOpenAsItWas) {
    for (bool openWasEnabled : {false, true}) {
        DialogFixture f({"COM5"});
        f.wnd().EnableControl(IDC_OPEN, openWasEnabled);
        f.dlg().OnPortDropDown();
        EXPECT_EQ(Combo(f).items, (Items{kPlaceholder, "COM5"}));
        EXPECT_EQ(Combo(f).curSel, 0);
        EXPECT_EQ(Enabled(f, IDC_OPEN), openWasEnabled);
    }
}

TEST(PortListTest, NoPortsShowsTheStopBoxAndLeavesNoSelection) {
    DialogFixture f(std::vector<std::string>{});
    f.dlg().OnPortDropDown();
    EXPECT_EQ(Combo(f).items, (Items{kPlaceholder}));
    EXPECT_EQ(Combo(f).curSel, CB_ERR);
    ASSERT_EQ(f.wnd().boxes.size(), 1u);
    EXPECT_EQ(f.wnd().boxes[0].text, "The port is not ready. Try again!");
    EXPECT_EQ(f.wnd().boxes[0].caption, "Error");
    EXPECT_EQ(f.wnd().boxes[0].type, MB_ICONHAND);
}

TEST(PortListTest, UnreadableTableChangesNothingAndSaysNothing) {
    DialogFixture f({"COM1", "COM3"});
    f.dlg().OnPortDropDown();
    f.ports().openable = false;
    f.ports().ports.clear();
    f.dlg().OnPortDropDown();
    EXPECT_EQ(Combo(f).items, (Items{kPlaceholder, "COM1", "COM3"}));
    EXPECT_EQ(Combo(f).curSel, 1);
    EXPECT_TRUE(f.wnd().boxes.empty());
}

TEST(PortListTest, RefillDeletesAtMostThirtyEntries) {
    DialogFixture f({"COM1", "COM2"});
    for (int i = 0; i < 33; ++i) f.wnd().ComboAddString(IDC_COMBO_PORT, "old" + std::to_string(i));
    f.dlg().OnPortDropDown();
    EXPECT_EQ(Combo(f).items, (Items{"old30", "old31", "old32", kPlaceholder, "COM1", "COM2"}));
    // The selection counts from the top of the whole list: index 1 is "old31".
    EXPECT_EQ(Combo(f).curSel, 1);
}

TEST(PortListTest, ChoosingThePlaceholderDisablesOpenAndAPortEnablesIt) {
    DialogFixture f({"COM1", "COM3"});
    f.dlg().OnPortDropDown();
    f.wnd().ComboSetCurSel(IDC_COMBO_PORT, 1);
    f.dlg().OnPortSelChange();
    EXPECT_TRUE(Enabled(f, IDC_OPEN));
    f.wnd().ComboSetCurSel(IDC_COMBO_PORT, 0);
    f.dlg().OnPortSelChange();
    EXPECT_FALSE(Enabled(f, IDC_OPEN));
    f.wnd().ComboSetCurSel(IDC_COMBO_PORT, CB_ERR);  // no selection counts as not 0
    f.dlg().OnPortSelChange();
    EXPECT_TRUE(Enabled(f, IDC_OPEN));
}

struct OpenCase {
    std::string entry;
    uint8_t port;
    std::string openedName;
};

class OpenPortTest : public ::testing::TestWithParam<OpenCase> {};

TEST_P(OpenPortTest, ParsesTheNumberSetsTheLineAndConnects) {
    const OpenCase& c = GetParam();
    DialogFixture f({c.entry});
    auto& dlg = f.dlg();
    dlg.m_rxLen = 17;
    dlg.m_rxExpected = 9999;
    dlg.m_lineText = "partial";
    dlg.m_comm.m_olRead.Offset = 5;
    dlg.m_comm.m_olWrite.OffsetHigh = 6;
    f.OpenFakePort(1);

    EXPECT_EQ(dlg.m_comm.m_nPort, c.port);
    EXPECT_EQ(dlg.m_portNumber, c.port);
    ASSERT_EQ(f.serial().opened.size(), 1u);
    EXPECT_EQ(f.serial().opened[0], c.openedName);
    ASSERT_NE(f.transport(), nullptr);
    const LineSettings line = f.transport()->Settings();
    EXPECT_EQ(line.baudRate, 115200u);
    EXPECT_EQ(line.byteSize, 8);
    EXPECT_EQ(line.parity, 0);
    EXPECT_EQ(line.stopBits, 0);
    EXPECT_EQ(dlg.m_comm.m_olRead.Offset, 0u);
    EXPECT_EQ(dlg.m_comm.m_olWrite.OffsetHigh, 0u);
    EXPECT_NE(dlg.m_comm.m_olRead.hEvent, nullptr);
    EXPECT_NE(dlg.m_comm.m_olWrite.hEvent, nullptr);
    EXPECT_EQ(dlg.m_comm.m_hNotifyWnd, &f.wnd());
    EXPECT_NE(dlg.m_comm.m_bConnected.load(), 0);

    EXPECT_FALSE(Enabled(f, IDC_COMBO_PORT));
    EXPECT_FALSE(Enabled(f, IDC_OPEN));
    EXPECT_TRUE(Enabled(f, IDC_CLOSE));
    EXPECT_EQ(dlg.m_rxLen, 0);
    EXPECT_EQ(dlg.m_rxExpected, 250u);
    EXPECT_TRUE(dlg.m_lineText.empty());
    EXPECT_TRUE(f.wnd().boxes.empty());
}

INSTANTIATE_TEST_SUITE_P(Entries, OpenPortTest,
                         ::testing::Values(OpenCase{"COM4", 4, "COM4"},
                                           OpenCase{"COM5", 5, "\\\\.\\COM5"},
                                           OpenCase{"COM12", 12, "\\\\.\\COM12"},
                                           OpenCase{"COM99", 99, "\\\\.\\COM99"}));

TEST(OpenPortTest, FailedOpenTellsTheUserAndReturnsToDisconnected) {
    DialogFixture f({"COM1", "COM3", "COM12"});
    f.serial().refuse = {"COM3"};
    auto& dlg = f.dlg();
    dlg.m_rxLen = 9;
    dlg.m_lineText = "x";
    f.OpenFakePort(2);  // COM3

    ASSERT_EQ(f.wnd().boxes.size(), 1u);
    // What the system said follows the text.
    EXPECT_EQ(f.wnd().boxes[0].text, "Can not use COM port!\n\nCOM3 does not exist.");
    EXPECT_EQ(f.wnd().boxes[0].caption, "Orlo");
    EXPECT_EQ(f.wnd().boxes[0].type, MB_OK);
    EXPECT_FALSE(Enabled(f, IDC_CLOSE));
    EXPECT_TRUE(Enabled(f, IDC_COMBO_PORT));
    EXPECT_TRUE(Enabled(f, IDC_OPEN));
    EXPECT_EQ(dlg.m_comm.m_bConnected.load(), 0);
    EXPECT_EQ(dlg.m_comm.m_olRead.hEvent, nullptr);  // released by the close
    EXPECT_EQ(dlg.m_comm.m_olWrite.hEvent, nullptr);
    EXPECT_EQ(dlg.m_rxLen, 0);
    EXPECT_EQ(dlg.m_rxExpected, 250u);
    EXPECT_TRUE(dlg.m_lineText.empty());
}

TEST(OpenPortTest, PortThatRefusesItsSettingsFailsLikeAMissingOne) {
    DialogFixture f({"COM7"});
    f.serial().failConfigure = true;
    f.OpenFakePort(1);
    EXPECT_EQ(f.wnd().BoxTexts(),
              (Items{"Can not use COM port!\n\nThe serial port \\\\.\\COM7 refused the line settings."}));
    EXPECT_FALSE(Enabled(f, IDC_CLOSE));
    EXPECT_EQ(f.dlg().m_comm.m_bConnected.load(), 0);
}

TEST(OpenPortTest, WithNoCurrentSelectionNothingIsOpened) {
    DialogFixture f({"COM1", "COM3"});
    f.dlg().OnPortDropDown();
    f.wnd().ComboSetCurSel(IDC_COMBO_PORT, 1);
    f.dlg().OnPortSelChange();
    ASSERT_TRUE(Enabled(f, IDC_OPEN));
    // The ports go away; the refill leaves no selection while Open is still enabled.
    f.ports().ports.clear();
    f.dlg().OnPortDropDown();
    ASSERT_EQ(Combo(f).curSel, CB_ERR);
    f.wnd().boxes.clear();
    f.dlg().m_rxLen = 3;

    f.dlg().OnOpenPort();
    EXPECT_TRUE(f.serial().opened.empty());
    EXPECT_TRUE(f.wnd().boxes.empty());
    EXPECT_TRUE(Enabled(f, IDC_COMBO_PORT));
    EXPECT_FALSE(Enabled(f, IDC_OPEN));
    EXPECT_FALSE(Enabled(f, IDC_CLOSE));
    EXPECT_EQ(f.dlg().m_comm.m_bConnected.load(), 0);
    EXPECT_EQ(f.dlg().m_rxLen, 3);  // nothing was opened, so nothing was reset
}

TEST(ClosePortTest, CloseDisconnectsRestoresControlsAndKeepsTheReceiveState) {
    DialogFixture f({"COM1", "COM3"});
    f.OpenFakePort(2);
    ASSERT_NE(f.dlg().m_comm.m_bConnected.load(), 0);
    auto* port = f.transport();
    f.dlg().m_rxLen = 5;
    f.dlg().m_rxExpected = 77;

    f.dlg().OnClosePort();
    EXPECT_TRUE(port->Closed());
    EXPECT_TRUE(port->DtrDropped());
    EXPECT_EQ(f.dlg().m_comm.m_bConnected.load(), 0);
    EXPECT_FALSE(Enabled(f, IDC_CLOSE));
    EXPECT_TRUE(Enabled(f, IDC_COMBO_PORT));
    EXPECT_TRUE(Enabled(f, IDC_OPEN));
    EXPECT_EQ(f.dlg().m_rxLen, 5);
    EXPECT_EQ(f.dlg().m_rxExpected, 77u);

    // With the placeholder chosen, Close leaves Open disabled.
    f.wnd().ComboSetCurSel(IDC_COMBO_PORT, 0);
    f.dlg().OnClosePort();
    EXPECT_FALSE(Enabled(f, IDC_OPEN));
}

// A backend whose n-th transfer event cannot be created.
class EventFailingBackend : public FakeSerialBackend {
  public:
    explicit EventFailingBackend(int failAt) : m_failAt(failAt) {}
    std::shared_ptr<TransferEvent> CreateTransferEvent() override {
        ++created;
        if (created == m_failAt) return nullptr;
        return FakeSerialBackend::CreateTransferEvent();
    }
    int created = 0;

  private:
    int m_failAt;
};

TEST(OpenPortTest, TransferEventsAreBothOrNeitherAndTheOpenGoesAhead) {
    struct Case {
        int failAt;
        int expectCreated;
    };
    for (Case c : {Case{1, 1}, Case{2, 2}}) {
        EventLoop loop;
        ScriptedWindow wnd{loop};
        EventFailingBackend serial(c.failAt);
        FakePortTable ports = FakePortTable::WithNames({"COM2"});
        OrloEnvironment env{&wnd, &serial, &ports, {}};
        COrloDlg dlg(env);
        dlg.OnInitDialog();
        dlg.OnPortDropDown();
        wnd.ComboSetCurSel(IDC_COMBO_PORT, 1);
        dlg.OnOpenPort();
        EXPECT_EQ(serial.created, c.expectCreated) << "failAt " << c.failAt;
        EXPECT_EQ(dlg.m_comm.m_olRead.hEvent, nullptr);
        EXPECT_EQ(dlg.m_comm.m_olWrite.hEvent, nullptr);
        EXPECT_NE(dlg.m_comm.m_bConnected.load(), 0) << "failAt " << c.failAt;
        EXPECT_TRUE(wnd.boxes.empty());
        dlg.OnClosePort();
    }
}

TEST(OpenPortTest, TwoDialogsOpenTheirOwnPortsSideBySide) {
    DialogFixture a({"COM3"});
    DialogFixture b({"COM1", "COM12"});
    a.OpenFakePort(1);
    b.OpenFakePort(2);
    ASSERT_NE(a.transport(), nullptr);
    ASSERT_NE(b.transport(), nullptr);
    EXPECT_EQ(a.serial().opened, (Items{"COM3"}));
    EXPECT_EQ(b.serial().opened, (Items{"\\\\.\\COM12"}));
    EXPECT_EQ(a.dlg().m_comm.m_nPort, 3);
    EXPECT_EQ(b.dlg().m_comm.m_nPort, 12);
    a.dlg().OnClosePort();
    EXPECT_TRUE(a.transport()->Closed());
    EXPECT_FALSE(b.transport()->Closed());
    EXPECT_NE(b.dlg().m_comm.m_bConnected.load(), 0);
}

}  // namespace
}  // namespace orlo::test
