// The device's injected faults, one by one and together.
#include <gtest/gtest.h>

#include "Wire.h"
#include "devsim/Device.h"

namespace orlo::devsim::test {
namespace {

DeviceOptions With(const Faults& f) {
    DeviceOptions o;
    o.faults = f;
    return o;
}

TEST(FaultNak, TheNthFrameAndItsResendsAreRefusedUntilTheCountIsSpent) {
    Faults f;
    f.nakFrame = 2;
    f.nakCount = 3;
    Device dev(With(f));
    const auto block = BlockFrame(0x41, 0x3C2000, Pattern(1));
    EXPECT_EQ(dev.Feed(Frame(0x40, {})), kAck);
    EXPECT_EQ(dev.Feed(block), kNak);  // frame 2
    EXPECT_EQ(dev.Feed(block), kNak);  // first resend
    EXPECT_EQ(dev.ReadFlash(0x3C2000, 1), Hex("FF")) << "a NAKed write must not be stored";
    EXPECT_EQ(dev.Feed(block), kNak);  // second resend: three NAKs in all
    EXPECT_EQ(dev.Feed(block), kAck);
    EXPECT_EQ(dev.ReadFlash(0x3C2000, 4096), Pattern(1));
    EXPECT_EQ(dev.Stats().naks, 3u);
}

TEST(FaultNak, ADifferentFrameEndsTheRunAndOnlyTheNthFrameStartsIt) {
    Faults f;
    f.nakFrame = 1;
    f.nakCount = 5;
    Device dev(With(f));
    EXPECT_EQ(dev.Feed(kStartApplication), kNak);
    EXPECT_EQ(dev.Feed(Hex("04 00 07 13 C2 69 03")), kAck);  // another frame
    EXPECT_EQ(dev.Feed(kStartApplication), kAck);            // the run is over

    Faults once;
    once.nakFrame = 2;
    Device dev2(With(once));
    EXPECT_EQ(dev2.Feed(kStartApplication), kAck);
    EXPECT_EQ(dev2.Feed(kStartApplication), kNak);
    EXPECT_EQ(dev2.Feed(kStartApplication), kAck);
}

TEST(FaultSilent, TheNthFrameIsNeitherAnsweredNorActedOn) {
    Faults f;
    f.silentFrame = 2;
    Device dev(With(f));
    const auto block = BlockFrame(0x41, 0x3C2000, Pattern(2));
    EXPECT_EQ(dev.Feed(Frame(0x40, {})), kAck);
    const auto ex = dev.FeedFrames(block.data(), block.size());
    ASSERT_EQ(ex.size(), 1u);
    EXPECT_EQ(ex[0].frame, block);
    EXPECT_TRUE(ex[0].out.empty());
    EXPECT_EQ(dev.ReadFlash(0x3C2000, 1), Hex("FF"));
    EXPECT_EQ(dev.Feed(block), kAck);  // the tool's next frame is answered again
    const DeviceStats s = dev.Stats();
    EXPECT_EQ(s.frames, 3u);
    EXPECT_EQ(s.silenced, 1u);
}

TEST(FaultCorrupt, OneByteOfTheNthReplyIsInverted) {
    Faults f;
    f.corruptFrame = 2;
    f.corruptOffset = 3;
    Device dev(With(f));
    EXPECT_EQ(dev.Feed(kStartApplication), kAck);
    EXPECT_EQ(dev.Feed(kStartApplication), Hex("04 00 07 F9 42 14 03"));
    EXPECT_EQ(dev.Feed(kStartApplication), kAck);

    // Inside a read-data reply: the first data byte.
    f.corruptFrame = 1;
    f.corruptOffset = 8;
    Device reader(With(f));
    const auto reply = reader.Feed(ReadRequest(0x4A, 0x3C2000));
    ASSERT_EQ(reply.size(), 4107u);
    EXPECT_EQ(reply[8], 0x00);
    EXPECT_EQ(reply[9], 0xFF);

    // An offset beyond the reply leaves it alone.
    f.corruptOffset = 7;
    Device beyond(With(f));
    EXPECT_EQ(beyond.Feed(kStartApplication), kAck);
}

TEST(FaultLineBeforeReply, EveryReplyIsPrecededByTheLine) {
    Faults f;
    f.lineBeforeReply = "DBG busy";
    Device dev(With(f));
    const auto line = Bytes("DBG busy\r\n");
    EXPECT_EQ(dev.Feed(kStartApplication), Cat(line, kAck));
    EXPECT_EQ(dev.Feed(Hex("04 00 07 10 00 00 03")), Cat(line, kNak));
    EXPECT_EQ(dev.Feed(Hex("04 00 07 50 43 E0 03")),
              Cat(line, Hex("04 00 0B 51 07 D0 03 E8 7B DA 03")));
}

TEST(FaultHangUp, TheNthFrameIsAnsweredAndNothingAfterIt) {
    Faults f;
    f.hangUpAfter = 2;
    Device dev(With(f));
    const auto three = Cat(Cat(kStartApplication, kStartApplication), kStartApplication);
    const auto ex = dev.FeedFrames(three.data(), three.size());
    ASSERT_EQ(ex.size(), 2u);
    EXPECT_FALSE(ex[0].hangUp);
    EXPECT_TRUE(ex[1].hangUp);
    EXPECT_EQ(ex[1].out, std::vector<std::vector<uint8_t>>{kAck});
    EXPECT_TRUE(dev.HungUp());
    EXPECT_TRUE(dev.Feed(kStartApplication).empty());
    EXPECT_EQ(dev.Stats().frames, 2u);
}

TEST(FaultOversize, AFrameDeclaring65535BytesGoesAheadOfTheNthReply) {
    Faults f;
    f.oversizeFrame = 1;
    Device dev(With(f));
    const auto ex = dev.FeedFrames(kStartApplication.data(), kStartApplication.size());
    ASSERT_EQ(ex.size(), 1u);
    ASSERT_EQ(ex[0].out.size(), 2u);
    const auto& big = ex[0].out[0];
    ASSERT_EQ(big.size(), 65535u);
    EXPECT_EQ(std::vector<uint8_t>(big.begin(), big.begin() + 5), Hex("04 FF FF EE 0A"));
    EXPECT_EQ(std::vector<uint8_t>(big.end() - 4, big.end()), Hex("0A BB 6D 03"));
    for (std::size_t i = 4; i < big.size() - 3; ++i)
        ASSERT_EQ(big[i], 0x0A) << "payload byte " << i;
    EXPECT_EQ(ex[0].out[1], kAck);
    EXPECT_EQ(dev.Feed(kStartApplication), kAck);  // only ahead of the n-th reply
}

TEST(FaultCombined, OversizeLineAndCorruptionOnOneFrameComeInThatOrder) {
    Faults f;
    f.oversizeFrame = 1;
    f.lineBeforeReply = "x";
    f.corruptFrame = 1;
    f.corruptOffset = 6;
    Device dev(With(f));
    const auto ex = dev.FeedFrames(kStartApplication.data(), kStartApplication.size());
    ASSERT_EQ(ex.size(), 1u);
    ASSERT_EQ(ex[0].out.size(), 3u);
    EXPECT_EQ(ex[0].out[0].size(), 65535u);
    EXPECT_EQ(ex[0].out[1], Bytes("x\r\n"));
    EXPECT_EQ(ex[0].out[2], Hex("04 00 07 06 42 14 FC"));
}

// A stray frame goes ahead of the n-th reply, shaped as the device sends its code; the late
// answer is marked on its exchange for the line to carry out; the finish frame may be a restart.
TEST(FaultImpolite, StrayFramesLateAnswersAndARestartOnFinish) {
    const auto checkBytes = Hex("00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F");
    const auto userBlock = Pattern(9);
    struct Case {
        uint8_t code;
        std::vector<uint8_t> stray;
    };
    const std::vector<Case> cases = {
        {0x77, Frame(0x77, {})},
        {0x51, Frame(0x51, Hex("07 D0 03 E8"))},
        {0x1B, Frame(0x1B, Cat(Address(0x3FE000), checkBytes))},
        {0x4A, BlockFrame(0x4A, 0x3C2000, userBlock)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.code));
        Faults f;
        f.strayFrame = 2;
        f.strayCode = c.code;
        f.lateFrames = {2, 3};
        f.lateMs = 250;
        Device dev(With(f));
        dev.WriteFlash(0x3FE000, checkBytes);
        dev.WriteFlash(0x3C2000, userBlock);
        EXPECT_EQ(dev.StrayFrame(c.code), c.stray);
        const auto frames = Cat(Cat(kStartApplication, kStartApplication), kStartApplication);
        const auto ex = dev.FeedFrames(frames.data(), frames.size());
        ASSERT_EQ(ex.size(), 3u);
        EXPECT_EQ(ex[0].out, std::vector<std::vector<uint8_t>>{kAck});
        EXPECT_EQ(ex[1].out, (std::vector<std::vector<uint8_t>>{c.stray, kAck}));
        EXPECT_EQ(ex[2].out, std::vector<std::vector<uint8_t>>{kAck});
        EXPECT_EQ(std::vector<uint32_t>({ex[0].lateMs, ex[1].lateMs, ex[2].lateMs}),
                  std::vector<uint32_t>({0, 250, 250}));
    }

    Faults restart;
    restart.restartOnFinish = true;
    Device dev(With(restart));
    EXPECT_EQ(dev.Feed(BlockFrame(0x11, 0x3C3000, Pattern(3))), kAck);
    EXPECT_TRUE(dev.Feed(Hex("04 00 07 13 C2 69 03")).empty());
    EXPECT_EQ(dev.ReadFlash(0x3C3000, 4096), Pattern(3)) << "the flash is kept";
    EXPECT_EQ(dev.Feed(kStartApplication), kAck);
    EXPECT_EQ(dev.Stats().restarts, 1u);
}

TEST(FaultSwitching, FaultsCanBeChangedWhileTheDeviceRuns) {
    Device dev;
    EXPECT_EQ(dev.Feed(kStartApplication), kAck);
    Faults f;
    f.nakFrame = 2;
    dev.SetFaults(f);
    EXPECT_EQ(dev.GetFaults().nakFrame, 2u);
    EXPECT_EQ(dev.Feed(kStartApplication), kNak);
    dev.SetFaults(Faults{});
    EXPECT_EQ(dev.Feed(kStartApplication), kAck);
}

}  // namespace
}  // namespace orlo::devsim::test
