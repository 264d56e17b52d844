// The cancellable synchronous send: work from another thread runs on the GUI thread, also
// inside a nested event loop, and Cancel releases a waiting sender at once.
#include <gtest/gtest.h>

#include <QEventLoop>
#include <QObject>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <future>
#include <thread>

#include "GuiSend.h"
#include "GuiTestSupport.h"

namespace orlo::gui {
namespace {

using test::PumpUntil;

TEST(GuiSend, RunsOnTheGuiThreadAndReturnsTheResult) {
    QObject context;
    GuiSend send(&context);
    QThread* gui = QThread::currentThread();
    std::atomic<bool> ranOnGui{false};

    auto result = std::async(std::launch::async, [&] {
        return send.Send([&]() -> intptr_t {
            ranOnGui = QThread::currentThread() == gui;
            return 42;
        });
    });
    ASSERT_TRUE(PumpUntil(
        [&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    EXPECT_EQ(result.get(), std::optional<intptr_t>(42));
    EXPECT_TRUE(ranOnGui);
    // From the GUI thread itself the work runs at once.
    EXPECT_EQ(send.Send([] { return intptr_t{7}; }), std::optional<intptr_t>(7));
}

TEST(GuiSend, CancelReleasesAWaitingSenderAndRefusesLaterOnes) {
    QObject context;
    GuiSend send(&context);
    std::atomic<bool> ran{false};
    // The GUI thread does not serve events here, so the sender stays waiting until Cancel.
    auto result = std::async(std::launch::async, [&] {
        return send.Send([&]() -> intptr_t {
            ran = true;
            return 1;
        });
    });
    EXPECT_EQ(result.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    send.Cancel();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(result.get(), std::nullopt);
    // The queued work is dropped, even when the event loop runs afterwards.
    QCoreApplication::processEvents();
    EXPECT_FALSE(ran);
    EXPECT_EQ(send.Send([] { return intptr_t{1}; }), std::nullopt);
    std::optional<intptr_t> fromThread{5};
    std::thread([&] { fromThread = send.Send([] { return intptr_t{1}; }); }).join();
    EXPECT_EQ(fromThread, std::nullopt);
}

TEST(GuiSend, IsServedInsideANestedEventLoop) {
    // A handler that opens a box runs a nested loop; a sender must still get through, and a
    // send arriving while a served one is still running waits for its turn.
    QObject context;
    GuiSend send(&context);
    std::vector<int> order;
    std::future<std::optional<intptr_t>> second;
    auto first = std::async(std::launch::async, [&] {
        return send.Send([&]() -> intptr_t {
            order.push_back(1);
            second = std::async(std::launch::async, [&] {
                return send.Send([&]() -> intptr_t {
                    order.push_back(2);
                    return 2;
                });
            });
            QEventLoop nested;  // stands for the box's own loop
            QTimer poll;
            QObject::connect(&poll, &QTimer::timeout, &nested, [&] {
                if (second.wait_for(std::chrono::seconds(0)) == std::future_status::ready)
                    nested.quit();
            });
            poll.start(1);
            nested.exec();
            order.push_back(3);
            return 1;
        });
    });
    ASSERT_TRUE(PumpUntil(
        [&] { return first.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    EXPECT_EQ(first.get(), std::optional<intptr_t>(1));
    EXPECT_EQ(second.get(), std::optional<intptr_t>(2));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

}  // namespace
}  // namespace orlo::gui
