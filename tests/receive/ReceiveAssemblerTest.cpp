// The receive assembler: completion, classification and dispatch of units, and its bounds.
//
// Dispatch is observed through what the consumers leave behind: every frame sets the progress
// bar (ScriptedWindow::progressLog), an ACK clears the resend count, a NAK raises it, a text
// line becomes an entry of the log list.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/Crc16.h"
#include "receive/ReceiveTestSupport.h"
#include "support/TestSystem.h"

namespace orlo::test {
namespace {

const std::vector<uint8_t> kAck = {0x04, 0x00, 0x07, 0x06, 0xAB, 0xCD, 0x03};
const std::vector<uint8_t> kNak = {0x04, 0x00, 0x07, 0x15, 0x12, 0x34, 0x03};
constexpr uint32_t kArmed = 3;  // resend count an ACK must clear

class ReceiveTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_framesBefore = f.wnd().progressLog.size();
        dlg().m_retryCount = kArmed;
    }

    COrloDlg& dlg() { return f.dlg(); }
    // Frames classified so far: the assembler sets the bar after every frame and only then.
    std::size_t Frames() { return f.wnd().progressLog.size() - m_framesBefore; }
    std::vector<std::string> Lines() { return f.wnd().ListItems(IDC_LIST_LOG); }
    void ExpectIdle() {
        EXPECT_EQ(dlg().m_rxLen, 0);
        EXPECT_EQ(dlg().m_rxExpected, COrloDlg::RX_EXPECT_UNKNOWN);
    }

    DialogFixture f;

  private:
    std::size_t m_framesBefore = 0;
};

TEST_F(ReceiveTest, AckSplitAnyWayOverNotificationsGivesExactlyOneAck) {
    // CRC bytes that look like line ends, start or end bytes must not matter.
    const std::vector<std::pair<uint8_t, uint8_t>> crcs = {
        {0xAB, 0xCD}, {0x0D, 0x0A}, {0x0A, 0x0D}, {0x03, 0x03}, {0x04, 0x00}, {0x00, 0x0A}};
    for (const auto& [hi, lo] : crcs) {
        const std::vector<uint8_t> ack = {0x04, 0x00, 0x07, 0x06, hi, lo, 0x03};
        // Each of the 6 gaps between the 7 bytes is a notification boundary or not.
        for (unsigned cuts = 0; cuts < 64; ++cuts) {
            SCOPED_TRACE("crc " + std::to_string(hi) + "," + std::to_string(lo) + " cuts " +
                         std::to_string(cuts));
            const std::size_t framesBefore = Frames();
            dlg().m_retryCount = kArmed;
            std::vector<uint8_t> piece;
            for (std::size_t i = 0; i < ack.size(); ++i) {
                piece.push_back(ack[i]);
                if (i + 1 == ack.size() || (cuts >> i) & 1u) {
                    f.Feed(piece);
                    piece.clear();
                }
            }
            EXPECT_EQ(Frames() - framesBefore, 1u);
            EXPECT_EQ(dlg().m_retryCount, 0u);
            ExpectIdle();
        }
    }
    EXPECT_TRUE(Lines().empty());
}

TEST_F(ReceiveTest, CrLfEndsALineAndLfAloneEndsADroppedUnit) {
    f.Feed(Bytes("OK\r\n"));
    EXPECT_EQ(Lines(), std::vector<std::string>{"OK\r\n"});

    f.Feed(Bytes("OK\n"));  // complete at the LF, but no CR before it: dropped
    EXPECT_EQ(Lines().size(), 1u);
    ExpectIdle();

    f.Feed(Bytes("next\r\n"));
    EXPECT_EQ(Lines(), (std::vector<std::string>{"OK\r\n", "next\r\n"}));
    EXPECT_EQ(Frames(), 0u);
    EXPECT_TRUE(dlg().m_lineText.empty());
}

TEST_F(ReceiveTest, LfCrLineEndsAtItsLfAndTheCrStartsTheNextUnit) {
    f.Feed(Bytes("OK\n\r"));
    EXPECT_TRUE(Lines().empty());
    EXPECT_EQ(dlg().m_rxLen, 1);  // the CR waits as the first byte of the next unit

    f.Feed(Bytes("AB\r\n"));
    EXPECT_EQ(Lines(), std::vector<std::string>{"\rAB\r\n"});
}

TEST_F(ReceiveTest, LineEndTestComesBeforeTheFrameTest) {
    // A frame unit that ends in LF CR or CR LF at its declared length is a text line.
    const std::vector<uint8_t> lfcr = {0x04, 0x00, 0x06, 'a', '\n', '\r'};
    const std::vector<uint8_t> crlf = {0x04, 0x00, 0x06, 'b', '\r', '\n'};
    f.Feed(Join({lfcr, crlf}));
    EXPECT_EQ(Lines(), (std::vector<std::string>{std::string("\x04\x00\x06"
                                                             "a\n\r",
                                                             6),
                                                 std::string("\x04\x00\x06"
                                                             "b\r\n",
                                                             6)}));
    EXPECT_EQ(Frames(), 0u);
}

TEST_F(ReceiveTest, TextStartingWithFrameStartIsCollectedToItsDeclaredLength) {
    // Declares 10 bytes: the LF at [4] does not end the unit, the one at [9] does not either;
    // the declared length does, and the unit ends in CR LF, so it is one line of 10 bytes.
    const std::vector<uint8_t> unit = {0x04, 0x00, 0x0A, 'a', '\n', 'b', 'c', 'd', '\r', '\n'};
    f.Feed(std::vector<uint8_t>(unit.begin(), unit.begin() + 5));
    EXPECT_EQ(dlg().m_rxLen, 5);
    f.Feed(std::vector<uint8_t>(unit.begin() + 5, unit.end()));
    EXPECT_EQ(Lines(), std::vector<std::string>{std::string(unit.begin(), unit.end())});
    EXPECT_EQ(Frames(), 0u);
}

TEST_F(ReceiveTest, FirstUnitAfterOpenEndsAt250BytesAndLaterUnitsDoNot) {
    dlg().m_rxLen = 0;  // as Open leaves the receive state
    dlg().m_rxExpected = COrloDlg::RX_EXPECT_AFTER_OPEN;

    FeedChunked(f, std::vector<uint8_t>(250, 'A'));
    ExpectIdle();  // complete at the 250th byte, and dropped
    EXPECT_TRUE(Lines().empty());

    f.Feed(Bytes("B\r\n"));  // the 251st byte began a new unit
    EXPECT_EQ(Lines(), std::vector<std::string>{"B\r\n"});

    const std::string longLine = std::string(300, 'C') + "\r\n";
    FeedChunked(f, Bytes(longLine));
    EXPECT_EQ(Lines().size(), 2u);
    EXPECT_EQ(Lines().back(), longLine);
}

TEST_F(ReceiveTest, FirstUnitAfterOpenMayBeAFrame) {
    dlg().m_rxLen = 0;
    dlg().m_rxExpected = COrloDlg::RX_EXPECT_AFTER_OPEN;
    f.Feed(kAck);
    EXPECT_EQ(Frames(), 1u);
    EXPECT_EQ(dlg().m_retryCount, 0u);
}

TEST_F(ReceiveTest, UnlistedCodesAreConsumedSilentlyButSetTheBar) {
    dlg().m_progress = 42;
    for (uint8_t code : {0x01, 0x10, 0x13, 0x52, 0x99, 0xFF}) {
        SCOPED_TRACE(code);
        const std::size_t before = Frames();
        f.Feed(Frame(code, 11));
        EXPECT_EQ(Frames() - before, 1u);
        EXPECT_EQ(f.wnd().progressLog.back(), 42);
        ExpectIdle();
    }
    EXPECT_EQ(dlg().m_retryCount, kArmed);
    EXPECT_TRUE(Lines().empty());
    EXPECT_TRUE(f.wnd().boxes.empty());
}

TEST_F(ReceiveTest, BackToBackUnitsInOneNotificationAreHandledInOrder) {
    // ACK clears the armed count, the NAK after it raises it to 1; the other order gives 0.
    f.Feed(Join({Bytes("x\r\n"), kAck, kNak, Bytes("y\r\n")}));
    EXPECT_EQ(Frames(), 2u);
    EXPECT_EQ(dlg().m_retryCount, 1u);
    EXPECT_EQ(Lines(), (std::vector<std::string>{"x\r\n", "y\r\n"}));
    ExpectIdle();
}

TEST_F(ReceiveTest, EveryDrainRefreshesTheControlsEvenWhenEmpty) {
    dlg().m_status = "Changed";
    dlg().m_sweepMax = 1234;
    f.Feed({});
    EXPECT_EQ(f.wnd().GetControlText(IDC_STATUS), "Changed");
    EXPECT_EQ(f.wnd().GetControlText(IDC_SWEEP_MAX), "1234");
    EXPECT_EQ(f.wnd().SendMessage(WM_COMM_RX, 0, 0), 1);
}

TEST_F(ReceiveTest, ResetAfterAUnitClearsTheFieldsOfTheAccumulator) {
    f.Feed(Frame(0x99, 11, 0x77));
    EXPECT_EQ(dlg().m_rxFrame[2], 0);
    EXPECT_EQ(dlg().m_rxFrame[3], 0);
    EXPECT_EQ(dlg().m_rxFrame[4], 0);
    EXPECT_EQ(dlg().m_rxFrame[5], 0x77);  // the rest stays as received
    ExpectIdle();
}

TEST_F(ReceiveTest, OversizeFrameIsDroppedAtItsLengthFieldAndTheNextByteStartsAfresh) {
    for (uint16_t declared : {uint16_t{4108}, uint16_t{0x8000}, uint16_t{0xFFFF}}) {
        SCOPED_TRACE(declared);
        f.Feed({0x04, static_cast<uint8_t>(declared >> 8), static_cast<uint8_t>(declared)});
        ExpectIdle();
        dlg().m_retryCount = kArmed;
        const std::size_t before = Frames();
        f.Feed(kAck);
        EXPECT_EQ(Frames() - before, 1u);
        EXPECT_EQ(dlg().m_retryCount, 0u);
    }
    // What follows the length field of an oversize frame is collected by the ordinary rules.
    f.Feed(Join({{0x04, 0xFF, 0xFF}, Bytes("ab\r\n")}));
    EXPECT_EQ(Lines(), std::vector<std::string>{"ab\r\n"});
}

TEST_F(ReceiveTest, LargestFrameIsAccepted) {
    dlg().m_progress = 7;
    FeedChunked(f, Frame(0x99, FRAME_MAX_LEN));
    EXPECT_EQ(Frames(), 1u);
    EXPECT_EQ(f.wnd().progressLog.back(), 7);
    ExpectIdle();
}

TEST_F(ReceiveTest, UnitThatFillsTheAccumulatorWithoutCompletingIsDropped) {
    FeedChunked(f, std::vector<uint8_t>(FRAME_MAX_LEN, 'x'));
    ExpectIdle();
    f.Feed(Bytes("ok\r\n"));
    EXPECT_EQ(Lines(), std::vector<std::string>{"ok\r\n"});

    // A line whose LF is the 4107th byte completes before the bound applies.
    const std::string full = std::string(FRAME_MAX_LEN - 2, 'y') + "\r\n";
    FeedChunked(f, Bytes(full));
    ASSERT_EQ(Lines().size(), 2u);
    EXPECT_EQ(Lines().back(), full);

    // A frame unit ends at its declared length whatever arrives; one that does not end in
    // 0x03 there is dropped and the next byte starts afresh.
    FeedChunked(
        f,
        Join({{0x04, 0x10, 0x0B}, std::vector<uint8_t>(FRAME_MAX_LEN - 3, 'q'), Bytes("ok2\r\n")}));
    EXPECT_EQ(Lines().back(), "ok2\r\n");
    EXPECT_EQ(Frames(), 0u);
}

TEST_F(ReceiveTest, FrameDeclaringFewerThanFourBytesIsDroppedAtItsLengthField) {
    // A stale code 0x00 at [3] would clear the log list if such a unit were routed.
    f.Feed(Bytes("keep\r\n"));
    for (uint8_t declared = 0; declared <= 3; ++declared) {
        SCOPED_TRACE(static_cast<int>(declared));
        f.Feed({0x04, 0x00, declared});
        ExpectIdle();
        EXPECT_EQ(Frames(), 0u);
        EXPECT_EQ(Lines(), std::vector<std::string>{"keep\r\n"});
    }
    f.Feed(kAck);  // and the next unit is not swallowed
    EXPECT_EQ(Frames(), 1u);
    EXPECT_EQ(dlg().m_retryCount, 0u);
}

TEST_F(ReceiveTest, FramesOfFourToSixBytesAreHandledAsDeclared) {
    f.Feed({0x04, 0x00, 0x05, 0x06, 0x03});  // a five-byte ACK
    EXPECT_EQ(Frames(), 1u);
    EXPECT_EQ(dlg().m_retryCount, 0u);
    f.Feed({0x04, 0x00, 0x04, 0x03});  // response code 0x03: no consumer
    EXPECT_EQ(Frames(), 2u);
    f.Feed({0x04, 0x00, 0x06, 0x06, 0x00, 0x00});  // does not end in 0x03: dropped
    EXPECT_EQ(Frames(), 2u);
    ExpectIdle();
}

TEST_F(ReceiveTest, FramesTooShortForTheirConsumerAreNotHandedToIt) {
    // Check data: [8..23] are the check bytes, so 27 bytes at least.
    dlg().m_checkText.clear();
    f.Feed(Frame(CMD_CHECK, 26, 0x5A));
    EXPECT_TRUE(dlg().m_checkText.empty());
    f.Feed(Frame(CMD_CHECK, 27, 0x5A));
    EXPECT_FALSE(dlg().m_checkText.empty());

    // Sweep report: [4..7] are maximum and minimum, so 11 bytes at least.
    auto report = [](uint16_t length) {
        auto r = Frame(RSP_SWEEP_REPORT, length);
        r[4] = 0x07;  // maximum 2000
        r[5] = 0xD0;
        r[6] = 0x03;  // minimum 1000
        r[7] = 0xE8;
        if (length >= FRAME_MIN_LEN) SealFrame(r.data(), r.size());  // a device that fills it
        return r;
    };
    dlg().m_sweepMax = 0;
    f.Feed(report(10));
    EXPECT_EQ(dlg().m_sweepMax, 0);
    f.Feed(report(11));
    EXPECT_EQ(dlg().m_sweepMax, 2000);

    EXPECT_EQ(Frames(), 4u);  // all of them count as frames
}

TEST_F(ReceiveTest, ReadDataShorterThanAWholeBlockIsNotHandedOn) {
    const auto dir = test::MakeTempDir("orlo-receive-");
    ASSERT_FALSE(dir.empty());
    const auto path = dir / "short-read.bin";
    const auto file = CreateExclusive(path.string(), {});  // as the Save dialog's choice does
    ASSERT_TRUE(file);
    dlg().m_readBackPath = file->path;
    dlg().m_readBackId = file->id;
    dlg().m_readBackActive = true;
    dlg().m_txFrame[3] = 0x1A;  // the application's read request was the last frame sent
    dlg().m_imageBase = 0x3C3000;
    dlg().m_imageOffset = 0;
    dlg().m_imageSize = 2 * BLOCK_SIZE;

    FeedChunked(f, Frame(0x1A, FRAME_MAX_LEN - 1, 0x11));
    EXPECT_FALSE(std::filesystem::exists(path) && std::filesystem::file_size(path) > 0);
    // A whole block: the reply echoes the requested address and carries a valid CRC.
    auto whole = Frame(0x1A, FRAME_MAX_LEN, 0x22);
    const uint8_t address[] = {0x00, 0x3C, 0x30, 0x00};
    std::copy(std::begin(address), std::end(address), whole.begin() + 4);
    ASSERT_TRUE(SealFrame(whole.data(), whole.size()));
    FeedChunked(f, whole);
    ASSERT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(std::filesystem::file_size(path), BLOCK_SIZE);
    std::filesystem::remove_all(dir);
}

TEST_F(ReceiveTest, ConsumerErrorIsReportedAndTheNextUnitStartsClean) {
    // The NAK gives up with "Tx Error"; that box fails once, as an index-tested access would.
    dlg().m_retryCount = MAX_RESENDS;
    bool thrown = false;
    f.wnd().onMessageBox = [&](const RecordedBox& box) {
        if (!thrown && box.text == "Tx Error") {
            thrown = true;
            throw std::invalid_argument("Invalid argument.");
        }
    };
    PutInRing(dlg(), Join({kNak, kAck}));

    EXPECT_EQ(f.wnd().SendMessage(WM_COMM_RX, 0, 0), 0);
    ASSERT_EQ(f.wnd().boxes.size(), 2u);
    EXPECT_EQ(f.wnd().boxes[0].text, "Tx Error");
    EXPECT_EQ(f.wnd().boxes[1].text, "Invalid argument.");
    EXPECT_EQ(f.wnd().boxes[1].caption, "Orlo");
    EXPECT_EQ(f.wnd().boxes[1].type, MB_ICONHAND);
    ExpectIdle();

    // The ACK behind it stayed in the ring and is handled at the next notification.
    EXPECT_EQ(f.wnd().SendMessage(WM_COMM_RX, 0, 0), 1);
    EXPECT_EQ(dlg().m_retryCount, 0u);
    EXPECT_EQ(Frames(), 1u);
}

TEST_F(ReceiveTest, RingIndicesWrapByTheConsumerRule) {
    // 1000 bytes, then 80 more: stored at 1000..1023 and 0..55; both indices end at 56.
    FeedChunked(f, std::vector<uint8_t>(1000, 'z'), 1000);
    EXPECT_EQ(dlg().m_comm.m_rxHead, 1000);
    f.Feed(Join({std::vector<uint8_t>(71, 'z'), Bytes("\r\n"), kAck}));
    EXPECT_EQ(dlg().m_comm.m_rxTail, 56);
    EXPECT_EQ(dlg().m_comm.m_rxHead, 56);
    EXPECT_EQ(Lines(), std::vector<std::string>{std::string(1071, 'z') + "\r\n"});
    EXPECT_EQ(Frames(), 1u);
}

}  // namespace
}  // namespace orlo::test
