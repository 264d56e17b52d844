// The path of a received byte as the reader thread drives it: the bytes go into the ring on
// another thread, the synchronous notification runs OnCommRx on the user-interface thread.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "receive/ReceiveTestSupport.h"

namespace orlo::test {
namespace {

TEST(ReaderNotify, BytesFromAnotherThreadAreAssembledOnTheUserInterfaceThread) {
    DialogFixture f;
    COrloDlg& dlg = f.dlg();
    constexpr int kUnits = 200;
    std::vector<uint8_t> stream;
    std::vector<std::string> expectedLines;
    for (int i = 0; i < kUnits; ++i) {
        const auto ack = Frame(RSP_ACK, 7, 0, static_cast<uint8_t>(i), static_cast<uint8_t>(~i));
        stream.insert(stream.end(), ack.begin(), ack.end());
        expectedLines.push_back("line " + std::to_string(i) + "\r\n");
        stream.insert(stream.end(), expectedLines.back().begin(), expectedLines.back().end());
    }
    const std::size_t framesBefore = f.wnd().progressLog.size();

    std::atomic<bool> done{false};
    std::thread reader([&] {
        std::mt19937 rng(4);
        std::size_t at = 0;
        while (at < stream.size()) {
            const std::size_t n =
                std::min<std::size_t>(1 + rng() % RX_READ_MAX, stream.size() - at);
            PutInRing(dlg, std::vector<uint8_t>(stream.begin() + static_cast<long>(at),
                                                stream.begin() + static_cast<long>(at + n)));
            at += n;
            if (f.wnd().SendMessage(WM_COMM_RX, 0, 0) != 1) break;
        }
        done = true;
    });
    const bool finished = f.Pump([&] { return done.load(); }, std::chrono::seconds(20));
    if (!finished) f.wnd().Destroy();  // releases a reader stuck in its notification
    reader.join();
    ASSERT_TRUE(finished);

    EXPECT_EQ(f.wnd().progressLog.size() - framesBefore, static_cast<std::size_t>(kUnits));
    EXPECT_EQ(f.wnd().ListItems(IDC_LIST_LOG), expectedLines);
    EXPECT_EQ(dlg.m_comm.m_rxHead, dlg.m_comm.m_rxTail);
}

}  // namespace
}  // namespace orlo::test
