// The reply-driven programming run on the fake port: replies go through the receive assembler
// (Feed), frames are read back from what the fake port was given.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "images/FlashRegion.h"
#include "protocol/Crc16.h"
#include "support/DialogFixture.h"
#include "support/TestSystem.h"

namespace orlo::test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

const Bytes kAck = {0x04, 0x00, 0x07, 0x06, 0x00, 0x00, 0x03};  // the CRC is not examined
const Bytes kNak = {0x04, 0x00, 0x07, 0x15, 0x00, 0x00, 0x03};
const Bytes kFinish = {0x04, 0x00, 0x07, 0x13, 0xC2, 0x69, 0x03};

Bytes Pattern(std::size_t size, uint32_t seed = 1) {
    std::mt19937 gen(seed);
    Bytes b(size);
    for (auto& x : b) x = static_cast<uint8_t>(gen());
    return b;
}

uint32_t AddressOf(const Bytes& frame) {
    return (uint32_t{frame[4]} << 24) | (uint32_t{frame[5]} << 16) | (uint32_t{frame[6]} << 8) |
           frame[7];
}

// A dialog with an open fake port and a staged image, after the start frame.
class ProgramRun {
  public:
    ProgramRun(RegionId region, const Bytes& image) {
        m_dir = MakeTempDir("orlo-prog-");
        const fs::path file = m_dir / "image";
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), static_cast<long>(image.size()));
        f.OpenFakePort();
        f.TakeWrites();
        f.wnd().QueueFileDialog(file.string());
        switch (region) {
            case RegionId::Application:
                f.dlg().OnProgramApplication();
                break;
            case RegionId::Voice:
                f.dlg().OnProgramVoice();
                break;
            case RegionId::Map:
                f.dlg().OnProgramMap();
                break;
            case RegionId::User:
                f.dlg().OnProgramUser();
                break;
        }
        EXPECT_EQ(f.TakeWrites().size(), 1u);  // the start frame
    }
    ~ProgramRun() {
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }
    // Feeds one reply and returns the frame it drew (empty when none).
    Bytes Reply(const Bytes& reply) {
        f.Feed(reply);
        auto w = f.TakeWrites();
        EXPECT_LE(w.size(), 1u);
        return w.empty() ? Bytes{} : w[0];
    }
    std::string Status() { return f.wnd().GetControlText(IDC_STATUS); }

    DialogFixture f;

  private:
    fs::path m_dir;
};

// The block frame the run must send for `offset` of `image`, built independently of the code
// under test: header, big-endian address, data padded with 0xFF, CRC, end.
Bytes ExpectedBlock(uint8_t cmd, uint32_t base, const Bytes& image, uint32_t offset) {
    Bytes frame(4107, 0xFF);
    frame[0] = 0x04;
    frame[1] = 0x10;
    frame[2] = 0x0B;
    frame[3] = cmd;
    const uint32_t a = base + offset;
    frame[4] = static_cast<uint8_t>(a >> 24);
    frame[5] = static_cast<uint8_t>(a >> 16);
    frame[6] = static_cast<uint8_t>(a >> 8);
    frame[7] = static_cast<uint8_t>(a);
    for (uint32_t i = 0; i < 4096 && offset + i < image.size(); ++i)
        frame[8 + i] = image[offset + i];
    const uint16_t crc = Crc16Bytes(frame.data(), 4104);
    frame[4104] = static_cast<uint8_t>(crc >> 8);
    frame[4105] = static_cast<uint8_t>(crc);
    frame[4106] = 0x03;
    return frame;
}

TEST(ProgressPercentTest, CountsWholeBlocksAndCapsAt100) {
    const struct {
        uint32_t offset, size;
        int percent;
    } cases[] = {
        {4096, 5000, 81},
        {8192, 5000, 100},
        {4096, 1500, 100},
        {4096, 4096, 100},
        {4096, 2048000, 0},
        {2048000, 2048000, 100},
        {2052096, 2048000, 100},
        {1024000, 2048000, 50},
        {0, 10, 0},
        {0, 0, 100},  // an empty size never reaches the division
    };
    for (const auto& c : cases)
        EXPECT_EQ(COrloDlg::ProgressPercent(c.offset, c.size), c.percent)
            << c.offset << " / " << c.size;
}

TEST(CountdownSecondsTest, TenthsOfTheTwoKilobyteCountPlusOne) {
    EXPECT_EQ(COrloDlg::CountdownSeconds(0), 1u);
    EXPECT_EQ(COrloDlg::CountdownSeconds(9 * 2048 - 1), 1u);
    EXPECT_EQ(COrloDlg::CountdownSeconds(9 * 2048), 2u);
    EXPECT_EQ(COrloDlg::CountdownSeconds(19 * 2048), 3u);  // 20 * 0.1 + 1.0 is just above 3
    EXPECT_EQ(COrloDlg::CountdownSeconds(241664), 12u);
    // The floating-point rule agrees with the integer one for every size up to the largest
    // region.
    for (uint32_t size = 0; size <= 2048000 + 4096; size += 2048)
        ASSERT_EQ(COrloDlg::CountdownSeconds(size), (size / 2048 + 1) / 10 + 1) << size;
}

TEST(ProgrammingTest, ExactlyOneBlockWritesVerifiesAndCompletesMapData) {
    const Bytes image = Pattern(4096);
    ProgramRun run(RegionId::Map, image);
    EXPECT_EQ(run.Reply(kAck), ExpectedBlock(0x31, 0x1F4000, image, 0));
    EXPECT_EQ(run.Status(), "Programming 100 %");
    EXPECT_EQ(run.Reply(kAck), ExpectedBlock(0x32, 0x1F4000, image, 0));
    EXPECT_EQ(run.Status(), "Verifying 100 %");

    // The completion message is shown with "Ready " already on screen.
    std::string statusAtBox;
    run.f.wnd().onMessageBox = [&](const RecordedBox&) { statusAtBox = run.Status(); };
    EXPECT_EQ(run.Reply(kAck), Bytes{});
    ASSERT_EQ(run.f.wnd().boxes.size(), 1u);
    EXPECT_EQ(run.f.wnd().boxes[0].text, "Programming completed of Map data");
    EXPECT_EQ(run.f.wnd().boxes[0].caption, "Orlo");
    EXPECT_EQ(statusAtBox, "Ready ");
    EXPECT_EQ(run.f.dlg().m_progress, 100);
    EXPECT_EQ(run.f.wnd().Control(IDC_PROGRESS).pos, 100);
    EXPECT_NE(run.f.dlg().m_comm.m_bConnected.load(), 0);  // the port stays open
}

TEST(ProgrammingTest, PartialLastBlockIsPaddedWithFfAndPercentagesCountBlocks) {
    const Bytes image = Pattern(5000);
    ProgramRun run(RegionId::Application, image);
    std::vector<std::string> statuses;
    std::vector<Bytes> frames;
    for (int i = 0; i < 4; ++i) {
        frames.push_back(run.Reply(kAck));
        statuses.push_back(run.Status());
    }
    EXPECT_EQ(statuses, (std::vector<std::string>{"Programming 81 %", "Programming 100 %",
                                                  "Verifying 81 %", "Verifying 100 %"}));
    EXPECT_EQ(frames[0], ExpectedBlock(0x11, 0x3C3000, image, 0));
    EXPECT_EQ(frames[1], ExpectedBlock(0x11, 0x3C3000, image, 4096));
    EXPECT_EQ(AddressOf(frames[1]), 0x3C3000u + 4096);
    EXPECT_TRUE(std::equal(image.begin() + 4096, image.end(), frames[1].begin() + 8));
    EXPECT_TRUE(std::all_of(frames[1].begin() + 8 + 904, frames[1].begin() + 4104,
                            [](uint8_t b) { return b == 0xFF; }));  // 3192 bytes of 0xFF
    EXPECT_EQ(frames[2], ExpectedBlock(0x12, 0x3C3000, image, 0));
    EXPECT_EQ(frames[3], ExpectedBlock(0x12, 0x3C3000, image, 4096));
    EXPECT_EQ(run.f.wnd().progressLog.back(), 100);
}

TEST(ProgrammingTest, FirstApplicationBlockOfFfMatchesTheWorkedExample) {
    ProgramRun run(RegionId::Application, Bytes(4096, 0xFF));
    const Bytes frame = run.Reply(kAck);
    ASSERT_EQ(frame.size(), 4107u);
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 9),
              (Bytes{0x04, 0x10, 0x0B, 0x11, 0x00, 0x3C, 0x30, 0x00, 0xFF}));
    EXPECT_EQ(Bytes(frame.end() - 4, frame.end()), (Bytes{0xFF, 0xFB, 0xB7, 0x03}));
}

TEST(ProgrammingTest, SmallImageShowsProgramming100AfterItsOnlyBlock) {
    ProgramRun run(RegionId::User, Pattern(1500));
    run.Reply(kAck);
    EXPECT_EQ(run.Status(), "Programming 100 %");
    EXPECT_EQ(run.f.wnd().Control(IDC_PROGRESS).pos, 100);
}

TEST(ProgrammingTest, FullVoiceRegionIs500WriteAnd500VerifyBlocks) {
    const Bytes image = Pattern(2048000, 3);
    ProgramRun run(RegionId::Voice, image);
    std::vector<uint32_t> writes, verifies;
    for (int i = 0; i < 1000; ++i) {
        const Bytes frame = run.Reply(kAck);
        ASSERT_EQ(frame.size(), 4107u) << i;
        (frame[3] == 0x21 ? writes : verifies).push_back(AddressOf(frame));
        if (i == 499) {
            EXPECT_EQ(frame, ExpectedBlock(0x21, 0, image, 2048000 - 4096));
        }
        if (i == 999) {
            EXPECT_EQ(frame, ExpectedBlock(0x22, 0, image, 2048000 - 4096));
        }
    }
    ASSERT_EQ(writes.size(), 500u);
    ASSERT_EQ(verifies.size(), 500u);
    EXPECT_EQ(writes.front(), 0u);
    EXPECT_EQ(writes.back(), 2048000u - 4096);
    EXPECT_EQ(verifies.front(), 0u);
    EXPECT_EQ(verifies.back(), 2048000u - 4096);
    EXPECT_EQ(run.Reply(kAck), Bytes{});
    EXPECT_EQ(run.f.wnd().BoxTexts(),
              (std::vector<std::string>{"Programming completed of Voice data"}));
    EXPECT_EQ(run.Status(), "Ready ");
}

TEST(ProgrammingTest, UserDataCompletesWithItsOwnMessage) {
    ProgramRun run(RegionId::User, Pattern(4096));
    run.Reply(kAck);
    run.Reply(kAck);
    run.Reply(kAck);
    EXPECT_EQ(run.f.wnd().BoxTexts(),
              (std::vector<std::string>{"Programming completed of User data"}));
}

TEST(NakTest, FourResendsThenTxErrorAndAnAckInBetweenResetsTheCount) {
    const Bytes image = Pattern(3 * 4096);
    ProgramRun run(RegionId::Map, image);
    const Bytes first = run.Reply(kAck);
    ASSERT_EQ(first, ExpectedBlock(0x31, 0x1F4000, image, 0));

    // Four NAKs: four identical resends; then the ACK moves on.
    for (int i = 0; i < 4; ++i) EXPECT_EQ(run.Reply(kNak), first) << "resend " << i + 1;
    EXPECT_TRUE(run.f.wnd().boxes.empty());
    const Bytes second = run.Reply(kAck);
    EXPECT_EQ(second, ExpectedBlock(0x31, 0x1F4000, image, 4096));
    EXPECT_EQ(run.f.dlg().m_retryCount, 0u);
    EXPECT_EQ(run.Status(), "Programming 66 %");

    // Five NAKs: four resends, then "Tx Error" with the bar at 0 and the status kept.
    for (int i = 0; i < 4; ++i) EXPECT_EQ(run.Reply(kNak), second);
    int barAtBox = -1;
    run.f.wnd().onMessageBox = [&](const RecordedBox&) {
        barAtBox = run.f.wnd().Control(IDC_PROGRESS).pos;
    };
    EXPECT_EQ(run.Reply(kNak), Bytes{});
    EXPECT_EQ(run.f.wnd().BoxTexts(), (std::vector<std::string>{"Tx Error"}));
    EXPECT_EQ(barAtBox, 66);  // the bar drops once the box is closed
    EXPECT_EQ(run.f.dlg().m_progress, 0);
    EXPECT_EQ(run.f.wnd().Control(IDC_PROGRESS).pos, 0);
    EXPECT_EQ(run.Status(), "Programming 66 %");

    // Every further NAK says "Tx Error" again and sends nothing.
    EXPECT_EQ(run.Reply(kNak), Bytes{});
    EXPECT_EQ(run.f.wnd().BoxTexts().size(), 2u);

    // A late ACK continues the run from the last frame sent.
    EXPECT_EQ(run.Reply(kAck), ExpectedBlock(0x31, 0x1F4000, image, 8192));
}

TEST(NakTest, VerifyBlocksAreResentTheSameWay) {
    const Bytes image = Pattern(4096);
    ProgramRun run(RegionId::Voice, image);
    run.Reply(kAck);
    const Bytes verify = run.Reply(kAck);
    ASSERT_EQ(verify[3], 0x22);
    EXPECT_EQ(run.Reply(kNak), verify);
}

TEST(NakTest, NakToTheStartFrameAsksToCheckTheFlashAndSendsNothing) {
    ProgramRun run(RegionId::Application, Pattern(100));
    run.f.dlg().m_retryCount = 2;  // untouched by a NAK to a start frame
    EXPECT_EQ(run.Reply(kNak), Bytes{});
    EXPECT_EQ(run.f.wnd().BoxTexts(), (std::vector<std::string>{"Check Flash Memory please....."}));
    EXPECT_EQ(run.f.dlg().m_retryCount, 2u);
    EXPECT_EQ(run.Reply(kNak), Bytes{});
    EXPECT_EQ(run.f.wnd().BoxTexts().size(), 2u);
}

TEST(ApplicationFinishTest, LastVerifySendsFinishClosesThePortAndStartsTheCountdown) {
    const Bytes image = Pattern(241664, 9);  // 59 blocks
    ProgramRun run(RegionId::Application, image);
    auto* port = run.f.transport();
    for (int i = 0; i < 2 * 59; ++i) ASSERT_EQ(run.Reply(kAck).size(), 4107u) << i;

    EXPECT_EQ(run.Reply(kAck), kFinish);
    EXPECT_TRUE(port->Closed());
    EXPECT_EQ(port->Writes().back(), kFinish);  // written before the close
    EXPECT_EQ(run.f.dlg().m_countdown, 12u);
    EXPECT_EQ(run.f.dlg().m_progress, 100);
    EXPECT_EQ(run.Status(), "Wait please");
    EXPECT_FALSE(run.f.wnd().IsControlEnabled(IDC_CLOSE));
    EXPECT_TRUE(run.f.wnd().IsControlEnabled(IDC_COMBO_PORT));
    EXPECT_TRUE(run.f.wnd().boxes.empty());

    // The ACK to the finish frame, should one still arrive, shows "Ready".
    run.Reply(kAck);
    EXPECT_EQ(run.Status(), "Ready");
}

// The countdown on an injected clock: one second per step, no sleeping.
TEST(ApplicationFinishTest, CountdownShowsEachSecondThenReadyAndTheMessageOnce) {
    ProgramRun run(RegionId::Application, Pattern(241664, 5));
    auto clock = std::make_shared<EventLoop::Clock::time_point>(EventLoop::Clock::now());
    run.f.loop().SetClock([clock] { return *clock; });
    for (int i = 0; i < 2 * 59 + 1; ++i) run.Reply(kAck);
    ASSERT_EQ(run.Status(), "Wait please");
    const std::size_t textsBefore = run.f.wnd().textLog.size();

    // A tick that arrives while the completion box is open changes nothing.
    int ticksInBox = 0;
    run.f.wnd().onMessageBox = [&](const RecordedBox&) {
        run.f.wnd().SendMessage(WM_TIMER, COUNTDOWN_TIMER_ID, 0);
        ++ticksInBox;
    };
    auto tick = [&] {
        *clock += std::chrono::seconds(1);
        run.f.loop().RunOnce(std::chrono::milliseconds(0));
    };
    std::vector<std::string> shown;
    for (int s = 11; s >= 1; --s) {
        tick();
        shown.push_back(run.Status());
        EXPECT_TRUE(run.f.wnd().boxes.empty()) << s;
    }
    std::vector<std::string> expected;
    for (int s = 11; s >= 1; --s) expected.push_back("Wait " + std::to_string(s) + " sec");
    EXPECT_EQ(shown, expected);

    tick();  // the twelfth second
    EXPECT_EQ(run.Status(), "Ready");
    EXPECT_EQ(run.f.wnd().BoxTexts(),
              (std::vector<std::string>{"Programming completed of Application data, and "
                                        "Remove Target"}));
    EXPECT_EQ(ticksInBox, 1);

    // Timer 1 is stopped: later seconds change nothing.
    for (int i = 0; i < 3; ++i) tick();
    EXPECT_EQ(run.Status(), "Ready");
    EXPECT_EQ(run.f.wnd().boxes.size(), 1u);
    // "Wait 0 sec" never reached the screen.
    for (std::size_t i = textsBefore; i < run.f.wnd().textLog.size(); ++i)
        EXPECT_NE(run.f.wnd().textLog[i].second, "Wait 0 sec");
}

TEST(ApplicationFinishTest, ShortImageCountsDownOneSecond) {
    ProgramRun run(RegionId::Application, Pattern(10));
    auto clock = std::make_shared<EventLoop::Clock::time_point>(EventLoop::Clock::now());
    run.f.loop().SetClock([clock] { return *clock; });
    for (int i = 0; i < 3; ++i) run.Reply(kAck);
    EXPECT_EQ(run.f.dlg().m_countdown, 1u);
    *clock += std::chrono::seconds(1);
    run.f.loop().RunOnce(std::chrono::milliseconds(0));
    EXPECT_EQ(run.Status(), "Ready");
    EXPECT_EQ(run.f.wnd().boxes.size(), 1u);
}

TEST(ProgrammingTest, AckToAnotherCommandOnlyResetsTheResendCount) {
    DialogFixture f;
    f.OpenFakePort();
    f.TakeWrites();
    f.dlg().m_txFrame[3] = CMD_SWEEP_QUERY;
    f.dlg().m_retryCount = 3;
    f.dlg().m_status = "x";
    f.Feed(kAck);
    EXPECT_EQ(f.dlg().m_retryCount, 0u);
    EXPECT_TRUE(f.TakeWrites().empty());
    EXPECT_EQ(f.dlg().m_status, "x");
}

TEST(ProgrammingTest, BlockOutsideTheBufferIsReportedAndNothingIsSent) {
    DialogFixture f;
    f.OpenFakePort();
    f.TakeWrites();
    f.dlg().m_txFrame[3] = 0x21;
    f.dlg().m_imageSize = 0x900000;  // a refused length beyond the 8 MiB buffer
    f.dlg().m_imageOffset = 0x800000 - 2048;
    const auto before = f.dlg().m_txFrame;
    // Through the window procedure, which reports what a handler throws.
    auto& comm = f.dlg().m_comm;
    for (uint8_t b : kAck) {
        comm.m_rxTail %= RX_RING_SIZE;
        comm.m_rxRing[comm.m_rxTail++] = b;
    }
    f.wnd().SendMessage(WM_COMM_RX, 0, 0);
    EXPECT_TRUE(f.TakeWrites().empty());
    EXPECT_EQ(f.dlg().m_txFrame, before);
    EXPECT_EQ(f.wnd().boxes.size(), 1u);  // the framework's report of the invalid index
}

}  // namespace
}  // namespace orlo::test
