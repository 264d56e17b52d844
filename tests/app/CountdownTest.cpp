// The completion countdown, driven by timer 1 of the event loop on an injected clock.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "app/OrloDlg.h"
#include "support/DialogFixture.h"

namespace orlo::test {
namespace {

constexpr const char* kCompleted = "Programming completed of Application data, and Remove Target";

class CountdownTest : public ::testing::Test {
  protected:
    void SetUp() override {
        f.loop().SetClock([this] { return m_now; });
    }
    // Starts the countdown as the programming run does after its finish frame.
    void Start(uint32_t seconds) {
        f.dlg().m_countdown = seconds;
        f.dlg().m_status = "Wait please";
        f.dlg().UpdateData(false);
        f.wnd().SetTimer(COUNTDOWN_TIMER_ID, COUNTDOWN_TIMER_PERIOD_MS);
    }
    void Advance(std::chrono::milliseconds by) {
        m_now += by;
        f.loop().RunOnce(std::chrono::milliseconds(0));
    }
    std::vector<std::string> StatusTexts() {
        std::vector<std::string> texts;
        for (const auto& [id, text] : f.wnd().textLog)
            if (id == IDC_STATUS) texts.push_back(text);
        return texts;
    }

    DialogFixture f;

  private:
    EventLoop::Clock::time_point m_now{};
};

TEST_F(CountdownTest, TwelveSecondsCountDownThenReadyAndTheMessage) {
    Start(12);
    const std::size_t statusBefore = StatusTexts().size();
    for (int left = 11; left >= 1; --left) {
        Advance(std::chrono::milliseconds(999));  // not yet a second
        EXPECT_EQ(f.dlg().m_countdown, static_cast<uint32_t>(left + 1));
        Advance(std::chrono::milliseconds(1));
        EXPECT_EQ(f.wnd().GetControlText(IDC_STATUS), "Wait " + std::to_string(left) + " sec");
    }
    EXPECT_TRUE(f.wnd().boxes.empty());
    Advance(std::chrono::seconds(1));
    EXPECT_EQ(f.wnd().GetControlText(IDC_STATUS), "Ready");
    ASSERT_EQ(f.wnd().boxes.size(), 1u);
    EXPECT_EQ(f.wnd().boxes[0].text, kCompleted);
    EXPECT_EQ(f.wnd().boxes[0].caption, "Orlo");
    EXPECT_EQ(f.wnd().boxes[0].type, MB_OK);

    std::vector<std::string> expected;
    for (int left = 11; left >= 1; --left)
        expected.push_back("Wait " + std::to_string(left) + " sec");
    expected.push_back("Ready");
    const auto texts = StatusTexts();
    EXPECT_EQ(
        std::vector<std::string>(texts.begin() + static_cast<long>(statusBefore), texts.end()),
        expected);  // "Wait 0 sec" never shows

    // The timer is stopped: a countdown set now is not counted.
    f.dlg().m_countdown = 3;
    Advance(std::chrono::seconds(5));
    EXPECT_EQ(f.dlg().m_countdown, 3u);
    EXPECT_EQ(f.wnd().boxes.size(), 1u);
}

TEST_F(CountdownTest, OneSecondEndsAtTheFirstTick) {
    Start(1);
    Advance(std::chrono::seconds(1));
    EXPECT_EQ(f.dlg().m_status, "Ready");
    EXPECT_EQ(f.wnd().BoxTexts(), std::vector<std::string>{kCompleted});
    for (const auto& text : StatusTexts()) EXPECT_NE(text, "Wait 0 sec");
}

TEST_F(CountdownTest, TicksWhileTheCompletionBoxIsOpenChangeNothing) {
    // The box's own message loop keeps delivering timer 1 until the box is closed.
    int nestedTicks = 0;
    f.wnd().onMessageBox = [&](const RecordedBox&) {
        const std::size_t textsBefore = f.wnd().textLog.size();
        for (int i = 0; i < 3; ++i) {
            Advance(std::chrono::seconds(1));
            ++nestedTicks;
        }
        f.dlg().OnTimer(COUNTDOWN_TIMER_ID);  // and a direct one for good measure
        EXPECT_EQ(f.wnd().textLog.size(), textsBefore);
        EXPECT_EQ(f.dlg().m_status, "Ready");
    };
    Start(2);
    Advance(std::chrono::seconds(1));
    EXPECT_EQ(f.dlg().m_status, "Wait 1 sec");
    Advance(std::chrono::seconds(1));
    EXPECT_EQ(nestedTicks, 3);
    EXPECT_EQ(f.wnd().boxes.size(), 1u);  // no second box
    EXPECT_EQ(f.dlg().m_countdown, 0u);
}

TEST_F(CountdownTest, OtherTimerIdsOnlyRefreshTheControls) {
    f.dlg().m_countdown = 5;
    f.dlg().m_checkText = "refreshed";
    f.dlg().OnTimer(2);
    EXPECT_EQ(f.dlg().m_countdown, 5u);
    EXPECT_EQ(f.dlg().m_status, "Ready");
    EXPECT_EQ(f.wnd().GetControlText(IDC_CHECK_TEXT), "refreshed");

    f.dlg().m_countdown = 0;  // idle countdown: a stray tick of timer 1 changes nothing
    f.dlg().OnTimer(COUNTDOWN_TIMER_ID);
    EXPECT_EQ(f.dlg().m_status, "Ready");
    EXPECT_TRUE(f.wnd().boxes.empty());
}

}  // namespace
}  // namespace orlo::test
