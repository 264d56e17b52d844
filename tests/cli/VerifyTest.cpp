// Reading part of a region, comparing a device with image files, and dumps that go back.
#include "CliFixture.h"

namespace orlo::cli::test {
namespace {

TEST_F(CliTest, ReadLengthReadsOnlyTheBlocksThatHoldIt) {
    auto& sim = StartDevice();
    const Bytes voice = MakeImage(3 * 4096, 3);
    ASSERT_TRUE(sim.GetDevice().WriteFlash(0, voice));

    const std::string out = (dir / "head.adm").string();
    const RunResult r =
        RunOrlo({"read", "voice", out, "--length", "5000", "--port", sim.SlavePath()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(ReadBytes(out), Bytes(voice.begin(), voice.begin() + 5000));
    EXPECT_EQ(sim.GetDevice().Stats().perCode[0x2A], 2u);
    EXPECT_NE(r.out.find("\nRead 5000 bytes in "), std::string::npos) << r.out;

    // More than the region holds is a usage error, before the port opens.
    const RunResult big =
        RunOrlo({"read", "user", out, "--length", "4097", "--port", sim.SlavePath()});
    EXPECT_EQ(big.exitCode, 2);
    EXPECT_NE(big.err.find("--length 4097 is more than the user region holds (4096 bytes)"),
              std::string::npos)
        << big.err;
    EXPECT_EQ(sim.GetDevice().Stats().perCode[0x4A], 0u);
}

// A voice image of 15 blocks less 1000 bytes on a device that holds it as program left it,
// then changed as each case says; verify reads its 15 blocks and says what differs.
TEST_F(CliTest, VerifyComparesOnlyTheImagesBlocks) {
    const Bytes image = MakeImage(15 * 4096 - 1000, 9);
    const std::string file = WriteFile("release.adm", image);
    struct Case {
        const char* name;
        std::vector<uint32_t> flipped;  // flash bytes inverted
        bool unfilled;                  // the device leaves reply CRC and address zero
        uint32_t corruptFrame;          // the reply to this frame has a data byte inverted
        int exit;
        std::string sentence;
        uint32_t reads;  // read requests the device answered
    };
    const Case cases[] = {
        {"equal", {}, false, 0, 0, "Voice: all 15 blocks are equal.", 15},
        {"one block", {0x2345}, false, 0, 1,
         "voice: 1 of 15 blocks differ; the first difference is at 0x002345 (region offset "
         "0x002345)",
         15},
        {"last partial block, padding", {15 * 4096 - 10, 0x1000}, false, 0, 1,
         "voice: 2 of 15 blocks differ; the first difference is at 0x001000 (region offset "
         "0x001000)",
         15},
        // Damage on the line is asked for again, never taken for a difference.
        {"damaged reply", {}, false, 4, 0, "Voice: all 15 blocks are equal.", 16},
        {"unfilled fields, damaged reply", {}, true, 6, 0, "Voice: all 15 blocks are equal.", 18},
        {"unfilled fields, one block", {0x7000}, true, 0, 1,
         "voice: 1 of 15 blocks differ; the first difference is at 0x007000 (region offset "
         "0x007000)",
         18},
    };
    for (const Case& c : cases) {
        devsim::DeviceOptions options;
        options.replyCrcUnfilled = options.replyAddressUnfilled = c.unfilled;
        options.faults.corruptFrame = c.corruptFrame;
        options.faults.corruptOffset = 8 + 100;
        auto& sim = StartDevice(options);
        ASSERT_TRUE(sim.GetDevice().WriteFlash(0, image));
        for (const uint32_t at : c.flipped)
            sim.GetDevice().WriteFlash(at, {static_cast<uint8_t>(~sim.GetDevice().ReadFlash(at, 1)[0])});
        const std::string report = (dir / "verify.json").string();
        const RunResult r = RunOrlo(
            {"--report", report, "verify", "voice", file, "--port", sim.SlavePath()});
        EXPECT_EQ(r.exitCode, c.exit) << c.name << r.err;
        EXPECT_NE((r.out + r.err).find(c.sentence + "\n"), std::string::npos) << c.name << r.out << r.err;
        EXPECT_EQ(sim.GetDevice().Stats().perCode[0x2A], c.reads) << c.name;
        // Unfilled fields cost a second reading of the first two blocks (to learn them) and
        // of a differing or damaged block. The record carries the same result.
        const auto doc = nlohmann::json::parse(ReadText(report));
        const auto& v = doc["devices"][0]["verify"];
        EXPECT_EQ(v["blocks"], 15) << c.name;
        EXPECT_EQ(v["equal"], c.exit == 0) << c.name;
        if (c.exit) {
            EXPECT_EQ(v["first_difference"], std::min(c.flipped.front(), c.flipped.back()));
        }
    }
}

// A dump holds every region and a manifest; programmed into another device region by region,
// that device verifies equal against the manifest, and a file changed after the dump is refused.
TEST_F(CliTest, ADumpIsProgrammedBackAndVerified) {
    auto& source = StartDevice();
    ASSERT_TRUE(source.GetDevice().WriteFlash(0, MakeImage(3 * 4096, 1)));
    ASSERT_TRUE(source.GetDevice().WriteFlash(0x3C2000, MakeImage(4096, 2)));
    const fs::path dump = dir / "dump";
    const RunResult d = RunOrlo({"dump", dump.string(), "--port", source.SlavePath()});
    ASSERT_EQ(d.exitCode, 0) << d.err;
    for (const char* name : {"voice.adm", "map.map", "user.dat", "application.bin", "manifest.json"})
        EXPECT_TRUE(fs::exists(dump / name)) << name;
    EXPECT_EQ(ReadBytes(dump / "voice.adm"), source.GetDevice().ReadFlash(0, 2048000));

    auto& target = StartDevice();
    for (const auto& [region, name] : std::vector<std::pair<std::string, std::string>>{
             {"voice", "voice.adm"}, {"map", "map.map"}, {"user", "user.dat"},
             {"application", "application.bin"}}) {
        const RunResult p =
            RunOrlo({"program", region, (dump / name).string(), "--port", target.SlavePath()});
        ASSERT_EQ(p.exitCode, 0) << region << p.err;
    }
    const std::string manifest = (dump / "manifest.json").string();
    const RunResult v = RunOrlo({"verify", "--manifest", manifest, "--port", target.SlavePath()});
    EXPECT_EQ(v.exitCode, 0) << v.out << v.err;
    for (const char* line : {"Voice: all 500 blocks are equal.", "Map: all 462 blocks are equal.",
                             "User: the 1 block is equal.", "Application: all 59 blocks are equal."})
        EXPECT_NE(v.out.find(std::string(line) + "\n"), std::string::npos) << v.out;

    std::ofstream(dump / "user.dat", std::ios::binary | std::ios::app) << "x";
    const RunResult changed =
        RunOrlo({"verify", "--manifest", manifest, "--port", target.SlavePath()});
    EXPECT_EQ(changed.exitCode, 5) << changed.err;
}

}  // namespace
}  // namespace orlo::cli::test
