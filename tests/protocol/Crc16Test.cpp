#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/Crc16.h"
#include "protocol/Protocol.h"

namespace orlo {
namespace {

TEST(Crc16, CheckValueOfDigits) {
    const std::string digits = "123456789";
    EXPECT_EQ(0xFEE8, Crc16Bytes(reinterpret_cast<const uint8_t*>(digits.data()), digits.size()));
}

TEST(Crc16, TableEntries) {
    EXPECT_EQ(0x0000, kCrc16Table[0]);
    EXPECT_EQ(0x8005, kCrc16Table[1]);
    EXPECT_EQ(0x0202, kCrc16Table[255]);
}

struct FrameCase {
    const char* name;
    std::vector<uint8_t> bytes;  // the complete frame as it goes on the wire
};

class WorkedFrames : public ::testing::TestWithParam<FrameCase> {};

// Sealing the frame with its CRC bytes and end byte cleared reproduces the wire bytes.
TEST_P(WorkedFrames, SealReproducesWireBytes) {
    auto frame = GetParam().bytes;
    const auto n = frame.size();
    frame[n - 3] = frame[n - 2] = frame[n - 1] = 0;
    ASSERT_TRUE(SealFrame(frame.data(), frame.size()));
    EXPECT_EQ(GetParam().bytes, frame);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, WorkedFrames,
    ::testing::Values(
        FrameCase{"StartApplication", {0x04, 0x00, 0x07, 0x10, 0xC2, 0x63, 0x03}},
        FrameCase{"StartVoice", {0x04, 0x00, 0x07, 0x20, 0xC2, 0xC3, 0x03}},
        FrameCase{"StartMap", {0x04, 0x00, 0x07, 0x30, 0x42, 0xA0, 0x03}},
        FrameCase{"StartUser", {0x04, 0x00, 0x07, 0x40, 0xC3, 0x83, 0x03}},
        FrameCase{"Finish", {0x04, 0x00, 0x07, 0x13, 0xC2, 0x69, 0x03}},
        FrameCase{"SweepQuery", {0x04, 0x00, 0x07, 0x50, 0x43, 0xE0, 0x03}},
        FrameCase{"ReadApplication",
                  {0x04, 0x00, 0x0B, 0x1A, 0x00, 0x3C, 0x30, 0x00, 0xAF, 0x92, 0x03}},
        FrameCase{"ReadVoice", {0x04, 0x00, 0x0B, 0x2A, 0x00, 0x00, 0x00, 0x00, 0x04, 0x22, 0x03}},
        FrameCase{"ReadMap", {0x04, 0x00, 0x0B, 0x3A, 0x00, 0x1F, 0x40, 0x00, 0x82, 0x28, 0x03}},
        FrameCase{"ReadUser", {0x04, 0x00, 0x0B, 0x4A, 0x00, 0x3C, 0x20, 0x00, 0x56, 0x11, 0x03}},
        FrameCase{"Check", {0x04, 0x00, 0x0B, 0x1B, 0x00, 0x3F, 0xE0, 0x00, 0xCF, 0xD9, 0x03}},
        FrameCase{"SweepSet",
                  {0x04, 0x00, 0x0F, 0x52, 0x08, 0x00, 0x04, 0x00, 0x4E, 0x20, 0x00, 0x28, 0xE9,
                   0xA3, 0x03}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Crc16, FirstApplicationWriteBlockOfFF) {
    std::vector<uint8_t> frame(FRAME_MAX_LEN, 0xFF);
    const uint8_t head[] = {0x04, 0x10, 0x0B, 0x11, 0x00, 0x3C, 0x30, 0x00};
    std::copy(std::begin(head), std::end(head), frame.begin());
    ASSERT_TRUE(SealFrame(frame.data(), frame.size()));
    EXPECT_EQ(0xFB, frame[4104]);
    EXPECT_EQ(0xB7, frame[4105]);
    EXPECT_EQ(0x03, frame[4106]);
}

TEST(Crc16, RefusesLengthFieldsOutsideTheFrameRange) {
    for (unsigned length : {0u, 1u, 2u, 3u, 6u, 4108u, 65535u}) {
        std::vector<uint8_t> frame(FRAME_MAX_LEN, 0xAA);
        frame[0] = FRAME_START;
        frame[1] = static_cast<uint8_t>(length >> 8);
        frame[2] = static_cast<uint8_t>(length);
        const auto before = frame;
        bool ok = true;
        Crc16(frame.data(), frame.size(), &ok);
        EXPECT_FALSE(ok) << length;
        EXPECT_FALSE(SealFrame(frame.data(), frame.size())) << length;
        EXPECT_EQ(before, frame) << length;
    }
}

}  // namespace
}  // namespace orlo
