// Frames on the wire: SendFrame seals the CRC into the transmit buffer and hands the bytes to
// the port; what the device end of a pseudo-terminal receives is compared byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "app/OrloDlg.h"
#include "posix/PosixSerial.h"
#include "serial/SerialTestKit.h"
#include "support/Pty.h"

namespace orlo::test {
namespace {

using Bytes = std::vector<uint8_t>;

struct WireCase {
    const char* what;
    Bytes frame;  // as the device must receive it
};

// The frame as a sender builds it: every byte but the two CRC bytes, which still hold junk.
Bytes Unsealed(Bytes frame) {
    frame[frame.size() - 3] = 0xEE;
    frame[frame.size() - 2] = 0xEE;
    return frame;
}

Bytes FirstApplicationWriteBlock() {
    Bytes frame(4107, 0xFF);
    const Bytes head{0x04, 0x10, 0x0B, 0x11, 0x00, 0x3C, 0x30, 0x00};
    std::copy(head.begin(), head.end(), frame.begin());
    frame[4104] = 0xFB;
    frame[4105] = 0xB7;
    frame[4106] = 0x03;
    return frame;
}

const std::vector<WireCase>& WorkedExamples() {
    static const std::vector<WireCase> cases{
        {"start, application", {0x04, 0x00, 0x07, 0x10, 0xC2, 0x63, 0x03}},
        {"start, voice", {0x04, 0x00, 0x07, 0x20, 0xC2, 0xC3, 0x03}},
        {"start, map", {0x04, 0x00, 0x07, 0x30, 0x42, 0xA0, 0x03}},
        {"start, user", {0x04, 0x00, 0x07, 0x40, 0xC3, 0x83, 0x03}},
        {"finish", {0x04, 0x00, 0x07, 0x13, 0xC2, 0x69, 0x03}},
        {"sweep query", {0x04, 0x00, 0x07, 0x50, 0x43, 0xE0, 0x03}},
        {"read first application block",
         {0x04, 0x00, 0x0B, 0x1A, 0x00, 0x3C, 0x30, 0x00, 0xAF, 0x92, 0x03}},
        {"read first voice block",
         {0x04, 0x00, 0x0B, 0x2A, 0x00, 0x00, 0x00, 0x00, 0x04, 0x22, 0x03}},
        {"read first map block",
         {0x04, 0x00, 0x0B, 0x3A, 0x00, 0x1F, 0x40, 0x00, 0x82, 0x28, 0x03}},
        {"read first user block",
         {0x04, 0x00, 0x0B, 0x4A, 0x00, 0x3C, 0x20, 0x00, 0x56, 0x11, 0x03}},
        {"read check block", {0x04, 0x00, 0x0B, 0x1B, 0x00, 0x3F, 0xE0, 0x00, 0xCF, 0xD9, 0x03}},
        {"sweep set",
         {0x04, 0x00, 0x0F, 0x52, 0x08, 0x00, 0x04, 0x00, 0x4E, 0x20, 0x00, 0x28, 0xE9, 0xA3,
          0x03}},
        {"first application write block", FirstApplicationWriteBlock()},
    };
    return cases;
}

// A dialog whose port is the slave side of a pseudo-terminal.
class SendFrameOnTheWire : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok()) << pty.error();
        table = TableFor({{"COM3", pty.SlavePath()}});
        OrloEnvironment env;
        env.window = &rx.window;
        env.serial = &backend;
        env.ports = &table;
        dlg = std::make_unique<COrloDlg>(env);
        rx.Attach(dlg->m_comm);
        SetDeviceLine(dlg->m_comm, 3);
        ASSERT_TRUE(dlg->m_comm.OpenPort()) << dlg->m_comm.LastOpenResult().message;
    }
    ~SendFrameOnTheWire() override {
        rx.window.Destroy();
        dlg.reset();
    }

    // Builds `frame` in the transmit buffer as a sender does and sends it.
    void Send(const Bytes& frame) {
        std::copy(frame.begin(), frame.end(), dlg->m_txFrame.begin());
        dlg->m_txLen = static_cast<int32_t>(frame.size());
        dlg->SendFrame(static_cast<int>(frame.size()));
    }

    Pty pty;
    FakePortTable table;
    PosixSerialBackend backend{&table};
    RxWindow rx;
    std::unique_ptr<COrloDlg> dlg;
};

TEST_F(SendFrameOnTheWire, WorkedExamplesGoOutByteForByte) {
    for (const WireCase& c : WorkedExamples()) {
        SCOPED_TRACE(c.what);
        Send(Unsealed(c.frame));
        EXPECT_TRUE(pty.Read(c.frame.size()) == c.frame);
        // The buffer keeps the sealed frame, so a resend writes the same bytes again.
        EXPECT_TRUE(std::equal(c.frame.begin(), c.frame.end(), dlg->m_txFrame.begin()));
        dlg->SendFrame(dlg->m_txLen);
        EXPECT_TRUE(pty.Read(c.frame.size()) == c.frame);
    }
}

TEST_F(SendFrameOnTheWire, TheTestStringGoesOutWithoutACrcAndLeavesTheFrameLength) {
    const Bytes readCheck = WorkedExamples()[10].frame;  // 11 bytes
    Send(readCheck);
    ASSERT_EQ(pty.Read(readCheck.size()), readCheck);

    dlg->OnTestTx();
    EXPECT_EQ(pty.Read(8), (Bytes{0x48, 0x65, 0x6C, 0x6C, 0x6F, 0x77, 0x0D, 0x0A}));
    EXPECT_EQ(dlg->m_txLen, 11);
    // Past the text the buffer still holds the last frame, its CRC untouched.
    EXPECT_TRUE(std::equal(readCheck.begin() + 8, readCheck.end(), dlg->m_txFrame.begin() + 8));
}

TEST_F(SendFrameOnTheWire, AFrameWhoseLengthFieldOrLengthIsOutOfRangeGetsNoCrc) {
    struct BadCase {
        const char* what;
        uint8_t lengthHigh, lengthLow;
        int32_t txLen;
    };
    const BadCase cases[] = {
        {"length field 5", 0x00, 0x05, 7},    {"length field 0", 0x00, 0x00, 7},
        {"length field 4108", 0x10, 0x0C, 7}, {"length field 0xFFFF", 0xFF, 0xFF, 7},
        {"m_txLen 2", 0x00, 0x07, 2},         {"m_txLen -5", 0x00, 0x07, -5},
        {"m_txLen 4108", 0x00, 0x07, 4108},
    };
    for (const BadCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::fill(dlg->m_txFrame.begin(), dlg->m_txFrame.end(), uint8_t{0xEE});
        const Bytes frame{0x04, c.lengthHigh, c.lengthLow, 0x10, 0xEE, 0xEE, 0x03};
        std::copy(frame.begin(), frame.end(), dlg->m_txFrame.begin());
        dlg->m_txLen = c.txLen;
        dlg->SendFrame(7);
        EXPECT_EQ(pty.Read(7), frame);
        EXPECT_TRUE(std::all_of(dlg->m_txFrame.begin() + 7, dlg->m_txFrame.end(),
                                [](uint8_t b) { return b == 0xEE; }));
    }
}

TEST_F(SendFrameOnTheWire, ACountOutsideTheBufferSendsNothing) {
    const Bytes start = WorkedExamples()[0].frame;
    std::copy(start.begin(), start.end(), dlg->m_txFrame.begin());
    dlg->m_txLen = 7;
    dlg->SendFrame(4108);
    dlg->SendFrame(-1);
    dlg->SendFrame(0);
    // The first bytes the device sees are those of the next good send.
    const Bytes finish = WorkedExamples()[4].frame;
    Send(Unsealed(finish));
    EXPECT_EQ(pty.Read(7), finish);
}

TEST_F(SendFrameOnTheWire, EverySendClearsTheFirstSevenReceivedBytes) {
    std::fill(dlg->m_rxFrame.begin(), dlg->m_rxFrame.end(), uint8_t{0xAA});
    Send(Unsealed(WorkedExamples()[5].frame));
    EXPECT_TRUE(std::all_of(dlg->m_rxFrame.begin(), dlg->m_rxFrame.begin() + 7,
                            [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(dlg->m_rxFrame[7], 0xAA);

    std::fill(dlg->m_rxFrame.begin(), dlg->m_rxFrame.begin() + 7, uint8_t{0xAA});
    dlg->OnTestTx();
    EXPECT_TRUE(std::all_of(dlg->m_rxFrame.begin(), dlg->m_rxFrame.begin() + 7,
                            [](uint8_t b) { return b == 0; }));
    pty.Read(7 + 8);
}

TEST(SendFrameClosed, AFrameSentWithNoPortOpenIsLostQuietlyButStillSealed) {
    EventLoop loop;
    ScriptedWindow window(loop);
    FakeSerialBackend backend;
    FakePortTable table;
    OrloEnvironment env;
    env.window = &window;
    env.serial = &backend;
    env.ports = &table;
    COrloDlg dlg(env);
    const Bytes finish = WorkedExamples()[4].frame;
    std::copy(finish.begin(), finish.end(), dlg.m_txFrame.begin());
    dlg.m_txFrame[4] = dlg.m_txFrame[5] = 0;
    dlg.m_txLen = 7;
    dlg.m_rxFrame[0] = 0x55;
    dlg.SendFrame(7);
    EXPECT_TRUE(std::equal(finish.begin(), finish.end(), dlg.m_txFrame.begin()));
    EXPECT_EQ(dlg.m_rxFrame[0], 0);
    EXPECT_EQ(backend.last, nullptr);
    window.Destroy();
}

}  // namespace
}  // namespace orlo::test
