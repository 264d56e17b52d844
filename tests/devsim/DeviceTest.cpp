// The simulated device's answers, checked against literal wire bytes.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "Wire.h"
#include "devsim/Device.h"

namespace orlo::devsim::test {
namespace {

// The test's own CRC and block builder must agree with the worked examples before anything
// built with them is trusted.
TEST(WireHelpers, AgreeWithPublishedValuesAndWorkedExamples) {
    const std::string digits = "123456789";
    EXPECT_EQ(BitCrc16(reinterpret_cast<const uint8_t*>(digits.data()), digits.size()), 0xFEE8);
    EXPECT_EQ(Frame(0x10, {}), kStartApplication);
    EXPECT_EQ(ReadRequest(0x1A, 0x3C3000), Hex("04 00 0B 1A 00 3C 30 00 AF 92 03"));

    const auto block = BlockFrame(0x11, 0x3C3000, std::vector<uint8_t>(4096, 0xFF));
    ASSERT_EQ(block.size(), 4107u);
    EXPECT_EQ(std::vector<uint8_t>(block.begin(), block.begin() + 9),
              Hex("04 10 0B 11 00 3C 30 00 FF"));
    EXPECT_EQ(std::vector<uint8_t>(block.end() - 4, block.end()), Hex("FF FB B7 03"));
}

struct Literal {
    const char* name;
    const char* request;
    const char* reply;
};

class LiteralExchange : public ::testing::TestWithParam<Literal> {};

TEST_P(LiteralExchange, AnswersWithTheseBytes) {
    Device dev;
    EXPECT_EQ(dev.Feed(Hex(GetParam().request)), Hex(GetParam().reply));
}

INSTANTIATE_TEST_SUITE_P(
    WorkedExamples, LiteralExchange,
    ::testing::Values(
        Literal{"StartApplication", "04 00 07 10 C2 63 03", "04 00 07 06 42 14 03"},
        Literal{"StartVoice", "04 00 07 20 C2 C3 03", "04 00 07 06 42 14 03"},
        Literal{"StartMap", "04 00 07 30 42 A0 03", "04 00 07 06 42 14 03"},
        Literal{"StartUser", "04 00 07 40 C3 83 03", "04 00 07 06 42 14 03"},
        Literal{"Finish", "04 00 07 13 C2 69 03", "04 00 07 06 42 14 03"},
        // Before any sweep set the device reports its defaults, maximum 2000 and minimum 1000.
        Literal{"SweepQuery", "04 00 07 50 43 E0 03", "04 00 0B 51 07 D0 03 E8 7B DA 03"},
        // The check block of an erased flash.
        Literal{"CheckErased", "04 00 0B 1B 00 3F E0 00 CF D9 03",
                "04 00 1B 1B 00 3F E0 00 FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF 68 10 03"},
        // Bad CRC, wrong end byte.
        Literal{"BadCrc", "04 00 07 10 C2 64 03", "04 00 07 15 C2 7D 03"},
        Literal{"BadEndByte", "04 00 07 10 C2 63 02", "04 00 07 15 C2 7D 03"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DeviceCheck, ReplyCarriesTheSixteenFlashBytesAt3FE000) {
    Device dev;
    ASSERT_TRUE(dev.WriteFlash(0x3FE000, Hex("00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F")));
    EXPECT_EQ(dev.Feed(Hex("04 00 0B 1B 00 3F E0 00 CF D9 03")),
              Hex("04 00 1B 1B 00 3F E0 00 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F "
                  "15 5D 03"));
}

TEST(DeviceSweep, SetExampleIsAckedStoredAndReportedBack) {
    Device dev;
    EXPECT_EQ(dev.Feed(Hex("04 00 0F 52 08 00 04 00 4E 20 00 28 E9 A3 03")), kAck);
    const SweepSettings s = dev.Sweep();
    EXPECT_EQ(s.max, 0x0800);
    EXPECT_EQ(s.min, 0x0400);
    EXPECT_EQ(s.tm, 20000);
    EXPECT_EQ(s.timeMs, 40);
    EXPECT_EQ(dev.Feed(Hex("04 00 07 50 43 E0 03")), Hex("04 00 0B 51 08 00 04 00 A9 EA 03"));
}

// The read requests of the worked examples: code and address echoed, the flash's 4096 bytes,
// a CRC the receiver can check, end byte.
TEST(DeviceRead, WorkedExampleRequestsReturnTheFlashBlock) {
    struct Case {
        const char* request;
        uint8_t code;
        uint32_t address;
    };
    const Case cases[] = {
        {"04 00 0B 1A 00 3C 30 00 AF 92 03", 0x1A, 0x3C3000},
        {"04 00 0B 2A 00 00 00 00 04 22 03", 0x2A, 0x000000},
        {"04 00 0B 3A 00 1F 40 00 82 28 03", 0x3A, 0x1F4000},
        {"04 00 0B 4A 00 3C 20 00 56 11 03", 0x4A, 0x3C2000},
        {"04 00 0B 1A 00 3C 40 00 8F 94 03", 0x1A, 0x3C4000},
        {"04 00 0B 2A 00 1F 30 00 25 AD 03", 0x2A, 0x1F3000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        Device dev;
        const auto data = Pattern(c.address >> 12);
        ASSERT_TRUE(dev.WriteFlash(c.address, data));
        const auto reply = dev.Feed(Hex(c.request));
        ASSERT_EQ(reply.size(), 4107u);
        const std::vector<uint8_t> head = {0x04, 0x10, 0x0B, c.code};
        EXPECT_EQ(std::vector<uint8_t>(reply.begin(), reply.begin() + 4), head);
        EXPECT_EQ(std::vector<uint8_t>(reply.begin() + 4, reply.begin() + 8), Address(c.address));
        EXPECT_EQ(std::vector<uint8_t>(reply.begin() + 8, reply.begin() + 4104), data);
        const uint16_t crc = BitCrc16(reply.data(), 4104);
        EXPECT_EQ(reply[4104], crc >> 8);
        EXPECT_EQ(reply[4105], crc & 0xFF);
        EXPECT_EQ(reply[4106], 0x03);
    }
}

TEST(DeviceRead, ErasedFirstApplicationBlockHasTheseEnds) {
    Device dev;
    const auto reply = dev.Feed(Hex("04 00 0B 1A 00 3C 30 00 AF 92 03"));
    ASSERT_EQ(reply.size(), 4107u);
    EXPECT_EQ(std::vector<uint8_t>(reply.begin(), reply.begin() + 9),
              Hex("04 10 0B 1A 00 3C 30 00 FF"));
    EXPECT_EQ(std::vector<uint8_t>(reply.end() - 4, reply.end()), Hex("FF 7D 24 03"));
}

struct RegionCase {
    const char* name;
    uint8_t family;
    uint32_t base;
    uint32_t size;
};

// Region map of the device, written out here rather than taken from the tool's table.
const RegionCase kRegions[] = {
    {"Application", 0x10, 0x3C3000, 241664},
    {"Voice", 0x20, 0x000000, 2048000},
    {"Map", 0x30, 0x1F4000, 1892352},
    {"User", 0x40, 0x3C2000, 4096},
};

TEST(DeviceRoundTrip, WriteVerifyReadFirstAndLastBlockOfEveryRegion) {
    for (const RegionCase& r : kRegions) {
        for (const uint32_t address : {r.base, r.base + r.size - 4096}) {
            SCOPED_TRACE(std::string(r.name) + " block at " + std::to_string(address));
            Device dev;
            const auto data = Pattern(address >> 12);
            const uint8_t write = r.family | 0x1, verify = r.family | 0x2, read = r.family | 0xA;

            EXPECT_EQ(dev.Feed(Frame(r.family, {})), kAck);
            EXPECT_EQ(dev.Feed(BlockFrame(write, address, data)), kAck);
            EXPECT_EQ(dev.Feed(BlockFrame(verify, address, data)), kAck);
            auto wrong = data;
            wrong[4095] ^= 0x01;
            EXPECT_EQ(dev.Feed(BlockFrame(verify, address, wrong)), kNak);

            const auto reply = dev.Feed(ReadRequest(read, address));
            ASSERT_EQ(reply.size(), 4107u);
            EXPECT_EQ(reply[3], read);
            EXPECT_EQ(std::vector<uint8_t>(reply.begin() + 8, reply.begin() + 4104), data);

            // Exactly the block changed, nothing around it.
            const auto flash = dev.Flash();
            ASSERT_EQ(flash.size(), 0x400000u);
            EXPECT_EQ(std::vector<uint8_t>(flash.begin() + address, flash.begin() + address + 4096),
                      data);
            std::size_t changed = 0;
            for (uint8_t b : flash) changed += b != 0xFF;
            EXPECT_EQ(changed, 4096u);
        }
    }
}

TEST(DeviceRefuses, BadFramesAndAddressesOutsideTheFlash) {
    const auto block = Pattern(1);
    struct Case {
        const char* name;
        std::vector<uint8_t> frame;
    };
    const Case cases[] = {
        {"start with an 11-byte length", Frame(0x10, Address(0))},
        {"finish with a payload", Frame(0x13, {0x00})},
        {"read request of 7 bytes", Frame(0x1A, {})},
        {"read request of 15 bytes", Frame(0x1A, Cat(Address(0x3C3000), Address(0)))},
        {"write frame of 11 bytes", Frame(0x11, Address(0x3C3000))},
        {"sweep set of 11 bytes", Frame(0x52, Address(0x08000400))},
        {"sweep query with a payload", Frame(0x50, {0x00})},
        {"check of 7 bytes", Frame(0x1B, {})},
        {"unknown code 0x99", Frame(0x99, {})},
        {"unknown operation 0x1C", Frame(0x1C, Address(0))},
        {"unknown family 0x60", Frame(0x60, {})},
        {"read crossing the flash end", ReadRequest(0x2A, 0x3FF001)},
        {"read behind the flash", ReadRequest(0x2A, 0x400000)},
        {"read that would wrap round 2^32", ReadRequest(0x2A, 0xFFFFF000)},
        {"write crossing the flash end", BlockFrame(0x21, 0x3FF001, block)},
        {"verify behind the flash", BlockFrame(0x22, 0x400000, block)},
        {"check crossing the flash end", Frame(0x1B, Address(0x3FFFF1))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Device dev;
        EXPECT_EQ(dev.Feed(c.frame), kNak);
        EXPECT_EQ(dev.Stats().naks, 1u);
        for (uint8_t b : dev.Flash())
            if (b != 0xFF) FAIL() << "a refused frame changed the flash";
    }
}

TEST(DeviceRefuses, NothingAtTheVeryEndOfTheFlashThatFits) {
    Device dev;
    const auto data = Pattern(9);
    EXPECT_EQ(dev.Feed(BlockFrame(0x21, 0x3FF000, data)), kAck);
    EXPECT_EQ(dev.ReadFlash(0x3FF000, 4096), data);
    EXPECT_EQ(dev.Feed(ReadRequest(0x2A, 0x3FF000)).size(), 4107u);
    EXPECT_EQ(dev.Feed(Frame(0x1B, Address(0x3FFFF0))).size(), 27u);
}

TEST(DeviceFraming, SkipsNoiseAndResynchronisesOnTheStartByte) {
    struct Case {
        const char* name;
        std::vector<uint8_t> input;
        std::vector<uint8_t> reply;
        uint64_t garbage;
    };
    const Case cases[] = {
        {"test string first", Cat(Bytes("Hellow\r\n"), kStartApplication), kAck, 8},
        {"start byte with length 65535", Cat(Hex("04 FF FF"), kStartApplication), kAck, 3},
        // 04 00 04 declares 4 bytes: the 04 is dropped and the second 04 begins the frame.
        {"start byte inside a bad length", Hex("04 00 04 00 07 10 C2 63 03"), kAck, 2},
        {"two frames in one read", Cat(kStartApplication, Hex("04 00 07 13 C2 69 03")),
         Cat(kAck, kAck), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Device dev;
        EXPECT_EQ(dev.Feed(c.input), c.reply);
        EXPECT_EQ(dev.Stats().garbageBytes, c.garbage);
    }
}

TEST(DeviceFraming, FrameSplitIntoSingleBytesIsAnsweredOnceAtItsLastByte) {
    Device dev;
    const auto frame = ReadRequest(0x4A, 0x3C2000);
    for (std::size_t i = 0; i + 1 < frame.size(); ++i) {
        EXPECT_TRUE(dev.Feed(&frame[i], 1).empty()) << "answered early at byte " << i;
        EXPECT_TRUE(dev.HasPartial());
    }
    EXPECT_EQ(dev.Feed(&frame.back(), 1).size(), 4107u);
    EXPECT_FALSE(dev.HasPartial());
}

TEST(DeviceFraming, DiscardedPartialFrameDoesNotSwallowTheNext) {
    Device dev;
    EXPECT_TRUE(dev.Feed(Hex("04 00 0B 1A")).empty());
    dev.DiscardPartial();
    EXPECT_FALSE(dev.HasPartial());
    EXPECT_EQ(dev.Feed(kStartApplication), kAck);
    EXPECT_EQ(dev.Stats().garbageBytes, 4u);
}

TEST(DeviceStats, CountsFramesPerCommandAndReplies) {
    Device dev;
    dev.Feed(kStartApplication);
    dev.Feed(BlockFrame(0x11, 0x3C3000, Pattern(1)));
    dev.Feed(BlockFrame(0x11, 0x3C4000, Pattern(2)));
    dev.Feed(BlockFrame(0x12, 0x3C3000, Pattern(3)));  // mismatch: NAK
    dev.Feed(Hex("04 00 07 50 43 E0 03"));
    const DeviceStats s = dev.Stats();
    EXPECT_EQ(s.frames, 5u);
    EXPECT_EQ(s.perCode[0x10], 1u);
    EXPECT_EQ(s.perCode[0x11], 2u);
    EXPECT_EQ(s.perCode[0x12], 1u);
    EXPECT_EQ(s.perCode[0x50], 1u);
    EXPECT_EQ(s.acks, 3u);
    EXPECT_EQ(s.naks, 1u);
}

TEST(DeviceOwnFrames, LogStartAndTextLines) {
    EXPECT_EQ(Device::LogStartFrame(), Hex("04 00 07 00 42 00 03"));
    EXPECT_EQ(Device::AckFrame(), kAck);
    EXPECT_EQ(Device::NakFrame(), kNak);
    EXPECT_EQ(Device::TextLine("OK"), Bytes("OK\r\n"));
    EXPECT_EQ(Device::TextLine("R 0A,1F,\r\n"), Bytes("R 0A,1F,\r\n"));
    EXPECT_EQ(Device::TextLine("turned\n\r"), Bytes("turned\n\r"));
    EXPECT_EQ(Device::TextLine("lf only\n"), Bytes("lf only\n\r\n"));
    EXPECT_EQ(Device::TextLine(""), Bytes("\r\n"));
}

TEST(DeviceGreeting, LogStartAndLinesGoAheadOfTheFirstReplyOnly) {
    DeviceOptions o;
    o.greetingLogStart = true;
    o.greetingLines = {"hello", "R 0A,1F,"};
    Device dev(o);
    EXPECT_EQ(dev.Feed(kStartApplication),
              Cat(Cat(Cat(Hex("04 00 07 00 42 00 03"), Bytes("hello\r\n")), Bytes("R 0A,1F,\r\n")),
                  kAck));
    EXPECT_EQ(dev.Feed(kStartApplication), kAck);
}

TEST(DeviceStrictRegions, RefusesBlocksOutsideTheirFamilysRegion) {
    const auto data = Pattern(4);
    DeviceOptions strict;
    strict.strictRegions = true;
    Device loose, tight(strict);
    // A voice-family write at an application address is inside the flash.
    EXPECT_EQ(loose.Feed(BlockFrame(0x21, 0x3C3000, data)), kAck);
    EXPECT_EQ(tight.Feed(BlockFrame(0x21, 0x3C3000, data)), kNak);
    // The last voice block fits; one block further starts the map region.
    EXPECT_EQ(tight.Feed(BlockFrame(0x21, 0x1F3000, data)), kAck);
    EXPECT_EQ(tight.Feed(BlockFrame(0x21, 0x1F3800, data)), kNak);
    EXPECT_EQ(tight.Feed(ReadRequest(0x4A, 0x3C2000)).size(), 4107u);
    EXPECT_EQ(tight.Feed(ReadRequest(0x4A, 0x3C3000)), kNak);
    // The check block lies behind every region and is still answered.
    EXPECT_EQ(tight.Feed(Hex("04 00 0B 1B 00 3F E0 00 CF D9 03")).size(), 27u);
}

class TempDir {
  public:
    TempDir() {
        char name[] = "/tmp/orlo-devsim-XXXXXX";
        m_path = ::mkdtemp(name);
    }
    ~TempDir() { std::filesystem::remove_all(m_path); }
    std::string File(const std::string& leaf) const { return m_path + "/" + leaf; }

  private:
    std::string m_path;
};

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

TEST(DeviceFlashFile, ShortImageLoadsAtZeroAndSaveWritesAllFourMiB) {
    TempDir dir;
    WriteFile(dir.File("in.bin"), Hex("01 02 03 04 05"));
    Device dev;
    std::string error;
    ASSERT_TRUE(dev.LoadFlash(dir.File("in.bin"), &error)) << error;
    EXPECT_EQ(dev.ReadFlash(0, 6), Hex("01 02 03 04 05 FF"));
    EXPECT_EQ(dev.Feed(BlockFrame(0x41, 0x3C2000, Pattern(5))), kAck);

    ASSERT_TRUE(dev.SaveFlash(dir.File("out.bin"), &error)) << error;
    const auto saved = ReadFile(dir.File("out.bin"));
    ASSERT_EQ(saved.size(), 0x400000u);
    EXPECT_EQ(saved, dev.Flash());
    EXPECT_EQ(std::vector<uint8_t>(saved.begin() + 0x3C2000, saved.begin() + 0x3C3000), Pattern(5));
}

TEST(DeviceFlashFile, RefusesTooLargeOrMissingImagesAndKeepsTheFlash) {
    TempDir dir;
    std::vector<uint8_t> big(0x400001, 0x00);
    WriteFile(dir.File("big.bin"), big);
    big.pop_back();
    WriteFile(dir.File("exact.bin"), big);
    Device dev;
    std::string error;
    EXPECT_FALSE(dev.LoadFlash(dir.File("big.bin"), &error));
    EXPECT_NE(error.find("larger than"), std::string::npos) << error;
    EXPECT_FALSE(dev.LoadFlash(dir.File("missing.bin"), &error));
    EXPECT_NE(error.find("missing.bin"), std::string::npos) << error;
    EXPECT_EQ(dev.ReadFlash(0, 1), Hex("FF"));
    EXPECT_FALSE(dev.SaveFlash(dir.File("no/such/dir/out.bin"), &error));

    EXPECT_TRUE(dev.LoadFlash(dir.File("exact.bin"), &error)) << error;
    EXPECT_EQ(dev.ReadFlash(0x3FFFFF, 1), Hex("00"));
}

TEST(DeviceFlashAccess, RangesOutsideTheFlashAreRefused) {
    Device dev;
    EXPECT_TRUE(dev.ReadFlash(0x3FFFFF, 2).empty());
    EXPECT_FALSE(dev.WriteFlash(0x3FFFFF, Hex("00 00")));
    EXPECT_FALSE(dev.WriteFlash(0xFFFFFFFF, Hex("00")));
    EXPECT_TRUE(dev.WriteFlash(0x3FFFFF, Hex("00")));
}

// Snapshots and counters taken on one thread while another feeds frames (run under TSan).
TEST(DeviceConcurrency, SnapshotsWhileAnotherThreadFeeds) {
    Device dev;
    constexpr uint32_t kBlocks = 32;
    std::thread feeder([&] {
        for (uint32_t i = 0; i < kBlocks; ++i) dev.Feed(BlockFrame(0x21, i * 4096, Pattern(i)));
    });
    uint64_t seen = 0;
    while (seen < kBlocks) {
        const DeviceStats s = dev.Stats();
        EXPECT_GE(s.frames, seen);
        seen = s.frames;
        const auto first = dev.ReadFlash(0, 4096);
        EXPECT_TRUE(first == Pattern(0) || first == std::vector<uint8_t>(4096, 0xFF));
    }
    feeder.join();
    const auto flash = dev.Flash();
    for (uint32_t i = 0; i < kBlocks; ++i)
        EXPECT_EQ(std::vector<uint8_t>(flash.begin() + i * 4096, flash.begin() + (i + 1) * 4096),
                  Pattern(i));
}

}  // namespace
}  // namespace orlo::devsim::test
