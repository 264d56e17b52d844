// Line-time arithmetic of the paced pseudo-terminal and the wire trace's text, as pure functions.
#include <gtest/gtest.h>

#include "Wire.h"
#include "devsim/LinePacer.h"
#include "devsim/Trace.h"

namespace orlo::devsim::test {
namespace {

using std::chrono::nanoseconds;

TEST(WireTime, TenBitsPerByteRoundedUpToWholeNanoseconds) {
    struct Case {
        uint64_t bytes;
        uint32_t baud;
        int64_t ns;
    };
    const Case cases[] = {
        {1, 115200, 86806},               // 86805.6 ns
        {11, 115200, 954862},             // 954861.1 ns
        {4107, 115200, 356510417},        // one write block: 356.51 ms
        {11520, 115200, 1000000000},      // exactly one second
        {4194304, 115200, 364088888889},  // the whole flash, beyond 2^32 ns
        {14, 1200, 116666667},
        {0, 115200, 0},
        {4107, 0, 0},  // unpaced
    };
    for (const Case& c : cases)
        EXPECT_EQ(WireTime(c.bytes, c.baud), nanoseconds(c.ns))
            << c.bytes << " bytes at " << c.baud;
}

TEST(WriteChunk, AboutOneMillisecondOfLineTimeBytewiseOrAllAtOnce) {
    EXPECT_EQ(WriteChunk(115200, false, 4107), 11u);
    EXPECT_EQ(WriteChunk(921600, false, 4107), 92u);
    EXPECT_EQ(WriteChunk(1200, false, 7), 1u);  // less than a byte per ms
    EXPECT_EQ(WriteChunk(0, false, 4107), 4107u);
    EXPECT_EQ(WriteChunk(0, false, 0), 1u);
    EXPECT_EQ(WriteChunk(0, true, 4107), 1u);
    EXPECT_EQ(WriteChunk(115200, true, 4107), 1u);
}

TEST(LinePacer, BytesQueueBehindEachOtherAndAnIdleLineStartsAtOnce) {
    const LineClock::time_point t0{std::chrono::seconds(100)};
    LinePacer line(115200);
    // 11 bytes handed over at t0 have crossed 954862 ns later.
    EXPECT_EQ(line.Schedule(t0, 11), t0 + nanoseconds(954862));
    // 11 more handed over at the same moment wait for the line.
    EXPECT_EQ(line.Schedule(t0, 11), t0 + nanoseconds(2 * 954862));
    // Handed over while the line is still busy: after the earlier bytes.
    EXPECT_EQ(line.Schedule(t0 + nanoseconds(1000000), 1), t0 + nanoseconds(2 * 954862 + 86806));
    // After a pause the line is idle: the time counts from the hand-over.
    const auto later = t0 + std::chrono::seconds(1);
    EXPECT_EQ(line.Schedule(later, 7), later + nanoseconds(607639));

    LinePacer unpaced(0);
    EXPECT_EQ(unpaced.Schedule(t0, 4107), t0);
}

TEST(FormatTrace, HexPerFrameTextForLinesShortenedWhenLong) {
    EXPECT_EQ(FormatTrace(Direction::ToDevice, kStartApplication, 48), "in  04 00 07 10 C2 63 03");
    EXPECT_EQ(FormatTrace(Direction::FromDevice, kAck, 0), "out 04 00 07 06 42 14 03");
    EXPECT_EQ(FormatTrace(Direction::FromDevice, Bytes("OK\"\x01\r\n"), 0),
              "out 4F 4B 22 01 0D 0A  \"OK\\x22\\x01\\r\\n\"");

    auto block = BlockFrame(0x11, 0x3C3000, std::vector<uint8_t>(4096, 0xFF));
    EXPECT_EQ(FormatTrace(Direction::ToDevice, block, 16),
              "in  04 10 0B 11 00 3C 30 00 .. FF FF FF FF FF FB B7 03 (4107 bytes)");
    EXPECT_EQ(FormatTrace(Direction::ToDevice, block, 0).size(), 3 + 3 * 4107u);
}

}  // namespace
}  // namespace orlo::devsim::test
