// The headless event loop and the window base over it: the synchronous send from another
// thread, sends to a window that is gone, timers on an injected clock, and two windows sharing
// one loop.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "app/Resource.h"
#include "support/ScriptedWindow.h"
#include "window/EventLoop.h"
#include "window/WindowBase.h"

namespace orlo::test {
namespace {

using namespace std::chrono_literals;

// A clock the test moves by hand.
struct ManualClock {
    EventLoop::Clock::time_point now{};
    void Install(EventLoop& loop) {
        loop.SetClock([this] { return now; });
    }
};

// Runs `fn` on another thread; the future tells when it has returned.
template <typename F>
auto OnOtherThread(F fn) {
    return std::async(std::launch::async, std::move(fn));
}

TEST(EventLoopSend, RunsTheWorkOnTheLoopThreadAndReturnsAfterIt) {
    EventLoop loop;
    const auto loopThread = std::this_thread::get_id();
    std::thread::id ranOn;
    bool finished = false;
    auto sender = OnOtherThread([&] {
        const bool sent = loop.Send([&] {
            ranOn = std::this_thread::get_id();
            finished = true;
        });
        // Returned only after the work: its effects are visible here without further waiting.
        return sent && finished;
    });
    ASSERT_TRUE(
        loop.RunUntil([&] { return sender.wait_for(0s) == std::future_status::ready; }, 10s));
    EXPECT_TRUE(sender.get());
    EXPECT_EQ(ranOn, loopThread);
}

TEST(EventLoopSend, OnTheLoopThreadTheWorkRunsAtOnce) {
    EventLoop loop;
    int ran = 0;
    EXPECT_TRUE(loop.Send([&] { ++ran; }));
    EXPECT_EQ(ran, 1);
}

TEST(EventLoopSend, AfterShutdownASendIsRefusedWithoutRunning) {
    EventLoop loop;
    loop.Shutdown();
    bool ran = false;
    EXPECT_FALSE(loop.Send([&] { ran = true; }));
    auto other = OnOtherThread([&] { return loop.Send([&] { ran = true; }); });
    EXPECT_FALSE(other.get());
    EXPECT_FALSE(ran);
}

TEST(EventLoopSend, SendersWaitingTogetherReturnWhenTheirWorkRanOrTheLoopShutsDown) {
    EventLoop loop;
    std::atomic<int> ran{0};
    auto startSenders = [&] {
        std::vector<std::future<bool>> senders;
        for (int i = 0; i < 8; ++i)
            senders.push_back(OnOtherThread([&] { return loop.Send([&] { ++ran; }); }));
        return senders;
    };
    auto allReturned = [](std::vector<std::future<bool>>& senders, std::chrono::seconds wait) {
        for (auto& s : senders)
            if (s.wait_for(wait) != std::future_status::ready) return false;
        return true;
    };
    // Each sender is woken by the end of its own work, whichever order the loop takes them in.
    auto served = startSenders();
    ASSERT_TRUE(loop.RunUntil([&] { return allReturned(served, 0s); }, 10s));
    for (auto& s : served) EXPECT_TRUE(s.get());
    EXPECT_EQ(ran.load(), 8);
    // Senders still waiting when the loop shuts down are let go without their work running.
    auto waiting = startSenders();
    std::this_thread::sleep_for(50ms);
    loop.Shutdown();
    ASSERT_TRUE(allReturned(waiting, 10s));
    for (auto& s : waiting) EXPECT_FALSE(s.get());
    EXPECT_EQ(ran.load(), 8);
}

TEST(EventLoopPost, PostedWorkRunsInOrderOnTheLoopThread) {
    EventLoop loop;
    std::vector<int> order;
    auto poster = OnOtherThread([&] {
        loop.Post([&] { order.push_back(1); });
        loop.Post([&] { order.push_back(2); });
    });
    poster.get();
    loop.Post([&] { order.push_back(3); });
    ASSERT_TRUE(loop.RunUntil([&] { return order.size() == 3; }, 10s));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(EventLoopTimers, FireOnTheInjectedClockOnlyWhenDue) {
    EventLoop loop;
    ManualClock clock;
    clock.Install(loop);
    int fired = 0;
    loop.SetTimer(1, 1000ms, [&] { ++fired; });
    EXPECT_TRUE(loop.HasTimer(1));

    loop.RunOnce(0ms);
    EXPECT_EQ(fired, 0);
    clock.now += 999ms;
    loop.RunOnce(0ms);
    EXPECT_EQ(fired, 0);
    clock.now += 1ms;
    loop.RunOnce(0ms);
    EXPECT_EQ(fired, 1);
    loop.RunOnce(0ms);
    EXPECT_EQ(fired, 1);  // not again until the next period has passed
    clock.now += 1000ms;
    loop.RunOnce(0ms);
    EXPECT_EQ(fired, 2);

    // A late loop fires once, not once per missed period, and keeps the period from then.
    clock.now += 3500ms;
    loop.RunOnce(0ms);
    EXPECT_EQ(fired, 3);
    clock.now += 999ms;
    loop.RunOnce(0ms);
    EXPECT_EQ(fired, 3);
    clock.now += 1ms;
    loop.RunOnce(0ms);
    EXPECT_EQ(fired, 4);

    EXPECT_TRUE(loop.KillTimer(1));
    EXPECT_FALSE(loop.KillTimer(1));
    clock.now += 5000ms;
    loop.RunOnce(0ms);
    EXPECT_EQ(fired, 4);
}

TEST(EventLoopTimers, SettingATimerAgainRestartsItsPeriod) {
    EventLoop loop;
    ManualClock clock;
    clock.Install(loop);
    int fired = 0;
    loop.SetTimer(7, 1000ms, [&] { ++fired; });
    clock.now += 600ms;
    loop.SetTimer(7, 1000ms, [&] { fired += 10; });
    clock.now += 600ms;
    loop.RunOnce(0ms);
    EXPECT_EQ(fired, 0);
    clock.now += 400ms;
    loop.RunOnce(0ms);
    EXPECT_EQ(fired, 10);
}

TEST(EventLoopTimers, AHandlerMayKillItsOwnTimer) {
    EventLoop loop;
    ManualClock clock;
    clock.Install(loop);
    int fired = 0;
    loop.SetTimer(2, 10ms, [&] {
        ++fired;
        loop.KillTimer(2);
    });
    clock.now += 10ms;
    loop.RunOnce(0ms);
    clock.now += 10ms;
    loop.RunOnce(0ms);
    EXPECT_EQ(fired, 1);
    EXPECT_FALSE(loop.HasTimer(2));
}

// A window recording the messages its window procedure receives.
class RecordingWindow : public ScriptedWindow {
  public:
    explicit RecordingWindow(EventLoop& loop) : ScriptedWindow(loop) {
        SetWndProc([this](uint32_t msg, uintptr_t w, intptr_t) -> intptr_t {
            messages.emplace_back(msg, w);
            return static_cast<intptr_t>(msg) + 1;
        });
    }
    std::vector<std::pair<uint32_t, uintptr_t>> messages;
};

TEST(WindowSend, ASendFromAnotherThreadReturnsTheHandlersResultAfterItRan) {
    EventLoop loop;
    RecordingWindow window(loop);
    auto sender = OnOtherThread([&] { return window.SendMessage(WM_COMM_RX, 0, 0); });
    ASSERT_TRUE(
        loop.RunUntil([&] { return sender.wait_for(0s) == std::future_status::ready; }, 10s));
    EXPECT_EQ(sender.get(), static_cast<intptr_t>(WM_COMM_RX) + 1);
    ASSERT_EQ(window.messages.size(), 1u);
    EXPECT_EQ(window.messages[0].first, WM_COMM_RX);
}

TEST(WindowSend, ASendToADestroyedWindowReturnsAtOnceWithoutRunning) {
    EventLoop loop;
    RecordingWindow window(loop);
    window.Destroy();
    EXPECT_FALSE(window.IsWindow());
    EXPECT_EQ(window.SendMessage(WM_COMM_RX, 0, 0), 0);  // on the loop thread
    auto sender = OnOtherThread([&] { return window.SendMessage(WM_COMM_RX, 0, 0); });
    EXPECT_EQ(sender.get(), 0);  // from another thread, with nobody running the loop
    EXPECT_TRUE(window.messages.empty());
}

TEST(WindowSend, ASendAlreadyWaitingWhenTheWindowGoesReturnsWithoutRunning) {
    EventLoop loop;
    RecordingWindow window(loop);
    std::atomic<bool> started{false};
    auto sender = OnOtherThread([&] {
        started = true;
        return window.SendMessage(WM_COMM_RX, 0, 0);
    });
    while (!started.load()) std::this_thread::yield();
    // Let the sender reach its wait; the loop is not run, so it cannot be served meanwhile.
    std::this_thread::sleep_for(20ms);
    window.Destroy();
    ASSERT_EQ(sender.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(sender.get(), 0);
    loop.RunOnce(0ms);
    EXPECT_TRUE(window.messages.empty());
}

TEST(WindowSend, TwoWindowsOnOneLoopStayApart) {
    EventLoop loop;
    RecordingWindow a(loop);
    RecordingWindow b(loop);
    a.Destroy();
    // Destroying one window neither refuses nor cancels the other's sends.
    auto toB = OnOtherThread([&] { return b.SendMessage(WM_COMM_RX, 5, 0); });
    ASSERT_TRUE(loop.RunUntil([&] { return toB.wait_for(0s) == std::future_status::ready; }, 10s));
    EXPECT_EQ(toB.get(), static_cast<intptr_t>(WM_COMM_RX) + 1);
    EXPECT_TRUE(a.messages.empty());
    ASSERT_EQ(b.messages.size(), 1u);
    EXPECT_EQ(b.messages[0].second, 5u);
}

TEST(WindowTimers, EachWindowGetsItsOwnTimerMessagesOnTheInjectedClock) {
    EventLoop loop;
    ManualClock clock;
    clock.Install(loop);
    RecordingWindow a(loop);
    RecordingWindow b(loop);
    // The same timer id in two windows: two timers.
    ASSERT_TRUE(a.SetTimer(COUNTDOWN_TIMER_ID, 1000));
    ASSERT_TRUE(b.SetTimer(COUNTDOWN_TIMER_ID, 500));
    clock.now += 500ms;
    loop.RunOnce(0ms);
    EXPECT_TRUE(a.messages.empty());
    ASSERT_EQ(b.messages.size(), 1u);
    EXPECT_EQ(b.messages[0], (std::pair<uint32_t, uintptr_t>{WM_TIMER, COUNTDOWN_TIMER_ID}));
    clock.now += 500ms;
    loop.RunOnce(0ms);
    ASSERT_EQ(a.messages.size(), 1u);
    EXPECT_EQ(a.messages[0], (std::pair<uint32_t, uintptr_t>{WM_TIMER, COUNTDOWN_TIMER_ID}));
    EXPECT_EQ(b.messages.size(), 2u);

    // Killing a's timer leaves b's running; destroying b ends its timers too.
    EXPECT_TRUE(a.KillTimer(COUNTDOWN_TIMER_ID));
    clock.now += 1000ms;
    loop.RunOnce(0ms);
    EXPECT_EQ(a.messages.size(), 1u);
    EXPECT_EQ(b.messages.size(), 3u);
    b.Destroy();
    EXPECT_FALSE(b.SetTimer(COUNTDOWN_TIMER_ID, 500));
    clock.now += 1000ms;
    loop.RunOnce(0ms);
    EXPECT_EQ(b.messages.size(), 3u);
}

}  // namespace
}  // namespace orlo::test
